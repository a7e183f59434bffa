"""Packages that carry their files' checks and facts: what a damaged package
does to `decode_package`, `check_package` and the command, and what comes
back of each file's mode, time and empty directories."""

import os
import pickle
import sys
from pathlib import Path

import pytest
import zstandard

from helpers import REPO, write_pickle
from test_cli import command, ok, run, user_error  # noqa: F401 (fixtures)

sys.path.insert(0, str(REPO / "bench"))
from reference import PlainCompressor  # noqa: E402

TEXTS = {"a.txt": "hello  world\n", "b.txt": "second file, ünïcode ☃\n", "c.txt": ""}
TIME_NS = 1_600_000_000_123_456_789


@pytest.fixture
def keyed(comp, in_tmp):
    """A package with checks of three files and one empty directory."""
    for name, text in TEXTS.items():
        (in_tmp / name).write_text(text, encoding="utf-8")
    comp.encode_named_files(
        [(n, n) for n in TEXTS], "k.pkg", checks=True, empty_dirs=["e/f"]
    )
    with open("k.pkg", "rb") as f:
        return pickle.load(f)


def damage(package, where):
    """The package with one thing changed, as bit rot or a bad copy would."""
    package = pickle.loads(pickle.dumps(package))
    if where == "token":
        token = "hello"
        package["global_dict"]["hellO"] = package["global_dict"].pop(token)
    elif where == "id":
        ids = bytearray(zstandard.ZstdDecompressor().decompress(package["compressed"]))
        ids[-1] ^= 1
        package["compressed"] = zstandard.ZstdCompressor().compress(bytes(ids))
    elif where == "name":
        package["filenames"][1] = "B.txt"
    elif where == "boundary":
        package["file_boundaries"][0] -= 1
    return package


def test_facts_are_plain_data_beside_the_plain_keys(keyed):
    assert list(keyed) == ["compressed", "file_boundaries", "filenames", "global_dict", "file_facts"]
    facts = keyed["file_facts"]
    assert facts["version"] == 1 and facts["empty_dirs"] == ["e/f"]
    assert [len(d) for d in facts["digests"]] == [16] * 3
    assert facts["sizes"] == [len(t.encode()) for t in TEXTS.values()]
    assert len(set(facts["digests"])) == 3


def test_checks_are_keyword_only_and_plain_packages_stay(comp, in_tmp):
    (in_tmp / "a.txt").write_text("x y\n")
    with pytest.raises(TypeError, match="at most 4 positional"):
        comp.encode_named_files([("a.txt", "a.txt")], "p.pkg", 6, 4, True)
    with pytest.raises(ValueError, match="only with checks=True"):
        comp.encode_named_files([("a.txt", "a.txt")], "p.pkg", empty_dirs=["d"])
    with pytest.raises(ValueError, match="'a.txt' is a stored file"):
        comp.encode_named_files([("a.txt", "a.txt")], "p.pkg", checks=True, empty_dirs=["a.txt/d"])
    class Cutter(type(comp)):  # the plain way: the package restores its tokens
        def tokenize(self, text):
            return super().tokenize(text.upper())

    Cutter("d.bin").encode_named_files([("a.txt", "a.txt")], "cut.pkg", checks=True)
    assert comp.check_package("cut.pkg") == (["a.txt"], 2)
    comp.encode_files(["a.txt"], "plain.pkg")
    comp.encode_named_files([("a.txt", "a.txt")], "named.pkg", checks=False)
    assert Path("plain.pkg").read_bytes() == Path("named.pkg").read_bytes()


@pytest.mark.parametrize("mode, restored", [(0o600, 0o600), (0o640, 0o640), (0o755, 0o755),
                                            (0o6777, 0o755)])
def test_modes_and_times_come_back_less_umask(comp, in_tmp, mode, restored):
    path = in_tmp / "s.sh"
    path.write_bytes(b"#!/bin/sh\r\necho \xc3\xa9\r")  # read with universal newlines
    os.chmod(path, mode)
    os.utime(path, ns=(TIME_NS, TIME_NS))
    comp.encode_named_files([("s.sh", "bin/s.sh")], "m.pkg", checks=True, empty_dirs=["x/y"])
    old = os.umask(0o022)
    try:
        comp.decode_package("m.pkg", "out")
    finally:
        os.umask(old)
    st = os.stat("out/bin/s.sh")
    assert (st.st_mode & 0o7777, st.st_mtime_ns) == (restored, TIME_NS)
    assert os.path.isdir("out/x/y") and not os.listdir("out/x/y")


@pytest.mark.parametrize("where", ["token", "id", "name", "boundary"])
def test_damage_is_caught_before_a_file_is_replaced(comp, in_tmp, keyed, where):
    write_pickle("d.pkg", damage(keyed, where))
    with pytest.raises(ValueError, match="the package is damaged: the file '[abB].txt'"):
        comp.check_package("d.pkg")
    os.mkdir("out")
    for name in ("a.txt", "b.txt", "B.txt"):
        (in_tmp / "out" / name).write_text("old")
    with pytest.raises(ValueError, match="the package is damaged"):
        comp.decode_package("d.pkg", "out")
    # Every file holds its old text or the text that was packed; no fresh
    # file is left.
    for name in os.listdir("out"):
        assert (in_tmp / "out" / name).read_text() in ("old", TEXTS.get(name)), name
    assert sorted(os.listdir("out")) == ["B.txt", "a.txt", "b.txt"]


@pytest.mark.parametrize(
    "facts, problem",
    [
        ("not a dict", "are not a dict"),
        ({"version": 2}, "version 2"),
        ({"digests": [b"x" * 15] * 3}, "16-byte digest"),
        ({"digests": [b"x" * 16] * 2}, "16-byte digest"),
        ({"sizes": [-1, 0, 0]}, "size in bytes"),
        ({"modes": [0o10000, 0, 0]}, "permission bits"),
        ({"modes": [True, 0, 0]}, "permission bits"),
        ({"mtimes_ns": [1 << 63, 0, 0]}, "modification time"),
        ({"empty_dirs": ["../up"]}, "cannot be restored"),
        ({"empty_dirs": ["a.txt"]}, "where a file is stored"),
        ({"empty_dirs": None}, "list of empty directories"),
    ],
)
def test_malformed_facts_are_refused_before_anything_is_written(comp, keyed, facts, problem):
    if isinstance(facts, dict):
        facts = {**keyed["file_facts"], **facts}
    write_pickle("bad.pkg", {**keyed, "file_facts": facts})
    for call in (lambda: comp.decode_package("bad.pkg", "out"), lambda: comp.check_package("bad.pkg")):
        with pytest.raises(ValueError, match=problem):
            call()
    assert not os.path.exists("out")


def test_the_plain_decoder_restores_a_command_made_package(run, in_tmp):
    for name, text in TEXTS.items():
        (in_tmp / name).write_text(text, encoding="utf-8")
    ok(run("pack", *TEXTS, "-o", "cmd.pkg"))
    assert PlainCompressor("none.bin").decode_package("cmd.pkg", "plain") == list(TEXTS)
    for name, text in TEXTS.items():
        assert (in_tmp / "plain" / name).read_text(encoding="utf-8") == text


@pytest.mark.parametrize("where", ["token", "id", "name", "boundary"])
def test_command_reports_damage_in_one_line(run, in_tmp, keyed, where):
    write_pickle("d.pkg", damage(keyed, where))
    os.mkdir("out")
    (in_tmp / "out" / "a.txt").write_text("old")
    line = user_error(run("unpack", "d.pkg", "-d", "out", "--force"), "d.pkg", "damaged")
    assert "Error" not in line
    user_error(run("check", "d.pkg"), "d.pkg", "damaged")
    # a.txt is the damaged file, or was restored whole before the damaged one.
    damaged_first = where in ("token", "boundary")
    assert (in_tmp / "out" / "a.txt").read_text() == ("old" if damaged_first else TEXTS["a.txt"])


def test_command_keeps_empty_directories(run, in_tmp):
    (in_tmp / "t" / "empty" / "deeper").mkdir(parents=True)
    (in_tmp / "t" / "f.txt").write_text("x\n")
    ok(run("pack", "t", "-o", "t.pkg"))
    ok(run("unpack", "t.pkg", "-d", "out"))
    assert os.listdir(in_tmp / "out" / "t" / "empty" / "deeper") == []


def test_check_and_info_on_intact_plain_and_broken_packages(run, comp, in_tmp, keyed):
    assert "intact, 3 files" in ok(run("check", "k.pkg"))
    assert "checks:      yes" in ok(run("info", "k.pkg"))
    write_pickle("plain.pkg", {k: v for k, v in keyed.items() if k != "file_facts"})
    assert "carries no checks; 3 files restore" in ok(run("check", "plain.pkg"))
    assert "checks:      none" in ok(run("info", "plain.pkg"))
    data = Path("k.pkg").read_bytes()
    Path("cut.pkg").write_bytes(data[: len(data) // 2])
    Path("empty.pkg").write_bytes(b"")
    Path("foreign.pkg").write_bytes(b"just some text\n")
    for name, problem in [("cut.pkg", "truncated"), ("empty.pkg", "is empty"),
                          ("foreign.pkg", "not a package")]:
        for action in (["check", name], ["info", name], ["unpack", name, "-d", "o"]):
            line = user_error(run(*action), name, problem)
            assert "Error" not in line and "(" not in line.split(problem)[0], line
