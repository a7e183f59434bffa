"""`ormek pack`: files and directory trees into one package."""

from __future__ import annotations

import argparse
import functools
import gc
import os
import stat
import sys
import time
from collections.abc import Callable, Sequence

from .native import Compressor, InputPath, bare_compressor, compressor_with_dictionary
from .packages import load_reason
from .pipe import private_path, send_to_stdout
from .progress import Progress, TrackedPath, command_progress
from .report import (
    STDIO,
    UsageError,
    UserError,
    counted,
    exception_text,
    listing,
    notice,
    os_problem,
    percent,
    say,
    set_voice,
    verbose,
)
from .swap import PackageSwap
from .tree import Entry, Inputs, Skipped, Written, clashes, collect, not_utf8_text

TYPE_CHECKING = False  # typing is for the checkers: see ormek/__init__.py
if TYPE_CHECKING:
    from typing import Literal, TypeAlias

# Which token dictionary a package carries (encode_named_files' package_dict).
PackageDict: TypeAlias = 'Literal["whole", "used", "own"]'

CLASHES_LIST_LIMIT = 10


PackCommand = Callable[[argparse.Namespace], int]


def _collector_held_off(command: PackCommand) -> PackCommand:
    """`command` with the cyclic garbage collector held off while it runs.
    A pack's walk and its list of inputs make tens of thousands of small
    objects and no cycle worth collecting, and each collection their
    allocations set off looks at every object the process holds (a
    free-threaded host walks its whole heap): some 25 ms of a tree of 8,000
    files on one core, before the packing's two threads start."""

    @functools.wraps(command)
    def run(args: argparse.Namespace) -> int:
        if not gc.isenabled():
            return command(args)
        gc.disable()
        try:
            return command(args)
        finally:
            gc.enable()

    return run


@_collector_held_off
def command_pack(args: argparse.Namespace) -> int:
    started = time.monotonic()
    output: str = args.output
    dictionary: str | None = args.dict
    to_stdout = output == STDIO
    if to_stdout:
        if sys.stdout.isatty():
            raise UserError(None, "refusing to write a package to a terminal (-o -)")
        set_voice(args.voice, to_stderr=True)
    refuse_overlaps(args.paths, None if to_stdout else output, dictionary)
    saved_dictionary = None if args.no_save_dict else dictionary
    if not to_stdout:
        _check_output(output)
    if saved_dictionary is not None:
        _check_directory_of(saved_dictionary)
    _refuse_missing(args.paths)
    written = written_files(_written(None if to_stdout else output, dictionary))
    inputs = collect(args.paths, written)
    report_skipped(inputs.skipped, args.strict)
    refuse_clashes(inputs.entries)
    # After the walk, which refuses a --dict file inside an input tree as bad
    # usage, and before anything is written.
    compressor = _load_compressor(dictionary)

    # Standard output gets the package once it is whole, from a private file.
    target = private_path("stdout.pkg") if to_stdout else output
    swap = PackageSwap(target, saved_dictionary)
    swap.keep_backup()
    # Without a dictionary file the package numbers its own tokens and the
    # compressor's dictionaries are never made; with one, the package keeps
    # its ids and carries only the tokens its files use.
    package_dict: PackageDict = "own" if dictionary is None else "used"
    total_bytes = sum(e.size for e in inputs.entries)
    with command_progress(len(inputs.entries), total_bytes) as progress:
        compressed = encode_inputs(
            compressor, inputs, target, args.level, args.threads, package_dict, progress
        )
    if to_stdout:
        _send(target)
    if saved_dictionary is not None:
        _save_dictionary(compressor, saved_dictionary)
    swap.finish()
    _print_summary(inputs.entries, target, output, compressed, time.monotonic() - started)
    return 0


def refuse_overlaps(paths: Sequence[str], output: str | None, dictionary: str | None) -> None:
    """-o naming an input or the dictionary file, or --dict naming an input,
    would pack a file over itself: refused before anything is read. A file
    inside an input tree is refused by the walk, which meets it. `output` is
    None for standard output."""
    for option, target in _written(output, dictionary):
        for path in paths:
            if _same_file(target, path):
                raise UsageError(f"{option} {target} names the input {path}")
    if output is not None and dictionary is not None and _same_file(output, dictionary):
        raise UsageError(f"-o {output} names the dictionary file (--dict {dictionary})")


def written_files(named: Sequence[tuple[str, str]]) -> Written:
    """The files a pack writes that exist already, by (device, inode), each
    with the option naming it and its path: what the walk refuses to read."""
    return {
        (st.st_dev, st.st_ino): (option, path)
        for option, path in named
        if (st := _stat_or_none(path)) is not None
    }


def _written(output: str | None, dictionary: str | None) -> list[tuple[str, str]]:
    """The files a pack writes, each with the option that names it."""
    named = [("-o", output), ("--dict", dictionary)]
    return [(option, path) for option, path in named if path is not None]


def _check_output(output: str) -> None:
    """Before any input is read: the package can be written where -o says."""
    out_stat = _stat_or_none(output)
    if out_stat is not None and stat.S_ISDIR(out_stat.st_mode):
        raise UserError(output, "is a directory")
    _check_directory_of(output)


def _check_directory_of(path: str) -> None:
    folder = os.path.dirname(path) or "."
    try:
        st = os.stat(folder)
    except OSError as err:
        raise UserError(path, f"cannot write there: {folder}: {os_problem(err)}") from None
    if not stat.S_ISDIR(st.st_mode):
        raise UserError(path, f"cannot write there: {folder} is not a directory")


def _refuse_missing(paths: Sequence[str]) -> None:
    """Every input that cannot be found, named at once."""
    problems: list[tuple[str, str]] = []
    for path in paths:
        try:
            os.stat(path)
        except OSError as err:
            problems.append((path, os_problem(err)))
    if len(problems) == 1:
        raise UserError(*problems[0])
    if problems:
        named = "; ".join(f"{path}: {problem}" for path, problem in problems)
        raise UserError(None, f"{len(problems)} inputs cannot be read: {named}")


def _same_file(a: str, b: str) -> bool:
    if os.path.normpath(os.path.abspath(a)) == os.path.normpath(os.path.abspath(b)):
        return True
    sa, sb = _stat_or_none(a), _stat_or_none(b)
    return sa is not None and sb is not None and (sa.st_dev, sa.st_ino) == (sb.st_dev, sb.st_ino)


def _stat_or_none(path: str | None) -> os.stat_result | None:
    if path is None:
        return None
    try:
        return os.stat(path)
    except OSError:
        return None


def report_skipped(skipped: Skipped, strict: bool) -> None:
    descriptions = skipped.descriptions()
    if descriptions and strict:
        raise UserError(None, f"refusing to skip (--strict) {'; '.join(descriptions)}")
    if verbose():
        for path, reason in skipped.each():
            notice(f"skipped {path}: {reason}")
        return
    for description in descriptions:
        notice(f"skipped {description}")


def refuse_clashes(entries: Sequence[Entry], action: str = "pack") -> None:
    """Stored names that cannot all be restored (see tree.clashes), refused
    before anything is written; `action` is what is refused."""
    found = clashes(entries)
    if found:
        clashing = counted(len(found), "clashing stored name", "clashing stored names")
        raise UserError(
            None,
            f"refusing to {action} {clashing}"
            " (one name for several files, or a file's name that another file needs as a"
            " directory):"
            f" {listing(found, CLASHES_LIST_LIMIT, '; ')}",
        )


def _load_compressor(dictionary: str | None) -> Compressor:
    if dictionary is None:
        return bare_compressor()
    try:
        return compressor_with_dictionary(dictionary)
    except OSError as err:
        raise UserError(dictionary, f"cannot read dictionary file: {os_problem(err)}") from None
    except ValueError as err:
        raise UserError(dictionary, f"not a dictionary file: {err}") from None
    except Exception as err:
        reason = load_reason(dictionary, err) or exception_text(err)
        raise UserError(dictionary, f"not a dictionary file: {reason}") from None


def encode_inputs(
    compressor: Compressor,
    inputs: Inputs,
    output: str,
    level: int,
    threads: int,
    package_dict: PackageDict,
    progress: Progress,
) -> int:
    """The walked `inputs` packed into `output` as `ormek pack` packs them;
    `progress` hears of each file as it is opened (-v names it). The size
    of the compressed id stream, or a UserError naming what failed."""
    entries = inputs.entries
    named: list[tuple[InputPath, str]] = [
        (TrackedPath(e.path, e.size, progress, e.name), e.name) for e in entries
    ]
    try:
        # The package carries each file's check, mode and time, and each
        # directory's mode and time; the files are read as walked: a link or
        # a special file put in the place of one since is refused, not
        # followed or waited on.
        return compressor.encode_named_files(
            named, output, level, threads, checks=True, empty_dirs=inputs.empty_dirs,
            follow_links=False, package_dict=package_dict, dir_facts=inputs.dir_facts,
        )
    except UnicodeDecodeError as err:
        # Checked before packing; only a file changed meanwhile gets here.
        problem = not_utf8_text(err.reason, err.start)
        raise UserError(progress.last_opened, problem) from None
    except OSError as err:
        paths = {e.path for e in entries}
        where = err.filename if err.filename in paths else output
        raise UserError(where, os_problem(err)) from None
    except Exception as err:
        raise UserError(output, f"packing failed ({exception_text(err)})") from None


def _save_dictionary(compressor: Compressor, dictionary: str) -> None:
    try:
        compressor.save_dict()
    except OSError as err:
        raise UserError(dictionary, f"cannot save dictionary: {os_problem(err)}") from None
    except Exception as err:
        raise UserError(dictionary, f"cannot save dictionary ({exception_text(err)})") from None


def _send(package: str) -> None:
    try:
        send_to_stdout(package)
    except BrokenPipeError:
        raise
    except OSError as err:
        raise UserError(STDIO, f"cannot write the package: {os_problem(err)}") from None


def _print_summary(
    entries: Sequence[Entry], written: str, output: str, compressed: int, seconds: float
) -> None:
    out_stat = _stat_or_none(written)
    # A FIFO or device has no size of its own: the compressed stream's stands in.
    regular = out_stat is not None and stat.S_ISREG(out_stat.st_mode)
    package_bytes = out_stat.st_size if out_stat is not None and regular else compressed
    say_summary(entries, package_bytes, seconds, output)


def say_summary(entries: Sequence[Entry], package_bytes: int, seconds: float, output: str) -> None:
    """The line a pack ends with: files and bytes in, package bytes out
    (`package_bytes`, in `output`), the time and the rate."""
    input_bytes = sum(e.size for e in entries)
    seconds = max(seconds, 1e-9)
    say(
        f"{counted(len(entries), 'file')}, {counted(input_bytes, 'byte')} ->"
        f" {counted(package_bytes, 'byte')}"
        f" ({percent(package_bytes, input_bytes)}) in {seconds:.2f} s,"
        f" {input_bytes / 1e6 / seconds:.1f} MB/s: {output}"
    )
