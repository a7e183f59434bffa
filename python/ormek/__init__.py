"""The ``ormek`` command: pack text files and directory trees into a package,
restore them (all or some), list, check or describe a package.

    ormek pack PATH... -o PACKAGE [--dict FILE] [--level N] [--threads N]
               [--no-save-dict] [--strict] [-v | -q]
    ormek unpack PACKAGE [NAME...] -d DIR [--raw] [--force] [-v | -q]
    ormek list PACKAGE [--raw] [-v | -q]
    ormek check PACKAGE [--raw] [-v | -q]
    ormek info PACKAGE [--json] [-v | -q]

-v and -q may also come before the command (``ormek -v list PACKAGE``).
A PACKAGE of ``-`` is standard input (``pack -o -``: standard output).
``python -m ormek`` runs the same.
"""

from __future__ import annotations

from collections.abc import Sequence

from . import signals

__all__ = ["main"]


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
