"""Every public operation, on its success path and on the error paths of its
failure table, run many times: the total reference count (debug builds) and
the traced memory must not grow, nor (ORMEK_LEAK_RSS=1) the process's
resident size.  test_object.py and test_binding.py cover attribute access,
construction and argument binding; this file covers the rest.

The harness (helpers.leak_problems) says how the figures are taken and
which environment variables set its size."""

import os
import pickle
import random
import types

import pytest
import zstandard

import ormek_compressor
from helpers import leak_problems, pack, write_pickle

Compressor = ormek_compressor.OrmekCompressor
unpickle = ormek_compressor.__pyx_unpickle_OrmekCompressor
CHECKSUM = 0x3E12E10

# A frame past the bytes a package's walk keeps: read from the file in pieces.
PIECES = {"file_boundaries": [30000], "filenames": ["pieces.txt"], "compressed": zstandard.ZstdCompressor()
          .compress(pack(random.Random(7).choices(range(61), k=30000)))}

# About 1500 tokens, so that anything the native code keeps per token or per
# call adds up to megabytes over the loop.
TEXT = "".join(f"w{i % 211} é{i % 7}\t日本 " + ("\n" if i % 9 == 0 else "") for i in range(300))


class Ctx:
    """Files and objects every operation starts from, made once."""

    def __init__(self, root):
        self.root = str(root)
        j = self.path
        self.text = j("in.txt")
        with open(self.text, "w", encoding="utf-8") as f:
            f.write(TEXT)
        self.empty = j("empty.txt")
        open(self.empty, "w").close()
        self.latin1 = j("latin1.txt")
        with open(self.latin1, "wb") as f:
            f.write(b"caf\xe9 ok")
        self.dict_file = j("dict.bin")
        seed = Compressor(self.dict_file)
        seed.encode_files([self.text], j("seed.pkg"), 1, 0)
        seed.save_dict()
        self.tokens = seed.tokenize(TEXT)
        with open(j("seed.pkg"), "rb") as f:
            self.package = pickle.load(f)
        self.state = seed.__reduce__()[2]
        self.pickled = pickle.dumps(seed)
        self.raw = zstandard.ZstdDecompressor().decompress(self.package["compressed"])
        self.packages = {}
        self.out = j("out")
        os.makedirs(self.out)
        os.symlink(self.text, os.path.join(self.out, "link"))  # in the way of the name "link"
        self.comp = Compressor(j("work-dict.bin"))

    def path(self, *names):
        return os.path.join(self.root, *names)

    def pkg(self, name, **changes):
        """A package file holding the seed package with `changes` (a value
        of ... removes the key), written once."""
        path = self.packages.get(name)
        if path is None:
            obj = dict(self.package)
            for key, value in changes.items():
                if value is ...:
                    del obj[key]
                else:
                    obj[key] = value
            path = self.packages[name] = self.path(name + ".pkg")
            write_pickle(path, obj)
        return path

    def dict_with(self, name, obj):
        path = self.path(name + ".dict")
        if not os.path.exists(path):
            write_pickle(path, obj)
        return path


class Sub(Compressor):
    """A Python subclass: its instances have a __dict__ and pickle a 5-tuple."""


def _fresh(ctx):
    c = Compressor(ctx.path("none.bin"))
    return c


# Each case: (name, operation, exception it must raise or None).  An
# operation takes the Ctx; it may replace fields of ctx.comp but leaves the
# files as they were.
def _decode(ctx, name, use_zstd=True, **changes):
    return ctx.comp.decode_package(ctx.pkg(name, **changes), ctx.out, use_zstd)


def _load(ctx, path):
    c = _fresh(ctx)
    c.dict_path = path
    c.load_dict()


def _save_to(ctx, path, global_dict=None):
    c = _fresh(ctx)
    c.dict_path = path
    if global_dict is not None:
        c.global_dict = global_dict
    c.save_dict()


def _encode(ctx, files, comp=None, **fields):
    c = comp or _fresh(ctx)
    for k, v in fields.items():
        setattr(c, k, v)
    return c.encode_files(files, ctx.path("enc.pkg"), 1, 0)


def _setstate(state, comp=None):
    (comp or Compressor.__new__(Compressor)).__setstate__(state)


def _without_global(name, operation):
    def run(ctx):
        saved = getattr(ormek_compressor, name)
        delattr(ormek_compressor, name)
        try:
            operation(ctx)
        finally:
            setattr(ormek_compressor, name, saved)
    return run


class _Items:
    """A mapping stand-in whose items are not pairs."""

    def __init__(self, item):
        self.item = item

    def items(self):
        return [("a", 1), self.item]


def _with_pickle(overrides, operation):
    """`operation` with the module global `pickle` replaced by a stand-in
    whose load returns the real content with `overrides` applied."""
    def load(f):
        obj = pickle.load(f)
        if overrides and isinstance(obj, dict):
            obj = dict(obj, **overrides)
        return obj

    fake = types.SimpleNamespace(load=load, dump=pickle.dump, PickleError=pickle.PickleError)

    def run(ctx):
        saved = ormek_compressor.pickle
        ormek_compressor.pickle = fake
        try:
            operation(ctx)
        finally:
            ormek_compressor.pickle = saved
    return run


CASES = [
    # -- tokenize / detokenize
    ("tokenize", lambda c: c.comp.tokenize(TEXT), None),
    ("detokenize", lambda c: c.comp.detokenize(c.tokens), None),
    ("detokenize non-str item", lambda c: c.comp.detokenize(["a", 1, "b"]), TypeError),
    ("tokenize wrong type", lambda c: c.comp.tokenize(b"bytes"), TypeError),
    # -- construction that loads, load_dict, save_dict
    ("construct loading a file", lambda c: Compressor(c.dict_file), None),
    ("load_dict", lambda c: _load(c, c.dict_file), None),
    ("load_dict no file", lambda c: _load(c, c.path("missing.bin")), None),
    ("load_dict directory", lambda c: _load(c, c.root), IsADirectoryError),
    ("load_dict empty file", lambda c: _load(c, c.empty), EOFError),
    ("load_dict not a pickle", lambda c: _load(c, c.latin1), pickle.UnpicklingError),
    ("load_dict no get", lambda c: _load(c, c.dict_with("list", [1, 2])), AttributeError),
    ("load_dict dict None", lambda c: _load(c, c.dict_with("none", {"dict": None})), AttributeError),
    ("load_dict dict without items", lambda c: _load(c, c.dict_with("dlist", {"dict": [(1, 2)]})),
     AttributeError),
    ("load_dict items not pairs", _with_pickle({"dict": _Items((1, 2, 3))}, lambda c: _load(c, c.dict_file)),
     ValueError),
    ("load_dict next_id overflow",
     lambda c: _load(c, c.dict_with("overflow", {"dict": {"a": 1}, "next_id": 2**31})), OverflowError),
    ("load_dict next_id not int",
     lambda c: _load(c, c.dict_with("strid", {"dict": {}, "next_id": "7"})), TypeError),
    ("load_dict without pickle global", _without_global("pickle", lambda c: _load(c, c.dict_file)),
     NameError),
    ("save_dict", lambda c: _save_to(c, c.path("saved.bin"), {"a": 1, "b": 2}), None),
    ("save_dict missing directory", lambda c: _save_to(c, c.path("no", "dir", "d.bin")),
     FileNotFoundError),
    ("save_dict unpicklable", lambda c: _save_to(c, c.path("bad.bin"), {"f": lambda: 0}), Exception),
    # -- encode_files
    ("encode_files", lambda c: _encode(c, [c.text, c.empty]), None),
    ("encode_files into a grown dict", lambda c: _encode(c, [c.text], c.comp), None),
    ("encode_files no files", lambda c: _encode(c, []), None),
    ("encode_files missing input", lambda c: _encode(c, [c.text, c.path("missing.txt")]),
     FileNotFoundError),
    ("encode_files not UTF-8", lambda c: _encode(c, [c.text, c.latin1]), UnicodeDecodeError),
    ("encode_files next_id limit", lambda c: _encode(c, [c.text], next_id=2**31 - 3), OverflowError),
    ("encode_files id out of range", lambda c: _encode(c, [c.text], global_dict={"w0": 2**31}),
     OverflowError),
    ("encode_files global_dict None", lambda c: _encode(c, [c.text], global_dict=None), Exception),
    ("encode_files output dir missing",
     lambda c: _fresh(c).encode_files([c.text], c.path("no", "x.pkg")), FileNotFoundError),
    ("encode_files bad level", lambda c: _fresh(c).encode_files([c.text], c.path("l.pkg"), 2**40),
     OverflowError),
    ("encode_files ids in use", lambda c: _encode(c, [c.text], inverse_dict={1: "x", 3: "y"}),
     None),
    ("encode_files bytes base name", lambda c: _encode(c, [os.fsencode(c.text)]), TypeError),
    ("encode_files repeated ids", lambda c: _encode(c, [c.text], global_dict={"w0": 1, "w1": 1}),
     ValueError),
    ("encode_named_files", lambda c: _fresh(c).encode_named_files(
        [(c.text, "d/in.txt"), (c.empty, "e")], c.path("named.pkg"), 1, 0), None),
    ("encode_named_files clash", lambda c: _fresh(c).encode_named_files(
        [(c.text, "d"), (c.empty, "d/e")], c.path("named.pkg")), ValueError),
    ("encode_named_files with checks", lambda c: _fresh(c).encode_named_files(
        [(c.text, "d/in.txt")], c.path("keyed.pkg"), 1, 0, checks=True, empty_dirs=["e"]), None),
    *((f"encode_named_files {kind} dictionary", lambda c, kind=kind: _fresh(c).encode_named_files(
        [(c.text, "in.txt")], c.path("own.pkg"), 1, 0, checks=True, package_dict=kind), None)
      for kind in ("own", "used")),
    ("encode_named_files bad package_dict", lambda c: _fresh(c).encode_named_files(
        [(c.text, "in.txt")], c.path("own.pkg"), package_dict="all"), ValueError),
    ("check_package", lambda c: c.comp.check_package(c.pkg("seed")), None),
    ("check_package damaged", lambda c: c.comp.check_package(c.pkg("damaged", file_facts={
        "version": 1, "empty_dirs": [], **{key: [bytes(16) if key == "digests" else 0] * len(
            c.package["filenames"]) for key in ("digests", "sizes", "modes", "mtimes_ns")}})),
     ValueError),
    ("check_text_files", lambda c: c.comp.check_text_files(
        [c.text, c.latin1, c.empty, c.path("out", "link"), c.path("nope"), c.out]), None),
    ("check_text_files null byte", lambda c: c.comp.check_text_files([c.text, "a\0"]), ValueError),
    # -- read_package
    ("read_package", lambda c: c.comp.read_package(c.pkg("seed")), None),
    ("read_package refused global", lambda c: c.comp.read_package(_evil(c)),
     pickle.UnpicklingError),
    # -- restored_names
    ("restored_names", lambda c: c.comp.restored_names(
        {"file_boundaries": (1, 2, 2), "filenames": ["d/a", "b", "d/a"]}), None),
    ("restored_names clash", lambda c: c.comp.restored_names(
        {"file_boundaries": b"\x01\x02", "filenames": {"d/a": 0, "d": 0}}), ValueError),
    ("judge_package facts", lambda c: _fresh(c).encode_named_files(
        [(c.text, "d/in.txt")], c.path("j.pkg"), 1, 0, checks=True, empty_dirs=["d/e", "f"])
     or c.comp.judge_package(c.comp.read_package(c.path("j.pkg"))), None),
    ("judge_package damaged facts", lambda c: c.comp.judge_package(
        {"file_boundaries": [1], "filenames": ["a"], "file_facts": {"version": 1, "x": 0}}),
     ValueError),
    # -- decode_package: success and every row of its failure table
    ("decode_package", lambda c: _decode(c, "seed"), None),
    ("decode_package raw", lambda c: _decode(c, "raw", False, compressed=c.raw), None),
    ("decode_package protocol 0", lambda c: c.comp.decode_package(
        _proto0(c), c.out), None),
    ("decode_package no global_dict", lambda c: _decode(c, "nodict", global_dict=...), None),
    ("decode_package missing file", lambda c: c.comp.decode_package(c.path("nope.pkg"), c.out),
     FileNotFoundError),
    ("decode_package not a pickle", lambda c: c.comp.decode_package(c.latin1, c.out),
     pickle.UnpicklingError),
    ("decode_package refused global", lambda c: c.comp.decode_package(_evil(c), c.out),
     pickle.UnpicklingError),
    ("decode_package not a dict", lambda c: c.comp.decode_package(c.dict_with("pkglist", [1]), c.out),
     AttributeError),
    ("decode_package global_dict None", lambda c: _decode(c, "gdnone", global_dict=None),
     AttributeError),
    ("decode_package global_dict without items", lambda c: _decode(c, "gdlist", global_dict=[(1, 2)]),
     AttributeError),
    ("decode_package items not pairs",
     _with_pickle({"global_dict": _Items((1, 2, 3))}, lambda c: _decode(c, "seed")), ValueError),
    ("decode_package items too short",
     _with_pickle({"global_dict": _Items((1,))}, lambda c: _decode(c, "seed")), ValueError),
    ("decode_package replaced pickle",
     _with_pickle(None, lambda c: _decode(c, "seed")), None),
    ("decode_package no compressed", lambda c: _decode(c, "nocomp", compressed=...), KeyError),
    ("decode_package bad frame", lambda c: _decode(c, "badframe", compressed=b"(\xb5/\xfd junk"),
     zstandard.ZstdError),
    ("decode_package id overflow",
     lambda c: _decode(c, "idover", False, compressed=b"\x00\x00\x00\x01\x80\x00\x00\x00"),
     OverflowError),
    ("decode_package no boundaries", lambda c: _decode(c, "nobound", file_boundaries=...), KeyError),
    ("decode_package no filenames", lambda c: _decode(c, "nonames", filenames=...), KeyError),
    ("decode_package boundary overflow", lambda c: _decode(c, "bover", file_boundaries=[2**31]),
     OverflowError),
    ("decode_package name not str", lambda c: _decode(c, "nameint", filenames=[5]), TypeError),
    ("decode_package unsafe name", lambda c: _decode(c, "nameup", filenames=["../up.txt"]),
     ValueError),
    ("decode_package output is a file", lambda c: c.comp.decode_package(c.pkg("seed"), c.text),
     OSError),
    ("decode_package nested names",
     lambda c: _decode(c, "nested", file_boundaries=[5, 9], filenames=["d/a", "d/e/b"]), None),
    ("decode_package names clash",
     lambda c: _decode(c, "clash", file_boundaries=[5, 9], filenames=["d", "d/b"]), ValueError),
    ("decode_package link in the way", lambda c: _decode(c, "linked", filenames=["link"]),
     FileExistsError),
    ("decode_package unknown ids", lambda c: _decode(c, "unk", global_dict={"x": 10**6}), None),
    ("decode_package without os global",
     _without_global("os", lambda c: _decode(c, "seed")), NameError),
    # -- restore_package: the token table read natively
    ("restore_package", lambda c: c.comp.restore_package(c.pkg("seed"), c.out), None),
    ("restore_package frame in pieces", lambda c: c.comp.restore_package(c.pkg("pieces", **PIECES), c.out), None),
    ("check_package frame in pieces", lambda c: c.comp.check_package(c.pkg("pieces", **PIECES)), None),
    ("restore_package bad frame", lambda c: c.comp.restore_package(
        c.pkg("badframe", compressed=b"(\xb5/\xfd junk"), c.out), zstandard.ZstdError),
    ("restore_package id overflow", lambda c: c.comp.restore_package(
        c.pkg("idover", compressed=b"\x00\x00\x00\x01\x80\x00\x00\x00"), c.out, False),
     OverflowError),
    # -- pickling
    ("pickle round trip", lambda c: pickle.loads(pickle.dumps(c.comp)), None),
    ("pickle round trip protocol 0", lambda c: pickle.loads(pickle.dumps(c.comp, 0)), None),
    ("pickle a subclass", lambda c: pickle.loads(pickle.dumps(_sub(c))), None),
    ("reduce a bare instance", lambda c: Compressor.__new__(Compressor).__reduce__(), None),
    ("unpickle a stored pickle", lambda c: pickle.loads(c.pickled), None),
    ("__setstate__", lambda c: _setstate(c.state), None),
    ("__setstate__ 5-tuple on a subclass", lambda c: _setstate(c.state + ({"x": 1},), Sub.__new__(Sub)),
     None),
    ("__setstate__ None", lambda c: _setstate(None), TypeError),
    ("__setstate__ list", lambda c: _setstate(list(c.state)), TypeError),
    ("__setstate__ short", lambda c: _setstate(c.state[:3]), IndexError),
    ("__setstate__ next_id not int", lambda c: _setstate(c.state[:3] + ("x",)), TypeError),
    ("__setstate__ next_id overflow", lambda c: _setstate(c.state[:3] + (2**31,)), OverflowError),
    ("unpickle function, every checksum",
     lambda c: [unpickle(Compressor, s, c.state) for s in (0x3E12E10, 0x7D3093E, 0x18C54B4)], None),
    ("unpickle function, no state", lambda c: unpickle(Sub, CHECKSUM, None), None),
    ("unpickle function, bad checksum", lambda c: unpickle(Compressor, 1, c.state), pickle.PickleError),
    ("unpickle function, checksum overflow", lambda c: unpickle(Compressor, 2**31, None),
     OverflowError),
    ("unpickle function, state list", lambda c: unpickle(Compressor, CHECKSUM, [1]), TypeError),
    ("unpickle function, not a subtype", lambda c: unpickle(int, CHECKSUM, None), TypeError),
]


def _proto0(ctx):
    path = ctx.path("proto0.pkg")
    if not os.path.exists(path):
        write_pickle(path, ctx.package, 0)
    return path


def _evil(ctx):
    path = ctx.path("evil.pkg")
    if not os.path.exists(path):
        write_pickle(path, types.SimpleNamespace(a=1))
    return path


def _sub(ctx):
    s = Sub(ctx.path("none.bin"))
    s.extra = [1, 2]
    return s


@pytest.fixture(scope="module")
def ctx(tmp_path_factory):
    return Ctx(tmp_path_factory.mktemp("leaks"))


# The calls of the binding that leak references themselves, by case.
BINDING_LEAKS = {
    "decode_package bad frame": ("failed decompress",),
    "restore_package bad frame": ("failed decompress",),
    "restore_package frame in pieces": ("stream reader",),
    "check_package frame in pieces": ("stream reader",),
}


@pytest.mark.parametrize("name,op,expected", CASES, ids=[c[0] for c in CASES])
def test_no_growth(ctx, monkeypatch, name, op, expected):
    monkeypatch.chdir(ctx.root)
    ctx.comp = Compressor(ctx.path("work-dict.bin"))
    problems = leak_problems(
        name, lambda: op(ctx), expected, binding_leaks=BINDING_LEAKS.get(name, ())
    )
    assert not problems, "; ".join(problems)


def test_harness_sees_a_small_leak():
    # 100 bytes kept a call: a leak the tries that go on tracing must still see.
    kept = []
    problems = leak_problems("harness", lambda: kept.append(bytes(100)))
    assert any("traced" in p for p in problems), problems
