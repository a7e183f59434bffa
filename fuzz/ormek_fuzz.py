"""Mutation fuzzer for the inputs ormek_compressor takes from elsewhere:
packages, dictionary files, pickled compressors and set-state tuples.

Every case must end in success or an ordinary exception (an Exception
subclass); a crash, a hang, any other BaseException, or a file written
outside the case's output directory is a finding.  Cases are numbered: case
N of a target is generated from a random.Random seeded with (seed, target, N),
so any case can be replayed alone.

    python fuzz/ormek_fuzz.py [--cases N] [--targets a,b] [--seed S]
                              [--time-limit SECONDS] [--replay TARGET:N]
                              [--write-corpus DIR] [--in-process]

By default each target runs in a worker process of its own, so a crash or a
hang is reported with the case that caused it.  Everything is written under
one temporary directory, removed at the end.
"""

from __future__ import annotations

import argparse
import contextlib
import faulthandler
import io
import os
import pathlib
import pickle
import pickletools
import random
import shutil
import subprocess
import sys
import tempfile
import time
import types
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)
    import ormek_compressor

import zstandard

TARGETS = ("decode_package", "decode_package_raw", "check_package", "judgement", "native_reader",
           "native_table",
           "load_dict", "unpickle", "setstate")
CHECKSUMS = (0x3E12E10, 0x7D3093E, 0x18C54B4)

# ---------------------------------------------------------------- corpus ----
# Words that are no importable module name: a mutated pickle that turns two
# memoised strings into a global reference must not find anything to call.
_SYLLABLES = ("zq", "vex", "orm", "lak", "thü", "mø", "ka", "ré", "日本", "ß", "λ", "x")
_SPACES = (" ", "  ", "\n", "\t", "\n\n", " \t ", "\u3000", "\xa0", "\x0b", "\x0c", "\x1c", "\x85",
           "\u2028", "\u2003")


def _text(rng, words):
    parts = []
    for _ in range(words):
        parts.append("".join(rng.choice(_SYLLABLES) for _ in range(rng.randint(1, 3))))
        parts.append(rng.choice(_SPACES))
    if rng.random() < 0.3:
        parts.append("😀" * rng.randint(1, 3))
    return "".join(parts)


def _frame(payload):
    return zstandard.ZstdCompressor(level=1).compress(payload)


class Corpus:
    """Real packages and dictionary files written by the module, plus the
    plain objects they hold, made once per process under `root`."""

    def __init__(self, root):
        self.root = root
        rng = random.Random(20240611)
        src = os.path.join(root, "src")
        os.makedirs(src)
        comp = ormek_compressor.OrmekCompressor(os.path.join(root, "seed-dict.bin"))
        shapes = {
            "empty": [],
            "one-empty": [""],
            "small": [_text(rng, 5), "", _text(rng, 3)],
            # Over 256 memoised objects: protocols 1 to 3 switch to LONG_BINPUT.
            "large": [_text(rng, 400), _text(rng, 200), _text(rng, 50)],
            # A frame past the bytes the native reader keeps: it is read from
            # the file where it stands, a piece at a time.
            "long": [_text(rng, 6000), _text(rng, 30)],
            # A stream big beside its dictionary: decompressed while the
            # dictionary is walked.
            "early": [_text(rng, 40000)],
        }
        self.packages = {}  # name -> raw bytes as encode_files wrote them
        self.package_objects = {}  # name -> the unpickled dict
        for name, texts in shapes.items():
            paths = [os.path.join(src, f"{name}-{i}.txt") for i in range(len(texts))]
            for path, text in zip(paths, texts):
                pathlib.Path(path).write_text(text, encoding="utf-8", newline="")
            out = os.path.join(root, f"{name}.pkg")
            comp.encode_files(paths, out, 1, 0)
            # The same files with their checks and facts, and empty directories.
            keyed = os.path.join(root, f"{name}-keyed.pkg")
            comp.encode_named_files([(p, os.path.basename(p)) for p in paths], keyed, 1, 0,
                                    checks=True, empty_dirs=["empty", "d/e"])
            for seed, path in ((name, out), (f"{name}-keyed", keyed)):
                with open(path, "rb") as f:
                    self.packages[seed] = f.read()
                self.package_objects[seed] = pickle.loads(self.packages[seed])
        comp.save_dict()
        with open(comp.dict_path, "rb") as f:
            self.dict_file = f.read()
        self.dict_object = pickle.loads(self.dict_file)
        self.comp_state = (comp.dict_path, dict(comp.global_dict), dict(comp.inverse_dict),
                           comp.next_id)
        self.pickles = [pickle.dumps(comp, p) for p in range(6)]
        self.pickles.append(pickle.dumps(ormek_compressor.OrmekCompressor.__new__(
            ormek_compressor.OrmekCompressor)))

    def seeds(self):
        """(file name, bytes) of every seed, for --write-corpus."""
        for name, data in self.packages.items():
            for proto in range(6):
                yield f"package-{name}-p{proto}.pkg", pickle.dumps(self.package_objects[name], proto)
            yield f"package-{name}.pkg", data
        yield "dict.bin", self.dict_file
        for i, data in enumerate(self.pickles):
            yield f"compressor-{i}.pickle", data


# ------------------------------------------------------------- mutators -----
INTERESTING_INTS = (0, 1, -1, 2, 255, 256, 2**15, 2**16, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1,
                    2**32 - 1, 2**32, 2**63 - 1, 2**63, -(2**63), 2**64, 10**30, -(10**30))


def any_value(rng, depth=0):
    """A random picklable plain value of any type."""
    kinds = ["int", "bigint", "str", "bytes", "none", "float", "bool", "list", "tuple", "dict",
             "set", "bytearray", "complex"]
    if depth > 2:
        kinds = kinds[:7]
    kind = rng.choice(kinds)
    if kind == "int":
        return rng.choice(INTERESTING_INTS)
    if kind == "bigint":
        return rng.randint(-(2**70), 2**70)
    if kind == "str":
        return rng.choice(["", "a", "<UNK>", "\x00", "\ud800", "x" * 300, _text(rng, 2)])
    if kind == "bytes":
        return rng.randbytes(rng.randint(0, 12))
    if kind == "none":
        return None
    if kind == "float":
        return rng.choice([0.0, -1.5, 1e300, float("nan"), float("inf")])
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "list":
        return [any_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    if kind == "tuple":
        return tuple(any_value(rng, depth + 1) for _ in range(rng.randint(0, 4)))
    if kind == "dict":
        return {rng.choice(["a", 1, None, b"k", 2.5]): any_value(rng, depth + 1)
                for _ in range(rng.randint(0, 3))}
    if kind == "set":
        return {rng.choice([1, "a", None]) for _ in range(rng.randint(0, 3))}
    if kind == "bytearray":
        return bytearray(rng.randbytes(rng.randint(0, 8)))
    return complex(1, 2)


def mutate_bytes(rng, data, others=()):
    """One to four byte-level mutations of `data`."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(9)
        n = len(data)
        if op == 0 and n:  # truncate
            del data[rng.randrange(n):]
        elif op == 1 and n:  # bit flips
            for _ in range(rng.randint(1, 8)):
                data[rng.randrange(n)] ^= 1 << rng.randrange(8)
        elif op == 2 and n:  # interesting bytes
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(n)] = rng.choice((0, 1, 0x7F, 0x80, 0xFF, 0x2E, 0x0A))
        elif op == 3:  # insert random bytes
            pos = rng.randint(0, n)
            data[pos:pos] = rng.randbytes(rng.randint(1, 16))
        elif op == 4 and n:  # delete a run
            pos = rng.randrange(n)
            del data[pos:pos + rng.randint(1, 16)]
        elif op == 5 and n:  # duplicate a chunk
            pos = rng.randrange(n)
            chunk = data[pos:pos + rng.randint(1, 64)]
            at = rng.randint(0, len(data))
            data[at:at] = chunk
        elif op == 6 and others:  # splice with another seed
            other = rng.choice(others)
            data = data[:rng.randint(0, n)] + other[rng.randint(0, len(other)):]
        elif op == 7 and n >= 4:  # overwrite a 4-byte field with a boundary value
            pos = rng.randrange(n - 3)
            data[pos:pos + 4] = rng.choice((0, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF)).to_bytes(4, "little")
        elif op == 8:  # random bytes, with or without a pickle header
            data = bytearray(rng.choice((b"", b"\x80\x05", b"\x80\x02", b"(")) +
                             rng.randbytes(rng.randint(0, 256)))
    return bytes(data)


def memo_bomb(data):
    """Whether the host's own unpickler would turn a memo store of this stream
    into a huge array (it sizes the memo by the largest index).  Only checked
    for streams the host unpickles without the module's guard in front."""
    limit = 16 * len(data) + 4096
    try:
        for op, arg, _ in pickletools.genops(io.BytesIO(data)):
            if op.name in ("PUT", "BINPUT", "LONG_BINPUT") and isinstance(arg, int) and arg > limit:
                return True
    except Exception:
        pass
    return False


def length_bomb(data):
    """Whether an opcode announces far more bytes than the stream holds (a
    FRAME, BINBYTES8, BINUNICODE8 ...): the host's unpickler allocates the
    announced size before reading, and a debug interpreter fills every byte
    of it, so one such case takes all memory there."""
    limit = 16 * len(data) + 4096
    try:
        for op, arg, _ in pickletools.genops(io.BytesIO(data)):
            if op.name == "FRAME" and arg > limit:
                return True
    except ValueError as e:
        words = str(e).split()
        if len(words) > 1 and words[0] == "expected" and words[1].isdigit():
            return int(words[1]) > limit
    except Exception:
        pass
    return False


# A debug interpreter fills what it allocates: there, streams that announce
# huge lengths are left out even where the module reads them.
DEBUG_HOST = hasattr(sys, "gettotalrefcount")


def mutate_payload(rng, payload):
    """The packed id stream, changed as ids: out-of-range records, random
    ids, stray trailing bytes."""
    data = bytearray(payload)
    op = rng.randrange(5)
    if op == 0 and len(data) >= 4:
        pos = rng.randrange(len(data) // 4) * 4
        data[pos:pos + 4] = rng.choice((0x80000000, 0xFFFFFFFF, 0x7FFFFFFF, 0)).to_bytes(4, "big")
    elif op == 1:
        data += rng.randbytes(rng.randint(1, 3))
    elif op == 2:
        data = bytearray(rng.randbytes(4 * rng.randint(0, 64)))
    elif op == 3 and data:
        del data[rng.randrange(len(data)):]
    else:
        data = bytearray(b"".join(rng.randrange(1, 40).to_bytes(4, "big") for _ in range(50)))
    return bytes(data)


def escape_names(work):
    """Stored names that would land outside the output directory, or that
    the host refuses: every one must fail or stay inside."""
    return ["", ".", "..", "../up.txt", "../../up2.txt", "a/b.txt", "a\\b.txt", "x\x00y",
            os.path.join(work, "escape", "abs.txt"), "/", "//", "./", "out/../..", "\ud800",
            "n" * 300, " ", "-", "~", "..."]


def mutate_package(rng, corpus, work):
    """A package object with one to three fields changed."""
    base = rng.choice(list(corpus.package_objects))
    pkg = dict(corpus.package_objects[base])
    pkg["filenames"] = list(pkg["filenames"])
    pkg["file_boundaries"] = list(pkg["file_boundaries"])
    for _ in range(rng.randint(1, 3)):
        field = rng.choice(("compressed", "file_boundaries", "filenames", "global_dict", "keys",
                            "payload", "file_facts", "whole"))
        if field == "compressed":
            pkg["compressed"] = rng.choice([
                any_value(rng), "text", 7, -1, None, [1, 2, 3], bytearray(pkg["compressed"]),
                pkg["compressed"][:rng.randint(0, len(pkg["compressed"]))], b"",
                b"\x28\xb5\x2f\xfd" + rng.randbytes(rng.randint(0, 24)),
            ])
        elif field == "payload":
            try:
                payload = zstandard.ZstdDecompressor().decompress(pkg["compressed"])
            except Exception:
                payload = b""
            payload = mutate_payload(rng, payload)
            pkg["compressed"] = payload if rng.random() < 0.3 else _frame(payload)
        elif field == "file_boundaries":
            b = pkg["file_boundaries"]
            pkg["file_boundaries"] = rng.choice([
                [rng.choice(INTERESTING_INTS) for _ in b] or [rng.choice(INTERESTING_INTS)],
                list(reversed(b)), [-x for x in b], [any_value(rng) for _ in b],
                b + [rng.choice(INTERESTING_INTS)], b[:-1], [], None, "12", 5, tuple(b),
                {1: 2}, [1.5] * len(b), [str(x) for x in b], [[x] for x in b], [True] * len(b),
            ])
        elif field == "filenames":
            names = pkg["filenames"] or ["f"]
            i = rng.randrange(len(names))
            pick = rng.choice(escape_names(work) + [any_value(rng)])
            pkg["filenames"] = rng.choice([
                names[:i] + [pick] + names[i + 1:], [any_value(rng) for _ in names], None,
                "name", 3, tuple(names), names + [pick], [], [pick] * 3,
            ])
        elif field == "global_dict":
            g = dict(pkg["global_dict"])
            items = list(g.items())
            pkg["global_dict"] = rng.choice([
                items, None, [], (), 5, "str", [(1, 2, 3)], [(1,)], [1, 2], set(g),
                {k: rng.choice(["id", 1.5, None, -1, 2**31, 2**40, b"x", (1, 2)]) for k in g},
                {k: v % 3 for k, v in items}, {rng.choice(INTERESTING_INTS): "t"},
                {any_value(rng, 3): any_value(rng, 3)}, {k: [v] for k, v in items[:2]},
                {k: -v for k, v in items},
            ])
        elif field == "file_facts":
            pkg["file_facts"] = mutate_facts(rng, pkg.get("file_facts"), work)
            if rng.random() < 0.1:  # facts under a damaged key
                pkg["file_factz"] = pkg.pop("file_facts")
        elif field == "keys":
            key = rng.choice(("compressed", "file_boundaries", "filenames", "global_dict"))
            if rng.random() < 0.7:
                pkg.pop(key, None)
            else:
                pkg[any_value(rng, 3) if rng.random() < 0.5 else "extra"] = any_value(rng)
        else:
            return rng.choice([None, [], 5, "package", list(pkg.items()), tuple(pkg), set()])
    return pkg


def mutate_facts(rng, facts, work):
    """The "file_facts" of a package with one entry changed, or replaced."""
    if type(facts) is not dict or rng.random() < 0.2:
        return rng.choice([None, [], 5, "facts", {}, {"version": 1}, any_value(rng, 2)])
    facts = dict(facts)
    key = rng.choice(("version", "digests", "sizes", "modes", "mtimes_ns", "empty_dirs",
                      "facts_digest"))
    old = facts.get(key)
    items = list(old) if isinstance(old, list) else []
    i = rng.randrange(len(items)) if items else 0
    pick = rng.choice([
        *INTERESTING_INTS, 0o7777, 0o10000, -1, 2**63, -(2**63) - 1, True, None, 1.5,
        b"\0" * 16, b"\0" * 15, rng.randbytes(16), "name", *escape_names(work),
        any_value(rng),
    ])
    facts[key] = rng.choice([
        items[:i] + [pick] + items[i + 1:], items[:-1], items + [pick], pick, None, tuple(items),
        [pick] * len(items),
    ])
    if rng.random() < 0.2:
        facts.pop(rng.choice(list(facts)), None)
    # Without "facts_digest" (as an earlier release wrote them) the entries
    # themselves are judged; a key of no release, or none, is refused.
    if rng.random() < 0.5:
        facts.pop("facts_digest", None)
    if rng.random() < 0.1:
        facts[rng.choice(["modez", "dir_modes", 5, b"sizes"])] = pick
    return facts


def package_bytes(rng, corpus, work):
    if rng.random() < 0.55:
        obj = mutate_package(rng, corpus, work)
        try:
            data = pickle.dumps(obj, rng.randrange(6))
        except Exception:
            data = pickle.dumps(corpus.package_objects["small"])
        if rng.random() < 0.25:
            data = mutate_bytes(rng, data)
        return data
    seeds = list(corpus.packages.values())
    data = rng.choice(seeds)
    if rng.random() < 0.4:
        data = pickle.dumps(pickle.loads(data), rng.randrange(6))
    return mutate_bytes(rng, data, seeds)


def pickled_package(rng, corpus, work):
    """A mutated package pickled in a protocol the host writes packages in
    (4 or 5), its bytes mutated a third of the time."""
    try:
        data = pickle.dumps(mutate_package(rng, corpus, work), rng.choice((4, 5)))
    except Exception:
        data = pickle.dumps(corpus.package_objects["small"], 5)
    return mutate_bytes(rng, data) if rng.random() < 0.33 else data


def dict_file_bytes(rng, corpus):
    if rng.random() < 0.5:
        obj = dict(corpus.dict_object)
        for _ in range(rng.randint(1, 2)):
            what = rng.randrange(6)
            if what == 0:
                obj["dict"] = rng.choice([None, [], list(obj["dict"].items()), 5, "d", {1: 2},
                                          {"a": "b"}, {"a": None}, [(1, 2, 3)], [(1,)], set("ab"),
                                          {any_value(rng, 3): any_value(rng, 3)}])
            elif what == 1:
                obj["next_id"] = rng.choice(list(INTERESTING_INTS) + [None, "1", 1.5, [], b"1"])
            elif what == 2:
                obj.pop(rng.choice(("dict", "next_id")), None)
            elif what == 3:
                obj[any_value(rng, 3) if rng.random() < 0.5 else "x"] = any_value(rng)
            elif what == 4:
                obj = rng.choice([None, [], 3, "dict", list(obj.items()), (1, 2)])
                break
            else:
                obj = {"dict": {k: -v for k, v in obj["dict"].items()}, "next_id": 1}
        data = pickle.dumps(obj, rng.randrange(6))
        if rng.random() < 0.25:
            data = mutate_bytes(rng, data)
        return data
    return mutate_bytes(rng, corpus.dict_file, [corpus.dict_file])


# ---------------------------------------------------------------- checks ----
class Finding(Exception):
    """A case broke a rule that an ordinary exception must not hide."""


class _Restricted:
    # The fuzzer's own loads of mutated compressor pickles: a flipped byte must
    # not reach an arbitrary callable of the process, only the two globals a
    # pickled compressor names and plain-data constructors.
    allowed = {("ormek_compressor", "__pyx_unpickle_OrmekCompressor"),
               ("ormek_compressor", "OrmekCompressor"), ("builtins", "set"),
               ("builtins", "frozenset"), ("builtins", "bytearray"), ("_codecs", "encode"),
               ("builtins", "bytes")}

    def find_class(self, module, name):
        if (module, name) not in self.allowed:
            raise pickle.UnpicklingError(f"fuzz: global {module}.{name} refused")
        return super().find_class(module, name)


class _Unpickler(_Restricted, pickle.Unpickler):
    pass


class _StreamUnpickler(_Restricted, pickle._Unpickler):
    # The host's own unpickler, read from a file, can spend a minute on a
    # mutated stream before it fails (3.13 reads on past a frame's end and
    # fills memory as it goes) without calling the module at all; this one
    # makes the same calls of the module's globals in the same order.
    pass


def _snapshot(root):
    return sorted(os.path.relpath(os.path.join(d, n), root)
                  for d, dirs, files in os.walk(root) for n in dirs + files)


def exercise(comp, work):
    """After a state of random fields: the other operations fail cleanly too."""
    outcomes = []
    for op in (lambda: comp.tokenize("a b"), lambda: comp.detokenize(["a", " "]),
               lambda: pickle.dumps(comp), lambda: comp.save_dict(), lambda: comp.load_dict(),
               lambda: comp.decode_package(os.path.join(work, "ok.pkg"), os.path.join(work, "out")),
               lambda: comp.encode_files([os.path.join(work, "in.txt")],
                                         os.path.join(work, "enc.pkg"), 1, 0),
               lambda: (comp.dict_path, comp.global_dict, comp.inverse_dict, comp.next_id)):
        try:
            op()
            outcomes.append("ok")
        except Exception as e:
            outcomes.append(type(e).__name__)
    return outcomes


class Fuzzer:
    def __init__(self, root, seed=0):
        self.root = root
        self.seed = seed
        self.corpus = Corpus(os.path.join(root, "corpus"))
        # work/ is a case's whole world: the input files, out/ and escape/; a
        # write anywhere else below root shows up in the snapshot.
        self.work = os.path.join(root, "cases", "work")
        self.reset()
        self.expected = _snapshot(os.path.join(root, "cases"))

    def reset(self):
        shutil.rmtree(os.path.join(self.root, "cases"), ignore_errors=True)
        os.makedirs(os.path.join(self.work, "escape"))
        with open(os.path.join(self.work, "ok.pkg"), "wb") as f:
            f.write(self.corpus.packages["small"])
        with open(os.path.join(self.work, "in.txt"), "w", encoding="utf-8") as f:
            f.write("zq vex\n")

    def rng(self, target, n):
        return random.Random(f"{self.seed}:{target}:{n}")

    # Each target returns the name of the outcome ("ok" or the exception).
    def package_case(self, rng, make=None):
        """Writes a mutated package (package_bytes, or what `make` gives);
        None when the debug host screens it out."""
        path = os.path.join(self.work, "case.pkg")
        data = make() if make else package_bytes(rng, self.corpus, self.work)
        if DEBUG_HOST and length_bomb(data):
            return None
        with open(path, "wb") as f:
            f.write(data)
        return path

    def native_case(self, rng):
        """A package_case, half the time pickled as the host pickles a
        package (the native reader's shape)."""
        if rng.random() < 0.5:
            return self.package_case(rng)
        return self.package_case(rng, lambda: pickled_package(rng, self.corpus, self.work))

    def t_decode_package(self, rng, use_zstd=True):
        path = self.package_case(rng)
        if path is None:
            return "screened"
        comp = ormek_compressor.OrmekCompressor(os.path.join(self.work, "none.bin"))
        out = os.path.join(self.work, "out")
        names = comp.decode_package(path, out, use_zstd)
        g, inv = comp.global_dict, comp.inverse_dict
        if type(g) is dict and type(inv) is dict:
            try:
                want = {v: k for k, v in g.items()}
            except TypeError:
                want = None
            if want is not None and want != inv:
                raise Finding("inverse_dict is not the inverse of global_dict")
        return names

    def t_decode_package_raw(self, rng):
        return self.t_decode_package(rng, use_zstd=False)

    def t_check_package(self, rng):
        path = self.package_case(rng)
        if path is None:
            return "screened"
        comp = ormek_compressor.OrmekCompressor(os.path.join(self.work, "none.bin"))
        return comp.check_package(path, rng.random() < 0.8)

    def t_judgement(self, rng):
        """One judgement: what judge_package refuses, decode_package refuses
        before it makes the output directory; what check_package passes,
        decode_package restores."""
        path = self.package_case(rng)
        if path is None:
            return "screened"
        comp = ormek_compressor.OrmekCompressor(os.path.join(self.work, "none.bin"))
        out = os.path.join(self.work, "out")
        outcomes = []
        for call in (lambda: comp.judge_package(comp.read_package(path)),
                     lambda: comp.check_package(path), lambda: comp.decode_package(path, out)):
            try:
                call()
                outcomes.append(None)
            except Exception as e:
                outcomes.append(type(e).__name__)
        judged, checked, decoded = outcomes
        if judged and (not decoded or os.path.exists(out)):
            raise Finding(f"judge_package refused ({judged}) what decode_package went on with")
        if not checked and decoded:
            raise Finding(f"check_package passed what decode_package refused ({decoded})")
        return decoded or "ok"

    def t_native_reader(self, rng):
        """The native reader against the plain one: where read_outline reads
        a package, read_package reads the same names, boundaries, facts and
        sizes and judge_package judges the two alike; a package read_package
        refuses, read_outline leaves to it (None). Half the cases are pickled
        as the host pickles a package (protocol 4 or 5), which the native
        reader walks, and then mutated or not."""
        path = self.native_case(rng)
        if path is None:
            return "screened"
        comp = ormek_compressor.OrmekCompressor(os.path.join(self.work, "none.bin"))
        answer = comp.read_outline(path)
        try:
            whole = comp.read_package(path)
        except Exception as e:
            if answer is not None:
                raise Finding(f"read_outline read what read_package refused ({e!r})") from e
            raise
        if answer is None:
            return None
        outline = {**whole, "compressed": whole["compressed"][:32], "global_dict": {}}
        if answer != (outline, len(whole["compressed"]), len(whole["global_dict"])):
            raise Finding("read_outline differs from read_package")
        if _judged(comp, answer[0]) != _judged(comp, whole):
            raise Finding("judge_package judges the outline otherwise than the package")
        return answer[1]

    def t_native_table(self, rng):
        """The id -> UTF-8 table read natively against the host's way: where
        read_outline reads a package (the native reader walks it), checking,
        measuring and restoring it answer, fail and write alike with
        pickle.load replaced by a plain-data unpickler, which takes the
        host's way. Packages made as in native_reader."""
        path = self.native_case(rng)
        if path is None:
            return "screened"
        answer = ormek_compressor.OrmekCompressor(os.path.join(self.work, "none.bin")).read_outline(
            path)
        if answer is None:
            return "plain"
        use_zstd = rng.random() < 0.8
        names = answer[0]["filenames"][:1] if type(answer[0]) is dict else []
        out = os.path.join(self.work, "out")
        native = _table_outcomes(path, out, use_zstd, names)
        saved = ormek_compressor.pickle
        ormek_compressor.pickle = types.SimpleNamespace(load=lambda f: _Unpickler(f).load())
        try:
            plain = _table_outcomes(path, out, use_zstd, names)
        finally:
            ormek_compressor.pickle = saved
        if native != plain:
            raise Finding(f"the native table differs from the host's way: {native!r} != {plain!r}")
        return native[0]

    def t_load_dict(self, rng):
        path = os.path.join(self.work, "dict.bin")
        data = dict_file_bytes(rng, self.corpus)
        if memo_bomb(data) or length_bomb(data):
            return "screened"
        with open(path, "wb") as f:
            f.write(data)
        if rng.random() < 0.5:
            comp = ormek_compressor.OrmekCompressor(path)  # loads through __init__
        else:
            comp = ormek_compressor.OrmekCompressor(os.path.join(self.work, "none.bin"))
            comp.dict_path = path
            comp.load_dict()
        if rng.random() < 0.2:
            exercise(comp, self.work)

    def t_unpickle(self, rng):
        seeds = self.corpus.pickles
        if rng.random() < 0.3:
            # A pickled compressor whose state tuple holds odd values.
            comp = ormek_compressor.OrmekCompressor.__new__(ormek_compressor.OrmekCompressor)
            state = random_state(rng, self.work, picklable=True)
            checksum = rng.choice(CHECKSUMS + (1, 0, -1, 2**31, 2**40, "x"))
            reduced = (ormek_compressor.__pyx_unpickle_OrmekCompressor,
                       (type(comp), checksum, state if rng.random() < 0.5 else None))
            if reduced[1][2] is None:
                reduced = reduced + (state,)

            class Wrapped:
                def __reduce__(self):
                    return reduced
            try:
                data = pickle.dumps(Wrapped(), rng.randrange(6))
            except Exception:
                data = rng.choice(seeds)
            if rng.random() < 0.3:
                data = mutate_bytes(rng, data, seeds)
        else:
            data = mutate_bytes(rng, rng.choice(seeds), seeds)
        if memo_bomb(data) or length_bomb(data):
            return "screened"
        obj = _StreamUnpickler(io.BytesIO(data)).load()
        if isinstance(obj, ormek_compressor.OrmekCompressor) and rng.random() < 0.3:
            exercise(obj, self.work)

    def t_setstate(self, rng):
        state = random_state(rng, self.work, picklable=False)
        if rng.random() < 0.5:
            comp = ormek_compressor.OrmekCompressor(os.path.join(self.work, "none.bin"))
            comp.__setstate__(state)
        else:
            checksum = rng.choice(CHECKSUMS + (1, -1, 2**31, 2**31 - 1, "x", None))
            comp = ormek_compressor.__pyx_unpickle_OrmekCompressor(
                rng.choice([ormek_compressor.OrmekCompressor, ormek_compressor.OrmekCompressor,
                            _Sub, int, None]), checksum, state)
        exercise(comp, self.work)

    def run_case(self, target, n, time_limit):
        rng = self.rng(target, n)
        faulthandler.dump_traceback_later(time_limit, exit=True)
        try:
            try:
                result = getattr(self, "t_" + target)(rng)
                outcome = result if result == "screened" else "ok"
            except Finding:
                raise
            except RecursionError:
                outcome = "RecursionError"
            except Exception as e:
                outcome = type(e).__name__
            except BaseException as e:
                raise Finding(f"{type(e).__name__} escaped: {e!r}") from e
        finally:
            faulthandler.cancel_dump_traceback_later()
        now = _snapshot(os.path.join(self.root, "cases"))
        extra = [p for p in now if p not in self.expected and not p.startswith(
            os.path.join("work", "out")) and p not in _CASE_FILES]
        if extra:
            raise Finding(f"written outside the output directory: {extra[:5]}")
        shutil.rmtree(os.path.join(self.work, "out"), ignore_errors=True)
        for name in _CASE_FILES:
            try:
                os.remove(os.path.join(self.root, "cases", name))
            except FileNotFoundError:
                pass
        return outcome


# Files a case itself may write next to out/: its input and what `exercise`
# saves at the paths the state tuple names.
_CASE_FILES = tuple(os.path.join("work", n) for n in (
    "case.pkg", "dict.bin", "state-dict.bin", "enc.pkg", "larkmoor_dict.bin"))


def _table_outcomes(path, out, use_zstd, names):
    """What check_package, restored_sizes, decode_names (of `names`) and
    restore_package answer or raise for the package at `path`, and the files
    the last two write under `out` (emptied after)."""
    comp = ormek_compressor.OrmekCompressor(os.path.join(os.path.dirname(path), "none.bin"))
    calls = (lambda: comp.check_package(path, use_zstd), lambda: comp.restored_sizes(path, use_zstd),
             lambda: comp.decode_names(path, os.path.join(out, "n"), names, use_zstd),
             lambda: comp.restore_package(path, os.path.join(out, "a"), use_zstd))
    outcomes = []
    for call in calls:
        try:
            outcomes.append(call())
        except Exception as e:
            outcomes.append((type(e), str(e)))
    root = pathlib.Path(out)
    outcomes.append({str(p.relative_to(root)): p.read_bytes() if p.is_file() else None
                     for p in root.rglob("*")} if root.exists() else None)
    shutil.rmtree(out, ignore_errors=True)
    return outcomes


def _judged(comp, package):
    """What judge_package answers for `package`, or the error it raises."""
    try:
        return comp.judge_package(package)
    except Exception as e:
        return type(e), str(e)


class _Sub(ormek_compressor.OrmekCompressor):
    pass


class _Weird:
    """Objects that fail in the hooks the module may call on a field."""

    def __init__(self, fail):
        self.fail = fail

    def __index__(self):
        raise ValueError("no index")

    def __hash__(self):
        raise TypeError("no hash")

    def __eq__(self, other):
        raise TypeError("no eq")

    def items(self):
        if self.fail:
            raise KeyError("items")
        return iter([(1, 2), (3,)])

    def get(self, *args):
        raise LookupError("get")

    def __fspath__(self):
        raise OSError("no path")


class _Mapping(dict):
    def items(self):
        return [("a", 1), ("b", "not an id"), (None, 2**40)]


def random_state(rng, work, picklable):
    """A state tuple (or not) for __setstate__ and the module reconstructor."""
    dict_paths = [os.path.join(work, "state-dict.bin"), None, 1.5, [], b"/nonexistent/x",
                  os.path.join(work, "state-dict.bin").encode(), os.path.join(work, "missing", "d")]
    dicts = [{}, {"a": 1, " ": 2}, None, [], [("a", 1)], {"a": "b"}, {1: "a"}, {"a": 2**31},
             {"a": -5}, "str", 5, {("t",): 1}]
    inverses = [{}, {1: "a", 2: " "}, None, [], {1: 2}, {1: None}, {2**40: "x"}, "s", 3]
    if not picklable:
        dicts += [_Weird(True), _Weird(False), _Mapping(a=1)]
        inverses += [_Weird(True), _Mapping()]
        dict_paths += [_Weird(False)]
    next_ids = [1, 0, -1, 2**31 - 1, 2**31, -(2**31) - 1, 2**64, "1", None, 1.5, True]
    if not picklable:
        next_ids.append(_Weird(False))
    kind = rng.randrange(10)
    if kind == 0:
        return rng.choice([None, [], list(range(4)), "tuple", 4, {}])
    state = [rng.choice(dict_paths), rng.choice(dicts), rng.choice(inverses), rng.choice(next_ids)]
    if kind == 1:
        state = state[:rng.randrange(4)]
    elif kind == 2:
        state.append(rng.choice([{}, {"x": 1}, None, [], "s", {1: 2}, [("a", 1)]]))
    elif kind == 3:
        state += [any_value(rng) for _ in range(rng.randint(1, 3))]
    return tuple(state)


# ------------------------------------------------------------------ runs ----
# Address space a fuzzing process may use.
ADDRESS_SPACE_LIMIT = 8 << 30


@contextlib.contextmanager
def capped_address_space(limit=ADDRESS_SPACE_LIMIT):
    """A mutated input may declare a huge length (a pickle opcode's count, a
    Zstandard frame's content size) that the host allocates before it finds
    the data missing. Normally the pages of such a block are never touched,
    but a debug build's allocator fills every block it hands out, and the
    machine runs out of memory. With the address space capped, such a case
    fails with MemoryError as it does elsewhere. Under AddressSanitizer, which
    reserves terabytes of shadow memory, nothing is capped: its allocator
    refuses oversized requests by itself."""
    try:
        import resource
    except ImportError:
        yield
        return
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as f:
            sanitized = "libasan" in f.read()
    except OSError:
        sanitized = False
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if sanitized or (soft != resource.RLIM_INFINITY and soft <= limit):
        yield
        return
    capped = limit if hard == resource.RLIM_INFINITY else min(limit, hard)
    resource.setrlimit(resource.RLIMIT_AS, (capped, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def run(targets, cases, seed=0, time_limit=60.0, root=None, start=0, progress=None):
    """Run `cases` cases of each target in this process; returns
    {target: {outcome: count}}.  A Finding propagates with the case number."""
    own = root is None
    root = root or tempfile.mkdtemp(prefix="ormek-fuzz-")
    faulthandler.enable()
    cwd = os.getcwd()
    with capped_address_space():
        return _run_cases(targets, cases, seed, time_limit, root, start, progress, own, cwd)


def _run_cases(targets, cases, seed, time_limit, root, start, progress, own, cwd):
    try:
        fuzzer = Fuzzer(root, seed)
        os.chdir(fuzzer.work)  # a relative path written by accident lands in work/
        results = {}
        for target in targets:
            counts = results.setdefault(target, {})
            for n in range(start, start + cases):
                if progress:
                    progress(target, n)
                try:
                    outcome = fuzzer.run_case(target, n, time_limit)
                except Finding as e:
                    raise Finding(f"{target}:{n}: {e}") from e
                counts[outcome] = counts.get(outcome, 0) + 1
        return results
    finally:
        os.chdir(cwd)
        if own:
            shutil.rmtree(root, ignore_errors=True)


def _worker(args):
    marker = os.path.join(args.root, "current-case")
    fd = os.open(marker, os.O_WRONLY | os.O_CREAT, 0o644)

    def progress(target, n):
        os.pwrite(fd, f"{target}:{n}\n".ljust(64).encode(), 0)

    started = time.monotonic()
    try:
        results = run([args.targets], args.cases, args.seed, args.time_limit,
                      root=os.path.join(args.root, "run"), start=args.start, progress=progress)
    except Finding as e:
        print(f"FINDING {e}", flush=True)
        return 3
    elapsed = time.monotonic() - started
    print("RESULT " + repr((results[args.targets], elapsed)), flush=True)
    return 0


def _arguments(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cases", type=int, default=20000, help="cases per target (default 20000)")
    ap.add_argument("--targets", default=",".join(TARGETS))
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--start", type=int, default=0, help="first case number")
    ap.add_argument("--time-limit", type=float, default=60.0, help="seconds per case")
    ap.add_argument("--replay", metavar="TARGET:N", help="run one case in this process")
    ap.add_argument("--write-corpus", metavar="DIR", help="write the seed corpus and exit")
    ap.add_argument("--in-process", action="store_true", help="no worker processes")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--root", help=argparse.SUPPRESS)
    return ap, ap.parse_args(argv)


def _write_corpus(directory):
    tmp = tempfile.mkdtemp(prefix="ormek-fuzz-")
    try:
        corpus = Corpus(os.path.join(tmp, "corpus"))
        os.makedirs(directory, exist_ok=True)
        for name, data in corpus.seeds():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


def _run_in_process(args, targets):
    started = time.monotonic()
    try:
        results = run(targets, args.cases, args.seed, args.time_limit, start=args.start)
    except Finding as e:
        print(f"FINDING {e}")
        return 1
    for t in targets:
        print(f"{t:20} {args.cases} cases  {dict(sorted(results[t].items()))}")
    print(f"all {len(targets)} targets: {time.monotonic() - started:.1f} s")
    return 0


def _run_worker_process(args, target):
    """The cases of `target` in a worker process; 0 when they all ended
    cleanly, else 1 with the case that did not and how to replay it."""
    tmp = tempfile.mkdtemp(prefix="ormek-fuzz-")
    try:
        cmd = [sys.executable, "-X", "faulthandler", os.path.abspath(__file__), "--worker",
               "--root", tmp, "--targets", target, "--cases", str(args.cases),
               "--seed", str(args.seed), "--start", str(args.start),
               "--time-limit", str(args.time_limit)]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        lines = proc.stdout.splitlines()
        result = [line for line in lines if line.startswith("RESULT ")]
        if proc.returncode == 0 and result:
            counts, elapsed = eval(result[-1][7:], {})  # our own repr of plain data
            print(f"{target:20} {args.cases} cases in {elapsed:6.1f} s  {dict(sorted(counts.items()))}",
                  flush=True)
            return 0
        try:
            with open(os.path.join(tmp, "current-case")) as f:
                case = f.read().strip()
        except OSError:
            case = "?"
        finding = [line for line in lines if line.startswith("FINDING ")]
        if finding:
            print(f"{target:20} {finding[-1]}")
        else:
            how = (f"killed by signal {-proc.returncode}" if proc.returncode < 0
                   else f"exit {proc.returncode} (a hang past the time limit exits 1)")
            print(f"{target:20} CRASH at case {case}: {how}")
        print(f"  replay: {sys.executable} {__file__} --replay {case} --seed {args.seed}")
        sys.stdout.write("".join(f"  | {line}\n" for line in proc.stderr.splitlines()[-40:]))
        return 1
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main(argv=None):
    ap, args = _arguments(argv)
    if args.worker:
        return _worker(args)
    if args.write_corpus:
        return _write_corpus(args.write_corpus)
    if args.replay:
        target, n = args.replay.rsplit(":", 1)
        print(run([target], 1, args.seed, args.time_limit, start=int(n)))
        return 0
    targets = [t for t in args.targets.split(",") if t]
    unknown = set(targets) - set(TARGETS)
    if unknown:
        ap.error(f"unknown targets {sorted(unknown)} (known: {', '.join(TARGETS)})")
    if args.in_process:
        return _run_in_process(args, targets)

    status = 0
    total = time.monotonic()
    for target in targets:
        status |= _run_worker_process(args, target)
    print(f"total {time.monotonic() - total:.1f} s; {'FAILED' if status else 'all cases ended cleanly'}")
    return status


if __name__ == "__main__":
    sys.exit(main())
