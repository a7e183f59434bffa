"""Shared fixtures for the ormek_compressor test suite; the shared helpers
are in helpers.py."""

import pytest

from helpers import import_module, module_entries

ormek_compressor = import_module()


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


@pytest.fixture
def entries():
    return module_entries
