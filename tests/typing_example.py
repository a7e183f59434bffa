"""Uses every method and attribute of ormek_compressor, for the type checkers
(mypy --strict and pyright, run by tests/test_typing.py). It also runs: each
`reveal`-style assignment below is checked by the checkers, and running the
file packs and restores one small text."""

from __future__ import annotations

import os
import pickle
import tempfile
from pathlib import Path
from typing import Any

import ormek_compressor
from ormek_compressor import OrmekCompressor


def round_trip(workdir: str) -> list[str]:
    text_path = Path(workdir, "hello.txt")
    text_path.write_text("hello  world\n", encoding="utf-8")
    package = os.path.join(workdir, "hello.pkg")

    comp = OrmekCompressor(os.path.join(workdir, "dict.bin"))
    default_comp: OrmekCompressor = OrmekCompressor()
    del default_comp

    tokens: list[str] = comp.tokenize("hello  world\n")
    text: str = comp.detokenize(tokens)
    assert text == "hello  world\n"

    size: int = comp.encode_files([text_path], package)
    size = comp.encode_files([str(text_path)], package, 3, threads=0)
    size = comp.encode_files(filepaths=[text_path], output_path=package, zstd_level=6)
    assert size > 0
    nested = os.path.join(workdir, "nested.pkg")
    size = comp.encode_named_files([(text_path, "docs/hello.txt")], nested)
    size = comp.encode_named_files(
        entries=[(os.fsencode(text_path), "b.txt")], output_path=nested, zstd_level=3, threads=0
    )
    loaded: Any = comp.read_package(nested)
    assert loaded["filenames"] == ["b.txt"]
    comp.encode_named_files([(text_path, "c.txt")], nested, checks=True, empty_dirs=["d"])
    checked: tuple[list[str], int] = comp.check_package(nested, use_zstd=True)
    assert checked == (["c.txt"], 2) == comp.judge_package(comp.read_package(nested))

    comp.save_dict()
    comp.load_dict()

    fresh = OrmekCompressor(dict_path=os.path.join(workdir, "other.bin"))
    names: list[str] = fresh.decode_package(package, os.path.join(workdir, "out"))
    names = fresh.decode_package(package, os.path.join(workdir, "out"), use_zstd=True)

    mapping: dict[str, int] = comp.global_dict
    inverse: dict[int, str] = comp.inverse_dict
    next_id: int = comp.next_id
    comp.next_id = next_id + 1
    comp.global_dict = dict(mapping)
    comp.inverse_dict = dict(inverse)
    comp.dict_path = os.path.join(workdir, "dict.bin")

    reduced = comp.__reduce_cython__()
    again = comp.__reduce__()
    assert len(reduced) == len(again)
    state: tuple[Any, ...] = (comp.dict_path, mapping, inverse, next_id)
    comp.__setstate_cython__(state)
    comp.__setstate__(state)
    copy: OrmekCompressor = pickle.loads(pickle.dumps(comp))
    # The reconstructor is public under its pickling name.
    unpickle = ormek_compressor.__pyx_unpickle_OrmekCompressor  # pyright: ignore[reportPrivateUsage]
    rebuilt: OrmekCompressor = unpickle(OrmekCompressor, 0x3E12E10, state)
    assert rebuilt.next_id == copy.next_id

    class Counting(OrmekCompressor):
        calls = 0

        def tokenize(self, text: str) -> list[str]:
            self.calls += 1
            return super().tokenize(text)

    sub: Counting = unpickle(Counting, 0x3E12E10, None)
    assert isinstance(sub, Counting)

    modules = (
        ormek_compressor.os,
        ormek_compressor.re,
        ormek_compressor.struct,
        ormek_compressor.pickle,
        ormek_compressor.zstd,
    )
    assert all(m is not None for m in modules)
    frame: bytes = ormek_compressor.zstd.ZstdCompressor().compress(b"")
    assert isinstance(frame, bytes)
    return names


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as tmp:
        print(round_trip(tmp))
