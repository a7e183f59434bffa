"""`ormek list`: the files of a package, one line each, like a long archive
listing: permission bits and modification time where the package stores
them, the size in bytes as restored, and the name. The package is judged
first, as restoring judges its names and file facts, so nothing is listed
that unpacking would refuse for them. It writes nothing."""

from __future__ import annotations

import argparse
import stat
import time

from .packages import (
    FACT_MODES,
    FACT_MTIMES,
    PackageError,
    PackageSummary,
    judge,
    read_outline,
    stored_facts,
    text_sizes,
)
from .report import UserError, say, show


def command_list(args: argparse.Namespace) -> int:
    package: str = args.package
    stored, _, _ = read_outline(package, count_tokens=False)
    try:
        names = PackageSummary(stored).filenames
    except PackageError as err:
        raise UserError(package, str(err)) from None
    judge(package, stored)
    sizes = text_sizes(package, stored, len(names), not args.raw)
    modes = stored_facts(stored, FACT_MODES, len(names))
    mtimes = stored_facts(stored, FACT_MTIMES, len(names))
    width = len(str(max(sizes, default=0)))
    for i, name in enumerate(names):
        columns = []
        if modes is not None:
            columns.append(stat.filemode(stat.S_IFREG | (modes[i] & 0o7777)))
        columns.append(f"{sizes[i]:>{width}}")
        if mtimes is not None:
            columns.append(_local_time(mtimes[i]))
        columns.append(show(name))
        say(" ".join(columns))
    return 0


def _local_time(mtime_ns: int) -> str:
    try:
        return time.strftime("%Y-%m-%d %H:%M", time.localtime(mtime_ns / 1e9))
    except (OverflowError, OSError, ValueError):
        return "????-??-?? ??:??"
