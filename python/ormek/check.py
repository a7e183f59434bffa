"""`ormek check`: whether a package restores what was packed, without
writing anything.

The module restores every file in memory and compares it with the check the
package carries for it (a digest of its name and text, and its size), after
it has judged the package's names and file facts as restoring judges them
(the facts against their own digest, where the package carries one). A
package made without checks can only be tried: it is restored in memory the
same way, which finds what restoring would refuse, but not text that changed."""

from __future__ import annotations

import argparse

from .native import bare_compressor
from .packages import CHECKS_COVER, package_failure
from .report import counted, detail, plural, say, show


def command_check(args: argparse.Namespace) -> int:
    package: str = args.package
    try:
        names, reach = bare_compressor().check_package(package, not args.raw)
    except Exception as err:
        raise package_failure(package, err, use_zstd=not args.raw) from None
    for name in names:
        detail(show(name))
    files = counted(len(names), "file")
    if reach:
        restore = plural(len(names), "restores as it was", "restore as they were")
        say(f"{show(package)}: intact, {files} {restore} packed; {CHECKS_COVER[reach]}")
    else:
        restore = plural(len(names), "restores, its", "restore, their")
        say(f"{show(package)}: carries no checks; {files} {restore} text cannot be verified")
    return 0
