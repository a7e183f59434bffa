# Type stubs for the native module ormek_compressor.
#
# The attributes are typed as a compressor made by its constructor holds them;
# an instance made by OrmekCompressor.__new__ alone (as unpickling does before
# it restores the state) holds None in dict_path, global_dict and inverse_dict.

import os as os
import pickle as pickle
import re as re
import struct as struct
from collections.abc import Callable
from typing import Any, Final, Literal, SupportsInt, TypeAlias, TypeVar

import zstandard
from _typeshed import StrOrBytesPath, StrPath

# The module imports the zstandard binding under this name.
zstd = zstandard

# encode_files stores each file under its base name, which must be a str, so
# its paths are str paths; encode_named_files only opens its paths.
_P = TypeVar("_P", bound=StrPath)
_AnyP = TypeVar("_AnyP", bound=StrOrBytesPath)
_C = TypeVar("_C", bound=OrmekCompressor)

# The state tuple of a pickled compressor: dict_path, global_dict,
# inverse_dict, next_id, and the instance __dict__ of a Python subclass.
_State: TypeAlias = (
    tuple[Any, Any, Any, int] | tuple[Any, Any, Any, int, dict[str, Any]]
)
_Unpickle: TypeAlias = Callable[[type[Any], SupportsInt, tuple[Any, ...] | None], Any]
_Reduced: TypeAlias = (
    tuple[_Unpickle, tuple[type[Any], int, None], _State]
    | tuple[_Unpickle, tuple[type[Any], int, _State]]
)

__test__: Final[dict[str, str]]

class OrmekCompressor:
    dict_path: StrOrBytesPath
    global_dict: dict[str, int]
    inverse_dict: dict[int, str]
    next_id: int
    def __init__(self, dict_path: StrOrBytesPath = "larkmoor_dict.bin") -> None: ...
    def load_dict(self) -> None: ...
    def save_dict(self) -> None: ...
    def tokenize(self, text: str) -> list[str]: ...
    def detokenize(self, tokens: list[str]) -> str: ...
    def encode_files(
        self,
        filepaths: list[_P],
        output_path: str,
        zstd_level: SupportsInt = 6,
        threads: SupportsInt = 4,
    ) -> int: ...
    def decode_package(
        self, package_path: str, output_dir: str, use_zstd: object = True
    ) -> list[str]: ...
    # (path, stored name) pairs; a name is a relative POSIX path.
    def encode_named_files(
        self,
        entries: list[tuple[_AnyP, str]],
        output_path: str,
        zstd_level: SupportsInt = 6,
        threads: SupportsInt = 4,
        *,
        checks: object = False,
        empty_dirs: list[str] | None = None,
        follow_links: object = True,
        package_dict: Literal["whole", "used", "own"] = "whole",
        dir_facts: list[tuple[str, int, int]] | None = None,
    ) -> int: ...
    # The package as loaded (normally a dict with "compressed",
    # "file_boundaries", "filenames" and "global_dict").
    def read_package(self, package_path: str) -> Any: ...
    # The stored names, and how far the package's checks reach: 0 none, 1
    # each file's name, text and size (an earlier release's package), 2 those
    # and its sizes, modes, times and empty directories by their digest;
    # raises ValueError when a file does not restore as it was packed.
    def check_package(
        self, package_path: str, use_zstd: object = True
    ) -> tuple[list[str], Literal[0, 1, 2]]: ...
    # The names decode_package would write from such a package, judged (with
    # its file facts) as it judges them; nothing is written.
    def restored_names(self, package: object) -> list[str]: ...
    # decode_package restricted to the files of `names` (each a stored name
    # or a directory of stored names; a name ending in "/" a directory only);
    # returns the names restored.
    def decode_names(
        self, package_path: str, output_dir: str, names: list[str], use_zstd: object = True
    ) -> list[str]: ...
    # decode_package leaving global_dict and inverse_dict as they were: the
    # package's tokens are read without an object each where it can.
    def restore_package(
        self, package_path: str, output_dir: str, use_zstd: object = True
    ) -> list[str]: ...
    # One file's text from its id records and the tokens by id, refused as
    # restoring refuses it (and, given its size and digest, when it is not
    # what was packed).
    def restored_text(
        self,
        name: str,
        records: bytes,
        tokens: dict[int, str],
        size: int | None = None,
        digest: bytes | None = None,
    ) -> str: ...
    # The size in bytes of each file as decode_package would write it.
    def restored_sizes(self, package_path: str, use_zstd: object = True) -> list[int]: ...
    # restored_names(package) and how far its checks reach, as check_package
    # answers them, without restoring any text.
    def judge_package(self, package: object) -> tuple[list[str], Literal[0, 1, 2]]: ...
    # (outline, compressed_bytes, dictionary_size), read natively without an
    # object per token: the package as read_package returns it but for its
    # "compressed" (only its first bytes) and "global_dict" (empty); or None
    # where the native reader does not apply (read_package reads it then).
    def read_outline(
        self, package_path: str, *, count_tokens: bool = True
    ) -> tuple[dict[str, Any], int, int | None] | None: ...
    # Per path, in order: (st_dev, st_ino, st_mode, st_size, problem) of the
    # file opened without following a link, where problem is None or the
    # (reason, position) of a regular file that is not UTF-8 text; the errno
    # of a failed open; or the OSError its fstat or read raised.
    def check_text_files(
        self, paths: list[str]
    ) -> list[tuple[int, int, int, int, tuple[str, int] | None] | int | OSError]: ...
    def __reduce_cython__(self) -> _Reduced: ...
    def __setstate_cython__(self, pyx_state: tuple[Any, ...], /) -> None: ...
    def __reduce__(self) -> _Reduced: ...
    def __setstate__(self, pyx_state: tuple[Any, ...], /) -> None: ...

def __pyx_unpickle_OrmekCompressor(
    pyx_type: type[_C], pyx_checksum: SupportsInt, pyx_state: tuple[Any, ...] | None, /
) -> _C: ...
def __pyx_unpickle_Enum(
    pyx_type: type[Any], pyx_checksum: SupportsInt, pyx_state: tuple[Any, ...] | None, /
) -> Any: ...
