"""The ``ormek`` command: pack text files and directory trees into a package,
restore them, describe a package.

    ormek pack PATH... -o PACKAGE [--dict FILE] [--level N] [--threads N]
               [--no-save-dict] [--strict]
    ormek unpack PACKAGE -d DIR [--raw] [--list] [--force]
    ormek info PACKAGE [--json]

``python -m ormek`` runs the same.
"""

from .cli import main

__all__ = ["main"]
