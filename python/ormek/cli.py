"""The command line: arguments, the commands, exit statuses.

Exit status: 0 on success, 1 on a user error (one line on stderr naming the
file and the problem, no traceback), 2 on bad usage, 128 + N when stopped by
signal N (SIGINT, SIGTERM, SIGHUP)."""

from __future__ import annotations

import argparse
import importlib
import io
import os
import sys
from collections.abc import Callable, Sequence

from .signals import Interrupted, exit_interrupted, install, raise_if_caught
from .undo import run_all as undo_all
from .native import default_of
from .packages import RECORD_SIZE
from .report import (
    NORMAL,
    PROG,
    QUIET,
    STDIO,
    VERBOSE,
    UsageError,
    UserError,
    error_line,
    exception_text,
    printable,
    set_voice,
)

TYPE_CHECKING = False  # typing is for the checkers: see ormek/__init__.py
if TYPE_CHECKING:
    from typing import TypeAlias

DEFAULT_LEVEL = default_of("encode_named_files", "zstd_level")
DEFAULT_THREADS = default_of("encode_named_files", "threads")
EPILOG = "Exit status: 0 success, 1 error, 2 bad usage, 128+N stopped by signal N."
PACKAGE_HELP = "package to read, - for standard input"

Command: TypeAlias = Callable[[argparse.Namespace], int]


def _deferred(module: str, function: str) -> Command:
    """The command `function` of `module`, imported when it runs: one
    command's modules (pack's walk, cat's reading API) are a noticeable share
    of a short run of another."""

    def run(args: argparse.Namespace) -> int:
        command: Command = getattr(importlib.import_module(module, __package__), function)
        return command(args)

    return run


class _ShowVersion(argparse.Action):
    """--version, as argparse's own prints it, the installed version looked
    up only when asked (the lookup's imports cost every run some 40 ms)."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS) -> None:
        super().__init__(
            option_strings,
            dest=dest,
            default=argparse.SUPPRESS,
            nargs=0,
            help="show program's version number and exit",
        )

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: object,
        option_string: str | None = None,
    ) -> None:
        formatter = parser._get_formatter()
        formatter.add_text(f"{parser.prog} (ormek_compressor {_version()})")
        parser._print_message(formatter.format_help(), sys.stdout)
        parser.exit()


def main(argv: Sequence[str] | None = None) -> int:
    install()
    try:
        status = _main(argv)
        raise_if_caught()
        return status
    except Interrupted as stop:
        undo_all()
        exit_interrupted(stop.signum)


def _main(argv: Sequence[str] | None) -> int:
    if isinstance(sys.stdout, io.TextIOWrapper):
        # Names that the output encoding cannot show come out escaped, never
        # as a crash half-way through a listing.
        sys.stdout.reconfigure(errors="backslashreplace")
    args = _parse(build_parser(), argv)
    try:
        status = _run(args)
        if sys.stdout is not None:
            sys.stdout.flush()
        return status
    except UsageError as err:
        command_parser: argparse.ArgumentParser = args.parser
        command_parser.error(printable(str(err)))
    except UserError as err:
        error_line(str(err))
        return 1
    except BrokenPipeError:
        # The reader went away (e.g. `ormek info ... | head`): nothing to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as err:
        # Still one line: a shell user gets the failure, not a traceback.
        error_line(f"{args.command}: {exception_text(err)}")
        return 1


def _parse(parser: argparse.ArgumentParser, argv: Sequence[str] | None) -> argparse.Namespace:
    """The arguments; an option the command does not know is reported with
    the command's own usage, not the top level's."""
    args, unknown = parser.parse_known_args(argv)
    _settle_voice(args)
    names: list[str] | None = getattr(args, "names", None)
    if names is not None and not any(item.startswith("-") for item in unknown):
        # NAMEs after an option (`unpack PKG -d DIR NAME`): argparse has
        # closed the list of positionals by then.
        names += unknown
    elif unknown:
        command_parser: argparse.ArgumentParser = getattr(args, "parser", parser)
        command_parser.error(printable(f"unrecognized arguments: {' '.join(unknown)}"))
    return args


def _settle_voice(args: argparse.Namespace) -> None:
    """-v or -q given before the command (`ormek -v list PKG`) or after it;
    both places may name the same one, never contradict each other."""
    before: int | None = args.voice_before
    after: int | None = args.voice
    if before is not None and after is not None and before != after:
        command_parser: argparse.ArgumentParser = args.parser
        command_parser.error("-v (--verbose) and -q (--quiet) exclude each other")
    args.voice = next((voice for voice in (after, before) if voice is not None), NORMAL)


def _run(args: argparse.Namespace) -> int:
    try:
        set_voice(args.voice)
        if sys.stdout is None and (args.voice >= NORMAL or getattr(args, "output", None) == STDIO):
            # The host leaves sys.stdout None when descriptor 1 is closed.
            raise UserError(None, "standard output is closed")
        if getattr(args, "package", None) == STDIO:
            from .pipe import spool_stdin

            args.package = spool_stdin()
        status: int = args.run(args)
        return status
    finally:
        undo_all()  # what is left: private files (a command that succeeded undoes nothing)


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
        description="Pack UTF-8 text files and directory trees into one token-dictionary"
        " package compressed with Zstandard, restore them, or describe a package.",
        epilog=EPILOG,
    )
    parser.add_argument("--version", action=_ShowVersion)
    _add_voice(parser, "name every file (see each command's -v)", dest="voice_before")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    _add_pack(commands)
    _add_unpack(commands)
    _add_package_commands(commands)
    _add_cat(commands)
    return parser


def _add_raw(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--raw",
        action="store_true",
        help="the id stream is stored without Zstandard (use_zstd false)",
    )


def _add_voice(command: argparse.ArgumentParser, verbose_help: str, dest: str = "voice") -> None:
    """-v and -q, which every command has, and which are also taken before
    the command (`dest` "voice_before")."""
    voice = command.add_mutually_exclusive_group()
    voice.add_argument(
        "-v", "--verbose", dest=dest, action="store_const", const=VERBOSE, help=verbose_help
    )
    voice.add_argument(
        "-q", "--quiet", dest=dest, action="store_const", const=QUIET, help="print errors only"
    )


# argparse reflows a description: its line breaks are layout only.
PACK_DESCRIPTION = """\
Pack text files into PACKAGE. A file is stored under its base name; a directory contributes
its regular files, recursively, in sorted order, each stored under its path from the
directory's parent (src/pkg/a.py); symbolic links, special files and files that are not
UTF-8 are skipped and counted. Names that clash are refused. Text is read as UTF-8 in text
mode, so CR LF and lone CR line ends are stored as LF: for files whose bytes must come back
exactly (CR LF, not UTF-8), use tar. Without --dict a pack starts from an empty dictionary.
"""

UNPACK_DESCRIPTION = """\
Restore the files of PACKAGE into DIR, creating DIR and the directories of stored names;
with NAMEs, only those files, a directory's name taking every file under it (a NAME the
package does not hold is an error, before anything is written). Refuses to replace existing
files unless --force is given, never writes through a symbolic link, and leaves no partial
file when it fails. Text is written as stored, with LF line ends. The package is loaded as
plain data only, and stored names that would land outside DIR are refused before anything is
written.
"""

CAT_DESCRIPTION = """\
Write the text of each named file of PACKAGE to standard output, in the order given, as
UTF-8 with LF line ends (as unpack writes it). A NAME the package does not hold is an
error, before anything is printed; so is a package that fails its checks. Writes no file
and runs no code from the package.
"""

Subparsers: TypeAlias = "argparse._SubParsersAction[argparse.ArgumentParser]"


def _subcommand(
    commands: Subparsers, name: str, summary: str, description: str
) -> argparse.ArgumentParser:
    return commands.add_parser(name, help=summary, description=description, epilog=EPILOG)


def _add_pack(commands: Subparsers) -> None:
    pack = _subcommand(commands, "pack", "pack files and directory trees into a package", PACK_DESCRIPTION)
    pack.add_argument("paths", nargs="+", metavar="PATH", help="a text file or a directory")
    pack.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="PACKAGE",
        help="package to write, - for standard output (every message then goes to stderr)",
    )
    pack.add_argument(
        "--dict",
        metavar="FILE",
        help="dictionary file to start from (when it exists) and to save, replaced together"
        " with the package (default: none; start from an empty dictionary). The package"
        " carries only the tokens of its own files, under FILE's ids; FILE keeps the tokens"
        " of every pack made with it (names, keys, anything in those files): share it only"
        " between people who may read all those files.",
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
        help="Zstandard worker threads, 0 for none, -1 for one per CPU"
        f" (default: {DEFAULT_THREADS})",
    )
    pack.add_argument(
        "--no-save-dict",
        action="store_true",
        help="leave the --dict file as it was (the package still carries its dictionary)",
    )
    pack.add_argument(
        "--strict",
        action="store_true",
        help="refuse to pack when anything would be skipped (links, special files, not UTF-8)",
    )
    _add_voice(pack, "name every file taken, and every file skipped with its reason")
    pack.set_defaults(run=_deferred(".pack", "command_pack"), parser=pack)


def _add_unpack(commands: Subparsers) -> None:
    unpack = _subcommand(commands, "unpack", "restore the files of a package into a directory", UNPACK_DESCRIPTION)
    unpack.add_argument("package", metavar="PACKAGE", help=PACKAGE_HELP)
    unpack.add_argument(
        "names", nargs="*", metavar="NAME", help="a stored file name or directory to restore"
    )
    unpack.add_argument("-d", "--directory", required=True, metavar="DIR", help="output directory")
    _add_raw(unpack)
    # The older name of -v.
    unpack.add_argument("--list", dest="voice", action="store_const", const=VERBOSE,
                        help=argparse.SUPPRESS)
    unpack.add_argument(
        "--force", action="store_true", help="replace existing regular files of the same names"
    )
    _add_voice(unpack, "name every file restored")
    unpack.set_defaults(run=_deferred(".unpack", "command_unpack"), parser=unpack)


def _add_cat(commands: Subparsers) -> None:
    cat = _subcommand(commands, "cat", "write the text of files of a package to standard output",
                      CAT_DESCRIPTION)
    cat.add_argument("package", metavar="PACKAGE", help=PACKAGE_HELP)
    cat.add_argument("names", nargs="+", metavar="NAME", help="a stored file name")
    _add_raw(cat)
    _add_voice(cat, "name every file on stderr before its text")
    cat.set_defaults(run=_deferred(".cat", "command_cat"), parser=cat)


def _add_package_commands(commands: Subparsers) -> None:
    """The subcommands that read one PACKAGE and write no file."""
    table = (
        # name, help, description, -v's help, run, --raw applies
        ("list", "list the files of a package with their sizes",
         "List the files of PACKAGE, one line each: permission bits and modification time where"
         " the package stores them, size in bytes as restored, and name. Writes no file and runs"
         " no code from the package.",
         "the same as without it", _deferred(".listing", "command_list"), True),
        ("info", "describe a package without restoring it",
         "Show the files of PACKAGE with their token counts, the dictionary size, the package's"
         " size against the bytes of text it holds, and the compressed id stream's size against"
         f" the raw id stream ({RECORD_SIZE} bytes a token). Writes no file and runs no code from"
         " the package.",
         "the same as without it", _deferred(".info", "command_info"), False),
        ("check", "test that a package restores what was packed, writing nothing",
         "Restore every file of PACKAGE in memory and compare it with the check the package"
         " carries for it. Exit status 0 when the package is intact, 1 when it is damaged or"
         " cannot be read. A package made without checks is restored in memory all the same"
         " (exit status 0 when it restores), but its text cannot be verified.",
         "name every file checked", _deferred(".check", "command_check"), True),
    )
    for name, summary, description, verbose_help, run, raw in table:
        command = _subcommand(commands, name, summary, description)
        command.add_argument("package", metavar="PACKAGE", help=PACKAGE_HELP)
        if raw:
            _add_raw(command)
        if name == "info":
            command.add_argument("--json", action="store_true", help="print one JSON object (UTF-8)")
        _add_voice(command, verbose_help)
        command.set_defaults(run=run, parser=command)


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("ormek_compressor")
    except Exception:
        return "unknown"
