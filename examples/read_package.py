"""Read a package from Python: list its files with their facts, print one
file's text, restore a directory of it.

    python examples/read_package.py PACKAGE [NAME [DIR]]

With NAME, the text of that stored file is printed after the listing; with
DIR, NAME (a file or a directory of stored files) is restored into DIR.
The type checkers (mypy --strict, pyright strict) pass on this file."""

from __future__ import annotations

import sys
import time

import ormek


def describe(info: ormek.FileInfo) -> str:
    mode = "-" if info.mode is None else oct(info.mode)
    when = "-" if info.mtime_ns is None else time.strftime("%Y-%m-%d", time.gmtime(info.mtime_ns / 1e9))
    return f"{mode:>7} {info.size:>9} {when} {info.name}"


def main(argv: list[str]) -> int:
    if not 1 <= len(argv) <= 3:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        with ormek.open(argv[0]) as package:
            names: list[str] = package.namelist()
            for name in names:
                print(describe(package.getinfo(name)))
            if len(argv) >= 2:
                text: str = package.read_text(argv[1]) if argv[1] in names else ""
                sys.stdout.write(text)
            if len(argv) == 3:
                restored: list[str] = package.extractall(argv[2], [argv[1]])
                print(f"{len(restored)} restored into {argv[2]}")
    except KeyError as err:
        print(f"no such name in the package: {err}", file=sys.stderr)
        return 1
    except (ormek.PackageError, OSError) as err:
        print(err, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
