"""examples/dask_shards.py: a tree packed into shards on Dask and restored as
it was, and every failing shard named before or as it fails."""

import json
import os
import pickle
import runpy
import subprocess
import sys

import pytest

from helpers import REPO, write_pickle

pytest.importorskip("dask")
EXAMPLE = REPO / "examples" / "dask_shards.py"
TEXTS = {"a.py": "import os\n" * 40, "pkg/b.txt": "some words\r\n" * 300, "pkg/empty.txt": "",
         "pkg/deep/c.md": "# naïve ✓\n" * 50, "z.log": "x" * 3000}
MODES = {"a.py": 0o600, "pkg": 0o750, "hollow": 0o700}


def example(*args):
    return subprocess.run([sys.executable, EXAMPLE, *map(str, args)], capture_output=True,
                          text=True, timeout=300, stdin=subprocess.DEVNULL)


def make_tree(root):
    for name, text in TEXTS.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(text.encode())
    (root / "bin.dat").write_bytes(b"\xff\xfe\x00")
    (root / "hollow").mkdir()
    for number, path in enumerate(sorted(root.rglob("*"), reverse=True)):
        path.chmod(MODES.get(str(path.relative_to(root)), path.stat().st_mode))
        os.utime(path, ns=(0, 10**18 + number * 10**9))
    return root


def snapshot(root):
    """Every directory and UTF-8 file: its text as read in text mode, mode, time."""
    found = {}
    for path in [root, *root.rglob("*")]:
        if path.is_file() and path.name == "bin.dat":
            continue
        text = path.read_text(encoding="utf-8") if path.is_file() else None
        found[str(path.relative_to(root))] = (text, path.stat().st_mode & 0o777, path.stat().st_mtime_ns)
    return found


@pytest.fixture
def packed(tmp_path):
    def pack(scheduler="threads"):
        done = example("pack", make_tree(tmp_path / "src"), "--out", tmp_path / "out",
                       "--shards", 3, "--scheduler", scheduler)
        assert done.returncode == 0, done.stderr
        assert "skipped 1 file that is not UTF-8 text" in done.stderr
        return tmp_path / "out", done.stdout
    return pack


@pytest.mark.parametrize("scheduler", ["processes", "threads"])
def test_shards_restore_the_tree(packed, tmp_path, scheduler):
    out, said = packed(scheduler)
    manifest = json.loads((out / "manifest.json").read_text())
    names = [name for shard in manifest["shards"] for name in shard["names"]]
    assert sorted(names) == sorted(f"src/{name}" for name in TEXTS) and len(manifest["shards"]) == 3
    sizes = sum(os.path.getsize(out / s["package"]) for s in manifest["shards"])
    assert sizes == sum(s["package_bytes"] for s in manifest["shards"]) and str(out) in said
    done = example("unpack", out, "-d", tmp_path / "back", "--scheduler", scheduler)
    assert done.returncode == 0 and done.stdout == f"5 files restored into {tmp_path / 'back'}\n"
    assert snapshot(tmp_path / "back" / "src") == snapshot(tmp_path / "src")


def reversed_ids(path):
    import zstandard

    package = pickle.loads(path.read_bytes())
    ids = zstandard.ZstdDecompressor().decompress(package["compressed"])
    records = [ids[at:at + 4] for at in range(0, len(ids), 4)]
    package["compressed"] = zstandard.ZstdCompressor().compress(b"".join(reversed(records)))
    write_pickle(path, package)


DAMAGES = {
    "truncated": (lambda out: os.truncate(out / "shard-00001.pkg", 100), ["shard-00001"], False),
    "one name in two shards": (
        lambda out: (out / "shard-00002.pkg").write_bytes((out / "shard-00000.pkg").read_bytes()),
        ["clashing", "shard-00000", "shard-00002"], False),
    "damaged text": (lambda out: reversed_ids(out / "shard-00001.pkg"),
                     ["1 shard failed", "shard-00001.pkg", "does not restore"], True),
}


@pytest.mark.parametrize("damage", DAMAGES.values(), ids=DAMAGES.keys())
def test_a_failing_shard_is_named(packed, tmp_path, damage):
    spoil, named, writes = damage
    out, _ = packed()
    spoil(out)
    done = example("unpack", out, "-d", tmp_path / "back", "--scheduler", "threads")
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert all(part in done.stderr for part in named), done.stderr
    assert (tmp_path / "back").exists() == writes


@pytest.mark.parametrize("sizes, count", [([5] * 10, 3), ([0] * 7, 3), ([900, 1, 1, 1], 2),
                                          ([1], 4), ([1, 1000, 1], 3), ([3, 0, 8, 2, 9], 5)])
def test_split_cuts_the_walk_into_even_runs(sizes, count):
    shards_of = runpy.run_path(str(EXAMPLE))["split"]
    from ormek.tree import Entry

    entries = [Entry(f"p{i}", f"n{i}", size) for i, size in enumerate(sizes)]
    shards = shards_of(entries, count)
    assert len(shards) == count and [e for shard in shards for e in shard] == entries
    even = sum(size + 1 for size in sizes) / count + max(sizes) + 1
    assert all(sum(e.size + 1 for e in shard) <= even for shard in shards)
    assert shards_of(entries, count) == shards
