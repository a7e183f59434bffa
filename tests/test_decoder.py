"""decode_package: restoring the files of a package, its failures with their
traceback entries, what persists after each failure, and the equivalence of
the native id loop with the plain one."""

import errno
import os
import pickle
import subprocess
import sys
import types

import pytest
import zstandard

from helpers import UNHASHABLE_LIST, StrSub, lines, pack, read_dir, write_pickle


def write_package(path, ids=(), boundaries=(), names=(), global_dict=None, *,
                  raw=None, compress=True, omit=(), extra=None):
    """A package file built by hand: ids packed big-endian (or `raw` bytes),
    compressed unless told otherwise."""
    payload = pack(ids) if raw is None else raw
    package = {
        "compressed": zstandard.ZstdCompressor(level=6).compress(payload) if compress else payload,
        "file_boundaries": list(boundaries) if isinstance(boundaries, tuple) else boundaries,
        "filenames": list(names) if isinstance(names, tuple) else names,
        "global_dict": {} if global_dict is None else global_dict,
    }
    package.update(extra or {})
    for key in omit:
        del package[key]
    return write_pickle(path, package)


GD = {"hello": 1, " ": 2, "world": 3, "\n": 4}


def allow_classes(mod, monkeypatch):
    """Loads packages with the host's unrestricted pickle.load: the module's
    own load refuses the classes a test package may hold (a str subclass)."""
    monkeypatch.setattr(mod, "pickle", types.SimpleNamespace(load=pickle.load))


@pytest.fixture
def fake_pickle(mod, monkeypatch, in_tmp):
    """Makes pickle.load return the given object (the package file must still
    exist, so one is written)."""
    def install(obj):
        (in_tmp / "pkg").write_bytes(b"")
        monkeypatch.setattr(mod, "pickle", types.SimpleNamespace(load=lambda f: obj))
        return "pkg"
    return install


class PlainZstd:
    """A stand-in for the Zstandard binding whose decompress hands back the
    payload as another type: a bytearray (or bytes subclass) is not exactly
    bytes, so the plain id loop runs."""

    def __init__(self, wrap=bytearray, hook=None):
        outer = self

        class ZstdDecompressor:
            def decompress(self, data):
                if outer.hook:
                    outer.hook()
                return outer.wrap(zstandard.ZstdDecompressor().decompress(data))

        self.ZstdDecompressor = ZstdDecompressor
        self.wrap = wrap
        self.hook = hook


class BytesSub(bytes):
    pass


# --------------------------------------------------------------------------
# Binding and argument tests


@pytest.mark.parametrize("args, kwargs, message", [
    (("p",), {}, "decode_package() takes at least 2 positional arguments (1 given)"),
    ((), {"output_dir": "o", "use_zstd": True},
     "decode_package() takes at least 2 positional arguments (0 given)"),
    (("p", "o", True, 4), {}, "decode_package() takes at most 3 positional arguments (4 given)"),
    (("p", "o"), {"package_path": "p"},
     "decode_package() got multiple values for keyword argument 'package_path'"),
    (("p", "o"), {"level": 3}, "decode_package() got an unexpected keyword argument 'level'"),
])
def test_binding_errors(comp, entries, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        comp.decode_package(*args, **kwargs)
    assert str(info.value) == message
    assert entries(info.value) == lines(95)


def test_use_zstd_truth_test_failure(comp, entries, in_tmp):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    write_package(in_tmp / "p")
    with pytest.raises(ZeroDivisionError) as info:
        comp.decode_package("p", "o", Bad())
    assert entries(info.value) == lines(95)
    assert not (in_tmp / "o").exists()


@pytest.mark.parametrize("args, message", [
    ((StrSub("p"), "o"),
     "Argument 'package_path' has incorrect type (expected str, got StrSub)"),
    ((b"p", "o"), "Argument 'package_path' has incorrect type (expected str, got bytes)"),
    (("p", StrSub("o")), "Argument 'output_dir' has incorrect type (expected str, got StrSub)"),
    # The truth test runs before the type tests.
    ((1, 2, 0), "Argument 'package_path' has incorrect type (expected str, got int)"),
])
def test_exact_str_parameters(comp, entries, args, message):
    with pytest.raises(TypeError) as info:
        comp.decode_package(*args)
    assert str(info.value) == message
    assert entries(info.value) == []


def test_all_by_keyword(comp, in_tmp):
    write_package(in_tmp / "p", [1, 2, 3], [3], ["a"], GD, compress=False)
    assert comp.decode_package(use_zstd=0, output_dir="o", package_path="p") == ["a"]
    assert read_dir(in_tmp / "o") == {"a": b"hello world"}


def test_none_package_path_fails_in_open(comp, entries):
    with pytest.raises(TypeError) as info:
        comp.decode_package(None, "o")
    assert entries(info.value) == lines(96)


# --------------------------------------------------------------------------
# Restoring files


@pytest.mark.parametrize("ids, boundaries, names, expected", [
    ([1, 2, 3, 4], [4], ["a"], {"a": b"hello world\n"}),
    # unknown id
    ([1, 2, 77], [3], ["a"], {"a": b"hello <UNK>"}),
    # an empty payload: every named file with a boundary is created empty
    ([], [0, 5], ["a", "b"], {"a": b"", "b": b""}),
    # boundary list shorter than the names: extra names are not written
    ([1, 2, 3], [1, 3], ["a", "b", "c"], {"a": b"hello", "b": b" world"}),
    # boundary beyond the end clamps; a boundary not above the previous gives
    # an empty file and the next file starts there
    ([1, 2, 3, 4], [3, 1, 9], ["a", "b", "c"], {"a": b"hello world", "b": b"", "c": b" world\n"}),
    # a negative boundary counts from the end
    ([1, 2, 3, 4], [-1, 4], ["a", "b"], {"a": b"hello world", "b": b"\n"}),
    # the same name twice: the later replaces the earlier
    ([1, 2, 3], [1, 3], ["a", "a"], {"a": b" world"}),
    # records after the last boundary are never written
    ([1, 2, 3, 4], [1], ["a"], {"a": b"hello"}),
    # float boundaries truncate
    ([1, 2, 3, 4], [1.9, 3.2], ["a", "b"], {"a": b"hello", "b": b" world"}),
])
def test_restores_files(comp, in_tmp, ids, boundaries, names, expected):
    write_package(in_tmp / "p", ids, boundaries, names, GD)
    assert comp.decode_package("p", "o") == names
    assert read_dir(in_tmp / "o") == expected


@pytest.mark.parametrize("raw, expected", [
    (b"", b""),
    (b"\x00\x00", b""),
    (pack([1, 2]) + b"\x00\x00\x00", b"hello "),
    (pack([3]) + b"\xff", b"world"),
])
def test_trailing_bytes_are_ignored(comp, in_tmp, raw, expected):
    write_package(in_tmp / "p", boundaries=[9], names=["a"], global_dict=GD, raw=raw)
    comp.decode_package("p", "o")
    assert read_dir(in_tmp / "o") == {"a": expected}


def test_use_zstd_false_reads_raw_ids(comp, in_tmp):
    write_package(in_tmp / "p", [3, 2, 1], [3], ["a"], GD, compress=False)
    comp.decode_package("p", "o", False)
    assert read_dir(in_tmp / "o") == {"a": b"world hello"}


def test_compressed_package_read_raw(comp, in_tmp):
    # The frame bytes themselves are taken as ids: the magic number's first
    # byte (0x28) is below 0x80, so this decodes to unknown tokens.
    write_package(in_tmp / "p", [1] * 8, [2], ["a"], GD)
    comp.decode_package("p", "o", use_zstd=False)
    assert read_dir(in_tmp / "o") == {"a": b"<UNK><UNK>"}


def test_without_global_dict_everything_is_unknown(comp, in_tmp):
    comp.global_dict["hello"] = 1
    comp.inverse_dict[1] = "hello"
    write_package(in_tmp / "p", [1, 2], [2], ["a"], GD, omit=["global_dict"])
    comp.decode_package("p", "o")
    assert comp.global_dict == {} and comp.inverse_dict == {}
    assert read_dir(in_tmp / "o") == {"a": b"<UNK><UNK>"}


def test_existing_directory_and_files_are_rewritten(comp, in_tmp):
    (in_tmp / "o").mkdir()
    (in_tmp / "o" / "a").write_bytes(b"x" * 100)
    (in_tmp / "o" / "keep").write_bytes(b"k")
    write_package(in_tmp / "p", [1], [1], ["a"], GD)
    comp.decode_package("p", "o")
    assert read_dir(in_tmp / "o") == {"a": b"hello", "keep": b"k"}


def test_line_ends_written_unchanged(comp, in_tmp):
    gd = {"a": 1, "\r\n": 2, "\r": 3, "\n": 4}
    write_package(in_tmp / "p", [1, 2, 1, 3, 1, 4], [6], ["f"], gd)
    comp.decode_package("p", "o")
    assert read_dir(in_tmp / "o") == {"f": b"a\r\na\ra\n"}


def test_utf8_output(comp, in_tmp):
    gd = {"é": 1, "€": 2, "😀": 3, " ": 4}
    write_package(in_tmp / "p", [1, 4, 2, 4, 3], [5], ["f"], gd)
    comp.decode_package("p", "o")
    assert read_dir(in_tmp / "o") == {"f": "é € 😀".encode()}


def test_state_after_success(comp, in_tmp):
    comp.next_id = 41
    gd = {"hello": 1, "hi": 1, "x": 9}
    write_package(in_tmp / "p", [1], [1], ["a"], gd, extra={"other": 5})
    comp.decode_package("p", "o")
    assert comp.global_dict == gd
    # a later pair with an equal value overwrites the earlier one
    assert comp.inverse_dict == {1: "hi", 9: "x"}
    assert comp.next_id == 41
    assert comp.dict_path == "larkmoor_dict.bin"
    assert not (in_tmp / "larkmoor_dict.bin").exists()
    assert read_dir(in_tmp / "o") == {"a": b"hi"}


def test_global_dict_is_taken_unchanged_and_result_looked_up_anew(comp, fake_pickle, in_tmp):
    gd = {"hello": 1}

    class Package(dict):
        lookups = 0

        def __getitem__(self, key):
            if key == "filenames":
                Package.lookups += 1
                return ["a"] if Package.lookups == 1 else ["final"]
            return super().__getitem__(key)

    package = Package(compressed=pack([1]), file_boundaries=[1], global_dict=gd)
    path = fake_pickle(package)
    assert comp.decode_package(path, "o", False) == ["final"]
    assert comp.global_dict is gd
    assert read_dir(in_tmp / "o") == {"a": b"hello"}


def test_payload_may_be_any_sequence_of_ints(comp, fake_pickle, in_tmp):
    path = fake_pickle({"compressed": [0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1],
                        "file_boundaries": [3], "filenames": ["a"], "global_dict": GD})
    comp.decode_package(path, "o", False)
    assert read_dir(in_tmp / "o") == {"a": b"world hello"}


def test_inverse_dict_read_afresh_for_every_id(comp, in_tmp):
    calls = []

    class First:
        def get(self, key, default):
            calls.append(("first", key, default))
            comp.inverse_dict = Second()
            return "A"

    class Second:
        def get(self, key, default):
            calls.append(("second", key, default))
            return "B"

    def hook():
        comp.inverse_dict = First()

    import ormek_compressor
    mp = pytest.MonkeyPatch()
    mp.setattr(ormek_compressor, "zstd", PlainZstd(bytes, hook))
    try:
        write_package(in_tmp / "p", [5, 0x7FFFFFFF], [2], ["a"], GD)
        comp.decode_package("p", "o")
    finally:
        mp.undo()
    assert calls == [("first", 5, "<UNK>"), ("second", 0x7FFFFFFF, "<UNK>")]
    assert read_dir(in_tmp / "o") == {"a": b"AB"}


def test_replaced_os_and_zstd_are_used(mod, comp, monkeypatch, in_tmp):
    seen = []

    def makedirs(path, **kw):
        seen.append(("makedirs", path, kw))
        os.makedirs(path, **kw)

    def join(a, b):
        seen.append(("join", a, b))
        return os.path.join(a, "x-" + b)

    monkeypatch.setattr(mod, "os", types.SimpleNamespace(
        makedirs=makedirs, path=types.SimpleNamespace(join=join)))

    class Zstd:
        class ZstdDecompressor:
            def __init__(self, *args, **kw):
                seen.append(("ZstdDecompressor", args, kw))

            def decompress(self, data):
                seen.append(("decompress", data))
                return pack([1, 2, 3])

    monkeypatch.setattr(mod, "zstd", Zstd)
    write_package(in_tmp / "p", raw=b"frame", compress=False, boundaries=[3], names=["a"],
                  global_dict=GD)
    assert comp.decode_package("p", "o") == ["a"]
    assert seen == [("ZstdDecompressor", (), {}), ("decompress", b"frame"),
                    ("makedirs", "o", {"exist_ok": True}), ("join", "o", "a")]
    assert read_dir(in_tmp / "o") == {"x-a": b"hello world"}


# --------------------------------------------------------------------------
# Failures: exception, traceback entries, and what persists


def test_missing_package_file(comp, entries):
    with pytest.raises(FileNotFoundError) as info:
        comp.decode_package("nope", "o")
    assert entries(info.value) == lines(96)
    assert comp.global_dict == {}


def test_not_a_pickle(comp, entries, in_tmp):
    (in_tmp / "p").write_bytes(b"this is no pickle")
    with pytest.raises(pickle.UnpicklingError) as info:
        comp.decode_package("p", "o")
    assert entries(info.value) == lines(96, 97)


@pytest.mark.parametrize("name, line", [("pickle", (96, 97)), ("zstd", (104,)), ("os", (115,))])
def test_missing_module_global(mod, comp, monkeypatch, entries, in_tmp, name, line):
    write_package(in_tmp / "p", [1], [1], ["a"], GD)
    monkeypatch.delattr(mod, name)
    with pytest.raises(NameError) as info:
        comp.decode_package("p", "o")
    assert str(info.value) == f"name '{name}' is not defined"
    assert entries(info.value) == lines(*line)
    assert not (in_tmp / "o").exists()


def mutating_value(target):
    class Value:
        def __hash__(self):
            target["new"] = 1
            return 1
    return Value()


@pytest.mark.parametrize("package, exc, message, line", [
    ([1, 2], AttributeError, "'list' object has no attribute 'get'", 99),
    ({"global_dict": None}, AttributeError, "'NoneType' object has no attribute 'items'", 100),
    ({"global_dict": [1]}, AttributeError, "'list' object has no attribute 'items'", 100),
    ({"global_dict": types.SimpleNamespace(items=lambda: [(1, 2, 3)])}, ValueError,
     "too many values to unpack (expected 2)", 100),
    ({"global_dict": types.SimpleNamespace(items=lambda: [(1,)])}, ValueError,
     "need more than 1 value to unpack", 100),
    ({"global_dict": {"a": [1]}}, TypeError, UNHASHABLE_LIST, 100),
    ({"global_dict": GD}, KeyError, "'compressed'", 102),
    ({"compressed": 5}, TypeError, "object of type 'int' has no len()", 107),
    ({"compressed": ["a", 0, 0, 0]}, TypeError, None, 111),
    ({"compressed": b"\x80\x00\x00\x00"}, OverflowError, "value too large to convert to int", 111),
])
def test_failures_before_the_directory(comp, fake_pickle, entries, in_tmp, package, exc,
                                       message, line):
    comp.global_dict["old"] = 1
    path = fake_pickle(package)
    with pytest.raises(exc) as info:
        comp.decode_package(path, "o", False)
    if message is not None:
        assert str(info.value) == message
    assert entries(info.value) == lines(line)
    assert not (in_tmp / "o").exists()
    if line > 99:
        # the dictionary was taken over before the failure
        taken = package.get("global_dict", {}) if isinstance(package, dict) else None
        assert comp.global_dict is taken or comp.global_dict == taken
    else:
        assert comp.global_dict == {"old": 1}
    if line > 100:
        assert comp.inverse_dict == {v: k for k, v in comp.global_dict.items()}


def test_dictionary_changed_size_during_walk(comp, fake_pickle, entries):
    gd = {}
    gd["a"] = mutating_value(gd)
    path = fake_pickle({"global_dict": gd, "compressed": b""})
    with pytest.raises(RuntimeError) as info:
        comp.decode_package(path, "o", False)
    assert str(info.value) == "dictionary changed size during iteration"
    assert entries(info.value) == lines(100)
    assert comp.global_dict is gd
    assert comp.inverse_dict == {}


@pytest.mark.parametrize("slow", [False, True])
def test_oversized_id_after_dicts_before_directory(mod, comp, monkeypatch, entries, in_tmp,
                                                   slow):
    if slow:
        monkeypatch.setattr(mod, "zstd", PlainZstd())
    write_package(in_tmp / "p", [1, 2, 0x7FFFFFFF, 0x80000000, 1], [5], ["a"], GD)
    with pytest.raises(OverflowError) as info:
        comp.decode_package("p", "o")
    assert str(info.value) == "value too large to convert to int"
    assert entries(info.value) == lines(111)
    assert comp.global_dict == GD
    assert comp.inverse_dict == {1: "hello", 2: " ", 3: "world", 4: "\n"}
    assert not (in_tmp / "o").exists()


def test_bad_frame(comp, entries, in_tmp):
    write_package(in_tmp / "p", raw=b"not a frame", compress=False, global_dict=GD)
    with pytest.raises(zstandard.ZstdError) as info:
        comp.decode_package("p", "o")
    assert entries(info.value) == lines(104)
    assert comp.global_dict == GD
    assert not (in_tmp / "o").exists()


def test_payload_over_record_limit_is_refused(comp, fake_pickle, entries, in_tmp):
    class Huge:
        def __len__(self):
            return 4 * 2**29 + 4

        def __getitem__(self, i):
            raise AssertionError("must not be read")

    path = fake_pickle({"compressed": Huge(), "file_boundaries": [], "filenames": []})
    with pytest.raises(OverflowError) as info:
        comp.decode_package(path, "o", False)
    assert str(info.value) == "the package payload holds 536870913 ids; at most 536870912 are supported"
    assert entries(info.value) == lines(107)
    assert not (in_tmp / "o").exists()


def test_inverse_dict_without_get(comp, in_tmp, entries, mod, monkeypatch):
    def hook():
        comp.inverse_dict = None

    monkeypatch.setattr(mod, "zstd", PlainZstd(bytes, hook))
    write_package(in_tmp / "p", [1], [1], ["a"], GD)
    with pytest.raises(AttributeError) as info:
        comp.decode_package("p", "o")
    assert str(info.value) == "'NoneType' object has no attribute 'get'"
    assert entries(info.value) == lines(112)
    assert not (in_tmp / "o").exists()


def test_makedirs_fails_on_a_file(comp, entries, in_tmp):
    (in_tmp / "o").write_bytes(b"")
    write_package(in_tmp / "p", [1], [1], ["a"], GD)
    with pytest.raises(FileExistsError) as info:
        comp.decode_package("p", "o")
    assert entries(info.value) == lines(115)


def test_none_output_dir_fails_in_makedirs(comp, entries, in_tmp):
    write_package(in_tmp / "p", [1], [1], ["a"], GD)
    with pytest.raises(TypeError) as info:
        comp.decode_package("p", None)
    assert entries(info.value) == lines(115)


# Every pair is taken and judged before the directory is made.
@pytest.mark.parametrize("change, exc, message", [
    ({"omit": ["file_boundaries"]}, KeyError, "'file_boundaries'"),
    ({"omit": ["filenames"]}, KeyError, "'filenames'"),
    ({"boundaries": 5}, TypeError, "'int' object is not iterable"),
    ({"boundaries": [1, "2"]}, TypeError, "an integer is required"),
    ({"boundaries": [1, 2**31]}, OverflowError, "value too large to convert to int"),
    ({"boundaries": [1, 2**70]}, OverflowError, None),
    ({"names": ["a", b"b"]}, TypeError, "Expected str, got bytes"),
    ({"names": ["a", StrSub("b")]}, TypeError, "Expected str, got StrSub"),
])
def test_file_loop_failures(mod, monkeypatch, comp, entries, in_tmp, change, exc, message):
    args = {"boundaries": [1, 3], "names": ["a", "b"]}
    args.update(change)
    if any(type(name) is StrSub for name in args["names"]):
        allow_classes(mod, monkeypatch)
    write_package(in_tmp / "p", [1, 2, 3], args["boundaries"], args["names"], GD,
                  omit=args.get("omit", ()))
    with pytest.raises(exc) as info:
        comp.decode_package("p", "o")
    if message is not None:
        assert str(info.value) == message
    assert entries(info.value) == lines(119)
    assert not (in_tmp / "o").exists()


def test_none_filename_is_refused_before_the_directory(comp, entries, in_tmp):
    write_package(in_tmp / "p", [1], [1], [None], GD)
    with pytest.raises(TypeError) as info:
        comp.decode_package("p", "o")
    assert str(info.value) == "Expected str, got NoneType"
    assert entries(info.value) == lines(119)
    assert not (in_tmp / "o").exists()


@pytest.mark.parametrize("slow", [False, True])
@pytest.mark.parametrize("gd, ids, message", [
    ({"a": 1, 7: 2}, [1, 1, 2, 1], "sequence item 2: expected str instance, int found"),
    ({"a": 1, b"x": 2}, [2], "sequence item 0: expected str instance, bytes found"),
    ({"a": 1, None: 2}, [1, 2], "sequence item 1: expected str instance, NoneType found"),
])
def test_non_str_token_fails_the_join(mod, comp, monkeypatch, entries, in_tmp, slow, gd, ids,
                                      message):
    if slow:
        monkeypatch.setattr(mod, "zstd", PlainZstd())
    write_package(in_tmp / "p", [1] + ids, [1, 1 + len(ids), 99], ["a", "b", "c"], gd)
    with pytest.raises(TypeError) as info:
        comp.decode_package("p", "o")
    assert str(info.value) == message
    assert entries(info.value) == lines(120, 121)
    # the first file is complete; the failing one left nothing behind
    assert read_dir(in_tmp / "o") == {"a": b"a"}


# --------------------------------------------------------------------------
# The native id loop against the plain one


def lengths_dict():
    """Tokens of every length from 1 to 40 in each character width."""
    tokens = [c * n for c in "a\xe9\u20ac\U0001f600" for n in range(1, 41)]
    return {t: i + 1 for i, t in enumerate(tokens)}


def sparse_dict():
    return {"lo": 0, "mid": 123_456_789, "hi": 0x7FFFFFFF, " ": 5}


EQUIVALENCE_CASES = {
    "ascii": (GD, [1, 2, 3, 4, 1], [2, 5], ["a", "b"]),
    "unknown ids": (GD, [1, 99, 0, 2, 0x7FFFFFFF, 3], [6], ["a"]),
    "sparse ids": (sparse_dict(), [0, 5, 123_456_789, 5, 0x7FFFFFFF, 6, 1], [7], ["a"]),
    "widths": ({"a": 1, "é": 2, "€": 3, "😀": 4, " ": 5},
               [1, 5, 1, 2, 5, 1, 3, 4, 5, 2, 2, 1, 4, 3], [2, 4, 7, 8, 14],
               ["ascii", "latin1", "ucs2", "ucs4", "mixed"]),
    "empty files": (GD, [1, 2, 3], [0, 0, 3, 3, 3], ["e1", "e2", "x", "e3", "e4"]),
    "line ends": ({"a": 1, "\r\n": 2, "\r": 3, "\n": 4, "\u2028": 5},
                  [1, 2, 3, 4, 1, 5, 2], [7], ["a"]),
    "negative and clamped boundaries": (GD, [1, 2, 3, 4], [-2, -3, 2, 40, -1],
                                        ["a", "b", "c", "d", "e"]),
    "str subclass tokens": ({StrSub("sub"): 1, "x": 2}, [1, 2, 1], [3], ["a"]),
    "token lengths": (lengths_dict(), [(i * 37) % 161 + 1 for i in range(400)] + [40, 1, 17],
                      [100, 101, 117, 300, 403], ["a", "b", "c", "d", "e"]),
    "empty dictionary": ({}, [1, 2, 3], [2, 3], ["a", "b"]),
    "empty payload": (GD, [], [0, 4], ["a", "b"]),
    "long file": ({f"t{i}": i for i in range(3000)},
                  [i * 7919 % 3100 for i in range(20000)], [10000, 20000], ["a", "b"]),
    "beyond a write buffer": ({"x" * 300_000: 1, "\xe9" * 100: 2, " ": 3, "\U0001f600": 4},
                              [1, 3, 2, 3] * 3 + [2, 4] * 5000, [1, 2, 10012], ["a", "b", "c"]),
}


@pytest.mark.parametrize("plain", [
    pytest.param(lambda: PlainZstd(bytearray), id="bytearray payload"),
    pytest.param(lambda: PlainZstd(BytesSub), id="bytes subclass payload"),
])
@pytest.mark.parametrize("case", EQUIVALENCE_CASES)
def test_native_and_plain_id_loops_agree(mod, in_tmp, monkeypatch, case, plain):
    gd, ids, boundaries, names = EQUIVALENCE_CASES[case]
    if any(type(token) is StrSub for token in gd):
        allow_classes(mod, monkeypatch)
    write_package(in_tmp / "p", ids, boundaries, names, gd)
    native = mod.OrmekCompressor()
    assert native.decode_package("p", "native") == names
    with monkeypatch.context() as m:
        m.setattr(mod, "zstd", plain())
        slow = mod.OrmekCompressor()
        assert slow.decode_package("p", "plain") == names
    assert read_dir(in_tmp / "native") == read_dir(in_tmp / "plain")
    assert native.inverse_dict == slow.inverse_dict


@pytest.mark.parametrize("slow", [False, True])
def test_token_utf8_cannot_hold_fails_the_write(mod, comp, monkeypatch, entries, in_tmp, slow):
    if slow:
        monkeypatch.setattr(mod, "zstd", PlainZstd())
    write_package(in_tmp / "p", [1, 2, 1, 3], [1, 4], ["a", "b"], {"a": 1, "b\ud800": 2, " ": 3})
    with pytest.raises(UnicodeEncodeError) as info:
        comp.decode_package("p", "o")
    assert info.value.args == ("utf-8", "b\ud800a ", 1, 2, "surrogates not allowed")
    assert entries(info.value) == lines(120, 121)
    assert read_dir(in_tmp / "o") == {"a": b"a"}


def test_non_int_inverse_key_takes_the_plain_loop(comp, in_tmp):
    # True == 1: the dict lookup of id 1 finds the bool key, as dict.get does.
    write_package(in_tmp / "p", [1, 2, 1], [3], ["a"], {"yes": True, " ": 2, "one": 1.5})
    comp.decode_package("p", "o")
    assert read_dir(in_tmp / "o") == {"a": b"yes yes"}


def test_tokens_survive_a_dictionary_emptied_during_the_file_loop(mod, comp, monkeypatch,
                                                                   in_tmp):
    gd = {"tok" + str(i) * 40: i for i in range(50)}
    write_package(in_tmp / "p", list(range(50)), [25, 50], ["a", "b"], gd)
    real_join = os.path.join

    def join(a, b):
        comp.inverse_dict.clear()
        comp.global_dict.clear()
        return real_join(a, b)

    monkeypatch.setattr(mod, "os", types.SimpleNamespace(
        makedirs=os.makedirs, path=types.SimpleNamespace(join=join)))
    comp.decode_package("p", "o")
    want = "".join("tok" + str(i) * 40 for i in range(50))
    got = read_dir(in_tmp / "o")
    assert got["a"] + got["b"] == want.encode()


# --------------------------------------------------------------------------
# Nothing is written through or over what is not a regular file, and a failed
# write leaves no half file


def plant(kind, out, outside):
    """Puts `kind` in the way of the stored name "d/a" (or "a") under `out`;
    returns the stored name and the path the error names."""
    outside.mkdir()
    (outside / "victim").write_text("keep")
    out.mkdir()
    if kind == "link":
        (out / "a").symlink_to(outside / "victim")
    elif kind == "dangling link":
        (out / "a").symlink_to(outside / "nothing")
    elif kind == "directory":
        (out / "a").mkdir()
    elif kind == "fifo":
        os.mkfifo(out / "a")
    elif kind == "linked directory":
        (out / "d").symlink_to(outside)
        return "d/a", out / "d"
    else:  # a file where a directory belongs
        (out / "d").write_text("x")
        return "d/a", out / "d"
    return "a", out / "a"


@pytest.mark.parametrize("kind", ["link", "dangling link", "directory", "fifo",
                                  "linked directory", "file as directory"])
def test_nothing_is_written_through_what_is_in_the_way(comp, entries, in_tmp, kind):
    name, where = plant(kind, in_tmp / "o", in_tmp / "outside")
    write_package(in_tmp / "p", [1, 3], [1, 2], ["first", name], GD)
    before = sorted(os.listdir(in_tmp / "o"))
    with pytest.raises(OSError) as info:
        comp.decode_package("p", "o")
    assert info.value.filename == os.path.join("o", os.path.relpath(where, in_tmp / "o"))
    assert entries(info.value) == lines(119)
    assert sorted(os.listdir(in_tmp / "o")) == before
    assert read_dir(in_tmp / "outside") == {"victim": b"keep"}


PLANT = {"fifo": os.mkfifo, "directory": os.mkdir, "file": lambda path: open(path, "w").close()}


@pytest.mark.parametrize("planted", list(PLANT))
def test_a_target_planted_while_restoring_is_refused_unless_a_file(mod, comp, monkeypatch,
                                                                    entries, in_tmp, planted):
    # The first file lands where nothing stood; what is put at the second's
    # target after the look before writing is refused there, a file replaced.
    write_package(in_tmp / "p", [1, 3], [1, 2], ["first", "second"], GD)

    def join(a, b):
        if b == "second":
            PLANT[planted](in_tmp / a / b)
        return f"{a}/{b}"

    monkeypatch.setattr(mod, "os", types.SimpleNamespace(
        makedirs=os.makedirs, path=types.SimpleNamespace(join=join)))
    if planted == "file":
        comp.decode_package("p", "o")
        assert read_dir(in_tmp / "o") == {"first": b"hello", "second": b"world"}
        return
    with pytest.raises(FileExistsError) as info:
        comp.decode_package("p", "o")
    assert (info.value.filename, entries(info.value)) == ("o/second", lines(120))
    assert sorted(os.listdir(in_tmp / "o")) == ["first", "second"]
    assert (in_tmp / "o" / "first").read_bytes() == b"hello"
    assert not (in_tmp / "o" / "second").is_file()


DEEP = "/".join(["d"] * 40)  # deeper than the directories a restore keeps open


@pytest.mark.parametrize("names", [
    ["a/b/x", "a/bc/y", "a/b/z", "a/x", "ab/b/x", "a/b/c/w", "top"],
    [f"{DEEP}/x", f"{DEEP}/e/y", f"{DEEP}x/z", f"{DEEP[:-2]}/w", "d/v", f"{DEEP}/e/u"],
])
def test_files_land_in_their_own_directories_in_any_order(comp, in_tmp, names):
    ids = list(range(1, len(names) + 1))
    write_package(in_tmp / "p", ids, ids, names, dict(zip(names, ids)))
    comp.decode_package("p", "o")
    assert {name: (in_tmp / "o" / name).read_text() for name in names} == {n: n for n in names}
    assert sum(len(files) for _, _, files in os.walk(in_tmp / "o")) == len(names)


@pytest.mark.parametrize("existing", [None, b"old text"])
def test_a_failed_write_leaves_no_half_file(in_tmp, existing):
    # A child limited to 1 KiB files: the big file fails, the small one before it stays.
    write_package(in_tmp / "p", [1, 3] * 600, [1, 1200], ["small", "big"], GD)
    (in_tmp / "o").mkdir()
    if existing is not None:
        (in_tmp / "o" / "big").write_bytes(existing)
    child = (
        "import resource, sys, ormek_compressor as m\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))\n"
        "try:\n    m.OrmekCompressor('d.bin').decode_package('p', 'o')\n"
        "except OSError as e:\n    sys.exit(e.errno)\n"
    )
    result = subprocess.run([sys.executable, "-W", "ignore", "-c", child], cwd=in_tmp)
    assert result.returncode == errno.EFBIG
    want = {"small": b"hello"} if existing is None else {"small": b"hello", "big": existing}
    assert read_dir(in_tmp / "o") == want


@pytest.mark.parametrize("mode", [0o640, 0o4755, 0o2750, 0o1777, 0o6711])
def test_a_replaced_file_keeps_only_its_permission_bits(comp, in_tmp, mode):
    target = in_tmp / "o" / "a"
    (in_tmp / "o").mkdir()
    target.write_text("old")
    if os.geteuid() == 0:
        os.chown(target, 65534, 65534)  # another user's file, taken over by the restorer
    os.chmod(target, mode)
    write_package(in_tmp / "p", [1, 2, 3], [3], ["a"], GD)
    comp.decode_package("p", "o")
    assert read_dir(in_tmp / "o") == {"a": b"hello world"}
    assert os.stat(target).st_mode & 0o7777 == mode & 0o777


# --------------------------------------------------------------------------
# decode_names and restored_sizes: the decoder with a choice of files

TREE = (["src/a.py", "src/pkg/b.py", "srcs.txt", "top.txt"], {"x": 1, "é€😀": 2, "\n": 3})


def write_tree(path):
    names, gd = TREE
    return write_package(path, [1, 3, 2, 1, 3, 2], [2, 3, 5, 6], names, gd)


@pytest.mark.parametrize("names, restored", [
    (["src"], ["src/a.py", "src/pkg/b.py"]),
    (["src/pkg", "top.txt"], ["src/pkg/b.py", "top.txt"]),
    (["top.txt", "src/pkg/b.py", "src/pkg"], ["src/pkg/b.py", "top.txt"]),
    ([], []),
])
def test_decode_names_restores_the_files_picked(comp, in_tmp, names, restored):
    write_tree(in_tmp / "p.pkg")
    assert comp.decode_names("p.pkg", "out", names) == restored
    written = sorted(str(p.relative_to(in_tmp / "out")) for p in (in_tmp / "out").rglob("*") if p.is_file())
    assert written == restored
    # Read natively: the dictionaries are left as they were.
    assert comp.global_dict == {} and comp.inverse_dict == {}


@pytest.mark.parametrize("names, exc, message", [
    (["src/a.py", "sr"], ValueError, "no file or directory named 'sr'"),
    (["src/a"], ValueError, "'src/a'"),
    (["top.txt/x"], ValueError, "'top.txt/x'"),
    (["ok", 3], TypeError, "Expected str, got int"),
    (None, TypeError, "Expected list, got NoneType"),
    (("src",), TypeError, "Argument 'names' has incorrect type"),
])
def test_decode_names_refuses_before_writing(comp, in_tmp, names, exc, message):
    write_tree(in_tmp / "p.pkg")
    with pytest.raises(exc, match=message):
        comp.decode_names("p.pkg", "out", names)
    assert not (in_tmp / "out").exists()


def test_restored_sizes_are_the_written_bytes(comp, in_tmp):
    write_tree(in_tmp / "p.pkg")
    names = comp.decode_package("p.pkg", "out")
    sizes = comp.restored_sizes("p.pkg")
    assert sizes == [(in_tmp / "out" / name).stat().st_size for name in names] == [2, 9, 2, 9]
    # Nothing is written; a boundary beyond the tokens clamps as it does there.
    write_package(in_tmp / "short.pkg", [1], [1, 9], ["a", "b"], {"x": 1})
    assert comp.restored_sizes("short.pkg", use_zstd=True) == [1, 0]
    assert sorted(os.listdir(in_tmp)) == ["out", "p.pkg", "short.pkg"]
