"""Helpers the test files share (conftest.py holds the fixtures). Importing
this file imports nothing of the project, so a child interpreter may use it
before it imports the module."""

import sysconfig
import traceback
import warnings

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def import_module():
    """The module, imported without the warnings it gives on a host other
    than 3.14 and, on a free-threaded host, about the GIL being enabled;
    test_startup checks those warnings itself."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        import ormek_compressor
    return ormek_compressor


def qual(method):
    """Qualified traceback name of a method of OrmekCompressor."""
    return "ormek_compressor.OrmekCompressor." + method


def module_entries(exc):
    """The traceback entries of `exc` that the module added, as
    (function name, file, line) tuples, outermost first."""
    return [
        (fs.name, fs.filename, fs.lineno)
        for fs in traceback.extract_tb(exc.__traceback__)
        if fs.filename in ("compressor", "<stringsource>")
    ]


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
