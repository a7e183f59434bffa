"""How the command reports: user errors (exit status 1), arguments that
contradict each other (exit status 2), and the pieces of its one-line texts."""

from __future__ import annotations

import os
from collections.abc import Sequence

PROG = "ormek"


class UserError(Exception):
    """A problem the user can fix; reported as one line, exit status 1."""

    def __init__(self, where: object, problem: str) -> None:
        super().__init__(problem if where is None else f"{show(where)}: {problem}")


class UsageError(Exception):
    """Arguments that contradict each other; reported with the usage, exit status 2."""


def show(path: object) -> str:
    if isinstance(path, os.PathLike):
        path = os.fspath(path)
    if isinstance(path, bytes):
        return os.fsdecode(path)
    return str(path)


def os_problem(err: OSError) -> str:
    return err.strerror or str(err) or type(err).__name__


def exception_text(err: BaseException) -> str:
    text = str(err)
    if isinstance(err, KeyError) and err.args:
        text = f"missing key {err.args[0]!r}"
    return f"{type(err).__name__}: {text}" if text else type(err).__name__


def listing(items: Sequence[str], limit: int, separator: str = ", ") -> str:
    """The first `limit` items and a count of the rest, for one-line reports."""
    shown = separator.join(items[:limit])
    rest = len(items) - limit
    return f"{shown}{separator}... and {rest} more" if rest > 0 else shown


def counted(number: int, one: str, many: str) -> str:
    return f"{number} {one if number == 1 else many}"


def percent(part: int, whole: int) -> str:
    return f"{100.0 * part / whole:.1f}%" if whole else "n/a"
