"""What sharding costs and gives: a real tree (--tree, default /usr/include;
its regular UTF-8 files, copied to a scratch directory) packed and restored
by one `ormek pack` / `ormek unpack`, and by examples/dask_shards.py with
1, 2 and 4 shards (--shards) on Dask's local process scheduler: the median
wall time of --runs runs (taken in turn) and the bytes of all packages
written. Needs dask (pip install .[dask]).

    python bench/shard_figures.py [--tree DIR] [--runs N] [--shards 1 2 4]

The load average is printed before and after: the times mean little on a
busy machine."""

import argparse
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time

import command_bench

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "dask_shards.py")


def steps(source, scratch, shards):
    """{case: (pack argv, unpack argv, where the packages go)}."""
    single = os.path.join(scratch, "one.pkg")
    found = {"ormek pack": (command_bench._ormek("pack", source, "-o", single),
                            command_bench._ormek("unpack", single, "-d", os.path.join(scratch, "back")),
                            single)}
    for count in shards:
        out = os.path.join(scratch, f"shards-{count}")
        found[f"{count} shard{'s' if count > 1 else ''}"] = (
            [sys.executable, EXAMPLE, "pack", source, "--out", out, "--shards", str(count)],
            [sys.executable, EXAMPLE, "unpack", out, "-d", os.path.join(scratch, "back")],
            out)
    return found


def package_bytes(where):
    if os.path.isfile(where):
        return os.path.getsize(where)
    return sum(os.path.getsize(os.path.join(where, name)) for name in os.listdir(where)
               if name.endswith(".pkg"))


def load():
    return " ".join(f"{value:.1f}" for value in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tree", default="/usr/include")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--shards", type=int, nargs="+", default=[1, 2, 4])
    args = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="ormek-shards-")
    try:
        print(f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {platform.node()}:"
              f" Python {platform.python_version()}, {os.cpu_count()} CPUs, load average {load()}")
        case = command_bench._stage_tree(scratch, args.tree)
        print(f"tree {args.tree}: {case['files']} files, {case['bytes'] / 1e6:.1f} MB of UTF-8 text")
        cases = steps(case["source"], scratch, args.shards)
        times = {name: ([], []) for name in cases}
        for run in range(args.runs):
            for name, (pack, unpack, _) in cases.items():
                shutil.rmtree(os.path.join(scratch, "back"), ignore_errors=True)
                times[name][0].append(command_bench._run(pack)[0])
                times[name][1].append(command_bench._run(unpack)[0])
                print(f"  run {run + 1}/{args.runs} {name:<10} pack {times[name][0][-1]:6.2f} s"
                      f"  unpack {times[name][1][-1]:6.2f} s", flush=True)
        print(f"{'case':<10} {'packages MB':>11} {'pack s':>7} {'unpack s':>8}")
        for name, (_, _, where) in cases.items():
            packed, restored = (statistics.median(found) for found in times[name])
            print(f"{name:<10} {package_bytes(where) / 1e6:11.2f} {packed:7.2f} {restored:8.2f}")
        print(f"load average after: {load()}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
