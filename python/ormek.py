"""The ``ormek`` command: pack text files into a package, unpack it, describe it.

    ormek pack PATH... -o PACKAGE [--dict FILE] [--level N] [--threads N] [--no-save-dict]
    ormek unpack PACKAGE -d DIR [--raw] [--list]
    ormek info PACKAGE [--json]

Exit status: 0 on success, 1 on a user error (one line on stderr naming the
file and the problem), 2 on bad usage.  ``python -m ormek`` runs the same.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import pickle
import stat
import struct
import sys
import tempfile
import threading
import time
import warnings
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

with warnings.catch_warnings():
    # The extension warns at import when it runs on another minor version
    # than it was built for, and a free-threaded host warns that the module
    # turns the GIL back on; neither is news to a shell user, and both would
    # add lines to a stderr that promises one line per error.
    warnings.filterwarnings("ignore", message="compile time Python version", category=RuntimeWarning)
    warnings.filterwarnings("ignore", message="The global interpreter lock", category=RuntimeWarning)
    import ormek_compressor

__all__ = ["main", "load_package_safely", "PackageError"]

PROG = "ormek"
DEFAULT_DICT = "larkmoor_dict.bin"
DEFAULT_LEVEL = 6
DEFAULT_THREADS = 4
# Progress appears only once a pack has run this long: short runs stay quiet.
PROGRESS_DELAY = 2.0
PROGRESS_INTERVAL = 0.25
UNPACK_LIST_LIMIT = 20


class UserError(Exception):
    """A problem the user can fix; reported as one line, exit status 1."""

    def __init__(self, where: object, problem: str) -> None:
        super().__init__(f"{_show(where)}: {problem}")


class PackageError(ValueError):
    """A package file that is not a well-formed, plain-data package."""


def _show(path: object) -> str:
    if isinstance(path, os.PathLike):
        path = os.fspath(path)
    if isinstance(path, bytes):
        return os.fsdecode(path)
    return str(path)


def _os_problem(err: OSError) -> str:
    return err.strerror or str(err) or type(err).__name__


def _exception_text(err: BaseException) -> str:
    text = str(err)
    if isinstance(err, KeyError) and err.args:
        text = f"missing key {err.args[0]!r}"
    return f"{type(err).__name__}: {text}" if text else type(err).__name__


def _ratio_text(part: int, whole: int) -> str:
    return f"{100.0 * part / whole:.1f}%" if whole else "n/a"


# --------------------------------------------------------------------------
# Reading packages without running code from them
# --------------------------------------------------------------------------
# A package is a pickle, and a pickle can name any callable.  `info` and the
# check that `unpack` runs first use an unpickler that resolves only the few
# globals that plain-data pickles of protocols 0 to 5 name (bytes, sets and
# friends at the lower protocols), each behind a guard that accepts only the
# arguments the pickler itself writes.


class _Refused(pickle.UnpicklingError):
    """A package that names something a plain-data pickle never needs."""


def _unpickling_refused(what: str) -> NoReturn:
    raise _Refused(f"refused {what}")


def _plain_bytes(*args: object) -> bytes:
    if not args:
        return b""
    if len(args) == 1 and isinstance(args[0], (bytes, bytearray)):
        return bytes(args[0])
    _unpickling_refused("bytes() arguments")


def _plain_bytearray(*args: object) -> bytearray:
    if not args:
        return bytearray()
    if len(args) == 1 and isinstance(args[0], (bytes, bytearray)):
        return bytearray(args[0])
    if len(args) == 2 and isinstance(args[0], str) and args[1] in ("latin1", "latin-1"):
        return bytearray(args[0], "latin-1")
    _unpickling_refused("bytearray() arguments")


def _plain_latin1_encode(*args: object) -> bytes:
    # Protocols 0 to 2 write bytes as _codecs.encode(text, "latin1"); no other
    # codec is reached through a package.
    if len(args) == 2 and isinstance(args[0], str) and args[1] in ("latin1", "latin-1"):
        return args[0].encode("latin-1")
    _unpickling_refused("_codecs.encode() arguments")


def _plain_set(*args: object) -> set[Any]:
    if not args:
        return set()
    if len(args) == 1 and isinstance(args[0], (list, tuple)):
        return set(args[0])
    _unpickling_refused("set() arguments")


def _plain_frozenset(*args: object) -> frozenset[Any]:
    if not args:
        return frozenset()
    if len(args) == 1 and isinstance(args[0], (list, tuple)):
        return frozenset(args[0])
    _unpickling_refused("frozenset() arguments")


def _plain_complex(*args: object) -> complex:
    if len(args) == 2 and all(type(a) is float for a in args):
        real, imag = args
        assert isinstance(real, float) and isinstance(imag, float)
        return complex(real, imag)
    _unpickling_refused("complex() arguments")


_PLAIN_GLOBALS: dict[str, Callable[..., object]] = {
    "bytes": _plain_bytes,
    "bytearray": _plain_bytearray,
    "set": _plain_set,
    "frozenset": _plain_frozenset,
    "complex": _plain_complex,
}


def _find_plain_global(module: str, name: str) -> Callable[..., object]:
    # Streams of protocols 0 to 2 say "__builtin__"; this override sees the
    # names before any import fix-up.
    if module in ("builtins", "__builtin__") and name in _PLAIN_GLOBALS:
        return _PLAIN_GLOBALS[name]
    if module == "_codecs" and name == "encode":
        return _plain_latin1_encode
    _unpickling_refused(f"global '{module}.{name}'")


class _OpcodeTable(dict[int, Callable[[Any], None]]):
    def __missing__(self, opcode: int) -> NoReturn:
        raise pickle.UnpicklingError(f"invalid opcode {bytes([opcode])!r}")


def _refuse_extension(_unpickler: object) -> NoReturn:
    _unpickling_refused("EXT opcode")


class _PlainPyUnpickler(pickle._Unpickler):
    """The slow unpickler, with the three EXT opcodes refused outright."""

    dispatch = _OpcodeTable(pickle._Unpickler.dispatch)
    for _op in (pickle.EXT1, pickle.EXT2, pickle.EXT4):
        dispatch[_op[0]] = _refuse_extension
    del _op

    def find_class(self, module: str, name: str) -> Any:
        return _find_plain_global(module, name)

    def persistent_load(self, pid: Any) -> NoReturn:
        _unpickling_refused("persistent id")


def _plain_load_prefix(data: bytes) -> tuple[object, int]:
    # The pure-Python unpickler, about five times slower than the C one, on
    # purpose: the C one grows its memo array to whatever index a memo store
    # names (one altered byte makes it allocate and clear gigabytes), and it
    # resolves an extension code that anything in the process registered from
    # a cache without asking find_class.  Here the memo is a dict and the EXT
    # opcodes are refused.  Reading from memory also keeps a forged length
    # from making a file read allocate that much up front.
    stream = io.BytesIO(data)
    return _PlainPyUnpickler(stream).load(), stream.tell()


class PackageSummary:
    """What a package holds, taken apart without decompressing it."""

    def __init__(self, raw: object) -> None:
        if type(raw) is not dict:
            raise PackageError(f"holds a {type(raw).__name__}, not a package dict")
        for key in ("compressed", "file_boundaries", "filenames"):
            if key not in raw:
                raise PackageError(f"missing key '{key}'")
        compressed = raw["compressed"]
        boundaries = raw["file_boundaries"]
        names = raw["filenames"]
        dictionary = raw.get("global_dict", {})
        if not isinstance(compressed, (bytes, bytearray)):
            raise PackageError(f"'compressed' is a {type(compressed).__name__}, not bytes")
        if type(boundaries) is not list or not all(type(b) is int for b in boundaries):
            raise PackageError("'file_boundaries' is not a list of integers")
        if type(names) is not list:
            raise PackageError(f"'filenames' is a {type(names).__name__}, not a list")
        if len(boundaries) != len(names):
            raise PackageError(
                f"{len(names)} file names but {len(boundaries)} file boundaries"
            )
        previous = 0
        counts: list[int] = []
        for boundary in boundaries:
            if boundary < previous:
                raise PackageError("'file_boundaries' is not non-decreasing from 0")
            counts.append(boundary - previous)
            previous = boundary
        if previous > (1 << 29):
            raise PackageError(f"{previous} tokens, more than a package can hold (2^29)")
        if not isinstance(dictionary, dict):
            raise PackageError(f"'global_dict' is a {type(dictionary).__name__}, not a dict")
        self.compressed: bytes = bytes(compressed)
        self.filenames: list[object] = names
        self.token_counts: list[int] = counts
        self.tokens: int = previous
        self.dictionary_size: int = len(dictionary)

    def frame_content_size(self) -> int | None:
        """The content size the Zstandard frame header records, when it does."""
        try:
            import zstandard

            size = zstandard.frame_content_size(self.compressed)
        except Exception:
            return None
        return size if size >= 0 else None


def load_package_safely(path: str) -> PackageSummary:
    """Read a package with the plain-data unpickler and check its layout.
    Raises OSError for the file, PackageError for its content."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        raw, end = _plain_load_prefix(data)
    except _Refused as err:
        raise PackageError(f"not a plain-data package ({err})") from None
    except (EOFError, struct.error):
        # struct.error: a length or argument field cut off by the end of data.
        raise PackageError("not a package pickle (it ends early)") from None
    except (pickle.UnpicklingError, ValueError, TypeError, KeyError, IndexError,
            AttributeError) as err:
        raise PackageError(f"not a package pickle ({_exception_text(err)})") from None
    except (MemoryError, RecursionError):
        raise PackageError("not a package pickle (too large or too deep to load)") from None
    if end != len(data):
        raise PackageError("data follows the pickle stream")
    return PackageSummary(raw)


# --------------------------------------------------------------------------
# pack
# --------------------------------------------------------------------------


def _same_file(a: os.stat_result, b: os.stat_result | None) -> bool:
    return b is not None and (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def _stat_or_none(path: str) -> os.stat_result | None:
    try:
        return os.stat(path)
    except OSError:
        return None


def _collect_inputs(
    paths: Sequence[str], skip: Sequence[os.stat_result | None]
) -> list[tuple[str, int]]:
    """Each input file with its size: files as given, directories walked for
    their regular files in sorted order.  Inside a directory, the package
    being written and the dictionary file are left out (packing a directory
    that holds them is the usual case), as are symbolic links and special
    files."""
    found: list[tuple[str, int]] = []
    for path in paths:
        try:
            st = os.stat(path)
        except OSError as err:
            raise UserError(path, _os_problem(err)) from None
        if stat.S_ISDIR(st.st_mode):
            found.extend(_walk_directory(path, skip))
        elif stat.S_ISREG(st.st_mode):
            found.append((path, st.st_size))
        else:
            raise UserError(path, "not a regular file or directory")
    return found


def _walk_directory(
    top: str, skip: Sequence[os.stat_result | None]
) -> list[tuple[str, int]]:
    def fail(err: OSError) -> NoReturn:
        raise UserError(err.filename or top, _os_problem(err))

    found: list[tuple[str, int]] = []
    for root, _dirs, files in os.walk(top, onerror=fail):
        for name in files:
            path = os.path.join(root, name)
            try:
                st = os.lstat(path)
            except OSError as err:
                raise UserError(path, _os_problem(err)) from None
            if not stat.S_ISREG(st.st_mode) or any(_same_file(st, s) for s in skip):
                continue
            found.append((path, st.st_size))
    # Sorted by path below `top` component-wise, the same on every file system.
    found.sort(key=lambda item: os.path.relpath(item[0], top).split(os.sep))
    return found


def _clashes(files: Sequence[tuple[str, int]]) -> list[list[str]]:
    by_name: dict[str, list[str]] = {}
    for path, _ in files:
        by_name.setdefault(os.path.basename(path), []).append(path)
    return [group for group in by_name.values() if len(group) > 1]


class _Progress:
    """A status line on a terminal for packs that run long.  A ticker thread
    draws it; the path objects handed to encode_files tell it how far
    reading has got, since the module opens each path through __fspath__."""

    def __init__(self, enabled: bool, total_files: int, total_bytes: int) -> None:
        self.enabled = enabled
        self.total_files = total_files
        self.total_bytes = total_bytes
        self.files_read = 0
        self.bytes_read = 0
        self.start = time.monotonic()
        self.shown = False
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def __enter__(self) -> _Progress:
        if self.enabled:
            self._thread = threading.Thread(target=self._tick, name="ormek-progress", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        if self.shown:
            sys.stdout.write("\r\x1b[K")
            sys.stdout.flush()

    def _tick(self) -> None:
        while not self._stop.wait(PROGRESS_INTERVAL):
            elapsed = time.monotonic() - self.start
            if elapsed < PROGRESS_DELAY:
                continue
            if self.files_read < self.total_files:
                line = (
                    f"reading files: {self.files_read}/{self.total_files}"
                    f" ({self.bytes_read / 1e6:.1f}/{self.total_bytes / 1e6:.1f} MB)"
                )
            else:
                line = f"packing {self.total_files} files ({self.total_bytes / 1e6:.1f} MB)"
            try:
                sys.stdout.write(f"\r\x1b[K{line}  {elapsed:.0f} s")
                sys.stdout.flush()
            except (OSError, ValueError):
                return
            self.shown = True


class _TrackedPath(os.PathLike[str]):
    """An input path that records when the module opens it: the first
    __fspath__ call on it is the open of that file."""

    __slots__ = ("path", "size", "progress", "tracker")

    def __init__(self, path: str, size: int, progress: _Progress, tracker: list[str]) -> None:
        self.path = path
        self.size = size
        self.progress = progress
        self.tracker = tracker

    def __fspath__(self) -> str:
        if self.size >= 0:
            self.progress.files_read += 1
            self.progress.bytes_read += self.size
            self.tracker[0] = self.path
            self.size = -1
        return self.path

    def __repr__(self) -> str:
        return repr(self.path)


def _output_mode(output: str, existing: os.stat_result | None) -> int:
    if existing is not None and stat.S_ISREG(existing.st_mode):
        return stat.S_IMODE(existing.st_mode)
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _command_pack(args: argparse.Namespace) -> int:
    started = time.monotonic()
    output: str = args.output
    dict_path: str = args.dict
    out_stat = _stat_or_none(output)
    if out_stat is not None and stat.S_ISDIR(out_stat.st_mode):
        raise UserError(output, "is a directory")
    files = _collect_inputs(args.paths, [out_stat, _stat_or_none(dict_path)])
    clashes = _clashes(files)
    if clashes:
        listed = "; ".join(", ".join(group) for group in clashes)
        raise UserError(
            output,
            f"refusing to pack inputs that share a base name (a package keeps base names"
            f" only, so they would overwrite each other on unpack): {listed}",
        )
    input_bytes = sum(size for _, size in files)

    try:
        compressor = ormek_compressor.OrmekCompressor(dict_path)
    except OSError as err:
        raise UserError(dict_path, f"cannot read dictionary file: {_os_problem(err)}") from None
    except Exception as err:
        raise UserError(dict_path, f"not a dictionary file ({_exception_text(err)})") from None

    # The package goes to a temporary file beside its target and replaces the
    # target only once it is complete, so a failed pack never leaves a cut-off
    # package or destroys an earlier one.  Non-regular targets (a device, a
    # FIFO) are written in place, as renaming over them would replace the node.
    in_place = out_stat is not None and not stat.S_ISREG(out_stat.st_mode)
    target = output
    if not in_place:
        try:
            fd, target = tempfile.mkstemp(
                prefix=".ormek-", suffix=".tmp", dir=os.path.dirname(output) or "."
            )
            os.close(fd)
        except OSError as err:
            raise UserError(output, f"cannot write: {_os_problem(err)}") from None

    progress = _Progress(sys.stdout.isatty(), len(files), input_bytes)
    opened = [""]
    tracked: list[Any] = [_TrackedPath(path, size, progress, opened) for path, size in files]
    try:
        try:
            with progress:
                compressed = compressor.encode_files(tracked, target, args.level, args.threads)
        except UnicodeDecodeError as err:
            raise UserError(opened[0], f"not UTF-8 text ({err.reason} at byte {err.start})") from None
        except OSError as err:
            where = err.filename if err.filename is not None else output
            if _show(where) == target:
                where = output
            raise UserError(where, _os_problem(err)) from None
        except Exception as err:
            raise UserError(output, f"packing failed ({_exception_text(err)})") from None
        if not in_place:
            try:
                os.chmod(target, _output_mode(output, out_stat))
                os.replace(target, output)
            except OSError as err:
                raise UserError(output, f"cannot write: {_os_problem(err)}") from None
    finally:
        if not in_place and os.path.lexists(target):
            try:
                os.unlink(target)
            except OSError:
                pass

    if not args.no_save_dict:
        try:
            compressor.save_dict()
        except OSError as err:
            raise UserError(dict_path, f"cannot save dictionary: {_os_problem(err)}") from None
        except Exception as err:
            raise UserError(dict_path, f"cannot save dictionary ({_exception_text(err)})") from None

    package_bytes = os.stat(output).st_size if not in_place else compressed
    seconds = max(time.monotonic() - started, 1e-9)
    print(
        f"{len(files)} files, {input_bytes} bytes -> {package_bytes} bytes"
        f" ({_ratio_text(package_bytes, input_bytes)}) in {seconds:.2f} s,"
        f" {input_bytes / 1e6 / seconds:.1f} MB/s: {output}"
    )
    return 0


# --------------------------------------------------------------------------
# unpack
# --------------------------------------------------------------------------


def _check_package(package: str) -> PackageSummary:
    try:
        summary = load_package_safely(package)
    except OSError as err:
        raise UserError(package, _os_problem(err)) from None
    except PackageError as err:
        raise UserError(package, str(err)) from None
    return summary


def _command_unpack(args: argparse.Namespace) -> int:
    package: str = args.package
    out_dir: str = args.directory
    # No check of our own first: decode_package itself loads a package as
    # plain data (allow-listed globals, no extension codes, no memo index
    # beyond the stream) and refuses stored names that would land outside
    # output_dir before it creates it. A second, pure-Python load here would
    # only double the time of a large unpack.
    # A bare instance: unpacking needs no dictionary file, and the package
    # brings its own dictionary.
    compressor = ormek_compressor.OrmekCompressor.__new__(ormek_compressor.OrmekCompressor)
    try:
        names = compressor.decode_package(package, out_dir, not args.raw)
    except OSError as err:
        where = err.filename if err.filename is not None else package
        raise UserError(where, _os_problem(err)) from None
    except Exception as err:
        problem = _exception_text(err)
        if type(err).__name__ == "ZstdError":
            problem = f"cannot decompress ({err}); a package stored with --raw needs --raw"
        raise UserError(package, f"unpacking failed ({problem})") from None

    if type(names) is list and len(set(map(repr, names))) != len(names):
        # Not written by `ormek pack`, which refuses clashing base names.
        repeated = sorted({repr(n) for n in names if names.count(n) > 1})
        raise UserError(
            package,
            f"stored names repeat ({', '.join(repeated)}): each later file replaced the earlier"
            f" one of its name in {out_dir}",
        )
    if args.list:
        for name in names:
            print(name)
    else:
        print(f"{len(names)} files restored into {out_dir}")
    return 0


# --------------------------------------------------------------------------
# info
# --------------------------------------------------------------------------


def _command_info(args: argparse.Namespace) -> int:
    package: str = args.package
    summary = _check_package(package)
    try:
        package_bytes = os.stat(package).st_size
    except OSError as err:
        raise UserError(package, _os_problem(err)) from None
    raw_bytes = 4 * summary.tokens
    compressed = len(summary.compressed)
    content = summary.frame_content_size()
    report: dict[str, Any] = {
        "package": package,
        "package_bytes": package_bytes,
        "files": len(summary.filenames),
        "tokens": summary.tokens,
        "dictionary_size": summary.dictionary_size,
        "compressed_bytes": compressed,
        "raw_bytes": raw_bytes,
        "frame_content_bytes": content,
        "ratio": compressed / raw_bytes if raw_bytes else None,
        "file_tokens": [
            {"name": name if isinstance(name, str) else repr(name), "tokens": count}
            for name, count in zip(summary.filenames, summary.token_counts)
        ],
    }
    if args.json:
        json.dump(report, sys.stdout, indent=2, ensure_ascii=False)
        sys.stdout.write("\n")
        return 0
    lines = [
        f"package:     {package} ({package_bytes} bytes)",
        f"files:       {report['files']}",
        f"tokens:      {summary.tokens}",
        f"dictionary:  {summary.dictionary_size} tokens",
        f"compressed:  {compressed} bytes of {raw_bytes} raw id bytes"
        f" ({_ratio_text(compressed, raw_bytes)})",
    ]
    if content is not None and content != raw_bytes:
        lines.append(f"warning:     the frame holds {content} bytes, the boundaries need {raw_bytes}")
    if summary.filenames:
        width = max(6, len(str(max(summary.token_counts, default=0))))
        lines.append(f"{'tokens':>{width}}  name")
        lines.extend(
            f"{entry['tokens']:>{width}}  {entry['name']}" for entry in report["file_tokens"]
        )
    print("\n".join(lines))
    return 0


# --------------------------------------------------------------------------
# command line
# --------------------------------------------------------------------------


def _int_in(low: int, high: int) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is outside {low}..{high}")
        return value

    return convert


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Pack UTF-8 text files into one token-dictionary package compressed"
        " with Zstandard, restore them, or describe a package.",
    )
    parser.add_argument(
        "--version", action="version", version=f"%(prog)s (ormek_compressor {_version()})"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    pack = commands.add_parser(
        "pack",
        help="pack files and directories into a package",
        description="Pack text files into PACKAGE. A directory contributes its regular files,"
        " recursively, in sorted order. Text is read as UTF-8 in text mode, so CR LF and lone"
        " CR line ends are stored as LF. Packages keep base names only: inputs that share one"
        " are refused. The dictionary file is read first and saved after packing.",
    )
    pack.add_argument("paths", nargs="+", metavar="PATH", help="a text file or a directory")
    pack.add_argument("-o", "--output", required=True, metavar="PACKAGE", help="package to write")
    pack.add_argument(
        "--dict",
        default=DEFAULT_DICT,
        metavar="FILE",
        help=f"dictionary file to use and update (default: {DEFAULT_DICT} in the current directory)",
    )
    pack.add_argument(
        "--level",
        type=_int_in(-(1 << 17), 22),
        default=DEFAULT_LEVEL,
        metavar="N",
        help=f"Zstandard level (default: {DEFAULT_LEVEL})",
    )
    pack.add_argument(
        "--threads",
        type=_int_in(-1, 256),
        default=DEFAULT_THREADS,
        metavar="N",
        help=f"Zstandard worker threads, 0 for none, -1 for one per CPU (default: {DEFAULT_THREADS})",
    )
    pack.add_argument(
        "--no-save-dict",
        action="store_true",
        help="leave the dictionary file as it was (the package still carries its dictionary)",
    )
    pack.set_defaults(run=_command_pack)

    unpack = commands.add_parser(
        "unpack",
        help="restore the files of a package into a directory",
        description="Restore the files of PACKAGE into DIR (created when missing; files of the"
        " same names are replaced). Text is written as stored, with LF line ends. The package"
        " is loaded as plain data only, and stored names that would land outside DIR are"
        " refused before anything is written.",
    )
    unpack.add_argument("package", metavar="PACKAGE", help="package to read")
    unpack.add_argument("-d", "--directory", required=True, metavar="DIR", help="output directory")
    unpack.add_argument(
        "--raw", action="store_true", help="the id stream is stored without Zstandard (use_zstd false)"
    )
    unpack.add_argument("--list", action="store_true", help="print each restored name")
    unpack.set_defaults(run=_command_unpack)

    info = commands.add_parser(
        "info",
        help="describe a package without restoring it",
        description="Show the files of PACKAGE with their token counts, the dictionary size, the"
        " compressed size and its ratio to the raw id stream (4 bytes a token). Writes no file"
        " and runs no code from the package.",
    )
    info.add_argument("package", metavar="PACKAGE", help="package to read")
    info.add_argument("--json", action="store_true", help="print one JSON object")
    info.set_defaults(run=_command_info)
    return parser


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("ormek_compressor")
    except Exception:
        return "unknown"


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        result: int = args.run(args)
        sys.stdout.flush()
        return result
    except UserError as err:
        print(f"{PROG}: error: {err}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `ormek info ... | head`): nothing to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as err:
        # Still one line: a shell user gets the failure, not a traceback.
        print(f"{PROG}: error: {args.command}: {_exception_text(err)}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
