"""How the command reports: user errors (exit status 1), arguments that
contradict each other (exit status 2), what it says besides errors (-q, -v),
and the pieces of its one-line texts."""

from __future__ import annotations

import os
import re
import sys
from collections.abc import Sequence

TYPE_CHECKING = False  # typing is for the checkers: see ormek/__init__.py
if TYPE_CHECKING:
    from typing import TextIO

PROG = "ormek"
# A package or output named "-": standard input or output.
STDIO = "-"

QUIET, NORMAL, VERBOSE = -1, 0, 1


class _Voice:
    level = NORMAL
    # Reports go to stdout, or to stderr when stdout carries a package.
    to_stderr = False


def set_voice(level: int, to_stderr: bool = False) -> None:
    _Voice.level = level
    _Voice.to_stderr = to_stderr


def voice_level() -> int:
    return _Voice.level


def verbose() -> bool:
    return _Voice.level >= VERBOSE


def report_stream() -> TextIO:
    return sys.stderr if _Voice.to_stderr else sys.stdout


# The characters that act on a terminal instead of showing (C0 controls, DEL,
# C1 controls) are printed the way tar prints them in names: the usual
# backslash escapes, octal for the rest (a C1 control as the octal of its
# UTF-8 bytes), and a backslash doubled so that every escape reads one way.
# A stored name then prints as one line that cannot move the cursor, clear
# the screen or retitle the terminal. Lone surrogates (names that were not
# UTF-8 on disk) are left to the stream, which escapes them.
_NAMED_ESCAPES = {"\a": "a", "\b": "b", "\t": "t", "\n": "n", "\v": "v", "\f": "f", "\r": "r"}


def _escape(char: str) -> str:
    named = _NAMED_ESCAPES.get(char)
    return "\\" + named if named else "".join(f"\\{byte:03o}" for byte in char.encode())


_ESCAPES = str.maketrans(
    {"\\": "\\\\"} | {chr(code): _escape(chr(code)) for code in (*range(0x20), *range(0x7F, 0xA0))}
)
_NEEDS_ESCAPE = re.compile(r"[\\\x00-\x1f\x7f-\x9f]")


def printable(text: str) -> str:
    """`text` with its controls and backslashes escaped; every line the
    command prints goes through it (say, detail, notice, the error lines)."""
    return text.translate(_ESCAPES) if _NEEDS_ESCAPE.search(text) else text


def say(text: str) -> None:
    """A command's report (a summary, a count): one line, left out with -q."""
    if _Voice.level >= NORMAL:
        print(printable(text), file=report_stream())


def detail(text: str) -> None:
    """One line per file, with -v only."""
    if _Voice.level >= VERBOSE:
        print(printable(text), file=report_stream())


def notice(text: str) -> None:
    """A remark on stderr that is no error (a skipped file): left out with -q."""
    if _Voice.level >= NORMAL:
        print(f"{PROG}: {printable(text)}", file=sys.stderr)


def error_line(text: str) -> None:
    """The one line of a failure, on stderr."""
    print(f"{PROG}: error: {printable(text)}", file=sys.stderr)


class UserError(Exception):
    """A problem the user can fix; reported as one line, exit status 1."""

    def __init__(self, where: object, problem: str) -> None:
        super().__init__(problem if where is None else f"{show(where)}: {problem}")


class UsageError(Exception):
    """Arguments that contradict each other; reported with the usage, exit status 2."""


# Private files that stand for something else in messages (a spooled
# standard input is `-`).
_aliases: dict[str, str] = {}


def alias(path: str, shown: str) -> None:
    _aliases[path] = shown


def show(path: object) -> str:
    if isinstance(path, os.PathLike):
        path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    text = str(path)
    return _aliases.get(text, text)


def os_problem(err: OSError) -> str:
    return err.strerror or str(err) or type(err).__name__


def exception_text(err: BaseException) -> str:
    """An unforeseen failure in a user's words: its text, never the host's
    name for it."""
    if isinstance(err, MemoryError):
        return "not enough memory"
    if isinstance(err, KeyError) and err.args:
        return f"the key {err.args[0]!r} is missing"
    return str(err) or "an unforeseen failure"


def listing(items: Sequence[str], limit: int, separator: str = ", ") -> str:
    """The first `limit` items and a count of the rest, for one-line reports."""
    shown = separator.join(items[:limit])
    rest = len(items) - limit
    return f"{shown}{separator}... and {rest} more" if rest > 0 else shown


def plural(number: int, one: str, many: str | None = None) -> str:
    """`one` for 1, else `many` (by default `one` with an "s")."""
    return one if number == 1 else many if many is not None else one + "s"


def counted(number: int, one: str, many: str | None = None) -> str:
    return f"{number} {plural(number, one, many)}"


def percent(part: int, whole: int) -> str:
    return f"{100.0 * part / whole:.1f}%" if whole else "n/a"
