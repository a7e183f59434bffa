"""Packages that carry their files' checks and facts: what a damaged package
does to `decode_package`, `check_package` and the command, and what comes
back of each file's mode, time and empty directories."""

import os
import pickle
import random
import sys
import types
from pathlib import Path

import pytest
import zstandard

from helpers import REPO, run_json, write_pickle
from test_cli import command, ok, run, user_error  # noqa: F401 (fixtures)

sys.path.insert(0, str(REPO / "bench"))
from reference import PlainCompressor  # noqa: E402

TEXTS = {"a.txt": "hello  world\n", "b.txt": "second file, ünïcode ☃\n", "c.txt": ""}
TIME_NS = 1_600_000_000_123_456_789


@pytest.fixture
def keyed(comp, in_tmp):
    """A package with checks of three files, one empty directory and the
    facts of its directory."""
    for name, text in TEXTS.items():
        (in_tmp / name).write_text(text, encoding="utf-8")
    comp.encode_named_files(
        [(n, n) for n in TEXTS], "k.pkg", checks=True, empty_dirs=["e/f"],
        dir_facts=[("e", 0o750, TIME_NS)],
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


def test_the_command_reads_the_facts_by_the_names_the_module_writes(keyed):
    from ormek import packages

    facts = keyed[packages.FACTS_KEY]
    names = (
        packages.FACT_SIZES, packages.FACT_MODES, packages.FACT_MTIMES, packages.FACT_EMPTY_DIRS,
        packages.FACT_DIGESTS,
    )
    assert [name for name in names if name not in facts] == []


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
    # Every file's text is verified before the first is written: every file
    # holds its old text, and no fresh file is left.
    for name in os.listdir("out"):
        assert (in_tmp / "out" / name).read_text() == "old", name
    assert sorted(os.listdir("out")) == ["B.txt", "a.txt", "b.txt"]
    with pytest.raises(ValueError, match="the package is damaged"):
        comp.decode_names("d.pkg", "new", damage(keyed, where)["filenames"])
    assert not os.path.exists("new")


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
        ({"dir_modes": [0o1000]}, r"\(0 to 0o777\) per directory"),
        ({"dir_mtimes_ns": []}, "modification time .* per directory"),
        ({"dirs": ["../up"]}, "cannot be restored"),
        ({"dirs": ["a.txt"]}, "where a file is stored"),
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


def test_the_plain_decoder_restores_a_command_made_package(run, in_tmp, keyed):
    ok(run("pack", *TEXTS, "-o", "cmd.pkg"))
    assert PlainCompressor("none.bin").decode_package("cmd.pkg", "plain") == list(TEXTS)
    # Directory facts are extra entries too.
    assert PlainCompressor("none.bin").decode_package("k.pkg", "plain") == list(TEXTS)
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
    # Refused before anything is written, whichever file is the damaged one.
    assert (in_tmp / "out" / "a.txt").read_text() == "old"


@pytest.mark.parametrize("dir_facts, checks, error", [
    ([("d", 0o755, 0)], False, ValueError),
    ([("d", 0o1000, 0)], True, ValueError),
    ([("d", 0o755)], True, TypeError),
    ([("d", 0o755, 1 << 63)], True, ValueError),
    ([("a.txt/d", 0o755, 0)], True, ValueError),
    ([("../d", 0o755, 0)], True, ValueError),
])
def test_directory_facts_are_judged_before_writing(comp, in_tmp, dir_facts, checks, error):
    (in_tmp / "a.txt").write_text("x")
    with pytest.raises(error):
        comp.encode_named_files([("a.txt", "a.txt")], "p.pkg", checks=checks, dir_facts=dir_facts)
    assert not os.path.exists("p.pkg")


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


def _facts(package):
    return package["file_facts"]


def _earlier(package, **entries):
    """As an earlier release wrote it (no facts digest), with `entries`."""
    _facts(package).update(entries)
    del _facts(package)["facts_digest"]


# One change to a package with checks -> what every command names refusing it.
JUDGED = {
    "mode": (lambda p: _facts(p)["modes"].__setitem__(0, 0o604), "do not match their digest"),
    "time": (lambda p: _facts(p)["mtimes_ns"].__setitem__(1, 1 << 62), "do not match their digest"),
    "size": (lambda p: _facts(p)["sizes"].__setitem__(0, 999), "do not match their digest"),
    "empty dir": (lambda p: _facts(p)["empty_dirs"].append("g"), "do not match their digest"),
    "dir mode": (lambda p: _facts(p)["dir_modes"].__setitem__(0, 0o700), "do not match their digest"),
    "digest": (lambda p: _facts(p).__setitem__("facts_digest", bytes(16)), "their digest"),
    "key": (lambda p: _facts(p).__setitem__("modez", _facts(p).pop("modes")), "'modez'"),
    "facts key": (lambda p: p.__setitem__("file_factz", p.pop("file_facts")), "'file_factz'"),
    "long dir": (lambda p: _earlier(p, empty_dirs=["x" * 300]), "cannot be restored"),
    "huge size": (lambda p: _earlier(p, sizes=[10**5000, 0, 0]), "size in bytes per file"),
    "up": (lambda p: p["filenames"].__setitem__(0, "../../etc/passwd"), "outside the output"),
    "int name": (lambda p: p["filenames"].__setitem__(0, 5), 'its "filenames" hold a number where a name'),
}


@pytest.mark.parametrize("change", JUDGED)
def test_every_command_refuses_what_unpack_refuses_before_writing(run, in_tmp, keyed, change):
    alter, problem = JUDGED[change]
    package = pickle.loads(pickle.dumps(keyed))
    alter(package)
    write_pickle("d.pkg", package)
    for command in (["check"], ["list"], ["info"], ["unpack", "-d", "out"],
                    ["unpack", "-d", "out", "a.txt"]):
        line = user_error(run(command[0], "d.pkg", *command[1:]), "d.pkg", problem)
        assert "Error:" not in line and "digits" not in line
    assert not os.path.exists("out")


def test_an_earlier_releases_facts_are_used_unverified(run, in_tmp, keyed):
    assert "and the empty directories verified" in ok(run("check", "k.pkg"))
    earlier = pickle.loads(pickle.dumps(keyed))
    del earlier["file_facts"]["facts_digest"]
    write_pickle("old.pkg", earlier)
    for command in ("check", "info"):
        assert "not: made by an earlier release" in ok(run(command, "old.pkg"))
    earlier["file_facts"]["sizes"][0] = 999  # no digest to tell: only restoring finds it
    write_pickle("old.pkg", earlier)
    assert ok(run("list", "old.pkg")).split()[1] == "999"
    user_error(run("check", "old.pkg"), "old.pkg", "'a.txt' does not restore as it was packed")


def test_bit_flips_are_refused_or_change_nothing(run, in_tmp):
    """Each of 200 packages with one bit flipped is refused by `check` and
    `unpack` (any file written is whole, as packed), or restores the tree as
    it was packed: every file's text, mode and time, and the empty dirs."""
    for name, mode in (("t/a.txt", 0o600), ("t/s/b.sh", 0o755), ("t/c.txt", 0o644)):
        (in_tmp / name).parent.mkdir(parents=True, exist_ok=True)
        (in_tmp / name).write_text(f"{name} {mode:o}\n" * 3)
        os.chmod(name, mode)
        os.utime(name, ns=(TIME_NS, TIME_NS + mode))
    (in_tmp / "t" / "e").mkdir()
    ok(run("pack", "t", "-o", "p.pkg"))
    source = _tree_state(in_tmp / "t")
    data = bytearray(Path("p.pkg").read_bytes())
    rng = random.Random(24)
    for i in range(200):
        bit = rng.randrange(8 * len(data))
        data[bit // 8] ^= 1 << bit % 8
        Path(f"f{i}.pkg").write_bytes(data)
        data[bit // 8] ^= 1 << bit % 8
    statuses = run_json("""
        import contextlib, io, json
        from ormek.cli import main
        done, said = [], io.StringIO()
        for i in range(200):
            with contextlib.redirect_stdout(said), contextlib.redirect_stderr(said):
                done.append([main(["check", f"f{i}.pkg"]),
                             main(["unpack", f"f{i}.pkg", "-d", f"o{i}"])])
        print(json.dumps(done))
    """, cwd=in_tmp)
    for i, (checked, unpacked) in enumerate(statuses):
        restored = _tree_state(in_tmp / f"o{i}" / "t")
        if (checked, unpacked) == (0, 0):
            assert restored == source, i
        else:
            assert (checked, unpacked) == (1, 1), i
            files = {path: state for path, state in restored.items() if state != ("dir",)}
            assert all(source.get(path) == state for path, state in files.items()), i
    assert sum(s == [1, 1] for s in statuses) > 100


def _tree_state(root):
    """Each entry under `root`: a file's bytes, mode and time, or a directory."""
    state = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = Path(folder, name)
            st = path.lstat()
            key = path.relative_to(root).as_posix()
            is_dir = path.is_dir()
            state[key] = ("dir",) if is_dir else (path.read_bytes(), st.st_mode, st.st_mtime_ns)
    return state


@pytest.mark.parametrize("damaged", [(), (1,), (6,), (1, 6), (5, 7)])
def test_the_first_damaged_file_is_named_however_the_walk_is_shared(comp, in_tmp, damaged):
    # Over a million records in files of like size: the walk before writing
    # takes them on two threads, and must still name the first bad file.
    names = [f"f{i}.txt" for i in range(8)]
    for i, name in enumerate(names):
        (in_tmp / name).write_text(f"f{i} " + "w x " * 40_000, encoding="utf-8")
    comp.encode_named_files([(n, n) for n in names], "t.pkg", checks=True)
    with open("t.pkg", "rb") as f:
        package = pickle.load(f)
    ids = bytearray(zstandard.ZstdDecompressor().decompress(package["compressed"]))
    for i in damaged:
        at = 4 * (package["file_boundaries"][i] - 10)  # "w" and " " change places
        ids[at:at + 8] = ids[at + 4:at + 8] + ids[at:at + 4]
    package["compressed"] = zstandard.ZstdCompressor().compress(bytes(ids))
    write_pickle("d.pkg", package)
    if not damaged:
        comp.check_package("d.pkg")
        comp.decode_package("d.pkg", "out")
        assert (in_tmp / "out" / "f7.txt").read_text() == (in_tmp / "f7.txt").read_text()
        return
    with pytest.raises(ValueError, match=f"damaged: the file 'f{damaged[0]}.txt'"):
        comp.check_package("d.pkg")
    with pytest.raises(ValueError, match=f"damaged: the file 'f{damaged[0]}.txt'"):
        comp.decode_package("d.pkg", "out")
    assert not os.path.exists("out")


def _outcomes(comp):
    """What checking, restoring all and restoring one file of "d.pkg" come to."""
    out = []
    for call in (lambda: comp.check_package("d.pkg"), lambda: comp.restore_package("d.pkg", "o"),
                 lambda: comp.decode_names("d.pkg", "n", ["f7.txt"])):
        try:
            out.append(call())
        except Exception as e:  # the same type and message either way
            out.append((type(e), str(e)))
    return out + [sorted(str(p) for p in Path().rglob("*") if p.is_file())]


STREAMS = {
    "intact": lambda frame: frame,
    "flipped": lambda frame: frame[:len(frame) // 2] + bytes([frame[len(frame) // 2] ^ 0x5A])
    + frame[len(frame) // 2 + 1:],
    "cut": lambda frame: frame[:-5],
    # one more frame after it: not decompressed in pieces, so walked once made
    "skippable-after": lambda frame: frame + b"\x50\x2a\x4d\x18" + bytes([4, 0, 0, 0]) + b"skip",
}


# tree: eight files of few distinct tokens (the stream decompressed while the
# dictionary is read); log: one file of distinct tokens (decompressed after
# it).
@pytest.mark.parametrize("corpus, lying", [("tree", ()), ("tree", (0,)), ("tree", (7,)),
                                           ("tree", (0, 7)), ("log", ()), ("log", (0,))])
@pytest.mark.parametrize("stream", STREAMS)
def test_a_walk_beside_the_decompression_answers_as_one_after_it(mod, comp, in_tmp, monkeypatch,
                                                                 corpus, lying, stream):
    if corpus == "tree":
        words = random.Random(3).choices(["w", "x", "yy", "z"], k=160_000)
        texts = {f"f{i}.txt": " ".join(words[i::8]) for i in range(8)}
    else:
        texts = {"f7.txt": " ".join(f"t{i}" for i in range(100_000))}
    for name, text in texts.items():
        (in_tmp / name).write_text(text, encoding="utf-8")
    comp.encode_named_files([(n, n) for n in texts], "t.pkg", checks=True)
    with open("t.pkg", "rb") as f:
        package = pickle.load(f)
    os.remove("t.pkg")
    ids = bytearray(zstandard.ZstdDecompressor().decompress(package["compressed"]))
    for i in lying:  # two records change places: the file's digest no longer matches
        at = 4 * (package["file_boundaries"][i] - 10)
        ids[at:at + 8] = ids[at + 4:at + 8] + ids[at:at + 4]
    frame = zstandard.ZstdCompressor(write_checksum=True).compress(bytes(ids))
    package["compressed"] = STREAMS[stream](frame)
    write_pickle("d.pkg", package)
    for name in texts:
        os.remove(name)
    got = _outcomes(comp)
    assert (got[1] == list(texts)) == (stream in ("intact", "skippable-after") and not lying)
    (in_tmp / "plain").mkdir()
    os.replace("d.pkg", "plain/d.pkg")
    monkeypatch.chdir(in_tmp / "plain")
    monkeypatch.setattr(mod, "pickle", types.SimpleNamespace(load=pickle.load))
    assert _outcomes(mod.OrmekCompressor()) == got
