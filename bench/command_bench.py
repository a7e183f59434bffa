"""The `ormek` command against zstd, side by side in one run, as a user runs
them: every step is a process of its own, timed by the wall clock, its peak
the largest resident size of the process and of any it waited for (wait4's
ru_maxrss), so the command's whole interpreter counts.

- log: a generated application log (bench/log_corpus.py: millisecond
  timestamps, request and trace ids, users, paths, counters, stack traces;
  about one distinct token per 30 bytes), --log-mib MiB of it (default 300).
  `ormek pack` against `zstd -6 -T2`, `ormek unpack` against `zstd -d`,
  `ormek list` and `ormek info` against `zstd -l`, and `ormek check`.
- tree: a real tree of text files, the system's C headers (--tree, default
  /usr/include), copied to the scratch directory with its regular UTF-8
  files only (what `ormek pack` takes; links and others are counted apart):
  `ormek pack` against `tar -cf - | zstd -6 -T2`, `ormek unpack` against
  `zstd -d | tar -x`.

Each step runs --runs times in turn with its yardstick (the median is
reported), so a load that comes and goes touches both alike. Every restore
is compared with the original. The machine's load average is printed with
the figures: they mean little on a busy machine.

    python bench/run_bench.py --corpora log,tree [--log-mib 300] [--tree DIR]
"""

import filecmp
import mmap
import os
import shutil
import statistics
import subprocess
import sys
import time

import log_corpus

CASES = ("log", "tree")
ZSTD_PACK = ["zstd", "-q", "-f", "-6", "-T2"]
ZSTD_UNPACK = ["zstd", "-q", "-f", "-d"]


def _ormek(*args):
    return [sys.executable, "-m", "ormek", *args]


# Runs a command under a small interpreter of its own and prints its wall
# time and peak: a child's peak starts from its parent's at the fork, and
# this one is far smaller than the benchmark's.
TIMER = """
import os, sys, time
start = time.perf_counter()
pid = os.fork()
if pid == 0:
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.execvp(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
print(time.perf_counter() - start, usage.ru_maxrss * 1024, os.waitstatus_to_exitcode(status))
"""


def _run(argv, shell=False):
    """Runs `argv` (a bash command line when `shell`) to its end; returns
    (wall seconds, peak bytes of it and of the processes it waited for), or
    raises with what it wrote to stderr when it fails."""
    if shell:
        argv = ["/bin/bash", "-c", argv]
    done = subprocess.run([sys.executable, "-S", "-c", TIMER, *argv], capture_output=True, text=True)
    wall, peak, code = done.stdout.split()
    if done.returncode or int(code):
        raise RuntimeError(f"{argv!r} failed ({code}): {done.stderr.strip()[-400:]}")
    return float(wall), int(peak)


def warm_memory(keep_free=2 << 30, chunk=1 << 30):
    """Writes to the machine's available memory once (but `keep_free`) and
    gives it back; returns the seconds and bytes it took.

    Where a virtual machine's memory is backed by its host only as the guest
    first writes to it (as on this project's machines), that first write
    costs a fault on the host: 1.6 to 2.5 s a GB here, against 0.2 s a GB
    for a page the guest has used before. Which pages a command gets is up
    to the kernel, so that cost falls on whichever command first takes
    fresh ones: within one run it swung the tree's restore from 0.3 to 0.9 s
    and tar's from 0.13 to 0.5 s, all of it system time. Once every page
    has been written, both sides are measured as on a machine whose memory
    is its own."""
    started = time.perf_counter()
    with open("/proc/meminfo") as f:
        fields = dict(line.split(":", 1) for line in f)
    want = int(fields["MemAvailable"].split()[0]) * 1024 - keep_free
    held = []
    try:
        while chunk * len(held) < want:
            held.append(mmap.mmap(-1, chunk, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS
                                  | mmap.MAP_POPULATE))
    except OSError:
        pass
    finally:
        for m in held:
            m.close()
    return time.perf_counter() - started, chunk * len(held)


def _stage_log(scratch, mib):
    folder = os.path.join(scratch, "log")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "app.log")
    size = log_corpus.write_log(path, int(mib * log_corpus.MIB))
    return {"name": "log", "source": path, "bytes": size, "files": 1, "folder": folder}


def _stage_tree(scratch, tree):
    """Copies the regular UTF-8 files of `tree` into scratch."""
    folder = os.path.join(scratch, "tree")
    root = os.path.join(folder, os.path.basename(os.path.normpath(tree)))
    files = size = left_out = 0
    for dirpath, dirnames, filenames in os.walk(tree):
        target = os.path.join(root, os.path.relpath(dirpath, tree))
        os.makedirs(target, exist_ok=True)
        for name in filenames:
            path = os.path.join(dirpath, name)
            if os.path.islink(path) or not os.path.isfile(path):
                left_out += 1
                continue
            with open(path, "rb") as f:
                data = f.read()
            try:
                data.decode("utf-8")
            except UnicodeDecodeError:
                left_out += 1
                continue
            with open(os.path.join(target, name), "wb") as f:
                f.write(data)
            files, size = files + 1, size + len(data)
    return {"name": "tree", "source": root, "bytes": size, "files": files, "left_out": left_out,
            "folder": folder}


def _steps(case):
    """(step, the command's argv, the yardstick's argv or None, shell or not)
    for a staged case, with the paths they write."""
    folder, source = case["folder"], case["source"]
    pkg, zst = os.path.join(folder, "p.pkg"), os.path.join(folder, "p.zst")
    out, zout = os.path.join(folder, "out"), os.path.join(folder, "zout")
    case.update(package=pkg, zst=zst, out=out, zout=zout)
    if case["name"] == "log":
        return [
            ("pack", _ormek("pack", source, "-o", pkg), ZSTD_PACK + [source, "-o", zst], False),
            ("unpack", _ormek("unpack", pkg, "-d", out), ZSTD_UNPACK + [zst, "-o", zout], False),
            ("list", _ormek("list", pkg), ["zstd", "-l", zst], False),
            ("info", _ormek("info", pkg), None, False),
            ("check", _ormek("check", pkg), None, False),
        ]
    parent, name = os.path.split(source)
    tar = f"tar -cf - -C '{parent}' '{name}' | {' '.join(ZSTD_PACK)} -o '{zst}'"
    untar = f"mkdir -p '{zout}' && zstd -q -d -c '{zst}' | tar -xf - -C '{zout}'"
    return [
        ("pack", _ormek("pack", source, "-o", pkg), tar, True),
        ("unpack", _ormek("unpack", pkg, "-d", out), untar, True),
        ("list", _ormek("list", pkg), None, False),
        ("check", _ormek("check", pkg), None, False),
    ]


def _clear(case):
    """Sets the last restores aside, to be removed with the case's folder.
    Removing them here would charge the next restore for it: a file system
    without a journal skips inodes freed in the last minutes when it
    allocates one, so every file created after removing a tree scans past
    the tree's freed inodes, and whichever command ran first paid most of
    it (the tree: 0.3 to 2.9 s of system time for the same restore)."""
    aside = os.path.join(case["folder"], "aside")
    os.makedirs(aside, exist_ok=True)
    for path in (case["out"], case["zout"]):
        if os.path.lexists(path):
            os.rename(path, os.path.join(aside, f"{len(os.listdir(aside))}"))


def _measure(case, runs):
    """{step: {"ormek": [(wall, peak)...], "zstd": [...]}} over `runs` runs."""
    steps = _steps(case)
    found = {step: {"ormek": [], "zstd": []} for step, *_ in steps}
    for run in range(runs):
        for step, ormek, yardstick, shell in steps:
            if step == "unpack":
                _clear(case)
            found[step]["ormek"].append(_run(ormek))
            if yardstick is not None:
                found[step]["zstd"].append(_run(yardstick, shell))
            last = found[step]
            print(f"  run {run + 1}/{runs} {case['name']:<5} {step:<7} ormek {last['ormek'][-1][0]:7.2f} s"
                  + (f"  zstd {last['zstd'][-1][0]:7.2f} s" if last["zstd"] else ""), flush=True)
    _verify(case)
    return found


def _verify(case):
    """The last restores equal the original, file by file."""
    name = os.path.basename(case["source"])
    if case["name"] == "log":
        pairs = [(os.path.join(case["out"], name), case["source"]), (case["zout"], case["source"])]
    else:
        pairs = []
        for dirpath, _, filenames in os.walk(case["source"]):
            rel = os.path.relpath(dirpath, case["source"])
            for f in filenames:
                original = os.path.join(dirpath, f)
                # Both store the tree under its own name.
                for out in (case["out"], case["zout"]):
                    pairs.append((os.path.normpath(os.path.join(out, name, rel, f)), original))
    for restored, original in pairs:
        if not filecmp.cmp(restored, original, shallow=False):
            raise RuntimeError(f"{restored} does not restore {original}")


def _median(pairs, index):
    return statistics.median(p[index] for p in pairs) if pairs else None


def _report(case, found):
    size = case["bytes"]
    extra = f", {case['left_out']} left out" if "left_out" in case else ""
    print(f"\n{case['name']}: {case['files']} files, {size / 1e6:.1f} MB{extra};"
          f" package {os.path.getsize(case['package']) / 1e6:.1f} MB,"
          f" zstd {os.path.getsize(case['zst']) / 1e6:.1f} MB")
    print(f"  {'step':<7} {'ormek s':>8} {'zstd s':>8} {'ratio':>6} {'peak MB':>8} {'peak/file':>9}"
          f" {'zstd MB':>8}")
    rows = {}
    for step, sides in found.items():
        wall, peak = _median(sides["ormek"], 0), _median(sides["ormek"], 1)
        zwall, zpeak = _median(sides["zstd"], 0), _median(sides["zstd"], 1)
        ratio = wall / zwall if zwall else None
        rows[step] = {"time": wall, "peak": peak, "zstd_time": zwall, "zstd_peak": zpeak,
                      "time_ratio": ratio, "peak_per_file": peak / size}
        zstd_cells = (f"{zwall:8.2f} {ratio:6.2f}" if zwall else f"{'-':>8} {'-':>6}")
        zstd_peak = f"{zpeak / 1e6:8.1f}" if zpeak else f"{'-':>8}"
        print(f"  {step:<7} {wall:8.2f} {zstd_cells} {peak / 1e6:8.1f} {peak / size:9.2f} {zstd_peak}")
    return rows


def run(names, scratch, runs, log_mib, tree):
    """Stages and measures the cases `names`; returns their results."""
    results = {}
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    for name in names:
        case = _stage_log(scratch, log_mib) if name == "log" else _stage_tree(scratch, tree)
        found = _measure(case, runs)
        results[name] = {"bytes": case["bytes"], "files": case["files"],
                         "package_bytes": os.path.getsize(case["package"]),
                         "zstd_bytes": os.path.getsize(case["zst"]), "steps": _report(case, found)}
        shutil.rmtree(case["folder"], ignore_errors=True)
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    return results
