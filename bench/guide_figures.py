"""The figures the README's user guide quotes, measured as a user meets
them (every step one process, as typed in a shell), with the date and the
machine they come from:

- a real tree (the system's C headers, --tree, default /usr/include; its
  regular UTF-8 files, what `ormek pack` takes, copied to a scratch
  directory) packed by `ormek pack` and by `tar -cf - | zstd -6 -T2`:
  sizes, wall times and peaks;
- memory follows the number of distinct tokens, not the bytes: two
  generated files of the same size (--mib, default 32), one from a small
  vocabulary, one where nearly every line holds a token of its own, packed
  and unpacked, each with its distinct tokens and peak;
- what `--dict` costs: a 12-byte file packed alone, and packed with the
  dictionary file grown by packing the tree first.

    python bench/guide_figures.py [--tree DIR] [--mib N] [--scratch DIR]

Run it on a quiet machine: the times mean little on a busy one (the load
average is printed with them)."""

import argparse
import json
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import time

import command_bench

MB = 1e6


def ormek(*args):
    return command_bench._ormek(*map(str, args))


def stats(package):
    done = subprocess.run(ormek("info", package, "--json"), capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def tree_against_tar(scratch, tree):
    case = command_bench._stage_tree(scratch, tree)
    parent, name = os.path.split(case["source"])
    package, zst = os.path.join(scratch, "tree.pkg"), os.path.join(scratch, "tree.tar.zst")
    pack_s, pack_peak = command_bench._run(ormek("pack", case["source"], "-o", package))
    tar = f"tar -cf - -C '{parent}' '{name}' | zstd -q -f -6 -T2 -o '{zst}'"
    tar_s, tar_peak = command_bench._run(tar, shell=True)
    out = os.path.join(scratch, "out")
    unpack_s, unpack_peak = command_bench._run(ormek("unpack", package, "-d", out))
    untar = f"mkdir -p '{out}2' && zstd -q -d -c '{zst}' | tar -xf - -C '{out}2'"
    untar_s, _ = command_bench._run(untar, shell=True)
    described = stats(package)
    print(f"\ntree {tree}: {case['files']} files, {case['bytes'] / MB:.1f} MB of UTF-8 text"
          f" ({case['left_out']} other entries left out), {described['dictionary_size']} distinct tokens")
    print(f"  ormek pack       {os.path.getsize(package) / MB:7.1f} MB  pack {pack_s:6.2f} s"
          f"  unpack {unpack_s:6.2f} s  peak {max(pack_peak, unpack_peak) / MB:6.0f} MB")
    print(f"  tar | zstd -6    {os.path.getsize(zst) / MB:7.1f} MB  pack {tar_s:6.2f} s"
          f"  unpack {untar_s:6.2f} s  peak {tar_peak / MB:6.0f} MB")
    print(f"  of the package: id stream {described['compressed_bytes'] / MB:.1f} MB, the rest"
          f" (the dictionary, stored whole, names, checks)"
          f" {(described['package_bytes'] - described['compressed_bytes']) / MB:.1f} MB")
    return case["source"]


def generated(path, mib, distinct):
    """About `mib` MiB of log-like lines; `distinct` or not, each line holds
    a token of its own."""
    rng = random.Random(7)
    words = [f"w{n}" for n in range(2000)]
    with open(path, "w", encoding="utf-8") as f:
        written, line_no = 0, 0
        while written < mib * (1 << 20):
            tail = f"id={line_no:x}{rng.getrandbits(40):x}" if distinct else rng.choice(words)
            line = f"{rng.choice(words)} {rng.choice(words)} {rng.choice(words)} {tail}\n"
            written += f.write(line)
            line_no += 1


def memory_by_distinct_tokens(scratch, mib):
    print(f"\nmemory: two generated files of {mib} MiB each")
    for distinct in (False, True):
        kind = "a token of its own a line" if distinct else "a 2,000-word vocabulary"
        source = os.path.join(scratch, f"gen-{distinct}.txt")
        generated(source, mib, distinct)
        package = os.path.join(scratch, f"gen-{distinct}.pkg")
        _, pack_peak = command_bench._run(ormek("pack", source, "-o", package))
        _, unpack_peak = command_bench._run(ormek("unpack", package, "-d", package + ".out"))
        tokens = stats(package)["dictionary_size"]
        print(f"  {kind:<27} {tokens:>9} distinct tokens  pack peak {pack_peak / MB:6.0f} MB"
              f"  unpack peak {unpack_peak / MB:6.0f} MB  package {os.path.getsize(package) / MB:6.1f} MB")


def dictionary_cost(scratch, tree_copy):
    small = os.path.join(scratch, "note.txt")
    with open(small, "w", encoding="utf-8") as f:
        f.write("hello world\n")
    shared = os.path.join(scratch, "shared.dict")
    subprocess.run(ormek("pack", tree_copy, "-o", os.path.join(scratch, "grow.pkg"), "--dict", shared),
                   check=True, capture_output=True)
    alone, with_dict = os.path.join(scratch, "alone.pkg"), os.path.join(scratch, "with.pkg")
    subprocess.run(ormek("pack", small, "-o", alone), check=True, capture_output=True)
    subprocess.run(ormek("pack", small, "-o", with_dict, "--dict", shared, "--no-save-dict"),
                   check=True, capture_output=True)
    # The tree's pack started from an empty dictionary file: the file now
    # holds the tree's tokens, and the tree's package carries all of them.
    tokens = stats(os.path.join(scratch, "grow.pkg"))["dictionary_size"]
    print(f"\n--dict: a 12-byte file packs to {os.path.getsize(alone)} bytes alone, and to"
          f" {os.path.getsize(with_dict)} bytes with the tree's dictionary file"
          f" ({tokens} tokens; the package carries the {stats(with_dict)['dictionary_size']} it uses)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tree", default="/usr/include")
    parser.add_argument("--mib", type=int, default=32)
    parser.add_argument("--scratch", default=None, help="scratch directory (default: a temporary one)")
    args = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="ormek-guide-", dir=args.scratch)
    try:
        print(f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {platform.node()}:"
              f" Python {platform.python_version()}, {os.cpu_count()} CPUs,"
              f" load average {os.getloadavg()[0]:.1f}")
        tree_copy = tree_against_tar(scratch, args.tree)
        memory_by_distinct_tokens(scratch, args.mib)
        dictionary_cost(scratch, tree_copy)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
