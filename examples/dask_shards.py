"""Pack a tree as many packages on Dask, and restore them the same way.

    python examples/dask_shards.py pack SRC... --out DIR --shards N [--scheduler S]
    python examples/dask_shards.py unpack DIR -d OUT [--force] [--scheduler S]

`pack` walks SRC as `ormek pack` does (same names, same files skipped),
splits the files into N shards of about equal bytes and packs each as a
Dask task into DIR/shard-00000.pkg, ...: every shard carries a dictionary
of its own, so the tasks share nothing. DIR/directories.pkg holds the
directories (each one's mode and time) and DIR/manifest.json each shard's
names, bytes and package size. `unpack` restores the shards side by side
into OUT with the refusals of `ormek unpack` (no existing file replaced
without --force, no name in two shards: found before anything is written),
then the directories. S is "processes" (the default), "threads" or the address of a
distributed scheduler (pip install distributed). Needs pip install .[dask].
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, TypeVar, cast

from dask.base import compute
from dask.callbacks import Callback
from dask.delayed import delayed

from ormek.cli import DEFAULT_LEVEL, DEFAULT_THREADS
from ormek.native import bare_compressor
from ormek.pack import (
    encode_inputs,
    refuse_clashes,
    refuse_overlaps,
    report_skipped,
    say_summary,
    written_files,
)
from ormek.packages import FACT_SIZES, judge, read_outline, stored_facts
from ormek.progress import Progress, command_progress
from ormek.report import UsageError, UserError, counted, error_line, os_problem
from ormek.tree import Entry, Inputs, collect
from ormek.unpack import refuse_existing, refuse_non_directory, report_restored, restore

MANIFEST, DIRECTORIES = "manifest.json", "directories.pkg"
LOCAL_SCHEDULERS = ("processes", "threads")
Result = TypeVar("Result")
# A file as a task carries it: plain data, cheap for any scheduler to send.
FileRow = tuple[str, str, int]


def shard_name(index: int) -> str:
    return f"shard-{index:05d}.pkg"


def split(entries: Sequence[Entry], count: int) -> list[list[Entry]]:
    """The walk order cut into `count` runs of about equal bytes: each file
    goes to the run its middle falls in, weighing its bytes plus one (so
    empty files spread too). The same tree gives the same shards, and files
    of one directory, which share most of their tokens, mostly share a
    shard, which keeps the dictionaries the shards repeat small."""
    total = sum(e.size + 1 for e in entries)
    shards: list[list[Entry]] = [[] for _ in range(count)]
    done = 0
    for entry in entries:
        shards[(2 * done + entry.size + 1) * count // (2 * total)].append(entry)
        done += entry.size + 1
    return shards


def pack_shard(rows: list[FileRow], package: str) -> tuple[int, str | None]:
    """A task: one shard packed as `ormek pack` packs; its package's size,
    or why it failed (text: any scheduler carries it back)."""
    inputs = Inputs([Entry(*row) for row in rows])
    try:
        pack_inputs(inputs, package)
        return os.stat(package).st_size, None
    except (UserError, OSError) as err:
        return 0, str(err)


def pack_inputs(inputs: Inputs, package: str) -> None:
    level, threads = cast(int, DEFAULT_LEVEL), cast(int, DEFAULT_THREADS)
    quiet = Progress(False, len(inputs.entries), 0)
    encode_inputs(bare_compressor(), inputs, package, level, threads, "own", quiet)


def restore_shard(package: str, out_dir: str) -> tuple[list[str], str | None]:
    """A task: one shard restored; the names written, or why it failed."""
    try:
        return restore(package, out_dir), None
    except UserError as err:
        return [], str(err)


def on_dask(
    scheduler: str,
    task: Callable[..., Result],
    jobs: Sequence[tuple[Any, ...]],
    weights: Sequence[tuple[int, int]],
    progress: Progress,
) -> list[Result]:
    """`task(*job)` for every job on Dask, the results in order; as each
    ends, the progress line counts its job's (files, bytes) weight."""
    tasks = [delayed(task, pure=False)(*job) for job in jobs]
    index = {work.key: i for i, work in enumerate(tasks)}

    def count(key: object) -> None:
        if key in index:
            progress.files_read += weights[index[key]][0]
            progress.bytes_read += weights[index[key]][1]

    with progress:
        if scheduler in LOCAL_SCHEDULERS:
            # The local schedulers call back in this process as each task ends.
            with Callback(posttask=lambda key, *_: count(key)):  # type: ignore[no-untyped-call]
                return list(compute(*tasks, scheduler=scheduler))  # type: ignore[no-untyped-call]
        from dask.distributed import Client, as_completed

        with Client(scheduler) as client:
            futures = client.compute(tasks)
            index = {future.key: i for i, future in enumerate(futures)}
            for future in as_completed(futures):
                count(future.key)
            return [future.result() for future in futures]


def refuse_failures(packages: Sequence[str], problems: Sequence[str | None]) -> None:
    failed = [
        problem if package in problem else f"{package}: {problem}"
        for package, problem in zip(packages, problems)
        if problem is not None
    ]
    if failed:
        raise UserError(None, f"{counted(len(failed), 'shard')} failed: {'; '.join(failed)}")


def pack(paths: list[str], out_dir: str, count: int, scheduler: str) -> None:
    started = time.monotonic()
    names = [*map(shard_name, range(count)), DIRECTORIES, MANIFEST]
    targets = [os.path.join(out_dir, name) for name in names]
    for target in targets:
        refuse_overlaps(paths, target, None)
    inputs = collect(paths, written_files([("--out", target) for target in targets]))
    report_skipped(inputs.skipped, strict=False)
    refuse_clashes(inputs.entries)
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as err:
        raise UserError(out_dir, os_problem(err)) from None
    shards = split(inputs.entries, count)
    rows = [[(e.path, e.name, e.size) for e in shard] for shard in shards]
    jobs = list(zip(rows, targets))
    weights = [(len(shard), sum(e.size for e in shard)) for shard in shards]
    progress = command_progress(len(inputs.entries), sum(size for _, size in weights))
    results = on_dask(scheduler, pack_shard, jobs, weights, progress)
    refuse_failures(targets, [problem for _, problem in results])
    # The directories in a package of their own, restored once every shard
    # is: a directory then gets its mode and time after all its contents.
    folders = [name for name, _, _ in inputs.dir_facts]
    pack_inputs(Inputs([], empty_dirs=folders, dir_facts=inputs.dir_facts), targets[count])
    listed = [
        {"package": name, "names": [e.name for e in shard], "bytes": size, "package_bytes": made}
        for name, shard, (_, size), (made, _) in zip(names, shards, weights, results)
    ]
    folders_bytes = os.stat(targets[count]).st_size
    directories = {"package": DIRECTORIES, "names": folders, "package_bytes": folders_bytes}
    manifest = {"shards": listed, "directories": directories}
    try:
        with open(targets[-1], "w", encoding="utf-8") as out:
            json.dump(manifest, out, indent=1)
    except OSError as err:
        raise UserError(targets[-1], os_problem(err)) from None
    package_bytes = sum(made for made, _ in results) + folders_bytes
    say_summary(inputs.entries, package_bytes, time.monotonic() - started, out_dir)


def shard_packages(in_dir: str) -> list[str]:
    """The shards the manifest in `in_dir` lists, by their own names only."""
    path = os.path.join(in_dir, MANIFEST)
    try:
        with open(path, encoding="utf-8") as manifest:
            count = len(json.load(manifest)["shards"])
    except OSError as err:
        raise UserError(path, os_problem(err)) from None
    except (ValueError, KeyError, TypeError):
        raise UserError(path, "is not a manifest of shards") from None
    return [os.path.join(in_dir, shard_name(i)) for i in range(count)]


def unpack(in_dir: str, out_dir: str, scheduler: str, force: bool) -> None:
    refuse_non_directory(out_dir)
    packages = shard_packages(in_dir)
    # Every package judged, every name across them, before anything is written.
    planned, weights = [], []
    for package in [*packages, os.path.join(in_dir, DIRECTORIES)]:
        outline, _, _ = read_outline(package)
        names, _ = judge(package, outline)
        planned += [Entry(package, name, 0) for name in names]
        weights.append((len(names), sum(stored_facts(outline, FACT_SIZES, len(names)) or [])))
    refuse_clashes(planned, "restore")
    if not force:
        refuse_existing(out_dir, [entry.name for entry in planned])
    progress = command_progress(len(planned), sum(size for _, size in weights), "restoring files")
    jobs = [(package, out_dir) for package in packages]
    results = on_dask(scheduler, restore_shard, jobs, weights, progress)
    refuse_failures(packages, [problem for _, problem in results])
    restore(os.path.join(in_dir, DIRECTORIES), out_dir)
    report_restored([name for names, _ in results for name in names], out_dir)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="dask_shards.py", description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    packing = commands.add_parser("pack", help="pack SRC into N shards in DIR")
    packing.add_argument("paths", nargs="+", metavar="SRC")
    packing.add_argument("--out", required=True, metavar="DIR")
    packing.add_argument("--shards", required=True, type=int, metavar="N")
    unpacking = commands.add_parser("unpack", help="restore the shards in DIR into OUT")
    unpacking.add_argument("directory", metavar="DIR")
    unpacking.add_argument("-d", dest="out", required=True, metavar="OUT")
    unpacking.add_argument("--force", action="store_true", help="replace existing files")
    for command in (packing, unpacking):
        command.add_argument("--scheduler", default="processes", metavar="S")
    args = parser.parse_args(argv)
    try:
        if args.command == "unpack":
            unpack(args.directory, args.out, args.scheduler, args.force)
        elif args.shards < 1:
            raise UsageError("--shards must be 1 or more")
        else:
            pack(args.paths, args.out, args.shards, args.scheduler)
    except UsageError as err:
        parser.error(str(err))
    except UserError as err:
        error_line(str(err))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
