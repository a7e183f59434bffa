"""`-` as a package: standard input spooled into a private temporary file
for the commands that read a package, and a package written to standard
output from one.

The module reads and writes packages by path, and a package is read more
than once (the checks, then the restoring), so a pipe cannot be handed to it
as it is. The file lives in a directory of its own (mode 0700) under the
system's temporary directory and is removed on every exit: the removal is an
undo step, which a failure and a stop signal run too (a `held` block makes
sure the step is registered as soon as the directory exists)."""

from __future__ import annotations

import os
import pickle
import sys

from .packages import NOT_A_PACKAGE
from .report import STDIO, UserError, alias, os_problem
from .signals import held
from .undo import register

TYPE_CHECKING = False  # typing is for the checkers: see ormek/__init__.py
if TYPE_CHECKING:
    from typing import BinaryIO

_CHUNK = 1 << 20
# How a package's pickle begins: PROTO and a protocol this host reads, or the
# first opcode of a dict in protocols 0 and 1, MARK ("(dp0") or EMPTY_DICT.
_PICKLE_PROTO = 0x80
_OLD_PROTOCOL_DICT_STARTS = b"(}"


def private_path(name: str) -> str:
    """A path in a fresh private directory that is removed when the command
    ends, however it ends."""
    import shutil  # imported here, not at every command's start-up
    import tempfile

    with held():
        folder = tempfile.mkdtemp(prefix="ormek-")
        register(lambda: shutil.rmtree(folder, ignore_errors=True))
    return os.path.join(folder, name)


def create_private(path: str) -> BinaryIO:
    """A new file at `path` for writing, readable by its owner only: made
    exclusively, never through a link or over what stands there. Whoever
    opens a file keeps that right, so text that may be private is never
    written into a file others could open meanwhile."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        return open(fd, "wb")
    except BaseException:
        os.close(fd)
        raise


def spool_stdin() -> str:
    """Standard input copied into a private file; its path, reported as `-`."""
    path = private_path("stdin.pkg")
    alias(path, STDIO)
    if sys.stdin is None:  # descriptor 0 closed
        raise UserError(STDIO, "standard input is closed")
    source = sys.stdin.buffer
    if source.isatty():
        raise UserError(STDIO, "standard input is a terminal, not a package")
    try:
        with create_private(path) as spool:
            # Judged at its first bytes, so that an endless stream of
            # anything else (`yes | ormek list -`) is not spooled first.
            head = source.read(2)
            if head and not _starts_as_package(head):
                raise UserError(STDIO, f"{NOT_A_PACKAGE}: it does not begin as a package does")
            spool.write(head)
            _copy(source, spool)
    except OSError as err:
        raise UserError(STDIO, f"cannot spool standard input: {os_problem(err)}") from None
    return path


def _starts_as_package(head: bytes) -> bool:
    if head[0] == _PICKLE_PROTO:
        return len(head) < 2 or head[1] <= pickle.HIGHEST_PROTOCOL
    return head[0] in _OLD_PROTOCOL_DICT_STARTS


def send_to_stdout(path: str) -> None:
    """The file at `path` written to standard output."""
    target = sys.stdout.buffer
    sys.stdout.flush()
    with open(path, "rb") as source:
        _copy(source, target)
    target.flush()


def _copy(source: BinaryIO, target: BinaryIO) -> None:
    # In chunks, so that a stop signal is answered between them.
    while chunk := source.read(_CHUNK):
        target.write(chunk)
