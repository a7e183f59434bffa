"""Helpers the test files share (conftest.py holds the fixtures). Importing
this file imports nothing of the project, so a child interpreter may use it
before it imports the module."""

import inspect
import json
import os
import pickle
import re
import subprocess
import sys
import sysconfig
import textwrap
import traceback
import types
import warnings
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
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


# What a child interpreter runs first (it imports nothing of the tests).
PRELUDE = """
import json, sys, traceback, warnings
warnings.simplefilter("ignore", RuntimeWarning)

""" + inspect.getsource(module_entries)


def run_python(code, *options, cwd=None, prelude=None):
    """Runs `prelude` and then `code` in a fresh interpreter that finds the
    module as this one does; returns the completed process."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    source = (PRELUDE if prelude is None else prelude) + textwrap.dedent(code)
    return subprocess.run(
        [sys.executable, *options, "-c", source],
        capture_output=True, text=True, env=env, cwd=cwd, timeout=120,
    )


def run_json(code, *options, cwd=None, prelude=None):
    """Runs `code`, which prints one JSON document last, and returns it."""
    done = run_python(code, *options, cwd=cwd, prelude=prelude)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def lines(*numbers, function=qual("decode_package")):
    """The module's entries of `function` at `numbers`, outermost first."""
    return [(function, "compressor", n) for n in numbers]


NEXT_ID_SET = (qual("next_id.__set__"), "compressor", 11)
INIT = (qual("__init__"), "compressor", 13)
UNPICKLE = ("ormek_compressor.__pyx_unpickle_OrmekCompressor", "<stringsource>", 1)


def fields(c):
    return (c.dict_path, c.global_dict, c.inverse_dict, c.next_id)


try:
    {}.__setitem__([1], "a")
except TypeError as exc:
    # The host's own text for a list used as a dict key (it changed in 3.14).
    UNHASHABLE_LIST = str(exc)


class IntSub(int):
    pass


class StrSub(str):
    pass


class WithInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


def re_stand_in(findall=re.findall):
    """A module to put in place of the module's `re`: tokenize then calls
    its findall, taking the plain way."""
    stand_in = types.ModuleType("re_stand_in")
    stand_in.findall = findall
    return stand_in


def pack(ids):
    """An id stream as a package holds it before compression."""
    return b"".join(i.to_bytes(4, "big") for i in ids)


def write_pickle(path, obj, protocol=None):
    with open(path, "wb") as f:
        pickle.dump(obj, f, protocol)
    return path


def read_dir(path):
    """{name: raw bytes} of the files in `path`."""
    return {name: Path(path, name).read_bytes() for name in sorted(os.listdir(path))}
