"""Reading packages without running code from them.

A package is a pickle, and a pickle can name any callable. The module's
read_package loads it with the same plain-data loader that decode_package
uses (an allow-list of the few globals plain-data pickles name, extension
codes and memo indices beyond the stream refused), so `info` and `unpack`
see a package exactly as restoring would."""

from __future__ import annotations

import os
import pickle

from .report import UserError, counted, os_problem, plural
from .native import bare_compressor

ZSTD_FRAME_MAGIC = b"\x28\xb5\x2f\xfd"
MAX_TOKENS = 1 << 29
MAX_ID = (1 << 31) - 1
# Bytes per token in the raw id stream (one big-endian id each).
RECORD_SIZE = 4


FACTS_KEY = "file_facts"
# The lists of "file_facts" the command reads; the module writes them under
# the same names (tests/test_file_checks.py holds them equal).
FACT_SIZES, FACT_MODES, FACT_MTIMES, FACT_EMPTY_DIRS = "sizes", "modes", "mtimes_ns", "empty_dirs"
FACT_DIGESTS = "digests"


class PackageError(ValueError):
    """A package file that is not a well-formed, plain-data package."""


def stored_facts(package: object, name: str, files: int) -> list[int] | None:
    """One list of the package's file facts ("sizes", "modes", "mtimes_ns"),
    when the package stores it for each of its `files` files."""
    facts = package.get(FACTS_KEY) if type(package) is dict else None
    values = facts.get(name) if type(facts) is dict else None
    if type(values) is list and len(values) == files and all(type(v) is int for v in values):
        return values
    return None


def text_sizes(path: str, package: object, files: int, use_zstd: bool | None = None) -> list[int]:
    """The size in bytes of each file as restored: stored with the package,
    or measured by the module's decoder (which writes nothing). `use_zstd`
    as package_problem takes it."""
    sizes = stored_facts(package, FACT_SIZES, files)
    if sizes is not None:
        return sizes
    try:
        measured: list[int] = bare_compressor().restored_sizes(path, use_zstd is not False)
    except Exception as err:
        raise package_failure(path, err, package, use_zstd) from None
    return measured


def read_package(path: str) -> object:
    """The unpickled package object; UserError when it cannot be loaded."""
    try:
        return bare_compressor().read_package(path)
    except Exception as err:
        raise package_failure(path, err) from None


def read_outline(path: str, count_tokens: bool = True) -> tuple[object, int | None, int | None]:
    """(package, compressed_bytes, dictionary_size): what describing the
    package at `path` needs. The module's read_outline reads its names,
    boundaries and facts natively, walking past the dictionary's entries and
    the id stream (the package it gives holds only the stream's first bytes
    and an empty "global_dict", which judge the package as the whole one
    does); where it does not apply, read_package reads the whole package and
    the two sizes are None (taken from it). Without `count_tokens` the
    dictionary's size is not asked for (None): a listing needs none."""
    try:
        answer = bare_compressor().read_outline(path, count_tokens=count_tokens)
    except Exception as err:
        raise package_failure(path, err) from None
    if answer is None:
        return read_package(path), None, None
    outline, compressed_bytes, dictionary_size = answer
    return outline, compressed_bytes, dictionary_size


# What is wrong with a package, in the words every command and the reading
# API use: a verdict, then its reason. One damage reads the same whichever
# command, and whichever step of it, meets it.
NOT_A_PACKAGE = "is not a package"
DAMAGED = "is damaged"
DAMAGED_OR_NOT = "is damaged or not a package"
NOT_UTF8 = f"{DAMAGED}: a restored text is not UTF-8"
# The reasons a file cannot be loaded as plain data at all, with the verdict
# each gives a package.
EMPTY = "it is empty"
TRUNCATED = "it is truncated (it ends early)"
UNREADABLE = "it cannot be read as one"
_LOAD_VERDICTS = {EMPTY: NOT_A_PACKAGE, TRUNCATED: DAMAGED, UNREADABLE: DAMAGED_OR_NOT}
# The module's own texts speak of "the package"; a line names the file.
_MODULE_OPENINGS = (
    ("the package is ", "is "),
    ("the package's ", "its "),
    ("the package payload holds ", "its id stream holds "),
    ("the package holds ", "holds "),
    ("not a package: ", f"{NOT_A_PACKAGE}: "),
)
# The kinds of plain data a package is made of, in plain words.
_KINDS: dict[type, str] = {
    bool: "a truth value", int: "a number", float: "a number", complex: "a number", str: "text",
    bytes: "bytes", bytearray: "bytes", list: "a list", tuple: "a tuple", dict: "a dict",
    set: "a set", frozenset: "a set", type(None): "nothing",
}
# The keys a plain reader reads (a missing "global_dict" restores every
# token as "<UNK>", as the module does).
PLAIN_KEYS = ("compressed", "file_boundaries", "filenames")


# What package_problem is given for a package its caller has not loaded.
_UNREAD = object()


def package_failure(
    path: str, err: Exception, stored: object = _UNREAD, use_zstd: bool | None = None
) -> UserError:
    """`err`, raised reading or restoring the package at `path`, as one line
    that names the file (see package_problem)."""
    if isinstance(err, OSError):
        return UserError(err.filename if err.filename is not None else path, os_problem(err))
    return UserError(path, package_problem(path, err, stored, use_zstd))


def package_problem(
    path: str, err: Exception, stored: object = _UNREAD, use_zstd: bool | None = None
) -> str:
    """What `err` says about the package at `path` (`stored` as loaded, when
    the caller holds it), in the words above: the module's own texts, and
    the host's failures in words of what they mean for the package. A
    failure after loading is put down to the package's plain parts first,
    when they are wrong (it is loaded again for that). `use_zstd`
    is True where the command offers --raw: the hint is given for a stream
    that does not decompress and that no `ormek pack` wrote."""
    text = str(err)
    reason = load_reason(path, err)
    if reason is not None:
        return f"{_LOAD_VERDICTS[reason]}: {reason}"
    if isinstance(err, MemoryError):
        return "needs more memory than there is to restore"
    if stored is _UNREAD:
        stored = _load_quietly(path)
    shape = shape_problem(stored, every_token=True) if stored is not _UNREAD else None
    if shape is not None:
        return shape
    if type(err).__name__ == "ZstdError":
        made_here = holds_zstd_frame(stored) or (type(stored) is dict and FACTS_KEY in stored)
        hint = "; a package stored without Zstandard needs --raw"
        return f"{DAMAGED}: its compressed id stream does not decompress" + (
            "" if made_here or not use_zstd else hint
        )
    if isinstance(err, UnicodeError):
        return NOT_UTF8
    if isinstance(err, OverflowError) and not text.startswith("the package"):
        # The plain parts are sound by now: the number out of range is an id.
        return f"{DAMAGED}: its id stream holds an id beyond {MAX_ID}"
    if isinstance(err, KeyError) and err.args:
        return f"{NOT_A_PACKAGE}: it lacks the key {err.args[0]!r}"
    if isinstance(err, (TypeError, AttributeError)):
        return f"{DAMAGED_OR_NOT}: {text}"
    for opening, words in _MODULE_OPENINGS:
        if text.startswith(opening):
            return words + text[len(opening):]
    return text or "cannot be read as a package"


def load_reason(path: str, err: Exception) -> str | None:
    """Why the file at `path` could not be loaded as plain data at all (a
    package or a dictionary file), or None when `err` says something else."""
    truncated = isinstance(err, EOFError) or "truncated" in str(err)
    if isinstance(err, (EOFError, pickle.UnpicklingError)) and truncated:
        return EMPTY if _is_empty(path) else TRUNCATED
    if isinstance(err, pickle.UnpicklingError) and not str(err).startswith("refusing"):
        return UNREADABLE
    return None


def _load_quietly(path: str) -> object:
    try:
        return bare_compressor().read_package(path)
    except Exception:
        return _UNREAD


def _is_empty(path: str) -> bool:
    try:
        return os.stat(path).st_size == 0
    except OSError:
        return False


def _kind(value: object) -> str:
    return _KINDS.get(type(value), "something else")


def shape_problem(package: object, every_token: bool = False) -> str | None:
    """What keeps `package` (as loaded) from having a package's plain parts,
    each of the type `ormek pack` writes, its boundaries in order and within
    the record limit; None when it has them. `every_token` looks at each
    entry of its dictionary too (done where restoring failed)."""
    if type(package) is not dict:
        return f"{NOT_A_PACKAGE}: it holds {_kind(package)}, not a package's dict"
    missing = [f'"{key}"' for key in PLAIN_KEYS if key not in package]
    if missing:
        keys = plural(len(missing), "the key", "the keys")
        return f"{NOT_A_PACKAGE}: it lacks {keys} {', '.join(missing)}"
    wrong = _wrong_part(package, every_token)
    if wrong is not None:
        return f"{DAMAGED_OR_NOT}: {wrong}"
    boundaries: list[int] = package["file_boundaries"]
    names = package["filenames"]
    if len(boundaries) != len(names):
        held = counted(len(names), "file name")
        paired = counted(len(boundaries), "file boundary", "file boundaries")
        return f"{DAMAGED}: it holds {held} but {paired}"
    if any(b < a for a, b in zip([0, *boundaries], boundaries)):
        return f'{DAMAGED}: its "file_boundaries" are not in order from 0'
    if boundaries and boundaries[-1] > MAX_TOKENS:
        claimed = boundaries[-1]
        return f"{DAMAGED}: it claims {claimed} tokens, more than a package can hold ({MAX_TOKENS})"
    return None


def _wrong_part(package: dict[object, object], every_token: bool) -> str | None:
    compressed = package["compressed"]
    if not isinstance(compressed, (bytes, bytearray)):
        return f'its "compressed" holds {_kind(compressed)}, not bytes'
    for key, kind, what in (("file_boundaries", int, "a number"), ("filenames", str, "a name")):
        items = package[key]
        if type(items) is not list:
            return f'its "{key}" hold {_kind(items)}, not a list'
        odd = next((item for item in items if type(item) is not kind), _NOTHING)
        if odd is not _NOTHING:
            return f'its "{key}" hold {_kind(odd)} where {what} belongs'
    dictionary = package.get("global_dict", {})
    if type(dictionary) is not dict:
        return f'its "global_dict" holds {_kind(dictionary)}, not a dict'
    if every_token:
        for token, token_id in dictionary.items():
            if type(token) is not str or type(token_id) is not int:
                found = f"{_kind(token)} for {_kind(token_id)}"
                return f'its "global_dict" holds {found}, not text for a number'
    return None


_NOTHING = object()


# How far a package's checks reach, as the module's judge_package and
# check_package answer it: what `info` and `check` say they cover.
NO_CHECKS, FILES_CHECKED, FACTS_CHECKED = 0, 1, 2
CHECKS_COVER = {
    FILES_CHECKED: "each file's name, text and size verified; its mode and time and the"
    " empty directories not: made by an earlier release",
    FACTS_CHECKED: "each file's name, text, size, mode and time, and the empty directories"
    " verified",
}


def judge(path: str, package: object) -> tuple[list[str], int]:
    """The names restoring `package` (read from `path`) would write, and how
    far its checks reach, judged by the module as restoring judges the names
    and file facts before it writes anything (the text is not decompressed).
    A package it refuses is a UserError naming `path`."""
    try:
        names, reach = bare_compressor().judge_package(package)
    except Exception as err:
        raise package_failure(path, err, package) from None
    return names, reach


def empty_dirs(package: object) -> list[str]:
    """The empty directories a judged package stores."""
    facts = package.get(FACTS_KEY) if type(package) is dict else None
    dirs = facts.get(FACT_EMPTY_DIRS) if type(facts) is dict else None
    return dirs if type(dirs) is list else []


RAW_ON_ZSTD = "its payload is a Zstandard frame, which --raw would restore as garbage"


def holds_zstd_frame(package: object) -> bool:
    payload = package.get("compressed") if type(package) is dict else None
    return isinstance(payload, (bytes, bytearray)) and payload[:4] == ZSTD_FRAME_MAGIC


class PackageSummary:
    """What a package holds, taken apart without decompressing it."""

    def __init__(
        self, raw: object, compressed_bytes: int | None = None, dictionary_size: int | None = None
    ) -> None:
        problem = shape_problem(raw)
        if problem is not None or type(raw) is not dict:
            raise PackageError(problem)
        # Its first bytes at least: an outline (read_outline) holds only those.
        self.compressed: bytes | bytearray = raw["compressed"]
        self.compressed_bytes = len(self.compressed) if compressed_bytes is None else compressed_bytes
        self.filenames: list[str] = raw["filenames"]
        boundaries: list[int] = raw["file_boundaries"]
        self.boundaries = boundaries
        self.token_counts = [b - a for a, b in zip([0, *boundaries], boundaries)]
        self.tokens: int = boundaries[-1] if boundaries else 0
        # The whole dictionary where the package was read whole (an
        # outline's is empty: its size is given).
        self.dictionary: dict[str, int] = raw.get("global_dict", {})
        self.dictionary_size = len(self.dictionary) if dictionary_size is None else dictionary_size
        # How far its checks reach, once the module has judged it.
        self.reach: int = NO_CHECKS
        self.empty_dirs: int = len(empty_dirs(raw))

    def frame_content_size(self) -> int | None:
        """The content size the Zstandard frame header records, when it does."""
        try:
            import zstandard

            size = zstandard.frame_content_size(bytes(self.compressed[:18]))
        except Exception:
            return None
        return size if size >= 0 else None
