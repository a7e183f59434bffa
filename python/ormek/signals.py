"""Stop signals: SIGINT, SIGTERM and SIGHUP end a command within a second,
with exit status 128 + the signal number, once its changes are undone.

The handler raises `Interrupted` in the main thread; the module lets an
exception from a signal handler end even a running compression promptly.
After the first stop signal later ones are ignored, so undoing cannot be
cut short by a second Ctrl-C."""

from __future__ import annotations

import _thread
import os
import signal
import sys
import time
from collections.abc import Generator
from contextlib import contextmanager
from types import FrameType

from .report import PROG

TYPE_CHECKING = False  # typing is for the checkers: see ormek/__init__.py
if TYPE_CHECKING:
    from typing import NoReturn

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Interrupted(BaseException):
    """A stop signal arrived. A BaseException, so that no `except Exception`
    on the way out takes it for an ordinary failure."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class _Stop:
    caught: int | None = None
    raised = False
    held = 0


def install() -> None:
    for signum in STOP_SIGNALS:
        # A signal ignored by whoever started the command (nohup) stays ignored.
        if signal.getsignal(signum) is not signal.SIG_IGN:
            signal.signal(signum, _on_stop)


def _on_stop(signum: int, _frame: FrameType | None) -> None:
    if _Stop.caught is None:
        _Stop.caught = signum
        raise_if_caught()


def raise_if_caught() -> None:
    """Raises Interrupted for a stop signal that has arrived and not been
    raised yet, unless a `held` block is running."""
    if _Stop.caught is not None and not _Stop.raised and not _Stop.held:
        _Stop.raised = True
        raise Interrupted(_Stop.caught)


@contextmanager
def held() -> Generator[None]:
    """Defers a stop signal to the end of the block, for the few short file
    operations that must not stop half-way (making or putting back a backup)."""
    _Stop.held += 1
    try:
        yield
    finally:
        _Stop.held -= 1
    raise_if_caught()


def exit_interrupted(signum: int) -> NoReturn:
    """Ends the process at once. os._exit, because the module may still have
    a compression thread running, which interpreter shutdown would wait for."""
    for other in STOP_SIGNALS:
        signal.signal(other, signal.SIG_IGN)
    status = 128 + signum
    # The line, then what stdout still holds. A pipe that nobody reads (`ormek
    # list PKG | less` left on its first page) would block a write for good,
    # and no stop signal can end the command any more: a watchdog ends it
    # after LAST_WORDS_SECONDS. A bare thread, never waited for, which costs
    # nothing unless a write blocks; the line comes first so that it is not
    # lost behind such a pipe.
    try:
        _thread.start_new_thread(_exit_after, (LAST_WORDS_SECONDS, status))
    except RuntimeError:
        pass  # no thread to be had: the writes are tried all the same
    farewell = f"{PROG}: interrupted by {signal.Signals(signum).name}"
    for stream, line in ((sys.stderr, farewell), (sys.stdout, None)):
        try:
            if stream is not None:  # a closed descriptor leaves it None
                if line is not None:
                    print(line, file=stream)
                stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(status)


# How long the output still pending and the last line may take.
LAST_WORDS_SECONDS = 0.5


def _exit_after(seconds: float, status: int) -> None:
    time.sleep(seconds)
    os._exit(status)
