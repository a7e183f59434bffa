"""Finding the files a pack takes, and the names they are stored under.

A file argument is stored under its base name. A directory is walked to
any depth in sorted order, component by component (the same on every file
system), and each regular file in it is stored under its path relative to
the directory's parent, with "/" separators, as archivers do: `src` gives
`src/a.py`, `src/pkg/b.py`. A directory argument of ".", ".." or "/" adds
no name of its own. Inside a directory, symbolic links, special files and
files that are not UTF-8 text are skipped and counted. A directory with
nothing stored in it (nothing in it, or only files that were skipped) is
kept as an empty directory under its name.

The files the pack writes (the package and the dictionary file), resolved
through links, may be none of the files it reads nor any existing file
inside an input tree: replacing one would lose a file the user meant to
keep, so the walk refuses them (UsageError) when it meets them, before
anything is written."""

from __future__ import annotations

import codecs
import os
import stat
from collections.abc import Iterator, Sequence

from .native import bare_compressor
from .report import UsageError, UserError, counted, listing, os_problem

TYPE_CHECKING = False  # typing is for the checkers: see ormek/__init__.py
if TYPE_CHECKING:
    from typing import Any, TypeAlias

SKIPPED_LIST_LIMIT = 5
_READ_CHUNK = 1 << 20
_OPEN_FLAGS = os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK


def not_utf8_text(reason: str, start: int) -> str:
    return f"not UTF-8 text ({reason} at byte {start})"


# Plain classes rather than dataclasses: importing dataclasses costs a pack's
# start-up some 10 ms.
class Entry:
    """A file to pack: its path, the name it is stored under, its size."""

    __slots__ = ("path", "name", "size")

    def __init__(self, path: str, name: str, size: int) -> None:
        self.path = path
        self.name = name
        self.size = size

    def __repr__(self) -> str:
        return f"Entry({self.path!r}, {self.name!r}, {self.size!r})"


class SkipKind:
    """A kind of file the walk skips: the reason given for each path, and the
    kind counted once and many times. Each kind is one object."""

    __slots__ = ("reason", "one", "many")

    def __init__(self, reason: str, one: str, many: str) -> None:
        self.reason = reason
        self.one = one
        self.many = many


SYMBOLIC_LINK = SkipKind("symbolic link", "symbolic link", "symbolic links")
SPECIAL_FILE = SkipKind("special file", "special file", "special files")
NOT_UTF8 = SkipKind(
    "not UTF-8 text", "file that is not UTF-8 text", "files that are not UTF-8 text"
)
# The kinds in the order they are reported.
SKIP_KINDS = (SYMBOLIC_LINK, SPECIAL_FILE, NOT_UTF8)


class Skipped:
    __slots__ = ("paths",)

    def __init__(self) -> None:
        # Per kind, each skipped path with why it was skipped, in walk order.
        self.paths: dict[SkipKind, list[tuple[str, str]]] = {kind: [] for kind in SKIP_KINDS}

    def add(self, kind: SkipKind, path: str, reason: str | None = None) -> None:
        self.paths[kind].append((path, reason or kind.reason))

    def each(self) -> list[tuple[str, str]]:
        """Every skipped path with its reason, in the order of the kinds."""
        return [skip for kind in SKIP_KINDS for skip in self.paths[kind]]

    def descriptions(self) -> list[str]:
        """One text per kind of skip, counting them and naming the first few."""
        return [
            f"{counted(len(skips), kind.one, kind.many)}: "
            f"{listing([path for path, _ in skips], SKIPPED_LIST_LIMIT)}"
            for kind in SKIP_KINDS
            if (skips := self.paths[kind])
        ]


class Inputs:
    """What a walk found: the files to pack, those skipped, the empty
    directories, and each stored directory's name, permission bits and
    modification time."""

    __slots__ = ("entries", "skipped", "empty_dirs", "dir_facts")

    def __init__(
        self,
        entries: list[Entry] | None = None,
        skipped: Skipped | None = None,
        empty_dirs: list[str] | None = None,
        dir_facts: list[tuple[str, int, int]] | None = None,
    ) -> None:
        self.entries = [] if entries is None else entries
        self.skipped = Skipped() if skipped is None else skipped
        self.empty_dirs = [] if empty_dirs is None else empty_dirs
        self.dir_facts = [] if dir_facts is None else dir_facts


# The files the pack writes, by (device, inode): the option naming each and
# its path.
Written = dict[tuple[int, int], tuple[str, str]]


def collect(paths: Sequence[str], written: Written) -> Inputs:
    """The files to pack for the command-line `paths`, in packing order."""
    walker = _Walker(written)
    for path in paths:
        walker.add_argument(path)
    return walker.inputs


def clashes(entries: Sequence[Entry]) -> list[str]:
    """Stored names that cannot all be restored: one name for several files,
    or a file's name that another file needs as a directory. Each clash as
    "NAME: PATH, PATH"."""
    paths_by_name: dict[str, list[str]] = {}
    for entry in entries:
        paths_by_name.setdefault(entry.name, []).append(entry.path)
    found = {name: paths for name, paths in paths_by_name.items() if len(paths) > 1}
    # Each folder is looked at for the first name in it, outermost first: the
    # folders of a name are walked up only to the first one an earlier name
    # was in (a tree's names share most of theirs).
    seen: set[str] = set()
    for name, paths in paths_by_name.items():
        new_folders = []
        folder = name.rpartition("/")[0]
        while folder and folder not in seen:
            seen.add(folder)
            new_folders.append(folder)
            folder = folder.rpartition("/")[0]
        for folder in reversed(new_folders):
            if folder in paths_by_name and folder not in found:
                found[folder] = [*paths_by_name[folder], paths[0]]
    return [f"{name}: {', '.join(paths)}" for name, paths in found.items()]


# A file's check: (st_dev, st_ino, st_mode, st_size, problem) once opened,
# where problem is None or the (reason, position) of a regular file that is
# not UTF-8 text; the errno of a failed open; or the OSError its fstat or read
# raised. The module's check_text_files makes it for every file a walk finds,
# check_file for one file.
FileCheck = tuple[int, int, int, int, tuple[str, int] | None] | int | OSError


def check_file(path: str, flags: int) -> FileCheck:
    """The plain way of the module's check_text_files for one file, opened
    with `flags` besides the walk's own."""
    try:
        fd = os.open(path, _OPEN_FLAGS | flags)
    except OSError as err:
        return err if err.errno is None else err.errno
    try:
        st = os.fstat(fd)
        problem = utf8_problem(fd, st.st_size) if stat.S_ISREG(st.st_mode) else None
    except OSError as err:
        return err
    finally:
        os.close(fd)
    return (st.st_dev, st.st_ino, st.st_mode, st.st_size, problem)


def opened(path: str, check: FileCheck) -> tuple[int, int, int, int, tuple[str, int] | None]:
    """The facts of a checked file; a failed open refused as the user's
    error, a failed read raised."""
    if isinstance(check, int):
        raise UserError(path, os.strerror(check))
    if isinstance(check, OSError):
        raise check
    return check


def utf8_problem(fd: int, size: int) -> tuple[str, int] | None:
    """Why the file open on `fd` (of about `size` bytes) is not UTF-8 text
    and at which byte, or None when it is. Reads in chunks and stops at the first bad byte, so a
    large binary file costs little; a small file is read in one piece,
    without a chunk-sized buffer to allocate."""
    # ASCII is UTF-8: chunks of it before the first other byte need no
    # decoder (most text files are ASCII throughout).
    decoder = None
    chunk_size = min(size + 1, _READ_CHUNK)
    offset = 0
    while True:
        chunk = os.read(fd, chunk_size)
        if decoder is None:
            if chunk.isascii():
                if not chunk:
                    return None
                offset += len(chunk)
                continue
            decoder = codecs.getincrementaldecoder("utf-8")()
        start = offset - len(decoder.getstate()[0])
        try:
            decoder.decode(chunk, final=not chunk)
        except UnicodeDecodeError as err:
            return err.reason, start + err.start
        if not chunk:
            return None
        offset += len(chunk)


def _directory_prefix(path: str) -> tuple[str, ...]:
    base = os.path.basename(os.path.normpath(path))
    return () if base in ("", ".", "..") else (base,)


# The steps of a walk (_Walker._scan), in walk order: a kind and its facts.
_FILE, _LINK, _SPECIAL, _ENTER, _LEAVE = range(5)
_Step: TypeAlias = "tuple[Any, ...]"


class _Walker:
    def __init__(self, written: Written) -> None:
        self.written = written
        self.inputs = Inputs()
        self.tree = ""

    def add_argument(self, path: str) -> None:
        try:
            st = os.stat(path)
        except OSError as err:
            raise UserError(path, os_problem(err)) from None
        if stat.S_ISDIR(st.st_mode):
            self.tree = path
            self._walk(path, _directory_prefix(path))
        elif stat.S_ISREG(st.st_mode):
            self._add_named_file(path)
        else:
            raise UserError(path, "not a regular file or directory")

    def _refuse_written(self, device: int, inode: int, path: str) -> None:
        # Arguments naming them are refused before the walk (pack.refuse_overlaps).
        found = self.written.get((device, inode))
        if found is not None:
            option, target = found
            raise UsageError(f"{option} {target} names {path} inside the input tree {self.tree}")

    def _add_named_file(self, path: str) -> None:
        size, problem = opened(path, check_file(path, 0))[3:]
        if problem is not None:
            raise UserError(path, not_utf8_text(*problem))
        self.inputs.entries.append(Entry(path, os.path.basename(path), size))

    def _walk(self, folder: str, parts: tuple[str, ...]) -> None:
        # The tree's entries are listed first, and its files then checked all
        # at once by the module on two threads; the results are taken in walk
        # order, so that what is kept, skipped and refused, and which failure
        # comes first, are as if each file were checked when it was met.
        steps: list[_Step] = []
        try:
            self._scan(folder, parts, steps)
            failure = None
        except Exception as err:  # raised in walk order, after the steps before it
            failure = err
        paths = [step[1] for step in steps if step[0] == _FILE]
        checks = bare_compressor().check_text_files(paths) if paths else []
        self._assemble(steps, iter(checks))
        if failure is not None:
            raise failure

    def _scan(self, folder: str, parts: tuple[str, ...], steps: list[_Step]) -> None:
        # Depth first without recursion, so that a tree of any depth is
        # walked: one iterator over the sorted entries of each open level.
        levels = [self._level(folder, parts, steps)]
        while levels:
            children, parts = levels[-1]
            child = next(children, None)
            if child is None:
                levels.pop()
                steps.append((_LEAVE, "/".join(parts)))
            elif child.is_symlink():
                steps.append((_LINK, child.path))
            elif child.is_dir(follow_symlinks=False):
                levels.append(self._level(child.path, (*parts, child.name), steps))
            elif child.is_file(follow_symlinks=False):
                steps.append((_FILE, child.path, "/".join((*parts, child.name))))
            else:
                st = child.stat(follow_symlinks=False)
                steps.append((_SPECIAL, child.path, st.st_dev, st.st_ino))

    def _level(
        self, folder: str, parts: tuple[str, ...], steps: list[_Step]
    ) -> tuple[Iterator[os.DirEntry[str]], tuple[str, ...]]:
        if parts:
            try:
                st = os.stat(folder)
            except OSError as err:
                raise UserError(folder, os_problem(err)) from None
            self.inputs.dir_facts.append(("/".join(parts), st.st_mode & 0o777, st.st_mtime_ns))
        children = iter(_sorted_entries(folder))
        steps.append((_ENTER,))
        return children, parts

    def _assemble(self, steps: list[_Step], checks: Iterator[FileCheck]) -> None:
        inputs = self.inputs
        kept_before: list[int] = []
        for step in steps:
            kind = step[0]
            if kind == _FILE:
                self._add_found_file(step[1], step[2], next(checks))
            elif kind == _ENTER:
                kept_before.append(self._kept())
            elif kind == _LEAVE:
                if kept_before.pop() == self._kept() and step[1]:
                    # Nothing in it is stored (it is empty, or every file in
                    # it was skipped): it comes back as an empty directory.
                    inputs.empty_dirs.append(step[1])
            elif kind == _LINK:
                inputs.skipped.add(SYMBOLIC_LINK, step[1])
            else:
                self._refuse_written(step[2], step[3], step[1])
                inputs.skipped.add(SPECIAL_FILE, step[1])

    def _kept(self) -> int:
        """How many files and empty directories are stored so far."""
        return len(self.inputs.entries) + len(self.inputs.empty_dirs)

    def _add_found_file(self, path: str, name: str, check: FileCheck) -> None:
        device, inode, mode, size, problem = opened(path, check)
        self._refuse_written(device, inode, path)
        if not stat.S_ISREG(mode):
            self.inputs.skipped.add(SPECIAL_FILE, path)
        elif problem is not None:
            self.inputs.skipped.add(NOT_UTF8, path, not_utf8_text(*problem))
        else:
            self.inputs.entries.append(Entry(path, name, size))


def _sorted_entries(folder: str) -> list[os.DirEntry[str]]:
    try:
        with os.scandir(folder) as found:
            return sorted(found, key=lambda child: child.name)
    except OSError as err:
        raise UserError(folder, os_problem(err)) from None
