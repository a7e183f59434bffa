"""The status line of a pack that runs long, shown on a terminal only."""

from __future__ import annotations

import os
import sys
import threading
import time

from .report import NORMAL, counted, detail, report_stream, voice_level

TYPE_CHECKING = False  # typing is for the checkers: see ormek/__init__.py
if TYPE_CHECKING:
    from typing import TextIO

# Progress appears only once a pack has run this long: short runs stay quiet.
PROGRESS_DELAY = 2.0
PROGRESS_INTERVAL = 0.25


def fit_line(text: str, columns: int) -> str:
    """`text` cut to one column less than the terminal is wide: a line that
    fills the last column wraps on some terminals."""
    return text[: max(columns - 1, 0)]


def _terminal_columns() -> int:
    import shutil  # imported once a status line is shown, not at start-up

    return shutil.get_terminal_size().columns


class Progress:
    """A ticker thread draws the line; the path objects handed to the module
    tell it how far reading has got, since the module opens each input
    through its __fspath__."""

    def __init__(
        self,
        enabled: bool,
        total_files: int,
        total_bytes: int,
        stream: TextIO | None = None,
        action: str = "reading files",
    ) -> None:
        self.enabled = enabled
        self.action = action
        self.stream = stream if stream is not None else sys.stdout
        self.total_files = total_files
        self.total_bytes = total_bytes
        self.files_read = 0
        self.bytes_read = 0
        self.last_opened = ""
        self.start = time.monotonic()
        self.shown = False
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def __enter__(self) -> Progress:
        if self.enabled:
            self._thread = threading.Thread(target=self._tick, name="ormek-progress", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()

    def status(self) -> str:
        elapsed = f"{time.monotonic() - self.start:.0f} s"
        total_mb = f"{self.total_bytes / 1e6:.1f} MB"
        if self.files_read < self.total_files:
            files = f"{self.files_read}/{self.total_files}"
            return f"{self.action}: {files} ({self.bytes_read / 1e6:.1f}/{total_mb})  {elapsed}"
        return f"packing {counted(self.total_files, 'file')} ({total_mb})  {elapsed}"

    def _tick(self) -> None:
        while not self._stop.wait(PROGRESS_INTERVAL):
            if time.monotonic() - self.start < PROGRESS_DELAY:
                continue
            line = fit_line(self.status(), _terminal_columns())
            try:
                self.stream.write(f"\r\x1b[K{line}")
                self.stream.flush()
            except (OSError, ValueError):
                return
            self.shown = True


def command_progress(
    total_files: int, total_bytes: int, action: str = "reading files"
) -> Progress:
    """The progress of a command's run: shown on a terminal, and not with -q
    or -v (which name every file instead)."""
    stream = report_stream()
    shown = stream.isatty() and voice_level() == NORMAL
    return Progress(shown, total_files, total_bytes, stream, action)


class TrackedPath(os.PathLike[str]):
    """An input path that records when the module opens it: the first
    __fspath__ call on it is the open of that file, which -v names by the
    name it is stored under."""

    __slots__ = ("path", "size", "progress", "name", "opened")

    def __init__(self, path: str, size: int, progress: Progress, name: str | None = None) -> None:
        self.path = path
        self.size = size
        self.progress = progress
        self.name = name if name is not None else path
        self.opened = False

    def __fspath__(self) -> str:
        if not self.opened:
            self.opened = True
            detail(self.name)
            self.progress.files_read += 1
            self.progress.bytes_read += self.size
            self.progress.last_opened = self.path
        return self.path

    def __repr__(self) -> str:
        return repr(self.path)
