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


NEXT_ID_SET = (qual("next_id.__set__"), "compressor", 11)
INIT = (qual("__init__"), "compressor", 13)
UNPICKLE = ("ormek_compressor.__pyx_unpickle_OrmekCompressor", "<stringsource>", 1)


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


def fields(c):
    return (c.dict_path, c.global_dict, c.inverse_dict, c.next_id)


class IntSub(int):
    pass


class WithInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value
