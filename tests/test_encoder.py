"""encode_files: argument binding, the package it writes, its failures with
their traceback entries and what persists after each, overrides and replaced
globals, and the limits of the 32-bit id stream."""

import contextlib
import os
import pickle
import random
import re
import signal
import threading
import sys
import time
import types

import pytest
import zstandard

import ormek_compressor
from helpers import qual, re_stand_in, write_pickle

Q = qual("encode_files")
E = (Q, "compressor")


def write(path, data):
    path.write_bytes(data.encode() if isinstance(data, str) else data)
    return str(path)


def load(path):
    with open(path, "rb") as f:
        return pickle.load(f)


def ids_of(package):
    raw = zstandard.ZstdDecompressor().decompress(package["compressed"])
    return [int.from_bytes(raw[i:i + 4], "big", signed=True) for i in range(0, len(raw), 4)]


@pytest.fixture
def files(in_tmp):
    a = write(in_tmp / "a.txt", "  hello   world\n")
    b = write(in_tmp / "b.txt", "world hello\tagain")
    return [a, b]


def test_package_layout_and_ids(comp, files, in_tmp):
    n = comp.encode_files(files, "out.pkg")
    package = load("out.pkg")
    assert list(package) == ["compressed", "file_boundaries", "filenames", "global_dict"]
    assert n == len(package["compressed"])
    assert package["file_boundaries"] == [5, 10]
    assert package["filenames"] == ["a.txt", "b.txt"]
    tokens = ["  ", "hello", "   ", "world", "\n", " ", "\t", "again"]
    assert package["global_dict"] == {t: i + 1 for i, t in enumerate(tokens)}
    assert package["global_dict"] is not comp.global_dict  # a pickled copy
    assert comp.global_dict == package["global_dict"]
    assert comp.inverse_dict == {i: t for t, i in comp.global_dict.items()}
    assert comp.next_id == 9
    assert ids_of(package) == [1, 2, 3, 4, 5, 4, 6, 2, 7, 8]


def test_existing_ids_are_kept_and_repeat_calls_add_nothing(comp, files):
    comp.global_dict["world"] = 40
    comp.inverse_dict[40] = "world"
    comp.encode_files(files, "one.pkg")
    assert comp.global_dict["world"] == 40
    state = (dict(comp.global_dict), comp.next_id)
    comp.encode_files(files, "two.pkg")
    assert (comp.global_dict, comp.next_id) == state
    assert ids_of(load("one.pkg")) == ids_of(load("two.pkg"))


def test_empty_list_writes_an_empty_package(comp):
    n = comp.encode_files([], "empty.pkg")
    package = load("empty.pkg")
    assert package["file_boundaries"] == [] and package["filenames"] == []
    assert zstandard.ZstdDecompressor().decompress(package["compressed"]) == b""
    assert n == len(package["compressed"])
    assert comp.global_dict == {} and comp.next_id == 1


def test_empty_file_repeats_the_boundary(comp, in_tmp):
    paths = [write(in_tmp / "x", "a b"), write(in_tmp / "empty", ""), write(in_tmp / "y", "c")]
    comp.encode_files(paths, "p.pkg")
    package = load("p.pkg")
    assert package["file_boundaries"] == [3, 3, 4]
    assert package["filenames"] == ["x", "empty", "y"]


@pytest.mark.parametrize("raw, text", [
    (b"a\r\nb\r\n", "a\nb\n"),
    (b"a\rb\r", "a\nb\n"),
    (b"\r\n\r\r\n", "\n\n\n"),
])
def test_line_ends_are_read_in_text_mode(comp, in_tmp, raw, text):
    comp.encode_files([write(in_tmp / "f", raw)], "p.pkg")
    assert "\r" not in "".join(comp.global_dict)
    assert "".join(comp.inverse_dict[i] for i in ids_of(load("p.pkg"))) == text


def test_bytes_base_name_is_refused_before_the_package(comp, in_tmp, entries):
    # A bytes name would make a package that no reader restores.
    path = write(in_tmp / "b.txt", "x y")
    with pytest.raises(TypeError) as info:
        comp.encode_files([write(in_tmp / "a.txt", "a"), os.fsencode(path)], "p.pkg")
    assert str(info.value) == "Expected str, got bytes"
    assert entries(info.value) == [(Q, "compressor", 52), (Q, "compressor", 56)]
    assert not (in_tmp / "p.pkg").exists() and comp.global_dict == {}


# --- argument binding ------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, message", [
    ((["a"],), {}, "encode_files() takes at least 2 positional arguments (1 given)"),
    ((["a"],), {"threads": 2}, "encode_files() takes at least 2 positional arguments (1 given)"),
    (([], "o", 1, 2, 3), {}, "encode_files() takes at most 4 positional arguments (5 given)"),
    (([], "o"), {"level": 1}, "encode_files() got an unexpected keyword argument 'level'"),
    (([], "o"), {"filepaths": []},
     "encode_files() got multiple values for keyword argument 'filepaths'"),
    (([], "o", "6"), {}, "an integer is required"),
    (([], "o", 6, None), {}, "an integer is required"),
])
def test_binding_errors_report_line_45(comp, entries, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        comp.encode_files(*args, **kwargs)
    assert str(info.value) == message
    assert entries(info.value) == [(Q, "compressor", 45)]


@pytest.mark.parametrize("value", [2 ** 31, -2 ** 31 - 1, 2 ** 40])
def test_out_of_range_level_overflows_at_45(comp, entries, value):
    with pytest.raises(OverflowError) as info:
        comp.encode_files([], "o", value)
    assert entries(info.value) == [(Q, "compressor", 45)]


@pytest.mark.parametrize("args, message", [
    (((), "o"), "Argument 'filepaths' has incorrect type (expected list, got tuple)"),
    (([], b"o"), "Argument 'output_path' has incorrect type (expected str, got bytes)"),
    ((type("L", (list,), {})(), "o"),
     "Argument 'filepaths' has incorrect type (expected list, got L)"),
    (([], type("S", (str,), {})("o")),
     "Argument 'output_path' has incorrect type (expected str, got S)"),
    # The conversions come before the type tests.
    (((), "o", "x"), "an integer is required"),
])
def test_exact_type_errors_add_no_entry(comp, entries, args, message):
    with pytest.raises(TypeError) as info:
        comp.encode_files(*args)
    assert str(info.value) == message
    if "incorrect type" in message:
        assert entries(info.value) == []


class RecordingZstd(types.ModuleType):
    """A stand-in for the zstandard binding that records its calls."""

    def __init__(self):
        super().__init__("zstd_stand_in")
        self.calls = []
        recorder = self
        real_class = zstandard.ZstdCompressor

        class ZstdCompressor:
            def __init__(self, **kwargs):
                recorder.calls.append(kwargs)
                self.real = real_class(**kwargs)

            def compress(self, data):
                recorder.calls.append(type(data))
                return self.real.compress(data)

        self.ZstdCompressor = ZstdCompressor
        self.ZstdDecompressor = zstandard.ZstdDecompressor


@pytest.mark.parametrize("call, expected", [
    (lambda c, f: c.encode_files(f, "o"), {"level": 6, "threads": 4}),
    (lambda c, f: c.encode_files(filepaths=f, output_path="o"), {"level": 6, "threads": 4}),
    (lambda c, f: c.encode_files(f, "o", 3.9, True), {"level": 3, "threads": 1}),
    (lambda c, f: c.encode_files(f, "o", threads=0), {"level": 6, "threads": 0}),
])
def test_level_and_threads_reach_the_binding(comp, files, monkeypatch, call, expected):
    stand_in = RecordingZstd()
    monkeypatch.setattr(ormek_compressor, "zstd", stand_in)
    call(comp, files)
    assert stand_in.calls == [expected, bytearray]
    assert list(stand_in.calls[0]) == ["level", "threads"]


@pytest.mark.parametrize("replaced", ["module", "class", "while the files are read"])
def test_replaced_binding_gets_a_big_own_stream_whole(in_tmp, monkeypatch, replaced):
    """A package numbering its own tokens compresses a big stream in pieces
    (begun while the files are still read) only through the module's own
    binding: a replaced one, even once the frame is begun, is called once
    with the whole stream, as the plain way calls it."""
    stand_in = RecordingZstd()
    if replaced == "module":
        monkeypatch.setattr(ormek_compressor, "zstd", stand_in)
    elif replaced == "class":
        monkeypatch.setattr(ormek_compressor.zstd, "ZstdCompressor", stand_in.ZstdCompressor)

    class Replacing(os.PathLike):
        def __fspath__(self):
            monkeypatch.setattr(ormek_compressor, "zstd", stand_in)
            return "big.txt"

    (in_tmp / "big.txt").write_text(" ".join(f"w{i}" for i in range(60_000)) + "\n")
    entries = [("big.txt", f"{n}.txt") for n in range(12)] + [(Replacing(), "last.txt")]
    comp = ormek_compressor.OrmekCompressor()
    comp.encode_named_files(entries, "o.pkg", package_dict="own")
    assert stand_in.calls == [{"level": 6, "threads": 4}, bytearray]
    restored = comp.decode_package("o.pkg", "out")
    assert len(restored) == 13 and (in_tmp / "out" / "last.txt").read_text().endswith("w59999\n")


# --- failures, their traceback entries and what persists ------------------------

def test_none_filepaths(comp, entries):
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$") as info:
        comp.encode_files(None, "o")
    assert entries(info.value) == [(Q, "compressor", 51)]


def test_missing_file_changes_nothing(comp, files, in_tmp, entries):
    with pytest.raises(FileNotFoundError) as info:
        comp.encode_files(files + [str(in_tmp / "nope")], "out.pkg")
    assert entries(info.value) == [(Q, "compressor", 52)]
    assert comp.global_dict == {} and comp.next_id == 1
    assert not (in_tmp / "out.pkg").exists()


def test_invalid_utf8_changes_nothing(comp, files, in_tmp, entries):
    bad = write(in_tmp / "bad", b"ok \xff\xfe")
    with pytest.raises(UnicodeDecodeError) as info:
        comp.encode_files(files + [bad], "out.pkg")
    assert entries(info.value) == [(Q, "compressor", 52), (Q, "compressor", 53)]
    assert comp.global_dict == {} and comp.next_id == 1
    assert not (in_tmp / "out.pkg").exists()


@pytest.mark.parametrize("value, error, message", [
    (2 ** 31, OverflowError, "value too large to convert to int"),
    ("7", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
])
def test_bad_existing_id_fails_at_72(comp, in_tmp, entries, value, error, message):
    path = write(in_tmp / "f", "new1 bad new2")
    comp.global_dict["bad"] = value
    with pytest.raises(error, match=f"^{message}$") as info:
        comp.encode_files([path], "out.pkg")
    assert entries(info.value) == [(Q, "compressor", 72)]
    # The tokens met before the failing one stay; no package is written.
    assert comp.global_dict == {"bad": value, "new1": 1, " ": 2}
    assert comp.inverse_dict == {1: "new1", 2: " "}
    assert comp.next_id == 3
    assert not (in_tmp / "out.pkg").exists()


def test_negative_id_is_packed_as_twos_complement(comp, in_tmp):
    comp.global_dict["neg"] = -2
    comp.encode_files([write(in_tmp / "f", "neg")], "p.pkg")
    raw = zstandard.ZstdDecompressor().decompress(load("p.pkg")["compressed"])
    assert raw == b"\xff\xff\xff\xfe"


def test_output_in_missing_directory_keeps_new_ids(comp, files, in_tmp, entries):
    with pytest.raises(FileNotFoundError) as info:
        comp.encode_files(files, str(in_tmp / "no" / "such" / "dir.pkg"))
    assert entries(info.value) == [(Q, "compressor", 89)]
    assert comp.next_id == 9 and len(comp.global_dict) == 8


def test_unpicklable_dictionary_fails_at_90_then_89(comp, files, entries):
    comp.global_dict[lambda: None] = 99
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)) as info:
        comp.encode_files(files, "out.pkg")
    assert entries(info.value) == [(Q, "compressor", 89), (Q, "compressor", 90)]


@pytest.mark.parametrize("global_name, line", [("os", 56), ("zstd", 80), ("pickle", 90)])
def test_missing_module_global(comp, files, entries, monkeypatch, global_name, line):
    monkeypatch.delattr(ormek_compressor, global_name)
    with pytest.raises(NameError, match=f"^name '{global_name}' is not defined$") as info:
        comp.encode_files(files, "out.pkg")
    got = entries(info.value)
    assert got[-1] == (Q, "compressor", line)


def test_inverse_dict_as_list_follows_list_rules(comp, in_tmp, entries):
    comp.inverse_dict = [None] * 4
    comp.encode_files([write(in_tmp / "f", "a b")], "p.pkg")
    assert comp.inverse_dict == [None, "a", " ", "b"]
    with pytest.raises(IndexError) as info:
        comp.encode_files([write(in_tmp / "g", "new")], "q.pkg")
    assert entries(info.value) == [(Q, "compressor", 69)]
    # The entry of global_dict was made; next_id moves on only after both.
    assert comp.global_dict["new"] == 4 and comp.next_id == 4


# --- overrides and replaced globals ----------------------------------------------

class TupleTokens(ormek_compressor.OrmekCompressor):
    def tokenize(self, text):
        return tuple(text.split())


class UpperTokens(ormek_compressor.OrmekCompressor):
    def tokenize(self, text):
        # The class's own method object always runs the module's body.
        return [t.upper() for t in ormek_compressor.OrmekCompressor.tokenize(self, text)]


class NoOverride(ormek_compressor.OrmekCompressor):
    pass


def test_override_returning_a_tuple_fails(in_tmp, files, entries):
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$") as info:
        TupleTokens().encode_files(files, "out.pkg")
    assert entries(info.value) == [
        (Q, "compressor", 52), (Q, "compressor", 53),
        (qual("tokenize"), "compressor", 38),
    ]


def test_override_returning_a_list_is_used(in_tmp, files):
    comp = UpperTokens()
    comp.encode_files(files, "out.pkg")
    assert "HELLO" in comp.global_dict and "hello" not in comp.global_dict


def reference_package(files, tmp, **kwargs):
    """The package of a plain compressor whose tokenize goes through a
    replaced `re` (which forces every plain step)."""
    return package_bytes(ormek_compressor.OrmekCompressor(str(tmp / "none.bin")), files, tmp,
                         **kwargs)


def package_bytes(comp, files, tmp, name="p.pkg", **kwargs):
    out = str(tmp / name)
    comp.encode_files(files, out, **kwargs)
    with open(out, "rb") as f:
        return f.read()


@pytest.fixture
def varied_files(in_tmp):
    texts = ["x = 1\n\ty\u00a0=\u3000\U0001f600 2\r\n", "", "\u2028\u2029 z" * 3, "x y  z\n"]
    return [write(in_tmp / f"v{i}", t) for i, t in enumerate(texts)]


def test_plain_and_native_ways_write_identical_packages(varied_files, in_tmp, monkeypatch):
    native = package_bytes(NoOverride(str(in_tmp / "n.bin")), varied_files, in_tmp, "a.pkg")
    monkeypatch.setattr(ormek_compressor, "re", re_stand_in())
    plain = reference_package(varied_files, in_tmp)
    assert native == plain


def test_replaced_findall_is_called(comp, files, monkeypatch):
    calls = []
    stand_in = re_stand_in(lambda pattern, text: calls.append(pattern) or text.split())
    monkeypatch.setattr(ormek_compressor, "re", stand_in)
    comp.encode_files(files, "out.pkg")
    assert calls == [r"\S+|\s+"] * 2
    assert " " not in comp.global_dict


class CountingDict(dict):
    pass


@pytest.mark.parametrize("make", [CountingDict, lambda: types.SimpleNamespace()])
def test_mapping_that_is_not_a_dict(comp, files, in_tmp, make):
    if make is CountingDict:
        comp.global_dict = CountingDict()
        comp.encode_files(files, "out.pkg")
        assert dict(comp.global_dict) == {"  ": 1, "hello": 2, "   ": 3, "world": 4, "\n": 5,
                                          " ": 6, "\t": 7, "again": 8}
    else:
        comp.global_dict = make()
        with pytest.raises(TypeError):
            comp.encode_files(files, "out.pkg")


@pytest.mark.parametrize("extra", ["\u00e9", "\u0100", "\U0001f600"])
def test_large_input_numbered_on_its_thread_packs_as_the_plain_way(in_tmp, monkeypatch, extra):
    # Over a million code units: from the second file on, texts are numbered
    # on the numbering thread. The one-byte texts carry every Latin-1 space
    # (cut 64 units at a time); the last text is two- or four-byte wide and
    # repeats their tokens.
    spaces = " \t\n\x0b\x0c\r\x1c\x1d\x1e\x1f\x85\xa0"
    words = [f"w{i % 5000}{spaces[i % len(spaces)]}" for i in range(300_000)]
    texts = ["".join(words[i::4]) for i in range(4)] + [f"w1 unique{extra} w2\x85w3 " * 3]
    files = [write(in_tmp / f"big{i}", t) for i, t in enumerate(texts)]
    native = package_bytes(ormek_compressor.OrmekCompressor(str(in_tmp / "n.bin")), files,
                           in_tmp, "a.pkg")
    monkeypatch.setattr(ormek_compressor, "re", re_stand_in())
    assert native == reference_package(files, in_tmp)


class SwapsRe(os.PathLike):
    """A path whose first __fspath__ replaces the module's `re` by `stand_in`."""

    def __init__(self, path, stand_in, monkeypatch):
        self.path, self.stand_in, self.monkeypatch = path, stand_in, monkeypatch

    def __fspath__(self):
        if ormek_compressor.re is not self.stand_in:
            self.monkeypatch.setattr(ormek_compressor, "re", self.stand_in)
        return self.path


@pytest.mark.parametrize("leave_at", ["third file", "dictionary"])
def test_native_way_left_part_way_packs_as_the_plain_way(in_tmp, monkeypatch, leave_at):
    # Enough text for the numbering thread; the native way is left after two
    # files were numbered natively.
    rng = random.Random(7)
    texts = [" ".join(f"t{rng.randrange(200_000)}" for _ in range(150_000)) + "\n"
             for _ in range(3)]
    files = [write(in_tmp / f"part{i}", t) for i, t in enumerate(texts)]
    calls = []
    stand_in = re_stand_in(lambda pattern, text: calls.append(text) or re.findall(pattern, text))
    comp = ormek_compressor.OrmekCompressor(str(in_tmp / "n.bin"))
    if leave_at == "third file":
        files[2] = SwapsRe(files[2], stand_in, monkeypatch)
    else:
        comp.global_dict = CountingDict()
    comp.encode_files(files, str(in_tmp / "a.pkg"))
    assert calls == ([texts[2]] if leave_at == "third file" else [])
    monkeypatch.setattr(ormek_compressor, "re", stand_in)
    plain = ormek_compressor.OrmekCompressor(str(in_tmp / "p.bin"))
    plain.encode_files([os.fspath(f) for f in files], str(in_tmp / "b.pkg"))
    assert dict(comp.global_dict) == plain.global_dict and comp.next_id == plain.next_id
    native_package, plain_package = load(in_tmp / "a.pkg"), load(in_tmp / "b.pkg")
    for key in ("compressed", "file_boundaries", "filenames"):
        assert native_package[key] == plain_package[key]


# --- limits of the 32-bit id stream --------------------------------------------

def test_next_id_never_wraps(comp, in_tmp, entries):
    comp.next_id = 2 ** 31 - 2
    path = write(in_tmp / "f", "a")
    comp.encode_files([path], "ok.pkg")
    assert comp.global_dict == {"a": 2 ** 31 - 2} and comp.next_id == 2 ** 31 - 1
    with pytest.raises(OverflowError) as info:
        comp.encode_files([write(in_tmp / "g", "a b")], "out.pkg")
    assert entries(info.value) == [(Q, "compressor", 68)]
    assert comp.next_id == 2 ** 31 - 1 and " " not in comp.global_dict
    assert not (in_tmp / "out.pkg").exists()
    # Tokens that already have ids still pack.
    comp.encode_files([path], "again.pkg")


def test_next_id_limit_in_the_plain_way(comp, in_tmp, entries, monkeypatch):
    monkeypatch.setattr(ormek_compressor, "re", re_stand_in())
    comp.next_id = 2 ** 31 - 1
    with pytest.raises(OverflowError) as info:
        comp.encode_files([write(in_tmp / "g", "b")], "out.pkg")
    assert entries(info.value) == [(Q, "compressor", 68)]
    assert comp.global_dict == {} and comp.next_id == 2 ** 31 - 1


# --- ids already in use --------------------------------------------------------

def after_decode(tmp):
    writer = ormek_compressor.OrmekCompressor(str(tmp / "w.bin"))
    writer.encode_files([write(tmp / "old.txt", "alpha beta gamma\n")], str(tmp / "old.pkg"))
    reader = ormek_compressor.OrmekCompressor(str(tmp / "r.bin"))
    reader.decode_package(str(tmp / "old.pkg"), str(tmp / "old"))
    return reader


def low_next_id_file(tmp):
    write_pickle(tmp / "low.bin", {"dict": {"alpha": 1, " ": 2, "beta": 7}, "next_id": 1})
    return ormek_compressor.OrmekCompressor(str(tmp / "low.bin"))


def assigned(tmp):
    comp = ormek_compressor.OrmekCompressor(str(tmp / "a.bin"))
    comp.global_dict = {"alpha": 3}
    comp.inverse_dict = {3: "alpha", 4: "beta"}  # 4 in use by the inverse alone
    return comp


@pytest.mark.parametrize("plain", [False, True])
@pytest.mark.parametrize("setup", [after_decode, low_next_id_file, assigned])
def test_new_tokens_skip_ids_in_use(in_tmp, monkeypatch, setup, plain):
    comp = setup(in_tmp)
    before = dict(comp.global_dict)
    used = set(before.values()) | set(comp.inverse_dict)
    if plain:
        monkeypatch.setattr(ormek_compressor, "re", re_stand_in())
    text = "brand new alpha words\n"
    comp.encode_files([write(in_tmp / "c.txt", text)], "c.pkg")
    new = {t: i for t, i in comp.global_dict.items() if t not in before}
    assert not used & set(new.values())
    assert list(new.values()) == sorted(new.values())  # ascending in first-sight order
    assert comp.next_id == max(new.values()) + 1
    ormek_compressor.OrmekCompressor(str(in_tmp / "x.bin")).decode_package("c.pkg", "c")
    assert (in_tmp / "c" / "c.txt").read_text() == text


@pytest.mark.parametrize("plain", [False, True])
@pytest.mark.parametrize("dictionary, repeated", [
    ({"alpha": 1, "beta": 1}, 1),
    ({"alpha": 1, " ": 2, "beta": True}, 1),
    ({"x": 5, "alpha": 2 ** 31 - 1, "beta": 2 ** 31 - 1}, 2 ** 31 - 1),
])
def test_repeated_ids_are_refused_before_the_package(in_tmp, entries, monkeypatch, dictionary,
                                                     repeated, plain):
    write_pickle(in_tmp / "d.bin", {"dict": dictionary, "next_id": 3})
    comp = ormek_compressor.OrmekCompressor(str(in_tmp / "d.bin"))
    if plain:
        monkeypatch.setattr(ormek_compressor, "re", re_stand_in())
    with pytest.raises(ValueError, match=f"the id {repeated} to both 'alpha' and 'beta'") as info:
        comp.encode_files([write(in_tmp / "t.txt", "alpha beta")], "out.pkg")
    assert entries(info.value) == [(Q, "compressor", 72)]
    assert (comp.global_dict, comp.next_id) == (dictionary, 3)
    assert sorted(os.listdir(in_tmp)) == ["d.bin", "t.txt"]


def test_id_space_exhausted_by_ids_in_use(comp, in_tmp, entries):
    comp.global_dict = {"a": 2 ** 31 - 2}
    comp.inverse_dict = {2 ** 31 - 2: "a"}
    comp.next_id = 2 ** 31 - 2
    with pytest.raises(OverflowError) as info:
        comp.encode_files([write(in_tmp / "g", "b")], "out.pkg")
    assert entries(info.value) == [(Q, "compressor", 68)]
    assert not (in_tmp / "out.pkg").exists()


# --- encode_named_files --------------------------------------------------------

QN = qual("encode_named_files")


def test_named_files_match_encode_files_and_restore_as_a_tree(in_tmp, files):
    by_base = package_bytes(ormek_compressor.OrmekCompressor("1.bin"), files, in_tmp, "1.pkg")
    named = ormek_compressor.OrmekCompressor("2.bin")
    named.encode_named_files([(f, os.path.basename(f)) for f in files], "2.pkg")
    assert (in_tmp / "2.pkg").read_bytes() == by_base
    named.encode_named_files([(files[0], "src/a.txt"), (files[1], "src/sub/b.txt")], "3.pkg")
    ormek_compressor.OrmekCompressor("3.bin").decode_package("3.pkg", "out")
    assert (in_tmp / "out/src/sub/b.txt").read_text() == "world hello\tagain"


@pytest.mark.parametrize("entries_, error, message, line", [
    (None, TypeError, "'NoneType' object is not iterable", 136),
    ([("p",)], ValueError, "need more than 1 value to unpack", 136),
    ([("p", b"a")], TypeError, "Expected str, got bytes", 136),
    ([("p", "a/../b")], ValueError, "refusing to store the file name 'a/../b'", 137),
    ([("p", "/abs")], ValueError, "refusing to store the file name '/abs'", 137),
    ([("p", "a"), ("p", "a")], ValueError, "refusing to store the file name 'a' twice", 139),
    ([("p", "d/a"), ("p", "d")], ValueError,
     "refusing the stored file names 'd' and 'd/a'", 139),
    ([("missing", "a")], FileNotFoundError, None, 142),
])
def test_named_entries_are_checked_before_the_package(comp, in_tmp, entries, entries_, error,
                                                      message, line):
    with pytest.raises(error) as info:
        comp.encode_named_files(entries_, "p.pkg")
    assert message is None or str(info.value).startswith(message)
    assert entries(info.value) == [(QN, "compressor", line)]
    assert comp.global_dict == {} and not (in_tmp / "p.pkg").exists()


# --- signals -------------------------------------------------------------------

class Stop(BaseException):
    pass


def test_signal_ends_compression_at_once(in_tmp):
    # Level 19 takes seconds on this stream; a handler that raises ends the
    # call within a slice of the wait, leaving the earlier package alone.
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signal handlers run on the main thread")
    rng = random.Random(1)
    path = write(in_tmp / "big.txt", " ".join(f"w{rng.randrange(10**6)}" for _ in range(600_000)))
    (in_tmp / "p.pkg").write_bytes(b"earlier")

    def stop(*_):
        raise Stop
    old = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        started = time.monotonic()
        with pytest.raises(Stop):
            ormek_compressor.OrmekCompressor("d.bin").encode_files([path], "p.pkg", 19, 0)
        assert time.monotonic() - started < 1.5
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert sorted(os.listdir(in_tmp)) == ["big.txt", "p.pkg"]
    assert (in_tmp / "p.pkg").read_bytes() == b"earlier"


def test_signal_anywhere_leaves_dictionaries_entered_in_order(in_tmp):
    # Wherever a raising handler lands (reading, entering, compressing), the
    # dictionaries hold a first-sight prefix of the new tokens, each in both.
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signal handlers run on the main thread")
    words = [f"w{i}" for i in range(400_000)]
    path = write(in_tmp / "many.txt", " ".join(words))
    def stop(*_):
        raise Stop
    old = signal.signal(signal.SIGALRM, stop)
    try:
        for delay in (0.05, 0.15, 0.3, 0.6, 1.2):
            comp = ormek_compressor.OrmekCompressor("d.bin")
            with contextlib.suppress(Stop):  # also a signal landing after the call
                signal.setitimer(signal.ITIMER_REAL, delay)
                try:
                    comp.encode_files([path], "p.pkg", 19, 1)
                finally:
                    signal.setitimer(signal.ITIMER_REAL, 0)
            tokens = [t for t in comp.global_dict if t != " "]
            assert tokens == words[: len(tokens)]
            assert comp.inverse_dict == {i: t for t, i in comp.global_dict.items()}
            assert sorted(comp.inverse_dict) == list(range(comp.next_id - len(comp.inverse_dict), comp.next_id))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


@pytest.fixture(scope="module")
def big_dictionary(tmp_path_factory):
    """A compressor with a dictionary of two million tokens, which the host's
    pickler and unpickler take a good part of a second over, saved to its
    dictionary file and carried by a package. A debug interpreter takes as
    long over a tenth of them."""
    folder = tmp_path_factory.mktemp("big-dictionary")
    comp = ormek_compressor.OrmekCompressor(str(folder / "d.bin"))
    size = 200_000 if hasattr(sys, "gettotalrefcount") else 2_000_000
    comp.global_dict = {f"token{i}": i for i in range(1, size)}
    comp.inverse_dict = {i: t for t, i in comp.global_dict.items()}
    comp.next_id = size
    comp.save_dict()
    write(folder / "small.txt", "token1 token2\n")
    comp.encode_files([str(folder / "small.txt")], str(folder / "big.pkg"))
    return comp, folder


PICKLING_PHASES = {
    "save_dict": lambda comp, folder: comp.save_dict(),
    "load_dict": lambda comp, folder: comp.load_dict(),
    "encode_files": lambda comp, folder: comp.encode_files([str(folder / "small.txt")], str(folder / "p.pkg")),
    "decode_package": lambda comp, folder: comp.decode_package(str(folder / "big.pkg"), str(folder / "out")),
    "read_package": lambda comp, folder: comp.read_package(str(folder / "big.pkg")),
}


@pytest.mark.parametrize("phase", PICKLING_PHASES)
def test_signal_ends_pickling_and_loading_at_once(big_dictionary, phase):
    # Dumping or loading a big dictionary is a long native loop of the host's
    # pickler; a signal that lands anywhere in it ends the call at once.
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signal handlers run on the main thread")
    comp, folder = big_dictionary
    call = PICKLING_PHASES[phase]
    whole = float("inf")
    for _ in range(2):  # the first call may still be warming up
        started = time.monotonic()
        call(comp, folder)
        whole = min(whole, time.monotonic() - started)
    lags = []
    running = False

    def stop(*_):
        # An alarm that comes once the call has returned (before the timer
        # is cancelled) has nothing to end: only one during the call counts.
        if running:
            lags.append(time.monotonic() - fired_at)
            raise Stop
    old = signal.signal(signal.SIGALRM, stop)
    try:
        for step in range(1, 6):
            delay = whole * step / 8
            fired_at = time.monotonic() + delay
            signal.setitimer(signal.ITIMER_REAL, delay)
            running = True
            try:
                call(comp, folder)  # done before the alarm: a faster run
                running = False
            except Stop:
                running = False
            signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    # Well within the second a user waits; a few tenths go to freeing a
    # replaced dictionary of two million tokens, which the host does at once.
    assert len(lags) >= 3 and max(lags) < 0.5, (whole, lags)
    assert not [name for name in os.listdir(folder) if name.endswith(".tmp")]
