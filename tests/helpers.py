"""Helpers the test files share (conftest.py holds the fixtures). Importing
this file imports nothing of the project, so a child interpreter may use it
before it imports the module."""

import gc
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
import tracemalloc
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


# ---------------------------------------------------------------------------
# The leak harness: every leak test measures through leak_problems.
#
# ORMEK_LEAK_ITERATIONS sets the loop after the warm-up (default 400; its
# second half is measured); ORMEK_LEAK_RSS=1 measures the resident size too,
# ORMEK_LEAK_REPORT names a file the figures are appended to
# (scripts/leak-check runs the leak tests at full size on the debug host).

LEAK_ITERATIONS = int(os.environ.get("ORMEK_LEAK_ITERATIONS", "400"))
_CHECK_RSS = os.environ.get("ORMEK_LEAK_RSS") == "1"
_LEAK_REPORT = os.environ.get("ORMEK_LEAK_REPORT")


def _zstd_classes():
    import zstandard

    reader = getattr(zstandard, "ZstdDecompressionReader", None)
    return tuple(c for c in (zstandard.ZstdCompressor, zstandard.ZstdDecompressor, reader) if c)


def _binding_refs():
    # The zstandard binding (0.25 at least) leaks one reference to its class
    # per compressor, decompressor or stream reader it frees: the class's
    # count grows, no memory. Those references are not the module's; they
    # are taken off the total.
    return sum(sys.getrefcount(c) for c in _zstd_classes())


def _fail_to_decompress(n):
    import zstandard

    for _ in range(n):
        try:
            zstandard.ZstdDecompressor().decompress(b"(\xb5/\xfd junk")
        except zstandard.ZstdError:
            pass


def _read_through_reader(n):
    # As the module reads a frame in pieces: a source whose read(size) gives
    # the frame, readinto to the stream's end and once past it, then close.
    import io
    import types

    import zstandard

    frame = zstandard.ZstdCompressor().compress(bytes(range(256)) * 64)
    for _ in range(n):
        source = types.SimpleNamespace(read=io.BytesIO(frame).read)
        reader = zstandard.ZstdDecompressor().stream_reader(source, 1 << 17, False, False)
        out = bytearray(256 * 64 + 1)
        reader.readinto(memoryview(out)[:-1])
        reader.readinto(memoryview(out)[-1:])
        reader.close()


# What the binding itself leaks per call beyond its classes' references, by
# the kind of call: a failing decompress (one more on a free-threaded debug
# host), and a frame read through a stream reader (zstandard 0.26).
BINDING_LEAKS = {"failed decompress": _fail_to_decompress, "stream reader": _read_through_reader}
_binding_extra_found = {}


def _binding_extra(kind):
    """References the binding's `kind` of call leaks per call."""
    if kind not in _binding_extra_found:
        calls = BINDING_LEAKS[kind]
        calls(100)
        gc.collect()
        before = sys.gettotalrefcount() - _binding_refs()
        calls(400)
        gc.collect()
        _binding_extra_found[kind] = (sys.gettotalrefcount() - _binding_refs() - before) / 400
    return _binding_extra_found[kind]


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _run_calls(op, expected, times):
    for _ in range(times):
        try:
            op()
        except Exception as e:
            if expected is None or not isinstance(e, expected):
                raise
            e.__traceback__ = None
        else:
            if expected is not None:
                raise AssertionError(f"no {expected.__name__} raised")


def _measure(op, expected, iterations, binding_leaks):
    """(references, traced bytes, calls measured), while tracemalloc runs."""
    refcount = getattr(sys, "gettotalrefcount", None)
    half = iterations // 2
    quarter = max(1, half // 4)
    # Tracing makes the first reallocation of each long-lived host object
    # (a table that grows or shrinks) look like new memory: the more of the
    # heap a call touches, the longer that takes to fade, so the traced
    # calls before the marks are not measured, and a retry goes on tracing.
    _run_calls(op, expected, half)
    gc.collect()
    refs_before = refcount() - _binding_refs() if refcount else 0
    marks = [tracemalloc.get_traced_memory()[0]]
    for _ in range(4):
        _run_calls(op, expected, quarter)
        gc.collect()
        marks.append(tracemalloc.get_traced_memory()[0])
    refs = refcount() - _binding_refs() - refs_before if refcount else None
    # A leak grows every quarter alike; a free-threaded host frees some memory
    # late (after a quiescent point), which shows as one-off jumps: the median
    # step ignores those.
    steps = sorted(b - a for a, b in zip(marks, marks[1:]))
    traced = 2 * (steps[1] + steps[2])
    measured = 4 * quarter
    if refs is not None:
        refs -= round(sum(_binding_extra(kind) for kind in binding_leaks) * measured)
    return refs, traced, measured


def _rss_growth(op, expected, iterations):
    """Resident size growth over `iterations` calls, without tracemalloc
    (its own tables would count); native memory (C++ containers, buffers)
    only shows here."""
    _run_calls(op, expected, iterations // 2)
    gc.collect()
    before = _rss()
    _run_calls(op, expected, iterations)
    gc.collect()
    return _rss() - before


def _too_much(refs, traced, rss, n, budget):
    # One leaked reference or one small object per call is far above these.
    # A free-threaded host reclaims the memory of exited thread states and of
    # objects freed by other threads late, so its traced figure is noisier;
    # there the debug host's reference count is the sharp measure.
    ref_limit, traced_limit = budget or (
        n // 10 + 20,
        64 * n + 8192 if FREE_THREADED else 16 * n + 4096,
    )
    problems = []
    if refs is not None and refs >= ref_limit:
        problems.append(f"{refs} references more after {n} calls")
    if traced >= traced_limit:
        problems.append(f"{traced} bytes more traced after {n} calls")
    if rss is not None and rss >= 2 * 1024 * 1024 + 64 * n:
        problems.append(f"RSS grew by {rss} bytes after {n} calls")
    return problems


def leak_problems(name, op, expected=None, *, calls=None, budget=None, binding_leaks=()):
    """What grew over calls of `op()` (which must raise `expected`, or
    nothing when None): the total reference count (debug builds), traced
    memory and, with ORMEK_LEAK_RSS=1, the resident size; an empty list when
    nothing did. `calls` (at least the iterations set) and `budget`
    (references, traced bytes) suit an operation too cheap for the general
    limits to see a small leak; `binding_leaks` (keys of BINDING_LEAKS: the
    calls of the zstandard binding that `op` makes once) takes off what
    those calls leak themselves. A leak shows in every
    measurement; the host's own late frees and merges of references made on
    other threads do not: up to three tries."""
    iterations = max(LEAK_ITERATIONS, 2 * (calls or 0))
    # Free lists and caches of the host fill up over the first few hundred calls.
    _run_calls(op, expected, max(300, iterations // 4))
    tracemalloc.start()
    try:
        for attempt in range(3):
            refs, traced, n = _measure(op, expected, iterations, binding_leaks)
            problems = _too_much(refs, traced, None, n, budget)
            if not problems:
                break
    finally:
        tracemalloc.stop()
    rss = None
    for _ in range(3 if _CHECK_RSS and not problems else 0):
        rss = _rss_growth(op, expected, n)
        problems = _too_much(None, 0, rss, n, budget)
        if not problems:
            break
    if _LEAK_REPORT:
        with open(_LEAK_REPORT, "a") as f:
            f.write(f"{name}\t{n}\t{refs}\t{traced}\t{rss}\t{attempt + 1}\n")
    return problems
