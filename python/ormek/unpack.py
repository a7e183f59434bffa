"""`ormek unpack`: a package's files restored into a directory tree.

The module does the refusing that needs the file system at the moment of
writing: unsafe names, links and non-directories on the way, targets that
are not regular files; each file goes through a temporary file renamed into
place. What is left here is the user's intent: existing files are replaced
only with --force (the names looked for are the module's own answer to what
restoring writes, restored_names), --raw is refused on a compressed payload,
and NAMEs pick files through the module's decode_names, every unknown NAME
named at once before anything is written."""

from __future__ import annotations

import argparse
import os
from collections import Counter

from collections.abc import Sequence

from .native import bare_compressor
from .packages import holds_zstd_frame, package_failure, read_package, restored_names
from .report import UserError, counted, detail, listing, say, verbose

EXISTING_LIST_LIMIT = 10


def command_unpack(args: argparse.Namespace) -> int:
    package: str = args.package
    out_dir: str = args.directory
    wanted = _wanted_names(args.names)
    if args.raw or wanted is not None or (not args.force and _has_entries(out_dir)):
        # Only then is the package loaded an extra time before restoring.
        stored = read_package(package)
        if args.raw and holds_zstd_frame(stored):
            raise UserError(
                package, "its payload is a Zstandard frame, which --raw would restore as garbage"
            )
        names = restored_names(stored)
        if wanted is not None:
            names = _picked(package, names, wanted)
        if not args.force:
            _refuse_existing(out_dir, names)
    restored = _decode(package, out_dir, not args.raw, wanted)
    _report_repeated(package, out_dir, restored)
    for name in restored:
        detail(name)
    if not verbose():
        say(f"{counted(len(restored), 'file', 'files')} restored into {out_dir}")
    return 0


def _wanted_names(names: Sequence[str]) -> list[str] | None:
    """The NAMEs as stored names ("src/" is "src"), or None for every file."""
    if not names:
        return None
    wanted = [name.rstrip("/") for name in names]
    if "" in wanted:
        raise UserError(None, "an empty NAME picks no file")
    return wanted


def _picked(package: str, names: list[str], wanted: list[str]) -> list[str]:
    """The stored names that `wanted` picks: a name itself, and every file
    under a name that is a directory of it. Every name that picks nothing is
    an error, before anything is written."""
    folders = {name[:end] for name in names for end in _slashes(name)}
    known = set(names) | folders
    unknown = [name for name in wanted if name not in known]
    if unknown:
        raise UserError(
            package,
            f"holds no file or directory named {', '.join(map(repr, unknown))}",
        )
    picked = set(wanted)
    return [
        name
        for name in names
        if name in picked or any(name[:end] in picked for end in _slashes(name))
    ]


def _slashes(name: str) -> list[int]:
    return [end for end, char in enumerate(name) if char == "/"]


def _has_entries(folder: str) -> bool:
    try:
        with os.scandir(folder) as entries:
            return next(entries, None) is not None
    except OSError:
        return False  # missing (no target can exist) or not a directory (the module says so)


def _refuse_existing(out_dir: str, names: list[str]) -> None:
    targets = dict.fromkeys(os.path.join(out_dir, *name.split("/")) for name in names)
    existing = [target for target in targets if os.path.lexists(target)]
    if existing:
        raise UserError(
            out_dir,
            f"refusing to replace {counted(len(existing), 'existing file', 'existing files')}"
            f" (--force replaces regular files): {listing(existing, EXISTING_LIST_LIMIT)}",
        )


def _decode(package: str, out_dir: str, use_zstd: bool, wanted: list[str] | None) -> list[str]:
    try:
        compressor = bare_compressor()
        if wanted is None:
            return compressor.decode_package(package, out_dir, use_zstd)
        return compressor.decode_names(package, out_dir, wanted, use_zstd)
    except Exception as err:
        failure = package_failure(package, err)
        if type(err).__name__ == "ZstdError" and use_zstd:
            failure = UserError(None, f"{failure}; a package stored with --raw needs --raw")
        raise failure from None


def _report_repeated(package: str, out_dir: str, names: list[str]) -> None:
    # Not written by `ormek pack`, which refuses clashing names.
    repeated = sorted(f"'{name}'" for name, count in Counter(names).items() if count > 1)
    if repeated:
        raise UserError(
            package,
            f"stored names repeat ({', '.join(repeated)}): each later file replaced the earlier"
            f" one of its name in {out_dir}",
        )
