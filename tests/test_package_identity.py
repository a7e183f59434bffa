"""The native module against the plain-Python yardstick in bench/reference.py.

For the same inputs, level and thread count, the package file that
OrmekCompressor.encode_files writes must be byte-for-byte the one that
PlainCompressor writes (pickle layout, memo references, frame bytes and all),
and each side must restore the other's packages to the same files.
"""

import copy
import importlib.machinery
import os
import pickle
import random
import sys
import types

import pytest
import zstandard

from helpers import REPO, fields, pack, read_dir


def _load_reference():
    path = REPO / "bench" / "reference.py"
    loader = importlib.machinery.SourceFileLoader("ormek_bench_reference", str(path))
    module = types.ModuleType(loader.name)
    module.__file__ = str(path)
    loader.exec_module(module)
    return module


reference = _load_reference()

# Every code point that str.isspace() calls white space, which is what "\s"
# matches for str patterns.
UNICODE_SPACES = [chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace()]


def _unicode_space_files():
    one_each = "".join(f"w{i}{ch}" for i, ch in enumerate(UNICODE_SPACES))
    # Runs that mix different white-space characters must form one token.
    runs = "x" + "".join(UNICODE_SPACES) + "y" + "".join(reversed(UNICODE_SPACES)) + "z"
    # Characters that look like white space but are not.
    lookalikes = "a\u200bb\u2060c\ufeffd\u180ee"
    return [
        ("each.txt", one_each.encode()),
        ("runs.txt", runs.encode()),
        ("lookalikes.txt", lookalikes.encode()),
        ("edges.txt", ("\u3000lead" + "".join(UNICODE_SPACES[:5])).encode()),
    ]


# name -> list of (base name, raw bytes); each file goes in its own directory
# so that base names may repeat.
INPUT_CASES = {
    "crlf_and_lone_cr": [
        ("crlf.txt", b"line one\r\nline two\r\n\r\nend"),
        ("cr.txt", b"a\rb\r\rc \r\n\n\r"),
        ("mixed.txt", b"\r\n\rx\r\n\ry\n\r\n"),
    ],
    "empty_files": [
        ("first_empty", b""),
        ("words.txt", b"a b  c\n"),
        ("middle_empty", b""),
        ("last_empty", b""),
    ],
    "only_empty_files": [("e1", b""), ("e2", b"")],
    "no_files": [],
    "non_ascii": [
        ("ucs1.txt", "café naïve ÿ\xa0\xe9t\xe9 ß".encode()),
        ("ucs2.txt", "Привет мир 中文 テキスト\u3000全角".encode()),
        ("astral.txt", "😀 𝔘𝔫𝔦𝔠𝔬𝔡𝔢 🎉x\U0010fffd".encode()),
        ("mixed.txt", "é中😀a é 中 😀 a\n".encode()),
        ("ascii.txt", b"plain ascii text\n"),
    ],
    "unicode_white_space": _unicode_space_files(),
    # One-character tokens and names are shared objects in the host, so the
    # pickle refers back to the name when the same letter is a dictionary key.
    "single_character_names": [
        ("a", b"a a b\n"),
        ("b", b"b\tc"),
        ("é", "é a".encode()),
    ],
    # Tokens and names spelling the package's own keys stay separate objects.
    "package_key_words": [
        ("compressed", b"compressed file_boundaries filenames global_dict\n"),
        ("filenames", b"filenames compressed"),
    ],
    "duplicate_base_names": [
        ("same.txt", b"first version\n"),
        ("other.txt", b"between\n"),
        ("same.txt", b"second version\n"),
    ],
    "repeated_tokens": [
        ("one.txt", b"the cat the hat the the\n" * 50),
        ("two.txt", b"the hat\n" * 20),
    ],
}


def _write_inputs(root, files):
    paths = []
    for i, (name, data) in enumerate(files):
        folder = root / f"{i:03d}"
        folder.mkdir(parents=True)
        path = folder / name
        path.write_bytes(data)
        paths.append(str(path))
    return paths


def _stdlib_sample(count):
    """`count` top-level .py files of the host's standard library, spread
    evenly over the sorted listing."""
    stdlib = os.path.dirname(os.__file__)
    names = sorted(n for n in os.listdir(stdlib) if n.endswith(".py"))
    candidates = []
    for name in names:
        path = os.path.join(stdlib, name)
        try:
            with open(path, encoding="utf-8") as f:
                f.read()
        except (OSError, UnicodeDecodeError):
            continue
        candidates.append(path)
    step = max(1, len(candidates) // count)
    return candidates[::step][:count]


@pytest.fixture(scope="module")
def stdlib_files():
    paths = _stdlib_sample(50)
    assert len(paths) >= 40
    return paths


@pytest.fixture
def inputs(in_tmp):
    """Write a case's files under the tmp cwd and return their paths."""

    def make(files):
        return _write_inputs(in_tmp / "inputs", files)

    return make


def _expected_outputs(paths):
    """What decoding must restore: each input as text-mode reading sees it
    (universal newlines), the later of two equal base names winning."""
    expected = {}
    for p in paths:
        with open(p, encoding="utf-8") as f:
            expected[os.path.basename(p)] = f.read().encode()
    return dict(sorted(expected.items()))


def _encode(compressor, paths, out, **kwargs):
    result = compressor.encode_files(list(paths), str(out), **kwargs)
    return result, out.read_bytes()


def _assert_same_state(native, plain):
    assert native.global_dict == plain.global_dict
    assert list(native.global_dict) == list(plain.global_dict)
    assert native.inverse_dict == plain.inverse_dict
    assert native.next_id == plain.next_id


def _assert_same_package(native_bytes, plain_bytes):
    if native_bytes != plain_bytes:
        # Say which part differs before failing on the bytes.
        native_pkg = pickle.loads(native_bytes)
        plain_pkg = pickle.loads(plain_bytes)
        assert list(native_pkg) == list(plain_pkg)
        for key in plain_pkg:
            assert native_pkg[key] == plain_pkg[key], key
    assert native_bytes == plain_bytes


# -- encoding: byte identity ------------------------------------------------


@pytest.mark.parametrize("case", sorted(INPUT_CASES))
def test_package_bytes_match(mod, inputs, in_tmp, case):
    paths = inputs(INPUT_CASES[case])
    native = mod.OrmekCompressor()
    plain = reference.PlainCompressor()
    n_result, n_bytes = _encode(native, paths, in_tmp / "native.pkg")
    p_result, p_bytes = _encode(plain, paths, in_tmp / "plain.pkg")
    _assert_same_package(n_bytes, p_bytes)
    assert n_result == p_result == len(pickle.loads(p_bytes)["compressed"])
    _assert_same_state(native, plain)


def test_stdlib_sample_package_bytes_match(mod, in_tmp, stdlib_files):
    native = mod.OrmekCompressor()
    plain = reference.PlainCompressor()
    n_result, n_bytes = _encode(native, stdlib_files, in_tmp / "native.pkg")
    p_result, p_bytes = _encode(plain, stdlib_files, in_tmp / "plain.pkg")
    _assert_same_package(n_bytes, p_bytes)
    assert n_result == p_result
    _assert_same_state(native, plain)


PRELOADED_DICTS = {
    # Ids that are neither dense nor in order of appearance, plus tokens the
    # inputs never use (they must still travel in the package).
    "sparse_ids": ({"the": 7, " ": 3, "\n": 42, "unused": 1000, "hat": 2}, 2000),
    # next_id below ids already taken: new tokens skip the numbers in use.
    "next_id_below_taken": ({"the": 5, "cat": 6}, 5),
    # A negative id is packed as its two's complement.
    "negative_id": ({"cat": -5, "hat": -(2**31)}, 10),
    "missing_next_id": ({"the": 1}, None),
}


@pytest.mark.parametrize("preload", sorted(PRELOADED_DICTS))
def test_preloaded_dictionary_package_bytes_match(mod, inputs, in_tmp, preload):
    tokens, next_id = PRELOADED_DICTS[preload]
    data = {"dict": dict(tokens)}
    if next_id is not None:
        data["next_id"] = next_id
    with open("larkmoor_dict.bin", "wb") as f:
        pickle.dump(data, f)
    paths = inputs(INPUT_CASES["repeated_tokens"] + [("more.txt", b"cat dog\n\n the")])
    native = mod.OrmekCompressor()
    plain = reference.PlainCompressor()
    _assert_same_state(native, plain)
    n_result, n_bytes = _encode(native, paths, in_tmp / "native.pkg")
    p_result, p_bytes = _encode(plain, paths, in_tmp / "plain.pkg")
    _assert_same_package(n_bytes, p_bytes)
    assert n_result == p_result
    _assert_same_state(native, plain)
    for token, token_id in tokens.items():
        assert native.global_dict[token] == token_id


def test_two_successive_calls_match(mod, inputs, in_tmp):
    first = inputs([("a.txt", b"one two three\n"), ("b.txt", b"two  four\r\n")])
    second = _write_inputs(
        in_tmp / "second", [("c.txt", b"four five one\n"), ("a.txt", "six é\n".encode())]
    )
    native = mod.OrmekCompressor()
    plain = reference.PlainCompressor()
    for round_no, paths in enumerate([first, second, first]):
        n_result, n_bytes = _encode(native, paths, in_tmp / f"native{round_no}.pkg")
        p_result, p_bytes = _encode(plain, paths, in_tmp / f"plain{round_no}.pkg")
        _assert_same_package(n_bytes, p_bytes)
        assert n_result == p_result
        _assert_same_state(native, plain)
    # The third call saw only known tokens: its id stream equals the first's.
    first_pkg = pickle.loads((in_tmp / "native0.pkg").read_bytes())
    third_pkg = pickle.loads((in_tmp / "native2.pkg").read_bytes())
    decompress = zstandard.ZstdDecompressor().decompress
    assert decompress(first_pkg["compressed"]) == decompress(third_pkg["compressed"])


def _frames_deterministic(data, level, threads):
    make = lambda: zstandard.ZstdCompressor(level=level, threads=threads).compress(data)
    return make() == make()


@pytest.mark.parametrize("threads", [0, 1, 4])
@pytest.mark.parametrize("level", [1, 6, 19])
def test_levels_and_threads_match(mod, in_tmp, stdlib_files, level, threads):
    paths = stdlib_files[::4]
    settings = {"zstd_level": level, "threads": threads}
    plain = reference.PlainCompressor()
    p_result, p_bytes = _encode(plain, paths, in_tmp / "plain.pkg", **settings)
    stream = zstandard.ZstdDecompressor().decompress(pickle.loads(p_bytes)["compressed"])
    if not _frames_deterministic(stream, level, threads):
        pytest.skip(f"zstandard frames are not reproducible at level {level}, threads {threads}")
    native = mod.OrmekCompressor()
    n_result, n_bytes = _encode(native, paths, in_tmp / "native.pkg", **settings)
    _assert_same_package(n_bytes, p_bytes)
    assert n_result == p_result


# -- decoding: both sides restore the same files ------------------------------


def _decode(compressor, package, out_dir, **kwargs):
    names = compressor.decode_package(str(package), str(out_dir), **kwargs)
    return names, read_dir(out_dir)


def _cross_decode(mod, in_tmp, native_pkg, plain_pkg, **kwargs):
    """Decode both packages with both sides; return the four results."""
    results = {}
    for side, make in (("native", mod.OrmekCompressor), ("plain", reference.PlainCompressor)):
        for origin, package in (("native", native_pkg), ("plain", plain_pkg)):
            compressor = make()
            out_dir = in_tmp / f"out-{side}-from-{origin}"
            results[side, origin] = _decode(compressor, package, out_dir, **kwargs) + (
                compressor,
            )
    return results


@pytest.mark.parametrize("case", sorted(INPUT_CASES))
def test_cross_decoding_restores_same_files(mod, inputs, in_tmp, case):
    paths = inputs(INPUT_CASES[case])
    _encode(mod.OrmekCompressor(), paths, in_tmp / "native.pkg")
    _encode(reference.PlainCompressor(), paths, in_tmp / "plain.pkg")
    results = _cross_decode(mod, in_tmp, in_tmp / "native.pkg", in_tmp / "plain.pkg")
    expected_names = [os.path.basename(p) for p in paths]
    expected_files = _expected_outputs(paths)
    for (side, origin), (names, files, compressor) in results.items():
        assert names == expected_names, (side, origin)
        assert files == expected_files, (side, origin)
    native, plain = results["native", "plain"][2], results["plain", "native"][2]
    assert native.global_dict == plain.global_dict
    assert native.inverse_dict == plain.inverse_dict


def test_stdlib_sample_cross_decoding(mod, in_tmp, stdlib_files):
    _encode(mod.OrmekCompressor(), stdlib_files, in_tmp / "native.pkg")
    _encode(reference.PlainCompressor(), stdlib_files, in_tmp / "plain.pkg")
    results = _cross_decode(mod, in_tmp, in_tmp / "native.pkg", in_tmp / "plain.pkg")
    expected_files = _expected_outputs(stdlib_files)
    for key, (names, files, _) in results.items():
        assert files == expected_files, key


DICT = {"alpha": 1, " ": 2, "beta": 3, "\n": 4, "é中😀": 5}

# name -> (package dict with a raw id stream under "compressed"); each is
# decoded raw (use_zstd false) and, after compressing the stream, with zstd.
CRAFTED_PACKAGES = {
    "trailing_bytes": {
        "compressed": pack([1, 2, 3]) + b"\x00\x00\x04",
        "file_boundaries": [3],
        "filenames": ["t.txt"],
        "global_dict": DICT,
    },
    "unknown_id": {
        "compressed": pack([1, 999, 2, 0, 3]),
        "file_boundaries": [5],
        "filenames": ["u.txt"],
        "global_dict": DICT,
    },
    "no_global_dict": {
        "compressed": pack([1, 2, 3]),
        "file_boundaries": [1, 3],
        "filenames": ["x.txt", "y.txt"],
    },
    "fewer_boundaries_than_names": {
        "compressed": pack([1, 2, 3, 4]),
        "file_boundaries": [2],
        "filenames": ["first.txt", "never.txt"],
        "global_dict": DICT,
    },
    "boundary_beyond_end_and_going_back": {
        "compressed": pack([1, 2, 3, 4, 5, 4]),
        "file_boundaries": [4, 2, 100, 3],
        "filenames": ["a.txt", "b.txt", "c.txt", "d.txt"],
        "global_dict": DICT,
    },
    "negative_boundary": {
        "compressed": pack([1, 2, 3, 4, 5]),
        "file_boundaries": [-2, 5, -1],
        "filenames": ["neg.txt", "rest.txt", "tail.txt"],
        "global_dict": DICT,
    },
    "empty_payload_with_names": {
        "compressed": b"\x00\x01",
        "file_boundaries": [0, 3],
        "filenames": ["empty1.txt", "empty2.txt"],
        "global_dict": DICT,
    },
    "duplicate_names_later_wins": {
        "compressed": pack([1, 3, 5]),
        "file_boundaries": [1, 2, 3],
        "filenames": ["dup.txt", "other.txt", "dup.txt"],
        "global_dict": DICT,
    },
    "shared_ids_later_key_wins": {
        "compressed": pack([7, 8]),
        "file_boundaries": [2],
        "filenames": ["s.txt"],
        "global_dict": {"old": 7, "new": 7, "\r\n": 8},
        "extra_key": "ignored",
    },
}


@pytest.mark.parametrize("use_zstd", [False, True])
@pytest.mark.parametrize("case", sorted(CRAFTED_PACKAGES))
def test_crafted_packages_decode_alike(mod, in_tmp, case, use_zstd):
    package = dict(CRAFTED_PACKAGES[case])
    if use_zstd:
        package["compressed"] = zstandard.ZstdCompressor().compress(package["compressed"])
    path = in_tmp / "crafted.pkg"
    path.write_bytes(pickle.dumps(package))
    native = mod.OrmekCompressor()
    plain = reference.PlainCompressor()
    n_names, n_files = _decode(native, path, in_tmp / "native-out", use_zstd=use_zstd)
    p_names, p_files = _decode(plain, path, in_tmp / "plain-out", use_zstd=use_zstd)
    assert n_names == p_names == package["filenames"]
    assert n_files == p_files
    assert native.global_dict == plain.global_dict
    assert native.inverse_dict == plain.inverse_dict
    # next_id is the constructor's, whatever the package held.
    assert native.next_id == plain.next_id == 1


# -- packages that carry only the tokens they use -----------------------------

# Beside the cases above: tokens past 255 bytes and past 64 KiB, beyond
# U+FFFF, and thousands of distinct tokens (batches of 1000, frames past
# 64 KiB).
USED_TOKEN_CASES = dict(
    INPUT_CASES,
    long_tokens=[("t", b"x" * 300 + b" " + b"y" * 70000 + " 😀 𝔘x".encode() * 3)],
    many_tokens=[("m", " ".join(f"w{i}" for i in range(30000)).encode()), ("w1", b"w1 w2")],
)


def _named(paths):
    """(path, name) entries, named by base name where those differ."""
    names = [os.path.basename(p) for p in paths]
    if len(set(names)) < len(names):
        names = [f"{i}-{name}" for i, name in enumerate(names)]
    return list(zip(paths, names))


def _preloaded(cls, tokens):
    compressor = cls()
    compressor.global_dict = {token: i + 1 for i, token in enumerate(tokens)}
    compressor.inverse_dict = {i: token for token, i in compressor.global_dict.items()}
    compressor.next_id = len(tokens) + 1
    return compressor


def _first_sight(compressor, entries):
    tokens = []
    for path, _ in entries:
        with open(path, encoding="utf-8") as f:
            tokens += compressor.tokenize(f.read())
    return list(dict.fromkeys(tokens))


def _assert_host_bytes_and_restores(path, entries, out_dir):
    """The host's pickler writes the loaded package as the very bytes, and a
    plain decoder restores every file."""
    data = path.read_bytes()
    package = pickle.loads(data)
    assert pickle.dumps(package, protocol=pickle.DEFAULT_PROTOCOL) == data
    names = reference.PlainCompressor().decode_package(str(path), str(out_dir))
    assert names == [name for _, name in entries]
    for source, name in entries:
        with open(source, encoding="utf-8") as f:
            assert (out_dir / name).read_text(encoding="utf-8") == f.read()
    return package


def _assert_same_content(package, expected):
    """Equal packages, the compressed streams compared by what they hold."""
    decompress = zstandard.ZstdDecompressor().decompress
    assert list(package) == list(expected)
    assert decompress(package["compressed"]) == decompress(expected["compressed"])
    for key in list(package)[1:]:
        assert package[key] == expected[key], key
    assert list(package["global_dict"].items()) == list(expected["global_dict"].items())


@pytest.mark.parametrize("checks", [False, True])
@pytest.mark.parametrize("case", sorted(USED_TOKEN_CASES))
def test_own_dictionary_packages(mod, inputs, in_tmp, case, checks):
    """package_dict="own": the package a fresh compressor would write, the
    object's dictionaries neither read nor changed."""
    entries = _named(inputs(USED_TOKEN_CASES[case]))
    compressor = _preloaded(mod.OrmekCompressor, ["a", "the", "x" * 300])
    before = tuple(map(copy.copy, fields(compressor)))
    compressor.encode_named_files(entries, "own.pkg", checks=checks, package_dict="own")
    assert fields(compressor) == before
    package = _assert_host_bytes_and_restores(in_tmp / "own.pkg", entries, in_tmp / "out")
    mod.OrmekCompressor().encode_named_files(entries, "fresh.pkg", checks=checks)
    _assert_same_content(package, pickle.loads((in_tmp / "fresh.pkg").read_bytes()))


@pytest.mark.parametrize("threads", [0, 2])
@pytest.mark.parametrize("words", [32_767, 32_768, 400_000])
def test_own_big_stream_frame_states_its_size(mod, in_tmp, words, threads):
    """A big stream of a package numbering its own tokens is compressed in
    pieces (from 65,536 tokens on): its frame states the stream's size, which
    one-shot decompression needs, and holds what the one-shot frame holds."""
    source = in_tmp / "big.txt"
    source.write_text(" ".join(f"w{i % 70_000}" for i in range(words)) + "\n")
    entries = [(str(source), "big.txt")]
    mod.OrmekCompressor().encode_named_files(entries, "own.pkg", 6, threads, package_dict="own")
    package = _assert_host_bytes_and_restores(in_tmp / "own.pkg", entries, in_tmp / "out")
    frame = package["compressed"]
    assert zstandard.get_frame_parameters(frame).content_size == 4 * 2 * words
    mod.OrmekCompressor().decode_package(str(in_tmp / "own.pkg"), str(in_tmp / "mine"))
    assert (in_tmp / "mine" / "big.txt").read_text() == source.read_text()
    mod.OrmekCompressor().encode_named_files(entries, "fresh.pkg", 6, threads)
    _assert_same_content(package, pickle.loads((in_tmp / "fresh.pkg").read_bytes()))


@pytest.mark.parametrize("threads", [1, 4])
def test_own_tree_frame_is_the_one_shot_frame(mod, in_tmp, threads):
    """Many files numbering their own tokens, their stream compressed in
    pieces: the frame is the binding's one-shot frame of the same stream (a
    binding whose frames made in pieces stop matching it is caught here)."""
    entries = []
    for f in range(16):
        source = in_tmp / f"f{f:02}.txt"
        source.write_text(" ".join(f"w{(i * 7 + f) % 20_000}" for i in range(50_000)) + "\n")
        entries.append((str(source), source.name))
    mod.OrmekCompressor().encode_named_files(entries, "own.pkg", 6, threads, package_dict="own")
    package = _assert_host_bytes_and_restores(in_tmp / "own.pkg", entries, in_tmp / "out")
    frame = package["compressed"]
    stream = zstandard.ZstdDecompressor().decompress(frame)
    assert len(stream) == 4 * 16 * 100_000
    assert frame == zstandard.ZstdCompressor(level=6, threads=threads).compress(stream)


@pytest.mark.parametrize("checks", [False, True])
def test_own_package_pickled_while_its_frame_is_made(mod, in_tmp, checks):
    """A frame too big for the pickle's frames is written where the package
    pickled before it was made had a stand-in: the host's bytes all the same,
    names and tokens of one character shared as the host shares them."""
    words = [f"w{i}" for i in range(30_000)] + ["a", "é"]
    pick = random.Random(7).choice
    entries = []
    for name in ["a", "é", "long"]:
        source = in_tmp / f"src-{len(entries)}.txt"
        source.write_text(" ".join(pick(words) for _ in range(60_000)) + "\n", encoding="utf-8")
        entries.append((str(source), name))
    mod.OrmekCompressor().encode_named_files(
        entries, "own.pkg", 6, 2, checks=checks, package_dict="own"
    )
    package = _assert_host_bytes_and_restores(in_tmp / "own.pkg", entries, in_tmp / "out")
    assert len(package["compressed"]) >= 64 * 1024


@pytest.mark.parametrize("tokenize", ["native", "overridden"])
def test_used_dictionary_packages(mod, inputs, in_tmp, tokenize):
    """package_dict="used": the object's dictionaries grow as ever, the
    package carries the tokens its files use, with their ids, in order of
    first sight; the plain way (tokenize overridden) writes the same."""

    class Overriding(mod.OrmekCompressor):
        def tokenize(self, text):
            return super().tokenize(text)

    entries = _named(inputs(INPUT_CASES["non_ascii"] + INPUT_CASES["single_character_names"]))
    known = [f"k{i}" for i in range(3000)] + ["a", "é", "b"]
    compressor = _preloaded(mod.OrmekCompressor if tokenize == "native" else Overriding, known)
    whole = _preloaded(mod.OrmekCompressor, known)
    compressor.encode_named_files(entries, "used.pkg", package_dict="used")
    whole.encode_named_files(entries, "whole.pkg")
    _assert_same_state(compressor, whole)
    package = _assert_host_bytes_and_restores(in_tmp / "used.pkg", entries, in_tmp / "out")
    used = _first_sight(whole, entries)
    assert list(package["global_dict"].items()) == [(t, whole.global_dict[t]) for t in used]


def test_package_dict_values(mod, in_tmp, comp):
    (in_tmp / "a.txt").write_text("a b")
    with pytest.raises(ValueError, match="package_dict"):
        comp.encode_named_files([("a.txt", "a.txt")], "p.pkg", package_dict="all")
    assert not (in_tmp / "p.pkg").exists()


@pytest.mark.parametrize("package_dict", ["own", "used"])
def test_replaced_dump_gets_the_dictionary(mod, inputs, in_tmp, monkeypatch, package_dict):
    """A dump of the user's own is given the token dictionary as a dict."""
    entries = _named(inputs(INPUT_CASES["non_ascii"]))
    mod.OrmekCompressor().encode_named_files(entries, "plain.pkg")
    dumped = []

    def dump(obj, f):
        dumped.append(obj)
        return real_dump(obj, f)

    real_dump = pickle.dump
    monkeypatch.setattr(pickle, "dump", dump)
    mod.OrmekCompressor().encode_named_files(entries, "p.pkg", package_dict=package_dict)
    assert dumped and type(dumped[0]["global_dict"]) is dict
    assert (in_tmp / "p.pkg").read_bytes() == (in_tmp / "plain.pkg").read_bytes()
