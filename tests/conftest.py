"""Shared fixtures for the ormek_compressor test suite."""

import os
import sys
import sysconfig
import traceback
import warnings

import pytest

with warnings.catch_warnings():
    # Importing warns on a host other than 3.14 and, on a free-threaded host,
    # about the GIL being enabled; test_startup checks those warnings itself.
    warnings.simplefilter("ignore", RuntimeWarning)
    import ormek_compressor

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.fixture
def mod():
    """The module under test."""
    return ormek_compressor


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Run the test in a fresh current directory, so the default dictionary
    file "larkmoor_dict.bin" of one test never leaks into another."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def comp(in_tmp):
    """A fresh compressor in an empty current directory."""
    return ormek_compressor.OrmekCompressor()


def module_entries(exc):
    """The traceback entries of `exc` that the module added, as
    (function name, file, line) tuples, outermost first."""
    return [
        (fs.name, fs.filename, fs.lineno)
        for fs in traceback.extract_tb(exc.__traceback__)
        if fs.filename in ("compressor", "<stringsource>")
    ]


@pytest.fixture
def entries():
    return module_entries


def qual(method):
    """Qualified traceback name of a method of OrmekCompressor."""
    return "ormek_compressor.OrmekCompressor." + method


def binds_arguments(function, *bound):
    """Whether `function` checks its arguments yet. Operations still being
    written are stand-ins that accept any call; five extra positional
    arguments are more than any real operation takes, so a real one refuses
    them with TypeError before its body runs."""
    try:
        function(*bound, 1, 2, 3, 4, 5)
    except TypeError:
        return True
    except Exception:
        return False
    return False
