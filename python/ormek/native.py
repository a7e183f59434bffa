"""The extension module, imported without its start-up warnings, and the
compressors the command makes from it."""

from __future__ import annotations

import os
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
    """A compressor that loads `dict_path` when it exists and saves to it."""
    return Compressor(dict_path)


def default_of(method: str, parameter: str) -> object:
    """The default the module's `method` gives its positional `parameter`:
    the command's defaults are the module's own, never a copy of them."""
    function = vars(Compressor)[method]
    code = function.__code__
    names = code.co_varnames[: code.co_argcount]
    defaults: tuple[object, ...] = function.__defaults__ or ()
    return dict(zip(names[len(names) - len(defaults) :], defaults))[parameter]
