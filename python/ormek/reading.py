"""Reading a package from Python, as zipfile and tarfile read archives:

    import ormek

    with ormek.open("work.pkg") as package:
        for name in package.namelist():
            info = package.getinfo(name)
            print(info.name, info.size, info.mode, info.mtime_ns)
        text = package.read_text("src/main.py")
        package.extractall("out", ["src/pkg"])

Opening a package loads it as plain data and judges it as `ormek list` and
`ormek unpack` do (its plain parts; its names, file facts and their digest
by the module's judge_package), so a package they refuse cannot be opened.
Reading text writes nothing to disk: read_text decodes that file alone from
its own records, refused as restoring refuses it (an id beyond the id range,
a token that is not text) and checked against its digest where the package
carries one (the module's restored_text); the other files are not read.
Every failure about the package is a PackageError (a ValueError) in the
words of the `ormek` command; a name the package does not hold is a
KeyError."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass
from types import TracebackType
from typing import TypeVar

import zstandard

from .native import Compressor, InputPath, bare_compressor
from .packages import (
    FACT_DIGESTS,
    FACT_MODES,
    FACT_MTIMES,
    FACT_SIZES,
    RAW_ON_ZSTD,
    FACTS_KEY,
    RECORD_SIZE,
    PackageError,
    PackageSummary,
    empty_dirs,
    holds_zstd_frame,
    judge,
    package_failure,
    read_package,
    stored_facts,
)
from .report import UserError, alias, show
from .unpack import picks

__all__ = ["FileInfo", "Package", "PackageError"]

_Answer = TypeVar("_Answer")


@dataclass(frozen=True, slots=True)
class FileInfo:
    """One stored file: its name, its size in bytes as restored (UTF-8), and
    its permission bits and modification time where the package stores them
    (None where it does not)."""

    name: str
    size: int
    mode: int | None
    mtime_ns: int | None


class Package:
    """A package opened for reading (see `ormek.open`); a context manager
    that closes it."""

    def __init__(self, path: InputPath, *, raw: bool = False) -> None:
        self.path: str = os.fspath(path)
        self.raw = raw
        self._stream: bytes | None = None
        # Every step reads the file opened here, through its descriptor,
        # even if the path is replaced meanwhile; messages name the path.
        self._fd = os.open(self.path, os.O_RDONLY | os.O_CLOEXEC)
        self._source = f"/proc/self/fd/{self._fd}"
        alias(self._source, show(self.path))
        try:
            stored = read_package(self._source)
            try:
                self._summary = PackageSummary(stored)
            except PackageError as err:
                raise UserError(self._source, str(err)) from None
            self._names, _ = judge(self._source, stored)
            if raw and holds_zstd_frame(stored):
                raise UserError(self._source, RAW_ON_ZSTD)
        except UserError as err:
            self.close()
            raise PackageError(str(err)) from None
        except BaseException:
            self.close()
            raise
        self._stored = stored
        # A name stored twice (which `ormek pack` never writes) restores as
        # its later file, which replaces the earlier one.
        self._index = {name: i for i, name in enumerate(self._names)}
        # The facts are read once here, not on every call for one file.
        files = len(self._names)
        self._sizes = stored_facts(stored, FACT_SIZES, files)
        self._modes = stored_facts(stored, FACT_MODES, files)
        self._mtimes = stored_facts(stored, FACT_MTIMES, files)
        # Each file's (size, digest) where the package keeps them (judged
        # whole above), for read_text's check.
        facts = stored.get(FACTS_KEY) if type(stored) is dict else None
        digests = facts.get(FACT_DIGESTS) if type(facts) is dict else None
        self._checks: list[tuple[int, bytes]] | None = (
            list(zip(self._sizes, digests))
            if self._sizes is not None and type(digests) is list and len(digests) == files
            else None
        )
        self._tokens: dict[int, str] | None = None

    def __enter__(self) -> Package:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<ormek.Package {self.path!r}, {len(self._names)} files>"

    def close(self) -> None:
        self._stream = None
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def namelist(self) -> list[str]:
        """The stored names, in package order."""
        return list(self._names)

    def getinfo(self, name: str) -> FileInfo:
        index = self._index[name]
        if self._sizes is None:
            self._sizes = self._native(lambda c: c.restored_sizes(self._source, not self.raw))
        return FileInfo(
            name,
            self._sizes[index],
            None if self._modes is None else self._modes[index],
            None if self._mtimes is None else self._mtimes[index],
        )

    def read_text(self, name: str) -> str:
        """The text of the file `name`, as restoring writes it: that file
        alone is decoded, and checked against its digest where the package
        carries one."""
        index = self._index[name]
        self._require_open()
        boundaries = self._summary.boundaries
        records = self._records(boundaries[index - 1] if index else 0, boundaries[index])
        if self._tokens is None:
            # As restoring inverts it: a later token wins an id that two share.
            self._tokens = {token_id: token for token, token_id in self._summary.dictionary.items()}
        tokens = self._tokens
        stored_name = self._summary.filenames[index]
        size, digest = (None, None) if self._checks is None else self._checks[index]
        return self._native(lambda c: c.restored_text(stored_name, records, tokens, size, digest))

    def extractall(self, directory: InputPath, names: list[str] | None = None) -> list[str]:
        """Restore the files into `directory` (with `names`, the files and
        directories they pick, as `ormek unpack` picks them) as `ormek
        unpack --force` does: through the module, which refuses unsafe
        names, links on the way and anything but a regular file in the way
        of a file, and replaces regular files whole. The names restored."""
        out_dir = os.fspath(directory)
        if names is None:
            return self._native(lambda c: c.restore_package(self._source, out_dir, not self.raw))
        wanted = list(names)
        _, unknown = picks(self._names, wanted, empty_dirs(self._stored))
        if unknown:
            raise KeyError(unknown[0])
        return self._native(lambda c: c.decode_names(self._source, out_dir, wanted, not self.raw))

    def _native(self, call: Callable[[Compressor], _Answer]) -> _Answer:
        """`call` on a compressor of its own, guarded as _guarded."""
        return self._guarded(lambda: call(bare_compressor()))

    def _guarded(self, call: Callable[[], _Answer]) -> _Answer:
        """`call()`, its failures about the package in the command's words
        (an OSError stays one)."""
        self._require_open()
        try:
            return call()
        except OSError:
            raise
        except Exception as err:
            failure = package_failure(self._source, err, self._stored, not self.raw)
            raise PackageError(str(failure)) from None

    def _require_open(self) -> None:
        if self._fd < 0:
            raise ValueError("the package is closed")

    def _records(self, start: int, end: int) -> bytes:
        """The id records of tokens `start` to `end` (fewer where the stream
        ends first: restoring clamps a file to the stream). The stream is
        decompressed whole on the first read, as restoring decompresses it
        (so a frame restoring refuses is refused here too), and kept."""
        if self._stream is None:
            compressed = self._summary.compressed
            self._stream = (
                bytes(compressed)
                if self.raw
                else self._guarded(lambda: zstandard.ZstdDecompressor().decompress(compressed))
            )
        return self._stream[RECORD_SIZE * start : RECORD_SIZE * end]
