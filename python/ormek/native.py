"""The extension module, imported without its start-up warnings, and the
compressors the command makes from it."""

from __future__ import annotations

import os
import stat
import warnings

with warnings.catch_warnings():
    # The extension warns at import when it runs on another minor version
    # than it was built for, and a free-threaded host warns that the module
    # turns the GIL back on; neither is news to a shell user, and both would
    # add lines to a stderr that promises one line per error.
    for start in ("compile time Python version", "The global interpreter lock"):
        warnings.filterwarnings("ignore", message=start, category=RuntimeWarning)
    from ormek_compressor import OrmekCompressor as Compressor

__all__ = [
    "Compressor",
    "InputPath",
    "bare_compressor",
    "compressor_with_dictionary",
    "default_of",
]

InputPath = str | os.PathLike[str]


def bare_compressor() -> Compressor:
    """A compressor with an empty dictionary that reads and writes no
    dictionary file (its dict_path stays None)."""
    compressor = Compressor.__new__(Compressor)
    compressor.global_dict = {}
    compressor.inverse_dict = {}
    compressor.next_id = 1
    return compressor


def compressor_with_dictionary(dict_path: str) -> Compressor:
    """A compressor that starts from the dictionary file at `dict_path` when
    it exists, and saves to it. The file is read by the module's plain-data
    loader (read_package's), never by the host's unpickler that load_dict
    uses, so no code in it runs; and it must have a dictionary file's own
    shape, so that a package or any other file named by mistake is refused
    before save_dict would replace it. ValueError when it has not."""
    compressor = bare_compressor()
    compressor.dict_path = dict_path
    if os.path.exists(dict_path):
        if not stat.S_ISREG(os.stat(dict_path).st_mode):
            raise ValueError("it is not a regular file")
        tokens, next_id = _dictionary_file_contents(compressor.read_package(dict_path))
        compressor.global_dict = tokens
        # As load_dict inverts it: a later token wins an id that two share.
        compressor.inverse_dict = {token_id: token for token, token_id in tokens.items()}
        compressor.next_id = next_id
    return compressor


def _dictionary_file_contents(data: object) -> tuple[dict[str, int], int]:
    """What save_dict writes: {"dict": {token: id}, "next_id": id}, nothing else."""
    if type(data) is dict and "compressed" in data:
        raise ValueError("it is a package")
    if type(data) is not dict or data.keys() != {"dict", "next_id"}:
        raise ValueError('it is not a pickled dict of "dict" and "next_id"')
    tokens, next_id = data["dict"], data["next_id"]
    if type(tokens) is not dict or not all(
        type(token) is str and type(token_id) is int for token, token_id in tokens.items()
    ):
        raise ValueError('its "dict" is not a dict of str to int')
    if type(next_id) is not int:
        raise ValueError('its "next_id" is not an int')
    return tokens, next_id


def default_of(method: str, parameter: str) -> object:
    """The default the module's `method` gives its positional `parameter`:
    the command's defaults are the module's own, never a copy of them."""
    function = vars(Compressor)[method]
    code = function.__code__
    names = code.co_varnames[: code.co_argcount]
    defaults: tuple[object, ...] = function.__defaults__ or ()
    return dict(zip(names[len(names) - len(defaults) :], defaults))[parameter]
