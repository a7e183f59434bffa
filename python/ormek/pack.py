"""`ormek pack`: files and directory trees into one package."""

from __future__ import annotations

import argparse
import os
import stat
import sys
import time
from collections.abc import Sequence

from .native import Compressor, InputPath, bare_compressor, compressor_with_dictionary
from .progress import Progress, TrackedPath
from .report import (
    PROG,
    UsageError,
    UserError,
    counted,
    exception_text,
    listing,
    os_problem,
    percent,
)
from .swap import PackageSwap
from .tree import Entry, Skipped, clashes, collect, not_utf8_text

CLASHES_LIST_LIMIT = 10


def command_pack(args: argparse.Namespace) -> int:
    started = time.monotonic()
    output: str = args.output
    dictionary: str | None = args.dict
    refuse_overlaps(args.paths, output, dictionary)
    out_stat = _stat_or_none(output)
    if out_stat is not None and stat.S_ISDIR(out_stat.st_mode):
        raise UserError(output, "is a directory")
    written = {
        (st.st_dev, st.st_ino): (option, path)
        for option, path in _written(output, dictionary)
        if (st := _stat_or_none(path)) is not None
    }
    inputs = collect(args.paths, written)
    _report_skipped(inputs.skipped, args.strict)
    _refuse_clashes(inputs.entries)

    compressor = _load_compressor(dictionary)
    saved_dictionary = None if args.no_save_dict else dictionary
    swap = PackageSwap(output, saved_dictionary)
    swap.keep_backup()
    compressed = _encode(
        compressor, inputs.entries, inputs.empty_dirs, output, args.level, args.threads
    )
    if saved_dictionary is not None:
        _save_dictionary(compressor, saved_dictionary)
    swap.finish()
    _print_summary(inputs.entries, output, compressed, time.monotonic() - started)
    return 0


def refuse_overlaps(paths: Sequence[str], output: str, dictionary: str | None) -> None:
    """-o naming an input or the dictionary file, or --dict naming an input,
    would pack a file over itself: refused before anything is read. A file
    inside an input tree is refused by the walk, which meets it."""
    for option, target in _written(output, dictionary):
        for path in paths:
            if _same_file(target, path):
                raise UsageError(f"{option} {target} names the input {path}")
    if dictionary is not None and _same_file(output, dictionary):
        raise UsageError(f"-o {output} names the dictionary file (--dict {dictionary})")


def _written(output: str, dictionary: str | None) -> list[tuple[str, str]]:
    """The files a pack writes, each with the option that names it."""
    return [("-o", output)] + ([("--dict", dictionary)] if dictionary is not None else [])


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


def _report_skipped(skipped: Skipped, strict: bool) -> None:
    descriptions = skipped.descriptions()
    if descriptions and strict:
        raise UserError(None, f"refusing to skip (--strict) {'; '.join(descriptions)}")
    for description in descriptions:
        print(f"{PROG}: skipped {description}", file=sys.stderr)


def _refuse_clashes(entries: Sequence[Entry]) -> None:
    found = clashes(entries)
    if found:
        clashing = counted(len(found), "clashing stored name", "clashing stored names")
        raise UserError(
            None,
            f"refusing to pack {clashing}"
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
    except Exception as err:
        raise UserError(dictionary, f"not a dictionary file ({exception_text(err)})") from None


def _encode(
    compressor: Compressor,
    entries: Sequence[Entry],
    empty_dirs: list[str],
    output: str,
    level: int,
    threads: int,
) -> int:
    progress = Progress(sys.stdout.isatty(), len(entries), sum(e.size for e in entries))
    named: list[tuple[InputPath, str]] = [
        (TrackedPath(e.path, e.size, progress), e.name) for e in entries
    ]
    try:
        with progress:
            # The package carries each file's check, mode and time; the files
            # are read as walked: a link or a special file put in the place of
            # one since is refused, not followed or waited on.
            return compressor.encode_named_files(
                named, output, level, threads, checks=True, empty_dirs=empty_dirs,
                follow_links=False,
            )
    except UnicodeDecodeError as err:
        # Checked before packing; only a file changed meanwhile gets here.
        problem = not_utf8_text(err.reason, err.start)
        raise UserError(progress.last_opened, problem) from None
    except OSError as err:
        inputs = {e.path for e in entries}
        where = err.filename if err.filename in inputs else output
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


def _print_summary(
    entries: Sequence[Entry], output: str, compressed: int, seconds: float
) -> None:
    input_bytes = sum(e.size for e in entries)
    out_stat = _stat_or_none(output)
    # A FIFO or device has no size of its own: the compressed stream's stands in.
    regular = out_stat is not None and stat.S_ISREG(out_stat.st_mode)
    package_bytes = out_stat.st_size if out_stat is not None and regular else compressed
    seconds = max(seconds, 1e-9)
    print(
        f"{len(entries)} files, {input_bytes} bytes -> {package_bytes} bytes"
        f" ({percent(package_bytes, input_bytes)}) in {seconds:.2f} s,"
        f" {input_bytes / 1e6 / seconds:.1f} MB/s: {output}"
    )
