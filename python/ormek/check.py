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
from .report import counted, detail, say, show


def command_check(args: argparse.Namespace) -> int:
    package: str = args.package
    try:
        names, reach = bare_compressor().check_package(package, not args.raw)
    except Exception as err:
        raise package_failure(package, err) from None
    for name in names:
        detail(show(name))
    files = counted(len(names), "file", "files")
    if reach:
        what = CHECKS_COVER[reach]
        say(f"{show(package)}: intact, {files} restore as they were packed; {what}")
    else:
        say(f"{show(package)}: carries no checks; {files} restore, their text cannot be verified")
    return 0
