"""`ormek unpack`: a package's files restored into a directory tree.

The module does the refusing that needs the file system at the moment of
writing: unsafe names, links and non-directories on the way, targets that
are not regular files; each file goes through a temporary file renamed into
place. What is left here is the user's intent: existing files are replaced
only with --force (the names looked for are the module's own answer to what
restoring writes, restored_names), and --raw is refused on a compressed
payload."""

from __future__ import annotations

import argparse
import os
from collections import Counter

from .native import bare_compressor
from .packages import holds_zstd_frame, package_failure, read_package, restored_names
from .report import UserError, counted, listing

EXISTING_LIST_LIMIT = 10


def command_unpack(args: argparse.Namespace) -> int:
    package: str = args.package
    out_dir: str = args.directory
    if args.raw or (not args.force and _has_entries(out_dir)):
        # Only then is the package loaded an extra time before restoring.
        stored = read_package(package)
        if args.raw and holds_zstd_frame(stored):
            raise UserError(
                package, "its payload is a Zstandard frame, which --raw would restore as garbage"
            )
        if not args.force:
            _refuse_existing(out_dir, restored_names(stored))
    names = _decode(package, out_dir, use_zstd=not args.raw)
    _report_repeated(package, out_dir, names)
    if args.list:
        for name in names:
            print(name)
    else:
        print(f"{len(names)} files restored into {out_dir}")
    return 0


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


def _decode(package: str, out_dir: str, use_zstd: bool) -> list[str]:
    try:
        return bare_compressor().decode_package(package, out_dir, use_zstd)
    except Exception as err:
        failure = package_failure(package, err)
        if type(err).__name__ == "ZstdError" and use_zstd:
            failure = UserError(None, f"{failure}; a package stored with --raw needs --raw")
        raise failure from None


def _report_repeated(package: str, out_dir: str, names: list[str]) -> None:
    # Not written by `ormek pack`, which refuses clashing names.
    repeated = sorted(name for name, count in Counter(map(repr, names)).items() if count > 1)
    if repeated:
        raise UserError(
            package,
            f"stored names repeat ({', '.join(repeated)}): each later file replaced the earlier"
            f" one of its name in {out_dir}",
        )
