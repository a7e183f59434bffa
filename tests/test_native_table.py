"""Checking and restoring through the id -> UTF-8 table read straight from
the pickled dictionary: the same answers and errors as the host's way (which
a replaced pickle.load forces), and the host's way wherever the table would
not be exact. restore_package leaves the object's dictionaries empty only
when it read the table natively, which tells the two ways apart."""

import pickle
import random
import types
from pathlib import Path

import pytest
import zstandard

from helpers import pack

NAMES = ["a.txt", "d/b.txt", "c.txt"]


def _package(gd, ids, boundaries=(2, 5, 6), payload=None):
    return {
        "compressed": zstandard.ZstdCompressor().compress(pack(ids)) if payload is None else payload,
        "file_boundaries": list(boundaries),
        "filenames": NAMES,
        "global_dict": gd,
    }


def _repeated_key():
    data = pickle.dumps(_package({"xa": 1, "xb": 2, "€": 3}, [1, 2, 3, 2, 1, 3]), 4)
    assert data.count(b"xb") == 1
    return data.replace(b"xb", b"xa")


_RANDOM_IDS = tuple(random.Random(5).choices(range(7), k=40000))


def _framed(shape, ids=_RANDOM_IDS, checksum=True):
    """A package of `ids` (past one block of a frame, a frame past the bytes
    a package's walk keeps) whose payload is their frame as `shape(frame,
    stream)` makes it: one the reader decompresses in pieces from the file,
    or one it must leave to the one-shot call."""
    stream = pack(ids)
    frame = zstandard.ZstdCompressor(write_checksum=checksum).compress(stream)
    gd = {"ab": 0, "\n": 1, "c": 2, "dd": 3, "e": 4, "f": 5, "g": 6}
    return pickle.dumps(_package(gd, ids, (2, 5, len(ids)), payload=shape(frame, stream)), 5)


def _unsized(frame, stream):
    pieces = zstandard.ZstdCompressor().compressobj()
    return pieces.compress(stream) + pieces.flush()


def _flipped(frame, stream):
    middle = len(frame) // 2
    return frame[:middle] + bytes([frame[middle] ^ 0x5A]) + frame[middle + 1:]


FRAMES = {
    "frame": lambda f, s: f,
    "frame-cut": lambda f, s: f[:-5],
    "frame-trailing": lambda f, s: f + bytes(3),
    "two-frames": lambda f, s: f + f,
    "skippable-after": lambda f, s: f + b"\x50\x2a\x4d\x18" + (4).to_bytes(4, "little") + b"skip",
    "frame-flipped": _flipped,
    "frame-unsized": _unsized,
}


# (package bytes, whether the table is read natively)
CASES = {
    "plain": (pickle.dumps(_package({"he": 1, " ": 2, "llo€😀": 3}, [1, 2, 3, 9, 2, 1]), 5), True),
    "equal-ids": (pickle.dumps(_package({"x": 1, "y": 1, "z": 2}, [1, 2, 1, 1, 2, 0]), 4), True),
    "ids-beyond": (pickle.dumps(_package({"n": -1, "w": 2**31, "v": 2**70, "k": 2**31 - 1, "o": 0},
                                         [0, 2**31 - 1, 5, 0, 0, 1]), 5), True),
    "sparse-long": (pickle.dumps(_package({"t" * 40: 10**9, "s": 7}, [7, 10**9, 10**9, 7, 3, 7]), 5),
                    True),
    "oversized-id": (pickle.dumps(_package({"x": 1}, [1, 2**31, 1, 1, 1, 1]), 5), True),
    "short-stream": (pickle.dumps(_package({"x": 1}, [1], payload=zstandard.ZstdCompressor().compress(
        pack([1, 1])[:7])), 5), True),
    "bad-frame": (pickle.dumps(_package({"x": 1}, [1], payload=b"\x28\xb5\x2f\xfd" + bytes(9)), 5),
                  True),
    "big-payload": (pickle.dumps(_package({"ab": 0, "\n": 1}, [0, 1] * 3000, (2, 5000, 6000),
                                          payload=pack([0, 1] * 3000)), 5), True),
    "surrogate-key": (pickle.dumps(_package({"x": 1, "\udcff": 2}, [1, 2, 1, 1, 1, 1]), 5), False),
    "repeated-key": (_repeated_key(), False),
    "protocol-2": (pickle.dumps(_package({"x": 1}, [1, 1, 1, 1, 1, 1]), 2), False),
    "run-blocks": (_framed(lambda f, s: f, _RANDOM_IDS + (0,) * 100000, checksum=False), True),
    **{name: (_framed(shape), True) for name, shape in FRAMES.items()},
    # A stream big beside its dictionary: decompressed while the dictionary is walked.
    **{f"{name}-early": (_framed(shape, _RANDOM_IDS * 2), True) for name, shape in FRAMES.items()},
    "early-then-cut": (_framed(_flipped, _RANDOM_IDS * 2)[:-9], True),  # no way loads it
    "early-then-repeated-key": (_framed(_flipped, _RANDOM_IDS * 2).replace(b"\x8c\x02dd", b"\x8c\x02ab"), False),
}


def _outcome(call):
    try:
        return call()
    except Exception as e:  # the same type and message either way
        return type(e), str(e)


def _outcomes(comp, use_zstd):
    out = {}
    out["check"] = _outcome(lambda: comp.check_package("p.pkg", use_zstd))
    out["sizes"] = _outcome(lambda: comp.restored_sizes("p.pkg", use_zstd))
    out["names"] = _outcome(lambda: comp.decode_names("p.pkg", "n", ["d", "c.txt"], use_zstd))
    out["all"] = _outcome(lambda: comp.restore_package("p.pkg", "o", use_zstd))
    out["files"] = {d: {str(p): p.read_bytes() for p in Path(d).rglob("*") if p.is_file()}
                    for d in ("n", "o")}
    return out


@pytest.mark.parametrize("case", CASES)
def test_native_table_answers_as_the_host_way(mod, comp, in_tmp, monkeypatch, case):
    data, native = CASES[case]
    (in_tmp / "p.pkg").write_bytes(data)
    use_zstd = case not in ("big-payload",)
    got = _outcomes(comp, use_zstd)
    assert (comp.global_dict == {}) == native
    (in_tmp / "plain").mkdir()
    monkeypatch.chdir(in_tmp / "plain")
    (in_tmp / "plain" / "p.pkg").write_bytes(data)
    monkeypatch.setattr(mod, "pickle", types.SimpleNamespace(load=pickle.load))
    assert _outcomes(mod.OrmekCompressor(), use_zstd) == got


def test_a_replaced_decompressor_takes_the_host_way(mod, comp, in_tmp, monkeypatch):
    (in_tmp / "p.pkg").write_bytes(CASES["plain"][0])
    seen = []

    class Decompressor:
        def decompress(self, data):
            seen.append(dict(comp.global_dict))
            return zstandard.ZstdDecompressor().decompress(data)

    monkeypatch.setattr(mod, "zstd", types.SimpleNamespace(ZstdDecompressor=Decompressor))
    assert comp.restore_package("p.pkg", "o") == NAMES
    assert seen == [{"he": 1, " ": 2, "llo€😀": 3}]
