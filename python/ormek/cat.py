"""`ormek cat`: the text of named files to standard output, in the order
named, as `tar -xO` and `unzip -p` give it. The package is judged as `list`
judges it and checked as `check` checks it (through the reading API) before
anything is printed, and every NAME it does not hold is named at once. It
writes no file."""

from __future__ import annotations

import argparse
import sys

from .packages import PackageError
from .reading import Package
from .report import UserError, detail, os_problem, set_voice, show, voice_level


def command_cat(args: argparse.Namespace) -> int:
    package_path: str = args.package
    names: list[str] = args.names
    if sys.stdout is None:
        raise UserError(None, "standard output is closed")
    # Standard output carries the text: -v names each file on stderr.
    set_voice(voice_level(), to_stderr=True)
    try:
        with Package(package_path, raw=args.raw) as package:
            held = set(package.namelist())
            unknown = list(dict.fromkeys(name for name in names if name not in held))
            if unknown:
                raise UserError(
                    package_path, f"holds no file named {', '.join(map(repr, unknown))}"
                )
            sys.stdout.flush()
            for name in names:
                text = package.read_text(name)
                detail(show(name))
                sys.stdout.buffer.write(text.encode("utf-8"))
    except PackageError as err:
        raise UserError(None, str(err)) from None
    except OSError as err:
        raise UserError(package_path, os_problem(err)) from None
    sys.stdout.buffer.flush()
    return 0

