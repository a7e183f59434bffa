#!/usr/bin/env python3
"""Side-by-side benchmark of ormek_compressor.

Measures, in one run and with the median of several runs:

- the native module's encode_files and decode_package;
- the plain-Python yardstick (bench/reference.py) doing the same;
- the floors: the unavoidable steps timed alone (encode: read every file in
  text mode + compress the packed id stream + pickle the package; decode:
  unpickle the package + decompress + write every file);
- re.findall alone over the corpus;
- `tar -cf - DIR | zstd -6 -T4`, for reference.

Every measurement runs in a fresh child process (this script with the hidden
--child option) that reports its wall time and its peak memory above idle:
getrusage's ru_maxrss after the work minus the resident size just before the
work started.  The corpora and all scratch output live on /dev/shm, since the
ordinary disk makes timings swing several-fold.

Corpora: the host's standard library .py files (recursively, sorted, with
their relative paths flattened into unique base names), and the same files
copied twice into two subdirectories (about twice the size, for checking that
time and memory grow linearly; its decoded base names collide, so correctness
is verified on the single corpus only).

    python bench/run_bench.py [--runs N] [--quick] [--json FILE]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LEVEL = 6
THREADS = 4
TARGET_TIME_VS_FLOOR = 1.3
TARGET_MEMORY_VS_CORPUS = 3.0
QUICK_FILES = 40

# (key, label, side, floor it is compared with, plain-Python counterpart)
MEASUREMENTS = [
    ("native_encode", "native encode_files", "encode", "encode_floor", "plain_encode"),
    ("plain_encode", "plain-Python encode", "encode", "encode_floor", "plain_encode"),
    ("encode_floor", "encode floor", "encode", "encode_floor", "plain_encode"),
    ("findall", "re.findall alone", "encode", "encode_floor", "plain_encode"),
    ("tar_zstd", "tar | zstd -6 -T4", "encode", "encode_floor", "plain_encode"),
    ("native_decode", "native decode_package", "decode", "decode_floor", "plain_decode"),
    ("plain_decode", "plain-Python decode", "decode", "decode_floor", "plain_decode"),
    ("decode_floor", "decode floor", "decode", "decode_floor", "plain_decode"),
]
LABELS = {m[0]: m[1] for m in MEASUREMENTS}


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


def _read_texts(paths):
    texts = []
    for path in paths:
        with open(path, "r", encoding="utf-8") as f:
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


def _setup(task):
    """Prepare a measurement; return the function that does the timed work.
    Everything loaded here counts as idle memory."""
    kind = task["kind"]
    paths = _read_list(task["list"])
    out = task["out"]
    level, threads = task["level"], task["threads"]

    if kind in ("native_encode", "plain_encode", "prep"):
        cls = _compressor_class("plain" if kind == "prep" else kind)
        comp = cls(dict_path=task["dict_path"])

        def work():
            size = comp.encode_files(paths, out, level, threads)
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
                return result

            return prep_work

        return work

    if kind in ("native_decode", "plain_decode"):
        cls = _compressor_class(kind)
        comp = cls(dict_path=task["dict_path"])
        package = task["package"]

        def work():
            names = comp.decode_package(package, out)
            return {"files": len(names)}

        return work

    import pickle

    import zstandard as zstd

    if kind == "encode_floor":
        with open(task["package"], "rb") as f:
            package = pickle.load(f)
        packed = zstd.ZstdDecompressor().decompress(package["compressed"])
        boundaries = package["file_boundaries"]
        filenames = package["filenames"]
        global_dict = package["global_dict"]
        del package

        def work():
            texts = _read_texts(paths)
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

        return work

    if kind == "decode_floor":
        texts = _read_texts(paths)
        package_path = task["package"]

        def work():
            with open(package_path, "rb") as f:
                package = pickle.load(f)
            data = zstd.ZstdDecompressor().decompress(package["compressed"])
            os.makedirs(out, exist_ok=True)
            for name, text in zip(package["filenames"], texts):
                with open(os.path.join(out, name), "w", encoding="utf-8", newline="") as f:
                    f.write(text)
            return {"stream_bytes": len(data)}

        return work

    if kind == "findall":
        import re

        texts = _read_texts(paths)
        pattern = _import_reference().TOKEN_PATTERN

        def work():
            token_lists = [re.findall(pattern, text) for text in texts]
            return {"tokens": sum(map(len, token_lists))}

        return work

    if kind == "tar_zstd":
        parent, base = os.path.split(task["corpus_dir"])
        command = (
            f"set -o pipefail; tar -cf - -C '{parent}' '{base}' "
            f"| zstd -{level} -T{threads} -q -c > '{out}'"
        )

        def work():
            subprocess.run(["bash", "-c", command], check=True)
            return {"output_bytes": os.path.getsize(out)}

        return work

    if kind == "verify":
        return lambda: _verify(task, paths)

    raise SystemExit(f"unknown measurement {kind!r}")


def _verify(task, paths):
    """Decoded outputs against the inputs as text-mode reading sees them."""
    expected = {}
    for path, text in zip(paths, _read_texts(paths)):
        expected[os.path.basename(path)] = text.encode("utf-8")
    report = {}
    for key, out_dir in task["decoded"].items():
        if not os.path.isdir(out_dir):
            report[key] = None
            continue
        found = set(os.listdir(out_dir))
        bad = sorted(n for n in expected if n not in found)
        bad += sorted(n for n in found if n not in expected)
        for name in sorted(expected.keys() & found):
            with open(os.path.join(out_dir, name), "rb") as f:
                if f.read() != expected[name]:
                    bad.append(name)
        report[key] = {"ok": not bad, "bad": bad[:5], "bad_count": len(bad)}
    native_pkg, plain_pkg = task["packages"]
    if os.path.exists(native_pkg) and os.path.exists(plain_pkg):
        with open(native_pkg, "rb") as a, open(plain_pkg, "rb") as b:
            report["packages_identical"] = a.read() == b.read()
    else:
        report["packages_identical"] = None
    return report


def child_main(task_json):
    import resource

    task = json.loads(task_json)
    work = _setup(task)
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


def _scratch_root(requested):
    if requested:
        base = requested
    elif os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        base = "/dev/shm"
    else:
        base = tempfile.gettempdir()
        print(f"warning: /dev/shm not usable, staging in {base}; timings may swing")
    return tempfile.mkdtemp(prefix="ormek-bench-", dir=base)


def _stage(scratch, quick):
    """Copy the corpora into scratch; return {name: info}."""
    files = _stdlib_files()
    if quick:
        step = max(1, len(files) // QUICK_FILES)
        files = files[::step][:QUICK_FILES]
    corpora = {}
    single = os.path.join(scratch, "corpus", "single")
    double = os.path.join(scratch, "corpus", "double")
    os.makedirs(single)
    single_paths = []
    for rel, src in files:
        dst = os.path.join(single, rel.replace(os.sep, "__"))
        shutil.copyfile(src, dst)
        single_paths.append(dst)
    double_paths = []
    for half in ("a", "b"):
        folder = os.path.join(double, half)
        os.makedirs(folder)
        for src in single_paths:
            dst = os.path.join(folder, os.path.basename(src))
            shutil.copyfile(src, dst)
            double_paths.append(dst)
    for name, folder, paths in (("single", single, single_paths), ("double", double, double_paths)):
        list_path = os.path.join(scratch, f"{name}.list")
        with open(list_path, "w", encoding="utf-8") as f:
            f.writelines(p + "\n" for p in paths)
        corpora[name] = {
            "dir": folder,
            "list": list_path,
            "files": len(paths),
            "bytes": sum(os.path.getsize(p) for p in paths),
        }
    return corpora


def _run_child(task):
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", json.dumps(task)],
        capture_output=True,
        text=True,
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
    decoding = kind in ("native_decode", "plain_decode", "decode_floor")
    out = os.path.join(out_dir, kind + ("" if decoding else ".out"))
    package = {
        "native_decode": os.path.join(out_dir, "native_encode.out"),
        "plain_decode": os.path.join(out_dir, "plain_encode.out"),
    }.get(kind, corpus.get("prep_package"))
    return {
        "kind": kind,
        "list": corpus["list"],
        "corpus_dir": corpus["dir"],
        "out": out,
        "package": package,
        "dict_path": os.path.join(scratch, "no-such-dictionary.bin"),
        "level": level,
        "threads": threads,
    }


def _median(values):
    return statistics.median(values) if values else None


def _cell(value, width, precision=2, suffix=""):
    """A right-aligned table cell; "-" when the value is missing."""
    text = "-" if value is None else f"{value:.{precision}f}{suffix}"
    return text.rjust(width)


def _ratio(a, b):
    return a / b if a is not None and b else None


def _print_corpus_table(name, corpus, results):
    mb = corpus["bytes"] / 1e6
    tokens = corpus.get("tokens")
    print(
        f"\n== {name} corpus: {corpus['files']} files, {mb:.1f} MB, "
        f"{_cell(tokens and tokens / 1e6, 0, 2).strip()} M tokens =="
    )
    header = (
        f"{'measurement':<24}{'time s':>9}{'cpu s':>8}{'vs floor':>10}{'vs plain':>10}"
        f"{'mem MB':>9}{'mem/corpus':>12}{'output MB':>11}{'ratio':>8}"
    )
    print(header)
    print("-" * len(header))
    for key, label, _side, floor, plain in MEASUREMENTS:
        r = results[key]
        if r.get("error"):
            print(f"{label:<24}  n/a: {r['error'][:90]}")
            continue
        t = r["time"]
        mem = r["memory"]
        out = r.get("output_bytes")
        print(
            f"{label:<24}{_cell(t, 9, 3)}{_cell(r['cpu'], 8, 2)}"
            f"{_cell(_ratio(t, results[floor].get('time')), 10, 2, 'x')}"
            f"{_cell(_ratio(t, results[plain].get('time')), 10, 2, 'x')}"
            f"{_cell(mem and mem / 1e6, 9, 1)}"
            f"{_cell(_ratio(mem, corpus['bytes']), 12, 2, 'x')}"
            f"{_cell(out and out / 1e6, 11, 2)}"
            f"{_cell(_ratio(corpus['bytes'], out), 8, 2, 'x')}"
        )


def _print_growth(corpora, results):
    single, double = corpora["single"], corpora["double"]
    print(
        f"\n== growth double/single (corpus size x{double['bytes'] / single['bytes']:.2f}): "
        "linear means about the same factor =="
    )
    print(
        "(the double corpus repeats the single one's vocabulary, so costs that follow\n"
        " the dictionary's size, rather than the token count, stay flat)"
    )
    print(f"{'measurement':<24}{'time':>8}{'memory':>9}")
    for key, label, *_ in MEASUREMENTS:
        a, b = results["single"][key], results["double"][key]
        print(
            f"{label:<24}{_cell(_ratio(b.get('time'), a.get('time')), 8, 2, 'x')}"
            f"{_cell(_ratio(b.get('memory'), a.get('memory')), 9, 2, 'x')}"
        )


def _check_targets(corpora, results):
    checks = []
    for cname, corpus in corpora.items():
        res = results[cname]
        for key, floor in (("native_encode", "encode_floor"), ("native_decode", "decode_floor")):
            t, f = res[key].get("time"), res[floor].get("time")
            ratio = _ratio(t, f)
            checks.append(
                {
                    "corpus": cname,
                    "what": f"{LABELS[key]} time vs {LABELS[floor]}",
                    "value": ratio,
                    "target": TARGET_TIME_VS_FLOOR,
                    "ok": None if ratio is None else ratio <= TARGET_TIME_VS_FLOOR,
                }
            )
            mem = _ratio(res[key].get("memory"), corpus["bytes"])
            checks.append(
                {
                    "corpus": cname,
                    "what": f"{LABELS[key]} memory vs corpus size",
                    "value": mem,
                    "target": TARGET_MEMORY_VS_CORPUS,
                    "ok": None if mem is None else mem <= TARGET_MEMORY_VS_CORPUS,
                }
            )
    print("\n== targets ==")
    for c in checks:
        verdict = {True: "PASS", False: "FAIL", None: "n/a "}[c["ok"]]
        print(
            f"{verdict}  {c['corpus']:<7}{c['what']:<52}"
            f"{_cell(c['value'], 7, 2, 'x')}  (target <= {c['target']}x)"
        )
    return checks


def parent_main(args):
    runs = args.runs if args.runs is not None else (1 if args.quick else 5)
    scratch = _scratch_root(args.scratch)
    level, threads = LEVEL, THREADS
    report = {
        "python": sys.version,
        "executable": sys.executable,
        "free_threaded_build": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
        "host": os.environ.get("ORMEK_HOST"),
        "cpu_count": os.cpu_count(),
        "scratch": scratch,
        "level": level,
        "threads": threads,
        "runs": runs,
        "quick": args.quick,
    }
    print(f"python {sys.version.split()[0]} ({sys.executable}), scratch {scratch}, runs {runs}")
    try:
        corpora = _stage(scratch, args.quick)
        for name, corpus in corpora.items():
            corpus["name"] = name
            # The floors need the real id stream and dictionary: take them from
            # the plain-Python encoder, which is correct by construction.
            task = _task("prep", corpus, scratch, level, threads)
            task["out"] = corpus["prep_package"] = os.path.join(scratch, f"{name}.prep.pkg")
            result, error = _run_child(task)
            if error:
                raise SystemExit(f"preparing the {name} corpus failed: {error}")
            corpus["tokens"] = result["tokens"]
            print(
                f"staged {name}: {corpus['files']} files, {corpus['bytes'] / 1e6:.1f} MB, "
                f"{corpus['tokens'] / 1e6:.2f} M tokens"
            )

        have_tar = shutil.which("tar") and shutil.which("zstd") and shutil.which("bash")
        raw = {c: {m[0]: {"runs": [], "error": None} for m in MEASUREMENTS} for c in corpora}
        for c in corpora:
            if not have_tar:
                raw[c]["tar_zstd"]["error"] = "tar or zstd not found (apt-get install -y zstd)"
        for run in range(runs):
            for cname, corpus in corpora.items():
                for key, *_ in MEASUREMENTS:
                    slot = raw[cname][key]
                    if slot["error"]:
                        continue
                    task = _task(key, corpus, scratch, level, threads)
                    _remove(task["out"])
                    result, error = _run_child(task)
                    if error:
                        slot["error"] = error
                        print(f"  {cname} {key}: failed: {error}")
                        continue
                    if result["setup_peak_excess"] > 0.05 * max(result["peak_above_idle"], 1):
                        result["note"] = "setup peak above idle; memory may be overstated"
                    slot["runs"].append(result)
                    print(
                        f"  run {run + 1}/{runs} {cname:<6} {key:<14} {result['wall']:8.3f} s"
                        f"  {result['peak_above_idle'] / 1e6:8.1f} MB"
                    )

        results = {}
        for cname in corpora:
            results[cname] = {}
            for key, *_ in MEASUREMENTS:
                slot = raw[cname][key]
                entry = {
                    "error": slot["error"] if not slot["runs"] else None,
                    "times": [r["wall"] for r in slot["runs"]],
                    "memories": [r["peak_above_idle"] for r in slot["runs"]],
                    "runs": slot["runs"],
                }
                entry["time"] = _median(entry["times"])
                entry["cpu"] = _median([r["cpu"] for r in slot["runs"]])
                entry["memory"] = _median(entry["memories"])
                outputs = [r["output_bytes"] for r in slot["runs"] if "output_bytes" in r]
                entry["output_bytes"] = outputs[-1] if outputs else None
                results[cname][key] = entry

        single = corpora["single"]
        out_dir = os.path.join(scratch, "out", "single")
        verify_task = _task("verify", single, scratch, level, threads)
        verify_task["decoded"] = {
            key: os.path.join(out_dir, key) for key in ("native_decode", "plain_decode")
        }
        verify_task["packages"] = [
            os.path.join(out_dir, "native_encode.out"),
            os.path.join(out_dir, "plain_encode.out"),
        ]
        verified, error = _run_child(verify_task)
        verification = {"error": error} if error else verified
        for key in ("native_decode", "plain_decode", "packages_identical", "error"):
            if key in verification:
                value = verification[key]
                if isinstance(value, dict):
                    value = (
                        "ok"
                        if value["ok"]
                        else f"{value['bad_count']} files differ, e.g. {value['bad']}"
                    )
                verification[key + "_summary"] = value

        for cname, corpus in corpora.items():
            _print_corpus_table(cname, corpus, results[cname])
        _print_growth(corpora, results)
        print("\n== correctness (single corpus) ==")
        print(f"native decode restores every file: {verification.get('native_decode_summary')}")
        print(f"plain decode restores every file:  {verification.get('plain_decode_summary')}")
        print(f"native package == plain package:   {verification.get('packages_identical')}")
        if "error" in verification:
            print(f"verification failed: {verification['error']}")
        checks = _check_targets(corpora, results)

        report.update(
            corpora={
                name: {key: corpus[key] for key in ("files", "bytes", "tokens")}
                for name, corpus in corpora.items()
            },
            results=results,
            verification=verification,
            targets=checks,
        )
        json_path = args.json or (os.path.join(scratch, "results.json") if args.chart else None)
        if json_path:
            with open(json_path, "w", encoding="utf-8") as f:
                json.dump(report, f, indent=1)
            if args.json:
                print(f"\nresults saved to {args.json}")
        if args.chart:
            # The chart needs matplotlib, which the host under test may lack:
            # any interpreter that has it may draw it.
            drawer = args.chart_python or sys.executable
            chart = subprocess.run([drawer, os.path.join(HERE, "chart.py"), json_path, args.chart])
            if chart.returncode:
                print(f"no chart: {drawer} could not draw it (is matplotlib installed?)")
    finally:
        if args.keep:
            print(f"scratch kept in {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, help="runs per measurement (default 5, 1 with --quick)")
    parser.add_argument("--quick", action="store_true", help=f"smoke mode: {QUICK_FILES} files")
    parser.add_argument("--json", metavar="FILE", help="save all results as JSON")
    parser.add_argument("--scratch", metavar="DIR", help="stage under DIR instead of /dev/shm")
    parser.add_argument("--keep", action="store_true", help="keep the staged corpora and outputs")
    parser.add_argument("--chart", metavar="PNG", help="draw the results as a chart (matplotlib)")
    parser.add_argument("--chart-python", metavar="PYTHON",
                        help="interpreter with matplotlib to draw the chart (default: this one)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(args.child)
    else:
        parent_main(args)


if __name__ == "__main__":
    main()
