#!/usr/bin/env python3
"""Side-by-side benchmark of ormek_compressor.

Measures, in one run and with the median of several runs (--runs, default 3):

- the native module's encode_files and decode_package, and the same files
  packed with their checks and facts (encode_named_files with checks=True)
  and restored from that package, right after them, so that the cost of the
  checks is seen back to back;
- the plain-Python yardstick (bench/reference.py) doing the same;
- the floors: the unavoidable steps timed alone (encode: read every file in
  text mode + compress the packed id stream + pickle the package; decode:
  unpickle the package + decompress + write every file);
- re.findall alone over the corpus;
- `tar -cf - DIR | zstd -6 -T4`, for reference.

Every measurement runs in a fresh child process (this script with the hidden
--child option).  The child does its set-up (what it loads counts as idle),
collects garbage, trims the C heap (glibc's malloc_trim), reads its resident
size (idle), restarts the kernel's record of its peak resident size
(/proc/self/clear_refs), does the work and reports:

- wall and CPU time;
- peak: the peak resident size during the work (VmHWM) above idle;
- left: the resident size above idle after the work, once its garbage is
  collected and the C heap trimmed, with only what the work keeps alive.

Kept and transient memory.  An encoder or decoder must keep, afterwards,
the compressor's two dictionaries: global_dict (token -> id) and
inverse_dict (id -> token), their token strings and ids (one string and one
int per entry, shared by both dictionaries, as the module and the
plain-Python encoder share them).  Everything else it needs is transient:

- kept is measured alone, in a child of its own: above an idle interpreter
  that has imported the module, the corpus's dictionaries are built entry
  by entry from a stream of small pickled chunks of tokens and ids, so that
  building them frees next to nothing; then garbage is collected and the C
  heap trimmed, and the resident size above idle is the kept size.  Built
  apart from the code under test, it measures the dictionaries alone: no
  leftover of the work can pass for kept.
- transient = peak - kept, reported in MB and per byte of corpus.  The
  floors, re.findall and tar keep nothing: kept 0, transient = peak.

The work child's own "left" is not used as kept, because allocators keep
freed memory resident.  On free-threaded builds objects come from mimalloc,
which returns freed pages to the system only after a delay and on later
allocator activity, and which malloc_trim does not reach: a process that
has stopped allocating keeps them.  There the floors, which keep nothing,
still hold tens of MB after the work, and an encoder far more than its
dictionaries; "left" shows it in the tables.  The kept children are not
timed, so they run with MIMALLOC_PURGE_DELAY=0 (freed pages go back at
once; other allocators ignore it).  Each run checks the kept figure: it
must hold the dictionaries' objects as sys.getsizeof counts them (kept is
that plus the allocator's overhead), the module's own load_dict of the same
dictionary (a second child) must keep the same within 5 %, and no transient
may be negative.  Memory freed by a child's set-up may likewise stay
resident on free-threaded builds and be reused by the work, so a peak there
can come out a little low, never high.

Corpora, staged on /dev/shm (the ordinary disk makes timings swing
several-fold):

- single: the host's standard library .py files (recursively, sorted, their
  relative paths flattened into unique base names);
- tenfold: ten copies of it, copy 0 as it is and copy i (1 to 9) with "`i"
  appended to every run of non-white-space, so that each copy brings its own
  tokens and the dictionary grows tenfold with the text (the marks make it
  some 11.5 times the bytes).  Costs per MB of corpus show whether time and
  memory grow linearly.  The plain-Python yardstick is skipped on it unless
  --plain-tenfold is given: it takes minutes and several GB there.  Its
  encoder still prepares the floors' package once per corpus.

Targets: encode time at most 1.3 times the encode floor, decode time at most
1.15 times the decode floor, encode transient at most 1.0 times the corpus,
decode transient at most 0.75 times the corpus, on each corpus.

    python bench/run_bench.py [--runs N] [--quick] [--json FILE] [--plain-tenfold]
                              [--only KEY,...] [--single]

--corpora log,tree measures the `ormek` command against zstd instead (see
command_bench.py).

--only measures only the measurements named (keys as in the JSON results,
e.g. native_encode,native_encode_checks); --single leaves out the tenfold
corpus.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

import command_bench
import log_corpus

HERE = os.path.dirname(os.path.abspath(__file__))
LEVEL = 6
THREADS = 4
QUICK_FILES = 40
# The tenfold corpus: the single corpus and COPIES - 1 copies of it whose
# tokens carry the copy's number after COPY_MARK (a character that Python
# sources hardly ever put at the end of a token).
COPIES = 10
COPY_MARK = "`"
NON_SPACE = re.compile(r"\S+")
# Entries per pickled chunk of the dictionary stream the "kept" child reads.
TOKEN_CHUNK = 10000

# (key, label, side, floor it is compared with, plain-Python counterpart)
MEASUREMENTS = [
    ("native_encode", "native encode_files", "encode", "encode_floor", "plain_encode"),
    ("native_encode_checks", "native, with checks", "encode", "encode_floor", "plain_encode"),
    ("plain_encode", "plain-Python encode", "encode", "encode_floor", "plain_encode"),
    ("encode_floor", "encode floor", "encode", "encode_floor", "plain_encode"),
    ("findall", "re.findall alone", "encode", "encode_floor", "plain_encode"),
    ("tar_zstd", "tar | zstd -6 -T4", "encode", "encode_floor", "plain_encode"),
    ("native_decode", "native decode_package", "decode", "decode_floor", "plain_decode"),
    ("native_decode_checks", "native, with checks", "decode", "decode_floor", "plain_decode"),
    ("plain_decode", "plain-Python decode", "decode", "decode_floor", "plain_decode"),
    ("decode_floor", "decode floor", "decode", "decode_floor", "plain_decode"),
]
LABELS = {m[0]: m[1] for m in MEASUREMENTS}
MEASUREMENTS_BY_KEY = {m[0]: m for m in MEASUREMENTS}
# Those whose compressor keeps the dictionaries afterwards; the others keep
# nothing.
KEEPS = {"native_encode", "plain_encode", "native_decode", "plain_decode",
         "native_encode_checks", "native_decode_checks"}
PLAIN_KEYS = ("plain_encode", "plain_decode")
# The size of the kept dictionaries, measured alone: built entry by entry
# (the figure used), and loaded by the module's load_dict (a cross-check).
KEPT_KEYS = ("kept", "kept_load")
ALL_KEYS = KEPT_KEYS + tuple(m[0] for m in MEASUREMENTS)
# The "kept" children are not timed: their object allocator (mimalloc, on
# free-threaded builds) is told to return freed pages at once, not after a
# delay that may never come in a process that has stopped allocating.
KEPT_ENV = {"MIMALLOC_PURGE_DELAY": "0"}
# How far apart the two measures of the kept dictionaries may be: a share
# of them, or a few pages' worth of allocator slack on a small corpus.
KEPT_AGREEMENT = 0.05
KEPT_SLACK = 2e6

# (measurement, what is compared, at most): time against the floor of the
# same side, transient memory against the corpus size.
TARGETS = [
    ("native_encode", "time", 1.3),
    ("native_decode", "time", 1.15),
    ("native_encode", "transient", 1.0),
    ("native_decode", "transient", 0.75),
]
# The big file's: against byte floors (the file's bytes read and written,
# not its text), with room for the tokens' own cost.
BIG_TARGETS = [
    ("native_encode", "time", 2.0),
    ("native_decode", "time", 1.5),
    ("native_encode", "transient", 1.5),
    ("native_decode", "transient", 1.5),
]
CORPORA = ("single", "tenfold", "big")


# ---------------------------------------------------------------------------
# Child side: one measurement per process.
# ---------------------------------------------------------------------------


def _rss_now():
    """Current resident set size in bytes."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return _maxrss(0)


def _maxrss(who):
    import resource

    value = resource.getrusage(who).ru_maxrss
    # Linux reports kilobytes, macOS bytes.
    return value if sys.platform == "darwin" else value * 1024


def _reset_peak():
    """Restart the kernel's record of this process's peak resident size from
    the current size, so that the peak read after the work is the work's own
    and not the set-up's.  False where the kernel offers no such reset."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return False
    return _peak_since_reset() is not None


def _peak_since_reset():
    """Peak resident size (VmHWM) in bytes, or None."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


_LIBC = []


def _release_free_memory():
    """Collect garbage and hand the C heap's free pages back to the system
    (glibc's malloc_trim), so that the resident size counts live memory as
    far as the allocators let it.  The object allocator of free-threaded
    builds (mimalloc) is not reached by malloc_trim: pages it has freed may
    stay resident until it purges them itself."""
    import gc

    gc.collect()
    if not _LIBC:
        import ctypes

        try:
            _LIBC.append(ctypes.CDLL(None).malloc_trim)
        except (OSError, AttributeError):
            _LIBC.append(None)
    if _LIBC[0] is not None:
        _LIBC[0](0)


def _cpu_seconds():
    """User plus system time of this process and its waited-for children, so
    that a busy machine shows as wall time above CPU time."""
    import resource

    total = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        total += usage.ru_utime + usage.ru_stime
    return total


def _read_list(path):
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def _read_texts(paths, as_bytes=False):
    texts = []
    for path in paths:
        with open(path, "rb") if as_bytes else open(path, "r", encoding="utf-8") as f:
            texts.append(f.read())
    return texts


def _import_native():
    import warnings

    with warnings.catch_warnings():
        # The module warns on hosts other than its target and about the GIL.
        warnings.simplefilter("ignore", RuntimeWarning)
        import ormek_compressor
    return ormek_compressor


def _import_reference():
    sys.path.insert(0, HERE)
    import reference

    return reference


def _compressor_class(kind):
    if kind.startswith("native"):
        return _import_native().OrmekCompressor
    return _import_reference().PlainCompressor


def _object_bytes(global_dict, inverse_dict):
    """The bytes of the dictionaries' own objects as sys.getsizeof counts
    them (tables, token strings, ids; no allocator overhead), each token and
    id counted once, as both dictionaries share them."""
    return (
        sys.getsizeof(global_dict)
        + sys.getsizeof(inverse_dict)
        + sum(map(sys.getsizeof, global_dict))
        + sum(map(sys.getsizeof, inverse_dict))
    )


def _write_dictionary(comp, tokens_file, dict_file):
    """Save an encoder's dictionary for the "kept" measurements: as a stream
    of small pickled (tokens, ids) chunks in the order the entries were made,
    and as a dictionary file that the module's load_dict reads."""
    import pickle

    entries = list(comp.global_dict.items())
    with open(tokens_file, "wb") as f:
        for start in range(0, len(entries), TOKEN_CHUNK):
            chunk = entries[start : start + TOKEN_CHUNK]
            tokens = [token for token, _ in chunk]
            ids = [token_id for _, token_id in chunk]
            pickle.dump((tokens, ids), f, protocol=pickle.HIGHEST_PROTOCOL)
    with open(dict_file, "wb") as f:
        pickle.dump({"dict": comp.global_dict, "next_id": comp.next_id}, f)


def _encode_setup(task, paths):
    kind, out = task["kind"], task["out"]
    level, threads = task["level"], task["threads"]
    cls = _compressor_class("plain" if kind == "prep" else kind)
    comp = cls(dict_path=task["dict_path"])

    def work():
        size = comp.encode_files(paths, out, level, threads)
        return {"compressed_bytes": size, "output_bytes": os.path.getsize(out)}

    if kind == "native_encode_checks":
        # The corpus's base names are unique: stored as encode_files would.
        named = [(path, os.path.basename(path)) for path in paths]

        def work():
            size = comp.encode_named_files(named, out, level, threads, checks=True)
            return {"compressed_bytes": size, "output_bytes": os.path.getsize(out)}

    if kind == "prep":

        def prep_work():
            # The parent must never load a package itself: a child starts
            # with its parent's peak as its own ru_maxrss.
            result = work()
            import pickle

            with open(out, "rb") as f:
                boundaries = pickle.load(f)["file_boundaries"]
            result["tokens"] = boundaries[-1] if boundaries else 0
            result["distinct_tokens"] = len(comp.global_dict)
            _write_dictionary(comp, task["tokens_file"], task["dict_file"])
            return result

        return prep_work, None

    return work, None


def _decode_setup(task, paths):
    cls = _compressor_class(task["kind"])
    comp = cls(dict_path=task["dict_path"])
    package, out = task["package"], task["out"]

    def work():
        names = comp.decode_package(package, out)
        return {"files": len(names)}

    return work, None


def _kept_setup(task, paths):
    # Idle is an interpreter that has imported the module, as for the
    # native measurements.
    native = _import_native()
    held = []

    if task["kind"] == "kept":
        import pickle

        def work():
            # The dictionaries built entry by entry from small chunks,
            # so that building them frees next to nothing that could
            # stay resident and be counted as kept.
            global_dict, inverse_dict = {}, {}
            with open(task["tokens_file"], "rb") as f:
                while True:
                    try:
                        tokens, ids = pickle.load(f)
                    except EOFError:
                        break
                    global_dict.update(zip(tokens, ids))
                    inverse_dict.update(zip(ids, tokens))
            held.extend((global_dict, inverse_dict))
            return {"entries": len(global_dict)}

    else:

        def work():
            comp = native.OrmekCompressor(dict_path=task["dict_file"])
            held.extend((comp.global_dict, comp.inverse_dict))
            return {"entries": len(comp.global_dict)}

    return work, lambda: {"object_bytes": _object_bytes(*held)}


def _encode_floor_setup(task, paths):
    import pickle

    import zstandard as zstd

    out, level, threads = task["out"], task["level"], task["threads"]
    with open(task["package"], "rb") as f:
        package = pickle.load(f)
    packed = zstd.ZstdDecompressor().decompress(package["compressed"])
    boundaries = package["file_boundaries"]
    filenames = package["filenames"]
    global_dict = package["global_dict"]
    del package

    def work():
        texts = _read_texts(paths, task["byte_floors"])
        compressed = zstd.ZstdCompressor(level=level, threads=threads).compress(packed)
        result = {
            "compressed": compressed,
            "file_boundaries": boundaries,
            "filenames": filenames,
            "global_dict": global_dict,
        }
        with open(out, "wb") as f:
            pickle.dump(result, f)
        return {
            "compressed_bytes": len(compressed),
            "output_bytes": os.path.getsize(out),
            "chars": sum(map(len, texts)),
        }

    return work, None


def _decode_floor_setup(task, paths):
    import pickle

    import zstandard as zstd

    out = task["out"]
    byte_floors = task["byte_floors"]
    texts = _read_texts(paths, byte_floors)
    package_path = task["package"]

    def work():
        with open(package_path, "rb") as f:
            package = pickle.load(f)
        data = zstd.ZstdDecompressor().decompress(package["compressed"])
        os.makedirs(out, exist_ok=True)
        for name, text in zip(package["filenames"], texts):
            path = os.path.join(out, name)
            if byte_floors:
                with open(path, "wb") as f:
                    f.write(text)
                continue
            with open(path, "w", encoding="utf-8", newline="") as f:
                f.write(text)
        return {"stream_bytes": len(data)}

    return work, None


def _findall_setup(task, paths):
    texts = _read_texts(paths)
    pattern = _import_reference().TOKEN_PATTERN

    def work():
        token_lists = [re.findall(pattern, text) for text in texts]
        return {"tokens": sum(map(len, token_lists))}

    return work, None


def _tar_zstd_setup(task, paths):
    out = task["out"]
    parent, base = os.path.split(task["corpus_dir"])
    command = (
        f"set -o pipefail; tar -cf - -C '{parent}' '{base}' "
        f"| zstd -{task['level']} -T{task['threads']} -q -c > '{out}'"
    )

    def work():
        subprocess.run(["bash", "-c", command], check=True)
        return {"output_bytes": os.path.getsize(out)}

    return work, None


def _verify_setup(task, paths):
    return (lambda: _verify(task, paths)), None


# The set-up of each kind of measurement: (kinds, set-up).
_SETUPS = (
    (("native_encode", "native_encode_checks", "plain_encode", "prep"), _encode_setup),
    (("native_decode", "native_decode_checks", "plain_decode"), _decode_setup),
    (("kept", "kept_load"), _kept_setup),
    (("encode_floor",), _encode_floor_setup),
    (("decode_floor",), _decode_floor_setup),
    (("findall",), _findall_setup),
    (("tar_zstd",), _tar_zstd_setup),
    (("verify",), _verify_setup),
)


def _setup(task):
    """Prepare a measurement; return the function that does the timed work
    and a function (or None) that reports on what the work kept once its
    memory is measured.  Everything loaded here counts as idle memory."""
    paths = _read_list(task["list"])
    for kinds, setup in _SETUPS:
        if task["kind"] in kinds:
            return setup(task, paths)
    raise SystemExit(f"unknown measurement {task['kind']!r}")


def _verify(task, paths):
    """Decoded outputs against the inputs as text-mode reading sees them, and
    packages against the plain-Python encoder's."""
    names = {os.path.basename(path): path for path in paths}
    report = {}
    for key, out_dir in task["decoded"].items():
        if not os.path.isdir(out_dir):
            report[key] = None
            continue
        found = set(os.listdir(out_dir))
        bad = sorted(n for n in names if n not in found)
        bad += sorted(n for n in found if n not in names)
        for name in sorted(names.keys() & found):
            with open(names[name], "r", encoding="utf-8") as f:
                expected = f.read().encode("utf-8")
            with open(os.path.join(out_dir, name), "rb") as f:
                if f.read() != expected:
                    bad.append(name)
        report[key] = {"ok": not bad, "bad": bad[:5], "bad_count": len(bad)}
    with open(task["package"], "rb") as f:
        reference = f.read()
    for key, package in task["packages"].items():
        if os.path.exists(package):
            with open(package, "rb") as f:
                report[key] = f.read() == reference
        else:
            report[key] = None
    keyed = task.get("keyed_package")
    if keyed and os.path.exists(keyed):
        import pickle

        with open(task["package"], "rb") as f:
            plain = pickle.load(f)
        with open(keyed, "rb") as f:
            package = pickle.load(f)
        facts = package.pop("file_facts", None)
        report["keyed_package"] = package == plain and facts is not None
    return report


def child_main(task_json):
    import resource

    task = json.loads(task_json)
    work, after = _setup(task)
    _release_free_memory()
    idle = _rss_now()
    peak_reset = _reset_peak()
    peak_before = _maxrss(resource.RUSAGE_SELF)
    cpu_before = _cpu_seconds()
    start = time.perf_counter()
    extra = work() or {}
    wall = time.perf_counter() - start
    cpu = _cpu_seconds() - cpu_before
    peak = _peak_since_reset() if peak_reset else _maxrss(resource.RUSAGE_SELF)
    # What the work leaves resident: its garbage collected and the C heap
    # trimmed, everything it made is gone but what it keeps (the compressor
    # of encode and decode, the dictionaries of the "kept" measurement).
    _release_free_memory()
    left = _rss_now() - idle
    result = {
        "wall": wall,
        "cpu": cpu,
        "idle": idle,
        "peak": peak,
        "peak_above_idle": max(0, peak - idle),
        "left": left,
        # Without the reset, a set-up peak above idle would mask the work's
        # own peak, so it is reported for the parent to flag.
        "setup_peak_excess": 0 if peak_reset else max(0, peak_before - idle),
        "gil_enabled": getattr(sys, "_is_gil_enabled", lambda: True)(),
    }
    if task["kind"] == "tar_zstd":
        # The work runs in grandchildren: report the largest of them.
        result["peak_above_idle"] = _maxrss(resource.RUSAGE_CHILDREN)
        result["left"] = None
        result["setup_peak_excess"] = 0
    result.update(extra)
    if after:
        result.update(after())
    print("RESULT " + json.dumps(result), flush=True)


# ---------------------------------------------------------------------------
# Parent side: staging, scheduling, reporting.
# ---------------------------------------------------------------------------


def _stdlib_files():
    root = sysconfig.get_paths()["stdlib"]
    skip = {"site-packages", "dist-packages", "__pycache__"}
    found = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in skip)
        for name in sorted(files):
            if not name.endswith(".py"):
                continue
            path = os.path.join(folder, name)
            try:
                with open(path, "rb") as f:
                    f.read().decode("utf-8")
            except (OSError, UnicodeDecodeError):
                continue  # a few test files are deliberately not UTF-8
            found.append((os.path.relpath(path, root), path))
    return found


# The big file: copies of the standard library's text, each copy's letters
# moved into a script of its own (so a copy brings its own tokens with the
# text's own word and spacing statistics), and in one script of them the
# digit 7 moved beyond U+FFFF, until BIG_FILE_BYTES of UTF-8. It is one file
# with universal newlines to translate.
BIG_FILE_BYTES = 210_000_000
BIG_SCRIPTS = [
    (0x00E0, None),  # accented Latin (à .. ÿ, one byte a character in a str)
    (0x03B1, None),  # Greek
    (0x0430, None),  # Cyrillic
    (0x4E00, None),  # CJK ideographs
    (0x0100, "\U0001D7FD"),  # Latin Extended-A, and MATHEMATICAL MONOSPACE DIGIT SEVEN
    (0xAC00, None),  # Hangul syllables
]


def _script_table(first, seven):
    letters = "abcdefghijklmnopqrstuvwxyz"
    table = {ord(c): first + i for i, c in enumerate(letters)}
    table.update({ord(c.upper()): first + 26 + i for i, c in enumerate(letters)})
    if first == 0x00E0:  # 52 letters do not fit below U+0100: upper case stays
        table = {ord(c): first + i for i, c in enumerate(letters)}
    if seven:
        table[ord("7")] = seven
    return table


def _write_big_file(path, sources, size):
    base = []
    for _rel, src in sources:
        with open(src, "rb") as f:
            base.append(f.read().decode("utf-8"))
    text = "".join(base)
    written = 0
    with open(path, "wb") as f:
        for copy in range(10_000):
            if written >= size:
                break
            first, seven = BIG_SCRIPTS[copy % len(BIG_SCRIPTS)]
            data = text.translate(_script_table(first, seven)).encode("utf-8")
            f.write(data)
            written += len(data)
    return written


def _scratch_root(requested):
    if requested:
        base = requested
    elif os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        base = "/dev/shm"
    else:
        base = tempfile.gettempdir()
        print(f"warning: /dev/shm not usable, staging in {base}; timings may swing")
    return tempfile.mkdtemp(prefix="ormek-bench-", dir=base)


def _mark_copy(text, copy):
    """Copy `copy` of a text for the tenfold corpus: every run of
    non-white-space gets the suffix COPY_MARK + copy, so each copy brings its
    own tokens (copy 0 is the text itself).  Only ASCII is added right after
    a token, so the tokens keep their boundaries and the text stays UTF-8."""
    if copy == 0:
        return text
    return NON_SPACE.sub(r"\g<0>" + COPY_MARK + str(copy), text)


def _write_corpus(scratch, name, folder, paths):
    list_path = os.path.join(scratch, f"{name}.list")
    with open(list_path, "w", encoding="utf-8") as f:
        f.writelines(p + "\n" for p in paths)
    return {
        "name": name,
        "dir": folder,
        "list": list_path,
        "files": len(paths),
        "bytes": sum(os.path.getsize(p) for p in paths),
        "byte_floors": name == "big",
        "targets": BIG_TARGETS if name == "big" else TARGETS,
    }


def _stage(scratch, quick, names=CORPORA):
    """Write the corpora `names` into scratch; return {name: info}."""
    files = _stdlib_files()
    staged = {}
    if "big" in names:
        folder = os.path.join(scratch, "corpus", "big")
        os.makedirs(folder)
        path = os.path.join(folder, "big.txt")
        _write_big_file(path, files, BIG_FILE_BYTES // 10 if quick else BIG_FILE_BYTES)
        staged["big"] = _write_corpus(scratch, "big", folder, [path])
    if quick:
        step = max(1, len(files) // QUICK_FILES)
        files = files[::step][:QUICK_FILES]
    single = os.path.join(scratch, "corpus", "single")
    tenfold = os.path.join(scratch, "corpus", "tenfold")
    os.makedirs(single)
    os.makedirs(tenfold)
    single_paths = []
    for rel, src in files:
        dst = os.path.join(single, rel.replace(os.sep, "__"))
        shutil.copyfile(src, dst)
        single_paths.append(dst)
    # Copy by copy, so the tenfold corpus starts with the single one and
    # its dictionary grows copy after copy.  Texts are changed as decoded
    # bytes, so line ends stay as they are.
    tenfold_paths = []
    for copy in range(COPIES):
        for src in single_paths:
            dst = os.path.join(tenfold, f"{copy}__{os.path.basename(src)}")
            with open(src, "rb") as f:
                text = f.read().decode("utf-8")
            with open(dst, "wb") as f:
                f.write(_mark_copy(text, copy).encode("utf-8"))
            tenfold_paths.append(dst)
    staged["single"] = _write_corpus(scratch, "single", single, single_paths)
    staged["tenfold"] = _write_corpus(scratch, "tenfold", tenfold, tenfold_paths)
    return {name: staged[name] for name in CORPORA if name in names}


def _run_child(task, env=None):
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", json.dumps(task)],
        capture_output=True,
        text=True,
        env=None if env is None else {**os.environ, **env},
    )
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT ") :]), None
    lines = (proc.stderr or proc.stdout or f"exit status {proc.returncode}").strip().splitlines()
    return None, lines[-1] if lines else f"exit status {proc.returncode}"


def _remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def _task(kind, corpus, scratch, level, threads):
    out_dir = os.path.join(scratch, "out", corpus["name"])
    os.makedirs(out_dir, exist_ok=True)
    decoding = kind in ("native_decode", "native_decode_checks", "plain_decode", "decode_floor")
    out = os.path.join(out_dir, kind + ("" if decoding else ".out"))
    package = {
        "native_decode": os.path.join(out_dir, "native_encode.out"),
        "native_decode_checks": os.path.join(out_dir, "native_encode_checks.out"),
        "plain_decode": os.path.join(out_dir, "plain_encode.out"),
    }.get(kind, corpus["prep_package"])
    return {
        "kind": kind,
        "list": corpus["list"],
        "corpus_dir": corpus["dir"],
        "out": out,
        "package": package,
        "tokens_file": corpus["tokens_file"],
        "dict_file": corpus["dict_file"],
        "dict_path": os.path.join(scratch, "no-such-dictionary.bin"),
        "byte_floors": corpus["byte_floors"],
        "level": level,
        "threads": threads,
    }


def _median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def _fmt(value, precision=1, suffix=""):
    """A figure for the tables; "-" when the value is missing."""
    return "-" if value is None else f"{value:.{precision}f}{suffix}"


def _cell(value, width, precision=2, suffix=""):
    """A right-aligned table cell."""
    return _fmt(value, precision, suffix).rjust(width)


def _ratio(a, b):
    return a / b if a is not None and b else None


def _mb(value):
    return None if value is None else value / 1e6


def _print_corpus_table(corpus, results, kept):
    mb = corpus["bytes"] / 1e6
    print(
        f"\n== {corpus['name']} corpus: {corpus['files']} files, {mb:.1f} MB, "
        f"{corpus['tokens'] / 1e6:.2f} M tokens, {corpus['distinct_tokens'] / 1e6:.2f} M distinct =="
    )
    if kept["error"]:
        print(f"kept not measured: {kept['error']}")
    print(
        f"kept (global_dict + inverse_dict, built entry by entry): "
        f"{_fmt(_mb(kept['kept']), 1)} MB = "
        f"{_fmt(_ratio(kept['kept'], corpus['bytes']), 2)}x corpus; "
        f"loaded by the module's load_dict: {_fmt(_mb(kept['module_load']), 1)} MB; "
        f"their objects alone: {_fmt(_mb(kept['object_bytes']), 1)} MB"
    )
    header = (
        f"{'measurement':<24}{'time s':>8}{'cpu s':>7}{'vs floor':>10}{'vs plain':>10}"
        f"{'peak MB':>9}{'kept MB':>9}{'transient MB':>14}{'trans/corpus':>14}"
        f"{'left MB':>9}{'output MB':>11}{'ratio':>7}"
    )
    print(header)
    print("-" * len(header))
    for key, label, _side, floor, plain in MEASUREMENTS:
        r = results[key]
        if r["skipped"]:
            print(f"{label:<24}  skipped: {r['skipped']}")
            continue
        if r["error"]:
            print(f"{label:<24}  n/a: {r['error'][:90]}")
            continue
        t = r["time"]
        out = r["output_bytes"]
        print(
            f"{label:<24}{_cell(t, 8, 3)}{_cell(r['cpu'], 7, 2)}"
            f"{_cell(_ratio(t, results[floor]['time']), 10, 2, 'x')}"
            f"{_cell(_ratio(t, results[plain]['time']), 10, 2, 'x')}"
            f"{_cell(_mb(r['peak']), 9, 1)}{_cell(_mb(r['kept']), 9, 1)}"
            f"{_cell(_mb(r['transient']), 14, 1)}"
            f"{_cell(_ratio(r['transient'], corpus['bytes']), 14, 2, 'x')}"
            f"{_cell(_mb(r['left']), 9, 1)}{_cell(_mb(out), 11, 2)}"
            f"{_cell(_ratio(corpus['bytes'], out), 7, 2, 'x')}"
        )


def _print_growth(corpora, results):
    single, tenfold = corpora["single"], corpora["tenfold"]
    print(
        f"\n== growth: tenfold against single, per MB of corpus (corpus "
        f"x{tenfold['bytes'] / single['bytes']:.2f}, distinct tokens "
        f"x{tenfold['distinct_tokens'] / single['distinct_tokens']:.2f}) =="
    )
    print("linear growth keeps the figures per MB: a ratio near 1.00")
    pair = ("single", "tenfold")
    print(
        f"{'measurement':<24}{'ms/MB single':>14}{'tenfold':>9}{'ratio':>8}"
        f"{'transient/MB single':>21}{'tenfold':>9}{'ratio':>8}"
    )
    for key, label, *_ in MEASUREMENTS:
        # Milliseconds per MB of corpus, and transient MB per MB of corpus.
        ta, tb = (_ratio(results[c][key]["time"], corpora[c]["bytes"] / 1e9) for c in pair)
        ma, mb = (_ratio(results[c][key]["transient"], corpora[c]["bytes"]) for c in pair)
        print(
            f"{label:<24}{_cell(ta, 14, 1)}{_cell(tb, 9, 1)}{_cell(_ratio(tb, ta), 8, 2, 'x')}"
            f"{_cell(ma, 21, 2)}{_cell(mb, 9, 2)}{_cell(_ratio(mb, ma), 8, 2, 'x')}"
        )


def _check_memory(corpora, results, kept):
    """The soundness checks of the memory figures: what they are, and
    whether each holds."""
    checks = []
    for cname, corpus in corpora.items():
        k = kept[cname]
        gap = None
        if k["kept"] is not None and k["module_load"] is not None:
            gap = abs(k["module_load"] - k["kept"])
        checks.append(
            (
                k["kept"] is not None and (k["object_bytes"] or 0) <= k["kept"],
                f"{cname}: kept {_fmt(_mb(k['kept']), 1)} MB holds the dictionaries' "
                f"objects ({_fmt(_mb(k['object_bytes']), 1)} MB)",
            )
        )
        checks.append(
            (
                gap is not None and gap <= max(KEPT_AGREEMENT * k["kept"], KEPT_SLACK),
                f"{cname}: the module's load_dict keeps the same within "
                f"{KEPT_AGREEMENT:.0%} or {KEPT_SLACK / 1e6:.0f} MB "
                f"({_fmt(_mb(gap), 1)} MB apart)",
            )
        )
        negative = [
            LABELS[key]
            for key, *_ in MEASUREMENTS
            if results[cname][key]["transient"] is not None and results[cname][key]["transient"] < 0
        ]
        checks.append((not negative, f"{cname}: no transient below zero {negative or ''}"))
    print("\n== memory figures checked ==")
    for ok, what in checks:
        print(f"{'ok   ' if ok else 'CHECK'}  {what}")
    floors = ", ".join(
        f"{cname} {LABELS[key]} {_fmt(_mb(results[cname][key]['left']), 1)} MB"
        for cname in corpora
        for key in ("encode_floor", "decode_floor")
    )
    print(
        "the floors keep nothing (kept 0); what they still hold after the work, their garbage\n"
        f"collected and the C heap trimmed, shows what allocators keep back: {floors}"
    )
    return [{"ok": ok, "what": what} for ok, what in checks]


def _check_targets(corpora, results):
    checks = []
    for cname, corpus in corpora.items():
        res = results[cname]
        for key, what, target in corpus["targets"]:
            if what == "time":
                floor = MEASUREMENTS_BY_KEY[key][3]
                value = _ratio(res[key]["time"], res[floor]["time"])
                text = f"{LABELS[key]} time vs {LABELS[floor]}"
            else:
                value = _ratio(res[key]["transient"], corpus["bytes"])
                text = f"{LABELS[key]} transient vs corpus"
            checks.append(
                {
                    "corpus": cname,
                    "measurement": key,
                    "metric": what,
                    "what": text,
                    "value": value,
                    "target": target,
                    "ok": None if value is None else value <= target,
                }
            )
    print("\n== targets ==")
    for c in checks:
        verdict = {True: "PASS", False: "FAIL", None: "n/a "}[c["ok"]]
        print(
            f"{verdict}  {c['corpus']:<8}{c['what']:<46}"
            f"{_cell(c['value'], 7, 2, 'x')}  (target <= {c['target']}x)"
        )
    return checks


def _print_verification(verification):
    print("\n== correctness ==")
    for cname, v in verification.items():
        if "error" in v:
            print(f"{cname}: verification failed: {v['error']}")
            continue
        parts = []
        for key, what in (
            ("native_decode", "native decode restores every file"),
            ("native_decode_checks", "native decode with checks restores every file"),
            ("plain_decode", "plain decode restores every file"),
        ):
            value = v.get(key)
            if value is None:
                value = "not run"
            elif value["ok"]:
                value = "ok"
            else:
                value = f"{value['bad_count']} files differ, e.g. {value['bad']}"
            parts.append(f"{what}: {value}")
        for key, what in (
            ("native_package", "native package == plain encoder's"),
            ("plain_package", "plain package == plain encoder's"),
            ("keyed_package", "package with checks == plain encoder's + \"file_facts\""),
        ):
            value = v.get(key)
            parts.append(f"{what}: {'not run' if value is None else value}")
        print(f"{cname}:\n  " + "\n  ".join(parts))


def _prepare(corpus, scratch, level, threads):
    """The floors need the real id stream and dictionary, and the "kept"
    measurements the dictionary: take them from the plain-Python encoder,
    which is correct by construction."""
    name = corpus["name"]
    corpus["prep_package"] = os.path.join(scratch, f"{name}.prep.pkg")
    corpus["tokens_file"] = os.path.join(scratch, f"{name}.tokens")
    corpus["dict_file"] = os.path.join(scratch, f"{name}.dict")
    task = _task("prep", corpus, scratch, level, threads)
    task["out"] = corpus["prep_package"]
    result, error = _run_child(task)
    if error:
        raise SystemExit(f"preparing the {name} corpus failed: {error}")
    corpus["tokens"] = result["tokens"]
    corpus["distinct_tokens"] = result["distinct_tokens"]
    print(
        f"staged {name}: {corpus['files']} files, {corpus['bytes'] / 1e6:.1f} MB, "
        f"{corpus['tokens'] / 1e6:.2f} M tokens, {corpus['distinct_tokens'] / 1e6:.2f} M distinct"
    )


def _summarise(slot, kept):
    runs = slot["runs"]
    entry = {
        "skipped": slot["skipped"],
        "error": slot["error"] if not runs else None,
        "times": [r["wall"] for r in runs],
        "peaks": [r["peak_above_idle"] for r in runs],
        "lefts": [r["left"] for r in runs],
        "runs": runs,
    }
    entry["time"] = _median(entry["times"])
    entry["cpu"] = _median([r["cpu"] for r in runs])
    entry["peak"] = _median(entry["peaks"])
    entry["left"] = _median(entry["lefts"])
    entry["kept"] = kept if runs else None
    entry["transient"] = (
        None if entry["peak"] is None or kept is None else entry["peak"] - kept
    )
    outputs = [r["output_bytes"] for r in runs if "output_bytes" in r]
    entry["output_bytes"] = outputs[-1] if outputs else None
    return entry


def _stage_and_prepare(args, scratch):
    names = args.corpora.split(",")
    if args.single:
        names = [name for name in names if name != "tenfold"]
    corpora = _stage(scratch, args.quick, names)
    for corpus in corpora.values():
        _prepare(corpus, scratch, LEVEL, THREADS)
    return corpora


def _measurement_slots(args, corpora):
    """{corpus: {key: slot}}, each slot marked skipped or failed up front
    when it is not to be measured."""
    have_tar = shutil.which("tar") and shutil.which("zstd") and shutil.which("bash")
    raw = {
        c: {key: {"runs": [], "error": None, "skipped": None} for key in ALL_KEYS}
        for c in corpora
    }
    only = set(args.only.split(",")) if args.only else None
    for c in corpora:
        for key in ALL_KEYS:
            if only is not None and key not in only and key not in KEPT_KEYS:
                raw[c][key]["skipped"] = "not asked for (--only)"
        if not have_tar:
            raw[c]["tar_zstd"]["error"] = "tar or zstd not found (apt-get install -y zstd)"
    if not args.plain_tenfold and "tenfold" in corpora:
        for key in PLAIN_KEYS:
            raw["tenfold"][key]["skipped"] = (
                "plain Python takes minutes and GBs here; --plain-tenfold runs it"
            )
    if "big" in corpora:
        for key in PLAIN_KEYS:
            raw["big"][key]["skipped"] = "plain Python takes minutes and GBs here"
    return raw


def _measure_all(raw, corpora, scratch, runs):
    """Each measurement of each corpus once per run, in a child of its own."""
    for run in range(runs):
        for cname, corpus in corpora.items():
            for key in ALL_KEYS:
                slot = raw[cname][key]
                if slot["error"] or slot["skipped"]:
                    continue
                task = _task(key, corpus, scratch, LEVEL, THREADS)
                _remove(task["out"])
                result, error = _run_child(task, KEPT_ENV if key in KEPT_KEYS else None)
                if error:
                    slot["error"] = error
                    print(f"  {cname} {key}: failed: {error}")
                    continue
                if result["setup_peak_excess"] > 0.05 * max(result["peak_above_idle"], 1):
                    result["note"] = "setup peak above idle; memory may be overstated"
                slot["runs"].append(result)
                left = "" if result["left"] is None else f"  left {result['left'] / 1e6:8.1f} MB"
                print(
                    f"  run {run + 1}/{runs} {cname:<7} {key:<14} {result['wall']:8.3f} s"
                    f"  peak {result['peak_above_idle'] / 1e6:8.1f} MB{left}",
                    flush=True,
                )


def _kept_and_results(raw, corpora):
    kept, results = {}, {}
    for cname in corpora:
        k_runs = raw[cname]["kept"]["runs"]
        load_runs = raw[cname]["kept_load"]["runs"]
        kept[cname] = {
            "kept": _median([r["left"] for r in k_runs]),
            "kept_runs": [r["left"] for r in k_runs],
            "module_load": _median([r["left"] for r in load_runs]),
            "module_load_runs": [r["left"] for r in load_runs],
            "object_bytes": k_runs[0]["object_bytes"] if k_runs else None,
            "entries": k_runs[0]["entries"] if k_runs else None,
            "error": raw[cname]["kept"]["error"] or raw[cname]["kept_load"]["error"],
        }
        results[cname] = {
            key: _summarise(raw[cname][key], kept[cname]["kept"] if key in KEEPS else 0)
            for key, *_ in MEASUREMENTS
        }
    return kept, results


def _verify_all(raw, corpora, scratch):
    verification = {}
    for cname, corpus in corpora.items():
        out_dir = os.path.join(scratch, "out", cname)
        task = _task("verify", corpus, scratch, LEVEL, THREADS)
        task["decoded"] = {
            key: os.path.join(out_dir, key)
            for key in ("native_decode", "native_decode_checks", "plain_decode")
            if not raw[cname][key]["skipped"]
        }
        task["packages"] = {
            "native_package": os.path.join(out_dir, "native_encode.out"),
            "plain_package": os.path.join(out_dir, "plain_encode.out"),
        }
        # With checks the package is the plain one plus its "file_facts".
        task["keyed_package"] = os.path.join(out_dir, "native_encode_checks.out")
        verified, error = _run_child(task)
        verification[cname] = {"error": error} if error else verified
    return verification


def _save(args, report, scratch):
    """The results as JSON (--json, or for the chart) and the chart."""
    json_path = args.json or (os.path.join(scratch, "results.json") if args.chart else None)
    if json_path:
        with open(json_path, "w", encoding="utf-8") as f:
            json.dump(report, f, indent=1)
        if args.json:
            print(f"results saved to {args.json}")
    if args.chart:
        # The chart needs matplotlib, which the host under test may lack:
        # any interpreter that has it may draw it.
        drawer = args.chart_python or sys.executable
        chart = subprocess.run([drawer, os.path.join(HERE, "chart.py"), json_path, args.chart])
        if chart.returncode:
            print(f"no chart: {drawer} could not draw it (is matplotlib installed?)")


def _benchmark(args, report, scratch, runs, began):
    corpora = _stage_and_prepare(args, scratch)
    raw = _measurement_slots(args, corpora)
    _measure_all(raw, corpora, scratch, runs)
    kept, results = _kept_and_results(raw, corpora)
    verification = _verify_all(raw, corpora, scratch)

    for cname, corpus in corpora.items():
        _print_corpus_table(corpus, results[cname], kept[cname])
    if "single" in corpora and "tenfold" in corpora:
        _print_growth(corpora, results)
    _print_verification(verification)
    memory_checks = _check_memory(corpora, results, kept)
    checks = _check_targets(corpora, results)
    elapsed = time.perf_counter() - began
    print(f"\nrun time {elapsed / 60:.1f} min")

    report.update(
        corpora={
            name: {
                key: corpus[key]
                for key in ("files", "bytes", "tokens", "distinct_tokens")
            }
            for name, corpus in corpora.items()
        },
        kept=kept,
        results=results,
        verification=verification,
        memory_checks=memory_checks,
        targets=checks,
        elapsed=elapsed,
    )
    _save(args, report, scratch)


def parent_main(args):
    began = time.perf_counter()
    runs = args.runs if args.runs is not None else (1 if args.quick else 3)
    scratch = _scratch_root(args.scratch)
    report = {
        "python": sys.version,
        "executable": sys.executable,
        "free_threaded_build": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
        "host": os.environ.get("ORMEK_HOST"),
        "cpu_count": os.cpu_count(),
        "scratch": scratch,
        "level": LEVEL,
        "threads": THREADS,
        "runs": runs,
        "quick": args.quick,
    }
    print(f"python {sys.version.split()[0]} ({sys.executable}), scratch {scratch}, runs {runs}")
    try:
        _benchmark(args, report, scratch, runs, began)
    finally:
        if args.keep:
            print(f"scratch kept in {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, help="runs per measurement (default 3, 1 with --quick)")
    parser.add_argument("--quick", action="store_true", help=f"smoke mode: {QUICK_FILES} files")
    parser.add_argument("--json", metavar="FILE", help="save all results as JSON")
    parser.add_argument("--scratch", metavar="DIR", help="stage under DIR instead of /dev/shm")
    parser.add_argument("--plain-tenfold", action="store_true",
                        help="run the plain-Python yardstick on the tenfold corpus too")
    parser.add_argument("--keep", action="store_true", help="keep the staged corpora and outputs")
    parser.add_argument("--only", metavar="KEYS", help="measure only these (comma-separated)")
    parser.add_argument("--single", action="store_true", help="leave out the tenfold corpus")
    parser.add_argument("--corpora", default=",".join(CORPORA),
                        help=f"the corpora to measure (default {','.join(CORPORA)})")
    parser.add_argument("--chart", metavar="PNG", help="draw the results as a chart (matplotlib)")
    parser.add_argument("--chart-python", metavar="PYTHON",
                        help="interpreter with matplotlib to draw the chart (default: this one)")
    parser.add_argument("--log-mib", type=float, default=log_corpus.DEFAULT_MIB,
                        help="size of the log case's generated log (default %(default)s MiB)")
    parser.add_argument("--tree", default="/usr/include", help="the tree case's tree (default %(default)s)")
    parser.add_argument("--no-warm", action="store_true",
                        help="leave out writing to the free memory once before measuring")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(args.child)
        return
    # The command's cases (command_bench.py) run after the module's corpora.
    names = args.corpora.split(",")
    if not args.no_warm:
        seconds, size = command_bench.warm_memory()
        print(f"wrote to {size / 2**30:.0f} GiB of free memory once in {seconds:.1f} s"
              " (command_bench.warm_memory)")
    args.corpora = ",".join(name for name in names if name not in command_bench.CASES)
    if args.corpora:
        parent_main(args)
    commands = [name for name in names if name in command_bench.CASES]
    if commands:
        scratch = _scratch_root(args.scratch)
        try:
            runs = args.runs or (1 if args.quick else 3)
            command_bench.run(commands, scratch, runs, args.log_mib, args.tree)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
