"""Reading packages without running code from them.

A package is a pickle, and a pickle can name any callable. The module's
read_package loads it with the same plain-data loader that decode_package
uses (an allow-list of the few globals plain-data pickles name, extension
codes and memo indices beyond the stream refused), so `info` and `unpack`
see a package exactly as restoring would."""

from __future__ import annotations

import os
import pickle

from .report import UserError, os_problem
from .native import bare_compressor

ZSTD_FRAME_MAGIC = b"\x28\xb5\x2f\xfd"
MAX_TOKENS = 1 << 29
# Bytes per token in the raw id stream (one big-endian id each).
RECORD_SIZE = 4


FACTS_KEY = "file_facts"


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


def text_sizes(path: str, package: object, files: int, use_zstd: bool = True) -> list[int]:
    """The size in bytes of each file as restored: stored with the package,
    or measured by the module's decoder (which writes nothing)."""
    sizes = stored_facts(package, "sizes", files)
    if sizes is not None:
        return sizes
    try:
        measured: list[int] = bare_compressor().restored_sizes(path, use_zstd)
    except Exception as err:
        raise package_failure(path, err) from None
    return measured


def read_package(path: str) -> object:
    """The unpickled package object; UserError when it cannot be loaded."""
    try:
        return bare_compressor().read_package(path)
    except Exception as err:
        raise package_failure(path, err) from None


def package_failure(path: str, err: Exception) -> UserError:
    """What went wrong with the package at `path`, as one plain line that
    names the file: the module's own texts as they are, the host's failures
    (a pickle that ends early or cannot be read, a frame that does not
    decompress) in words of what they mean for the package."""
    if isinstance(err, OSError):
        where = err.filename if err.filename is not None else path
        return UserError(where, os_problem(err))
    text = str(err)
    if isinstance(err, EOFError):
        problem = "is empty, not a package" if _is_empty(path) else "is truncated (it ends early)"
    elif isinstance(err, KeyError):
        problem = f"is not a package (missing key {err.args[0]!r})" if err.args else text
    elif isinstance(err, AttributeError):
        problem = "is not a package (it holds no package dict)"
    elif isinstance(err, OverflowError):
        problem = f"is damaged or not a package (a number in it is out of range: {text})"
    elif type(err).__name__ == "ZstdError":
        problem = f"is damaged: its compressed id stream does not decompress ({text})"
    elif isinstance(err, pickle.UnpicklingError) and not text.startswith("refusing"):
        problem = f"is not a package, or is truncated or damaged (unreadable pickle data: {text})"
    elif isinstance(err, UnicodeError):
        problem = f"is damaged: a restored text is not UTF-8 ({text})"
    elif isinstance(err, TypeError):
        problem = f"is damaged or not a package ({text})"
    elif isinstance(err, MemoryError):
        problem = "needs more memory than there is to restore"
    else:
        problem = text or "cannot be read as a package"
    return UserError(path, problem)


def _is_empty(path: str) -> bool:
    try:
        return os.stat(path).st_size == 0
    except OSError:
        return False


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
        raise package_failure(path, err) from None
    return names, reach


def empty_dirs(package: object) -> list[str]:
    """The empty directories a judged package stores."""
    facts = package.get(FACTS_KEY) if type(package) is dict else None
    dirs = facts.get("empty_dirs") if type(facts) is dict else None
    return dirs if type(dirs) is list else []


def holds_zstd_frame(package: object) -> bool:
    payload = package.get("compressed") if type(package) is dict else None
    return isinstance(payload, (bytes, bytearray)) and payload[:4] == ZSTD_FRAME_MAGIC


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
            raise PackageError(f"{len(names)} file names but {len(boundaries)} file boundaries")
        if not isinstance(dictionary, dict):
            raise PackageError(f"'global_dict' is a {type(dictionary).__name__}, not a dict")
        self.compressed: bytes | bytearray = compressed
        self.filenames: list[object] = names
        self.token_counts: list[int] = _token_counts(boundaries)
        self.tokens: int = boundaries[-1] if boundaries else 0
        self.dictionary_size: int = len(dictionary)
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


def _token_counts(boundaries: list[int]) -> list[int]:
    previous = 0
    counts: list[int] = []
    for boundary in boundaries:
        if boundary < previous:
            raise PackageError("'file_boundaries' is not non-decreasing from 0")
        counts.append(boundary - previous)
        previous = boundary
    if previous > MAX_TOKENS:
        raise PackageError(f"{previous} tokens, more than a package can hold (2^29)")
    return counts
