"""`ormek unpack`: a package's files restored into a directory tree.

The module does the refusing that needs the file system at the moment of
writing: unsafe names, links and non-directories on the way, targets that
are not regular files; each file goes through a temporary file renamed into
place. What is left here is the user's intent: existing files are replaced
only with --force (the names looked for are the module's own answer to what
restoring writes, judged by the module's judge_package), --raw is refused on
a compressed payload, and NAMEs pick files and empty directories through the
module's decode_names, every unknown NAME named at once before anything is
written. A NAME picks the file or directory of that name, and everything in
a directory; a NAME ending in "/" picks a directory only. Picking walks each
stored name once (NameTree), as the module does."""

from __future__ import annotations

import argparse
import os
from collections import Counter

from collections.abc import Sequence

from .native import bare_compressor
from .packages import (
    RAW_ON_ZSTD,
    empty_dirs,
    holds_zstd_frame,
    judge,
    package_failure,
    read_outline,
)
from .report import UserError, counted, detail, listing, say, verbose

EXISTING_LIST_LIMIT = 10


def command_unpack(args: argparse.Namespace) -> int:
    package: str = args.package
    out_dir: str = args.directory
    wanted = _wanted_names(args.names)
    refuse_non_directory(out_dir)
    if args.raw or wanted is not None or (not args.force and _has_entries(out_dir)):
        # Only then is the package loaded an extra time before restoring.
        stored, _, _ = read_outline(package, count_tokens=False)
        if args.raw and holds_zstd_frame(stored):
            raise UserError(package, RAW_ON_ZSTD)
        _look_before_restoring(package, stored, out_dir, wanted, args.force)
    restored = restore(package, out_dir, not args.raw, wanted)
    _report_repeated(package, out_dir, restored)
    report_restored(restored, out_dir)
    return 0


def report_restored(names: Sequence[str], out_dir: str) -> None:
    """Each restored file with -v, else how many were restored where."""
    for name in names:
        detail(name)
    if not verbose():
        say(f"{counted(len(names), 'file', 'files')} restored into {out_dir}")


def _look_before_restoring(
    package: str, stored: object, out_dir: str, wanted: list[str] | None, force: bool
) -> None:
    """NAMEs that pick nothing, and existing targets without --force, are
    refused before anything is written."""
    try:
        names, _ = judge(package, stored)
    except UserError:
        # Restoring refuses the package too, before it writes anything, and
        # says so in its own words (its first error may come from an
        # earlier step).
        return
    if wanted is not None:
        names = _picked(package, names, wanted, empty_dirs(stored))
    if not force:
        refuse_existing(out_dir, names)


def _wanted_names(names: Sequence[str]) -> list[str] | None:
    """The NAMEs, or None for every file."""
    if not names:
        return None
    if any(not name.rstrip("/") for name in names):
        raise UserError(None, "an empty NAME picks no file")
    return list(names)


class NameTree:
    """Stored names as a tree of their parts: a node for each distinct name
    and each directory of one, so that finding a name and telling whether a
    directory it lies in was picked walk each name once."""

    def __init__(self, files: list[str], dirs: list[str]) -> None:
        self._children: dict[tuple[int, str], int] = {}
        self._parents: list[int] = [-1]
        self._directory: list[bool] = [True]
        # A name object the package refers to many times is walked once.
        self.file_nodes = {name: self._add(name) for name in dict.fromkeys(files)}
        for name in dict.fromkeys(dirs):
            self._directory[self._add(name)] = True

    def _add(self, name: str) -> int:
        node = 0
        for part in name.split("/"):
            child = self._children.get((node, part))
            if child is None:
                child = self._children[(node, part)] = len(self._parents)
                self._parents.append(node)
                self._directory.append(False)
                self._directory[node] = True
            node = child
        return node

    def find(self, name: str, directory_only: bool) -> int | None:
        node = 0
        for part in name.split("/"):
            child = self._children.get((node, part))
            if child is None:
                return None
            node = child
        return node if self._directory[node] or not directory_only else None

    def picked(self, node: int, wanted: set[int], known: dict[int, bool]) -> bool:
        """Whether `node` or a directory it lies in is `wanted`; the answer
        is kept in `known` for every node on the way."""
        walked = []
        while node not in known and node not in wanted and node != 0:
            walked.append(node)
            node = self._parents[node]
        answer = known.get(node, node in wanted)
        for on_the_way in walked:
            known[on_the_way] = answer
        return answer


def _picked(
    package: str, names: list[str], wanted: list[str], dirs: Sequence[str] = ()
) -> list[str]:
    """The stored names that `wanted` picks (see picks). Every name that
    picks nothing is an error, before anything is written."""
    picked, unknown = picks(names, wanted, dirs)
    if unknown:
        raise UserError(
            package,
            f"holds no file or directory named {', '.join(map(repr, unknown))}",
        )
    return picked


def picks(
    names: list[str], wanted: list[str], dirs: Sequence[str] = ()
) -> tuple[list[str], list[str]]:
    """The stored names that `wanted` picks: a name itself, and every file
    under a name that is a directory of it (a name ending in "/" picks only
    a directory); and the wanted names that pick nothing (no file, nor a
    directory of files or empty directories `dirs`)."""
    tree = NameTree(names, list(dirs))
    found = {name: tree.find(name.rstrip("/"), name.endswith("/")) for name in wanted}
    unknown = [name for name, node in found.items() if node is None]
    picked_nodes = {node for node in found.values() if node is not None}
    known: dict[int, bool] = {}
    nodes = tree.file_nodes.items()
    verdict = {name: tree.picked(node, picked_nodes, known) for name, node in nodes}
    return [name for name in names if verdict[name]], unknown


def refuse_non_directory(out_dir: str) -> None:
    """DIR, or a directory on the way to it, that exists as something else
    is named as such before the package is read."""
    head, blocking = out_dir, None
    while head and not os.path.isdir(head):
        if os.path.lexists(head):
            blocking = head
        head, parent = os.path.dirname(head), head
        if head == parent:
            break
    if blocking == out_dir:
        raise UserError(out_dir, "is not a directory")
    if blocking is not None:
        raise UserError(out_dir, f"cannot restore into it: {blocking} is not a directory")


def _has_entries(folder: str) -> bool:
    try:
        with os.scandir(folder) as entries:
            return next(entries, None) is not None
    except OSError:
        return False  # missing (no target can exist) or not a directory (the module says so)


def refuse_existing(out_dir: str, names: list[str]) -> None:
    """Targets of `names` that exist in `out_dir`, refused before anything
    is written (the module would replace a regular file)."""
    distinct = dict.fromkeys(names)
    targets = dict.fromkeys(os.path.join(out_dir, *name.split("/")) for name in distinct)
    existing = [target for target in targets if os.path.lexists(target)]
    if existing:
        raise UserError(
            out_dir,
            f"refusing to replace {counted(len(existing), 'existing file', 'existing files')}"
            f" (--force replaces regular files): {listing(existing, EXISTING_LIST_LIMIT)}",
        )


def restore(
    package: str, out_dir: str, use_zstd: bool = True, wanted: list[str] | None = None
) -> list[str]:
    """The files of `package` (or those `wanted` picks) restored into
    `out_dir` by the module, with all its refusals; the names written, or a
    UserError naming what failed."""
    try:
        compressor = bare_compressor()
        if wanted is None:
            return compressor.restore_package(package, out_dir, use_zstd)
        return compressor.decode_names(package, out_dir, wanted, use_zstd)
    except Exception as err:
        raise package_failure(package, err, use_zstd=use_zstd) from None


def _report_repeated(package: str, out_dir: str, names: list[str]) -> None:
    # Not written by `ormek pack`, which refuses clashing names.
    repeated = sorted(f"'{name}'" for name, count in Counter(names).items() if count > 1)
    if repeated:
        raise UserError(
            package,
            f"stored names repeat ({', '.join(repeated)}): each later file replaced the earlier"
            f" one of its name in {out_dir}",
        )
