"""Undo steps for the files a command has changed, run when it fails or is
stopped by a signal. A step stays registered until it has run to its end,
so a signal arriving while a failure is being undone still gets it done."""

from __future__ import annotations

from collections.abc import Callable

Step = Callable[[], None]

_steps: list[Step] = []


def register(step: Step) -> None:
    _steps.append(step)


def discard(step: Step) -> None:
    if step in _steps:
        _steps.remove(step)


def run_all() -> None:
    """Runs the registered steps, latest first; each step is idempotent."""
    while _steps:
        step = _steps[-1]
        step()
        discard(step)
