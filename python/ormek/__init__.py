"""The ``ormek`` command: pack text files and directory trees into a package,
restore them (all or some), list, check or describe a package.

    ormek pack PATH... -o PACKAGE [--dict FILE] [--level N] [--threads N]
               [--no-save-dict] [--strict] [-v | -q]
    ormek unpack PACKAGE [NAME...] -d DIR [--raw] [--force] [-v | -q]
    ormek list PACKAGE [--raw] [-v | -q]
    ormek check PACKAGE [--raw] [-v | -q]
    ormek info PACKAGE [--json] [-v | -q]
    ormek cat PACKAGE NAME... [--raw] [-v | -q]

-v and -q may also come before the command (``ormek -v list PACKAGE``).
A PACKAGE of ``-`` is standard input (``pack -o -``: standard output).
``python -m ormek`` runs the same.

From Python, ``ormek.open(path)`` reads a package as zipfile reads an
archive (see ormek.reading):

    with ormek.open("work.pkg") as package:
        text = package.read_text(package.namelist()[0])
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from . import signals

# Types for the checkers only: importing typing costs every command's start-up.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn

    from .native import InputPath
    from .reading import FileInfo, Package, PackageError

__all__ = ["FileInfo", "Package", "PackageError", "main", "open", "run"]
# The reading API is imported when it is first used: the command itself
# imports the extension module only once its signal handlers are in place.
_READING = frozenset({"FileInfo", "Package", "PackageError"})


def open(path: InputPath, *, raw: bool = False) -> Package:
    """The package at `path` (a str or any path-like) opened for reading;
    `raw` for an id stream stored without Zstandard (as --raw)."""
    from .reading import Package

    return Package(path, raw=raw)


def __getattr__(name: str) -> object:
    if name in _READING:
        from . import reading

        return getattr(reading, name)
    raise AttributeError(f"module 'ormek' has no attribute {name!r}")


def main(argv: Sequence[str] | None = None) -> int:
    """The command's entry point. The stop signals are answered from the
    start: the handlers are installed before the command's modules and the
    extension module are imported, which takes a noticeable share of a short
    run, so that a signal meanwhile also ends it with 128 + N and one line."""
    signals.install()
    try:
        from .cli import main as run_command

        return run_command(argv)
    except signals.Interrupted as stop:
        signals.exit_interrupted(stop.signum)


def run() -> NoReturn:
    """The `ormek` command as a process (the console script and ``python -m
    ormek``): main(), then the exit with its status. Once the command has
    ended and its output is flushed, the process leaves at once instead of
    tearing the interpreter down, which on a free-threaded host walks every
    object the process holds (some 40 ms on 3.13t, near a tenth of
    restoring a tree of headers). Where that teardown still has work (an exit handler, a thread
    to wait for) or a flush fails, the ordinary exit runs and reports as it
    always did."""
    status = main()
    if _nothing_left_for_teardown():
        try:
            for stream in (sys.stdout, sys.stderr):
                if stream is not None:  # a closed descriptor leaves it None
                    stream.flush()
        except (OSError, ValueError):
            sys.exit(status)
        os._exit(status)
    sys.exit(status)


def _nothing_left_for_teardown() -> bool:
    import atexit

    if atexit._ncallbacks():
        return False
    threading = sys.modules.get("threading")
    if threading is None:
        return True
    main_thread = threading.main_thread()
    return all(thread.daemon for thread in threading.enumerate() if thread is not main_thread)
