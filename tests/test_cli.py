"""The `ormek` command, run as a real process: pack and unpack of directory
trees, info, the user errors (status 1, one line on stderr), bad usage
(status 2), stop signals (status 128 + N), and the plain-data package loading
that keeps `info` and `unpack` from running code from a package; and the
reading API, `ormek.open`, on which `cat` is built."""

import contextlib
import errno
import fcntl
import gc
import json
import os
import pickle
import random
import re
import shutil
import signal
import stat
import subprocess
import sys
import sysconfig
import tarfile
import termios
import time
import types
from pathlib import Path

import pytest

from helpers import REPO, pack, write_pickle

try:
    import ormek
except ImportError:  # a build tree without the installed wheel
    sys.path.insert(0, str(REPO / "python"))
    import ormek
from ormek import pack as packing, packages, progress, swap, unpack
from ormek.report import UserError
from ormek import native
from ormek import tree as walk
from ormek.tree import Entry, clashes

SCRIPT = Path(sysconfig.get_path("scripts"), "ormek")
INSTALLED = SCRIPT.is_file() and os.access(SCRIPT, os.X_OK)


@pytest.fixture(scope="module")
def command():
    """The installed console script; a build tree without it runs the module
    from the source tree instead. On a test host the script must be there."""
    if INSTALLED:
        return [str(SCRIPT)], dict(os.environ)
    if os.environ.get("ORMEK_HOST"):
        pytest.fail(f"the wheel installed no console script at {SCRIPT}")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(REPO / "python"), env.get("PYTHONPATH")]))
    return [sys.executable, "-m", "ormek"], env


@pytest.fixture
def run(command, in_tmp):
    argv, env = command

    def run(*args, cwd=None):
        return subprocess.run(
            [*argv, *map(str, args)],
            capture_output=True,
            text=True,
            env=env,
            cwd=cwd or in_tmp,
            stdin=subprocess.DEVNULL,
            timeout=120,
        )

    return run


def ok(result):
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


def user_error(result, *named):
    """Status 1, one line on stderr naming every one of `named`, no traceback."""
    assert result.returncode == 1, (result.stdout, result.stderr)
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("ormek: error: ")
    for name in named:
        assert str(name) in lines[0]
    return lines[0]


SOURCES = {
    "top.txt": "hello  world\n",
    "crlf.txt": "line one\r\nline two\r\n\r\n",
    "cr.txt": "old\rmac\rends",
    "empty.txt": "",
    "unicode.txt": "ümlaut\u00a0nbsp\u2003em  ☃\n\tindented\n",
    "a/deep.md": "# title\n\nsome   text  \n",
    "a/b/c/leaf.py": "def f():\n    return 1\n",
    "z/last.txt": "z" * 5000 + "\n",
}


def write_files(root, files):
    for rel, content in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))


@pytest.fixture
def tree(in_tmp):
    write_files(in_tmp / "src", SOURCES)
    return in_tmp / "src"


def text_mode(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def snapshot(root):
    """Every entry under `root` with its content: what "nothing written" compares."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = Path(folder, name)
            if path.is_symlink():
                found[path] = ("link", os.readlink(path))
            else:
                found[path] = path.read_bytes() if path.is_file() else path.stat().st_mode
    return found


def under(prefix):
    return {prefix + rel: rel for rel in SOURCES}


@pytest.mark.parametrize(
    "args, cwd, stored",
    [
        (["src"], ".", under("src/")),
        (["src/"], ".", under("src/")),
        (["."], "src", under("")),
        ([".."], "src/a", under("")),
        (["src/a/deep.md", "src/z"], ".", {"deep.md": "a/deep.md", "z/last.txt": "z/last.txt"}),
    ],
)
def test_tree_round_trip(run, tree, in_tmp, args, cwd, stored):
    out = ok(run("pack", *args, "-o", in_tmp / "p.pkg", cwd=in_tmp / cwd))
    size = sum((tree / rel).stat().st_size for rel in stored.values())
    summary = re.fullmatch(r"(\d+) files, (\d+) bytes -> (\d+) bytes \(.*\) in .* MB/s: .*\n", out)
    assert summary, out
    assert summary.groups() == (str(len(stored)), str(size), str((in_tmp / "p.pkg").stat().st_size))

    listed = ok(run("unpack", "p.pkg", "-d", "out", "--list")).splitlines()
    assert listed == sorted(stored, key=lambda name: name.split("/"))
    restored = {p for p in (in_tmp / "out").rglob("*") if p.is_file()}
    assert restored == {in_tmp / "out" / name for name in stored}
    for name, rel in stored.items():
        # Packages keep text as read in text mode: CR LF and lone CR become LF.
        assert (in_tmp / "out" / name).read_bytes() == text_mode(tree / rel).encode("utf-8")
    assert ok(run("unpack", "p.pkg", "-d", "again")) == f"{len(stored)} files restored into again\n"


def test_standard_library_trees_round_trip(run, in_tmp):
    lib = Path(sysconfig.get_path("stdlib")).resolve()
    roots = [lib / "email", lib / "json"]
    expected, not_utf8 = {}, 0
    for path in (p for root in roots for p in root.rglob("*")):
        if path.is_file() and not path.is_symlink():
            try:
                expected[in_tmp / "out" / path.relative_to(lib)] = text_mode(path).encode("utf-8")
            except UnicodeDecodeError:
                not_utf8 += 1
    result = run("pack", *roots, "-o", "lib.pkg")
    assert result.returncode == 0, result.stderr
    assert (f"ormek: skipped {not_utf8} file" in result.stderr) == (not_utf8 > 0)
    ok(run("unpack", "lib.pkg", "-d", "out"))
    restored = {p: p.read_bytes() for p in (in_tmp / "out").rglob("*") if p.is_file()}
    assert restored == expected


def test_info_matches_package(run, tree, in_tmp, mod):
    ok(run("pack", tree, "-o", "p.pkg"))
    report = json.loads(ok(run("info", "p.pkg", "--json")))
    with open(in_tmp / "p.pkg", "rb") as f:
        package = pickle.load(f)
    names = sorted(under("src/"), key=lambda name: name.split("/"))
    counts = [len(re.findall(r"\S+|\s+", text_mode(in_tmp / name))) for name in names]
    assert report["files"] == len(SOURCES)
    assert report["file_tokens"] == [{"name": name, "tokens": n} for name, n in zip(names, counts)]
    assert report["tokens"] == sum(counts) == package["file_boundaries"][-1]
    assert report["dictionary_size"] == len(package["global_dict"])
    assert report["compressed_bytes"] == len(package["compressed"])
    assert report["raw_bytes"] == report["frame_content_bytes"] == 4 * sum(counts)
    assert report["ratio"] == pytest.approx(len(package["compressed"]) / (4 * sum(counts)))
    assert report["package_bytes"] == (in_tmp / "p.pkg").stat().st_size

    text = ok(run("info", "p.pkg"))
    assert f"files:       {len(SOURCES)}\n" in text
    assert f"dictionary:  {len(package['global_dict'])} tokens\n" in text
    for name, n in zip(names, counts):
        assert re.search(rf"^\s*{n}  {re.escape(name)}$", text, re.M)


def test_info_writes_nothing(run, tree, in_tmp):
    ok(run("pack", tree, "-o", "p.pkg"))
    before = snapshot(in_tmp)
    ok(run("info", "p.pkg"))
    ok(run("info", "p.pkg", "--json"))
    assert snapshot(in_tmp) == before


def test_names_that_are_not_utf8(run, in_tmp):
    name = os.fsdecode(b"caf\xe9.txt")
    write_files(in_tmp / "src", {name: "text\n"})
    ok(run("pack", "src", "-o", "p.pkg"))
    # `run` decodes stdout as UTF-8: the JSON must be UTF-8 whatever the names.
    report = json.loads(ok(run("info", "p.pkg", "--json")))
    assert report["file_tokens"] == [{"name": f"src/{name}", "tokens": 2}]
    assert "caf\\udce9.txt" in ok(run("info", "p.pkg"))
    ok(run("unpack", "p.pkg", "-d", "out", "--list"))
    assert (in_tmp / "out" / "src" / name).read_text() == "text\n"


# Names on disk, and how the command prints them; the last one is a link.
HOSTILE_NAMES = {"bell\a.txt": r"bell\a.txt", "nl\nfake.txt": r"nl\nfake.txt", "c1\x9b2J": r"c1\302\2332J",
                 "t\x1b]0;x\x07": r"t\033]0;x\a", "back\\slash": r"back\\slash", "ln\x1b[2J": r"ln\033[2J"}


@pytest.mark.parametrize("args, shown", [
    (["pack", "src", "-o", "q.pkg", "-v"], 6), (["pack", "src", "-o", "q.pkg"], 1), (["list", "p.pkg"], 5),
    (["check", "p.pkg", "-v"], 5), (["unpack", "p.pkg", "-d", "out", "-v"], 5), (["info", "p.pkg"], 5),
    (["unpack", "p.pkg", "-d", "."], 5),  # refusing to replace them
])
def test_names_print_escaped(run, in_tmp, args, shown):
    *files, link = HOSTILE_NAMES
    write_files(in_tmp / "src", {name: "x\n" for name in files})
    (in_tmp / "src" / link).symlink_to("nowhere")
    assert run("pack", "src", "-o", "p.pkg", "-q").returncode == 0
    result = run(*args)
    printed = result.stdout + result.stderr
    assert not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f]", printed), printed
    assert sum(f"src/{escaped}" in printed for escaped in HOSTILE_NAMES.values()) == shown


def test_without_dict_no_dictionary_file_is_read_or_written(run, tree, in_tmp):
    (in_tmp / "larkmoor_dict.bin").write_bytes(b"not a pickle")
    ok(run("pack", tree / "top.txt", "-o", "p.pkg"))
    assert sorted(os.listdir(in_tmp)) == ["larkmoor_dict.bin", "p.pkg", "src"]
    assert (in_tmp / "larkmoor_dict.bin").read_bytes() == b"not a pickle"
    with open(in_tmp / "p.pkg", "rb") as f:
        assert pickle.load(f)["global_dict"] == {"hello": 1, "  ": 2, "world": 3, "\n": 4}


def test_dictionary_file_saved_and_reused(run, tree, in_tmp, mod):
    ok(run("pack", tree / "a", "-o", "one.pkg", "--dict", "d.bin"))
    saved = mod.OrmekCompressor("d.bin")
    assert saved.global_dict and saved.next_id == len(saved.global_dict) + 1
    ok(run("pack", tree / "z", tree / "top.txt", "-o", "two.pkg", "--dict", "d.bin"))
    with open(in_tmp / "two.pkg", "rb") as f:
        carried = pickle.load(f)["global_dict"]
    # Ids of the first run stay; the second run only adds; the package
    # carries only the tokens of its own files, with the file's ids.
    grown = mod.OrmekCompressor("d.bin").global_dict
    assert {k: grown[k] for k in saved.global_dict} == saved.global_dict
    assert carried.items() <= grown.items()
    assert set(carried) == set(mod.OrmekCompressor().tokenize((tree / "top.txt").read_text()) +
                               [t for p in (tree / "z").rglob("*") if p.is_file()
                                for t in mod.OrmekCompressor().tokenize(p.read_text())])
    assert not set(saved.global_dict) <= set(carried)

    ok(run("pack", tree, "-o", "three.pkg", "--dict", "own.bin", "--no-save-dict"))
    assert not (in_tmp / "own.bin").exists()
    ok(run("pack", tree, "-o", "three.pkg", "--dict", "own.bin"))
    assert mod.OrmekCompressor("own.bin").global_dict


def test_package_and_dictionary_made_inside_the_walked_tree(run, tree):
    ok(run("pack", ".", "-o", "self.pkg", "--dict", "d.bin", cwd=tree))
    report = json.loads(ok(run("info", tree / "self.pkg", "--json")))
    assert report["files"] == len(SOURCES)
    # Now existing files inside the tree: replacing them is refused.
    before = snapshot(tree)
    assert run("pack", ".", "-o", "self.pkg", "--dict", "d.bin", cwd=tree).returncode == 2
    assert snapshot(tree) == before


MIB = 1 << 20


def both_checks(path):
    """A file's check the module's way and the plain way, which must agree."""
    found = native.bare_compressor().check_text_files([str(path)])[0]
    assert found == walk.check_file(str(path), os.O_NOFOLLOW)
    return found


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"plain ascii\n" * 100,
        "caf\u00e9 \u2603 \U0001f600".encode(),
        b"a" * (MIB - 1) + "\u00e9".encode() + b"b",  # a character across two reads
        b"a" * (MIB - 2) + "\U0001f600".encode(),
        b"a" * MIB + b"\xff",
        b"\x80abc",
        b"a" * (MIB - 1) + b"\xc3",  # truncated at the end, across a read
        "\u00e9".encode() + b"a" * MIB + b"\xe9",
        b"x\xed\xa0\x80y",  # an encoded surrogate
        b"x\xed\xa0",
        b"\xe0\x80\xaf",  # overlong
        b"\xf4\x90\x80\x80",  # beyond U+10FFFF
        b"\xf0\x9f\x98",
        b"\xf0\x9f\x41\x41",
        b"ab\xe2\x82",
    ]
    + [random.Random(seed).randbytes(40) for seed in range(6)],
)
def test_not_utf8_found_where_the_decoder_finds_it(tmp_path, data):
    (tmp_path / "f").write_bytes(data)
    check = both_checks(tmp_path / "f")
    try:
        data.decode("utf-8")
        expected = None
    except UnicodeDecodeError as err:
        expected = (err.reason, err.start)
    assert check[3:] == (len(data), expected)


def test_special_files_and_open_failures_checked_alike(tmp_path):
    (tmp_path / "f").write_text("x")
    (tmp_path / "link").symlink_to("f")
    os.mkfifo(tmp_path / "fifo")
    assert both_checks(tmp_path / "link") == errno.ELOOP
    assert both_checks(tmp_path / "missing") == errno.ENOENT
    assert stat.S_ISFIFO(both_checks(tmp_path / "fifo")[2])


@pytest.mark.parametrize("change", ["none", "remove", "link", "fifo"])
def test_files_changed_during_the_walk(tmp_path, monkeypatch, change):
    """Between the listing of the tree and the check of its files: the first
    failure in walk order is the one refused, wherever it was found."""
    write_files(tmp_path, {"t/a/x.txt": b"x", "t/b/y.txt": b"y", "t/c/z.txt": b"z"})
    listed = walk._sorted_entries

    def listing_then_change(folder):
        if folder.endswith("/b"):
            x = tmp_path / "t/a/x.txt"
            if change != "none":
                x.unlink()
            if change == "link":
                x.symlink_to("y")
            elif change == "fifo":
                os.mkfifo(x)
            else:
                shutil.rmtree(tmp_path / "t/c")
        return listed(folder)

    monkeypatch.setattr(walk, "_sorted_entries", listing_then_change)
    failed = {"none": "t/c", "remove": "t/a/x.txt", "link": "t/a/x.txt"}
    if change in failed:
        with pytest.raises(UserError) as raised:
            walk.collect([str(tmp_path / "t")], {})
        assert str(tmp_path / failed[change]) in str(raised.value)
    else:
        found = walk.collect([str(tmp_path / "t")], {})
        assert [e.name for e in found.entries] == ["t/b/y.txt", "t/c/z.txt"]
        assert found.skipped.each() == [(str(tmp_path / "t/a/x.txt"), "special file")]
        assert found.empty_dirs == ["t/a"]


@pytest.mark.parametrize("strict", [False, True])
def test_links_special_and_not_utf8_files_skipped(run, tree, in_tmp, strict):
    write_files(tree, {"a/latin1.txt": b"caf\xe9\n", "g/blob.gz": b"\x1f\x8b\x08\x00\xff"})
    (tree / "link.txt").symlink_to("top.txt")
    os.mkfifo(tree / "pipe")
    result = run("pack", tree, "-o", "p.pkg", *["--strict"] * strict)
    skipped = [
        f"1 symbolic link: {tree / 'link.txt'}",
        f"1 special file: {tree / 'pipe'}",
        f"2 files that are not UTF-8 text: {tree / 'a/latin1.txt'}, {tree / 'g/blob.gz'}",
    ]
    if strict:
        user_error(result, "--strict", *skipped)
        assert not (in_tmp / "p.pkg").exists()
    else:
        assert result.returncode == 0
        assert result.stderr.splitlines() == [f"ormek: skipped {text}" for text in skipped]
        described = json.loads(ok(run("info", "p.pkg", "--json")))
        assert (described["files"], described["empty_dirs"]) == (len(SOURCES), 1)
        ok(run("unpack", "p.pkg", "-d", "out"))
        assert os.listdir(in_tmp / "out" / "src" / "g") == []  # all its files skipped


@pytest.mark.parametrize("picked", [[], ["src/a/"]], ids=["all", "picked"])
def test_directories_come_back_as_they_were(run, tree, in_tmp, picked):
    write_files(tree, {"g/only.pyc": b"\xff\xfe"})  # all its files skipped
    modes = {"src": 0o750, "src/a": 0o700, "src/a/b/c": 0o711, "src/g": 0o705}
    for n, (name, mode) in enumerate(modes.items()):
        os.chmod(in_tmp / name, mode)
        os.utime(in_tmp / name, ns=(0, 1_600_000_000_123_456_789 + n))
    assert run("pack", "src", "-o", "p.pkg").returncode == 0  # with a line on what was skipped
    ok(run("unpack", "p.pkg", "-d", "out", *picked))
    umask = os.umask(0)
    os.umask(umask)
    for n, (name, mode) in enumerate(modes.items()):
        if picked and name not in ("src", "src/a", "src/a/b/c"):
            assert not (in_tmp / "out" / name).exists()
            continue
        st = (in_tmp / "out" / name).stat()
        assert (stat.S_IMODE(st.st_mode), st.st_mtime_ns) == (mode & ~umask, 1_600_000_000_123_456_789 + n)


def test_clashing_names_refused_before_writing(run, in_tmp):
    for side in "ab":
        write_files(in_tmp / side / "src", {f"f{i:02}.txt": "x\n" for i in range(12)})
    write_files(in_tmp, {"c/src": "a file where a directory is needed\n"})
    before = snapshot(in_tmp)
    line = user_error(
        run("pack", "a/src", "b/src", "c/src", "-o", "p.pkg"),
        "13 clashing stored names",
        "src/f09.txt: a/src/f09.txt, b/src/f09.txt; ... and 3 more",
    )
    assert "f10" not in line
    user_error(run("pack", "c/src", "a/src", "-o", "p.pkg"), "src: c/src, a/src/f00.txt")
    assert snapshot(in_tmp) == before


@pytest.mark.parametrize(
    "args",
    [
        ["src/top.txt", "-o", "src/top.txt"],
        ["src/top.txt", "-o", "src/../src/top.txt"],
        ["src/top.txt", "-o", "hardlink.txt"],
        ["src", "-o", "src"],
        ["src", "-o", "p.pkg", "--dict", "p.pkg"],
        ["src/top.txt", "-o", "p.pkg", "--dict", "./src/top.txt"],
        ["src", "-o", "p.pkg", "--dict", "src"],
        ["src", "-o", "src/top.txt"],
        ["src", "-o", "ln/a/deep.md"],
        ["src", "-o", "hardlink.txt"],
        ["src", "-o", "src/bin.dat"],
        ["src", "-o", "src/fifo"],
        ["src", "-o", "p.pkg", "--dict", "ln/z/last.txt"],
    ],
)
def test_pack_over_its_own_files_is_bad_usage(run, tree, in_tmp, args):
    os.link(tree / "top.txt", in_tmp / "hardlink.txt")
    (in_tmp / "ln").symlink_to("src")
    (tree / "bin.dat").write_bytes(b"\xff\xfe not text")
    os.mkfifo(tree / "fifo")
    before = snapshot(in_tmp)
    result = run("pack", *args)
    assert result.returncode == 2 and "usage: ormek pack" in result.stderr
    assert snapshot(in_tmp) == before


@pytest.mark.parametrize(
    "case",
    ["missing input", "non-UTF-8 input", "output dir missing", "output is a dir", "output under a file"],
)
def test_user_errors_are_one_line(run, tree, in_tmp, case):
    args = [tree]
    output = "p.pkg"
    named = []
    if case == "missing input":
        args.append("nothere.txt")
        named.append("nothere.txt")
    elif case == "non-UTF-8 input":
        (in_tmp / "latin1.txt").write_bytes(b"caf\xe9\n")
        args.append("latin1.txt")
        named += ["latin1.txt", "UTF-8"]
    elif case == "output dir missing":
        output = "no/such/dir/p.pkg"
    elif case == "output is a dir":
        output = "src/a"
    else:
        output = "src/top.txt/p.pkg"
    before = snapshot(in_tmp)
    user_error(run("pack", *args, "-o", output), output if not named else named[0], *named[1:])
    assert snapshot(in_tmp) == before  # no package, no dictionary, no temporary


@pytest.mark.parametrize("earlier", [True, False])
def test_failed_dictionary_save_keeps_the_earlier_package(run, tree, in_tmp, earlier):
    if earlier:
        ok(run("pack", tree / "top.txt", "-o", "p.pkg"))
    # Under a regular file no dictionary file can be created, root or not.
    (in_tmp / "plain.txt").write_text("a file, not a directory\n")
    before = snapshot(in_tmp)
    user_error(run("pack", tree, "-o", "p.pkg", "--dict", "plain.txt/d.bin"), "plain.txt/d.bin")
    assert snapshot(in_tmp) == before


@pytest.mark.parametrize("content", [
    b"not a pickle", "a package", "code", [("dict", {}), ("next_id", 1)], {"dict": {}, "next_id": 1, "x": 0},
    {"dict": {"a": "1"}, "next_id": 2}, {"dict": {b"a": 1}, "next_id": 2}, {"dict": {}, "next_id": 1.0},
])
@pytest.mark.parametrize("save", [[], ["--no-save-dict"]])
def test_what_is_no_dictionary_file_is_refused_untouched(run, tree, in_tmp, content, save):
    if content == "a package":
        ok(run("pack", tree / "top.txt", "-o", "d.bin"))
    elif content == "code":
        write_pickle(in_tmp / "d.bin", {"dict": Payload(in_tmp / "ran"), "next_id": 1})
    elif isinstance(content, bytes):
        (in_tmp / "d.bin").write_bytes(content)
    else:
        write_pickle(in_tmp / "d.bin", content)
    before = snapshot(in_tmp)
    user_error(run("pack", tree, "-o", "p.pkg", "--dict", "d.bin", *save), "d.bin: not a dictionary file")
    assert snapshot(in_tmp) == before  # the file as it was, no package, no code run


def test_pack_to_a_device(run, tree):
    assert ok(run("pack", tree, "-o", os.devnull)).endswith(f"MB/s: {os.devnull}\n")
    assert Path(os.devnull).is_char_device()


@pytest.fixture(scope="module")
def slow_input(tmp_path_factory):
    """Text whose id stream takes Zstandard level 19 some seconds."""
    words = [f"w{i}" for i in range(50_000)]
    path = tmp_path_factory.mktemp("slow") / "big.txt"
    path.write_text(" ".join(random.Random(1).choices(words, k=1_500_000)))
    return path


def default_signals():
    for signum in ormek.signals.STOP_SIGNALS:
        signal.signal(signum, signal.SIG_DFL)


# write(2)'s number in /proc/PID/task/TID/syscall, by machine.
WRITE_SYSCALL = {"x86_64": "1", "aarch64": "64"}.get(os.uname().machine)


def output_blocked(proc):  # the command's stdout pipe is full: it waits in a write
    waiting = fcntl.ioctl(proc.stdout, termios.FIONREAD, bytes(4))
    size = fcntl.fcntl(proc.stdout, fcntl.F_GETPIPE_SZ)
    if WRITE_SYSCALL is None:
        return int.from_bytes(waiting, sys.byteorder) >= size
    # The pipe's pages fill before its bytes do (writes of a little over two
    # pages leave each third page nearly empty), so a full pipe may hold well
    # under its size: the sign is a thread of the command inside write(1, ...).
    if int.from_bytes(waiting, sys.byteorder) < size // 2:
        return False
    for task in os.listdir(f"/proc/{proc.pid}/task"):
        try:
            call = Path(f"/proc/{proc.pid}/task/{task}/syscall").read_text().split()
        except OSError:
            continue
        if call[:2] == [WRITE_SYSCALL, "0x1"]:
            return True
    return False


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
@pytest.mark.parametrize("phase", ["compressing", "output blocked"])
def test_stop_signal_ends_the_command(command, run, tree, in_tmp, slow_input, signum, phase):
    argv, env = command
    if phase == "compressing":  # Zstandard's worker threads busy for seconds at level 19
        ok(run("pack", tree, "-o", "p.pkg", "--dict", "d.bin"))
        args, started = ["pack", slow_input, "-o", "p.pkg", "--dict", "d.bin", "--level", "19"], (
            lambda proc: len(os.listdir(f"/proc/{proc.pid}/task")) >= 3)
    else:  # a listing longer than the pipe, and a reader that never reads
        write_files(in_tmp / "many", {f"{i:0>60}.txt": "" for i in range(2000)})
        ok(run("pack", "many", "-o", "p.pkg"))
        args, started, env = ["list", "p.pkg"], output_blocked, {**env, "PYTHONUNBUFFERED": ""}
    before = snapshot(in_tmp)
    with subprocess.Popen([*argv, *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, preexec_fn=default_signals) as proc:
        deadline = time.monotonic() + 60
        while not started(proc) and time.monotonic() < deadline:
            time.sleep(0.02)
        proc.send_signal(signum)
        try:
            proc.wait(timeout=20)  # a hang guard: ending takes well under a second
        finally:
            proc.kill()
        assert proc.returncode == 128 + signum
        assert proc.stderr.read() == f"ormek: interrupted by {signal.Signals(signum).name}\n"
    assert snapshot(in_tmp) == before


# Run by the command's interpreter at start-up: sends the signal while the
# named module is being imported.
SIGNAL_DURING_IMPORT = """
import os, sys, time

class SignalDuringImport:
    def find_spec(self, name, path=None, target=None):
        if name == {module!r}:
            sys.meta_path.remove(self)
            os.kill(os.getpid(), {signum})
            time.sleep(5)

sys.meta_path.insert(0, SignalDuringImport())
"""


@pytest.mark.parametrize("module", ["ormek.cli", "ormek_compressor"])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_stop_signal_while_starting(command, tmp_path, module, signum):
    argv, env = command
    (tmp_path / "sitecustomize.py").write_text(SIGNAL_DURING_IMPORT.format(module=module, signum=signum))
    env = {**env, "PYTHONPATH": os.pathsep.join(filter(None, [str(tmp_path), env.get("PYTHONPATH")]))}
    result = subprocess.run([*argv, "info", "p.pkg"], capture_output=True, text=True, env=env,
                            cwd=tmp_path, preexec_fn=default_signals, timeout=60)
    assert (result.returncode, result.stderr) == (
        128 + signum, f"ormek: interrupted by {signal.Signals(signum).name}\n")


def test_start_up_leaves_heavy_modules_unimported():
    """The commands' modules import none of these at start-up: each costs
    every run milliseconds that a pack of a tree shows."""
    heavy = {"typing", "dataclasses", "inspect", "tempfile", "secrets", "shutil"}
    code = f"import sys, ormek.cli, ormek.pack, ormek.unpack; print(sorted({heavy!r} & set(sys.modules)))"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout == "[]\n"


@pytest.mark.parametrize("depth", [600, 1000])
def test_deep_trees_pack_and_restore(run, in_tmp, depth):
    leaf = in_tmp / "src"
    for _ in range(depth):
        leaf.mkdir()
        leaf /= "d"
    leaf.mkdir()
    (leaf / "f.txt").write_text("deep  down\n")
    ok(run("pack", "src", "-o", "p.pkg"))
    ok(run("unpack", "p.pkg", "-d", "out"))
    assert (in_tmp / "out" / leaf.relative_to(in_tmp) / "f.txt").read_text() == "deep  down\n"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_loader_reads_every_protocol(run, in_tmp, protocol):
    import zstandard

    package = {
        "compressed": zstandard.ZstdCompressor().compress(pack([1, 2, 1])),
        "file_boundaries": [2, 3],
        "filenames": ["a.txt", "b.txt"],
        "global_dict": {"hi": 1, " ": 2},
    }
    write_pickle(in_tmp / "p.pkg", package, protocol)
    report = json.loads(ok(run("info", "p.pkg", "--json")))
    assert [f["tokens"] for f in report["file_tokens"]] == [2, 1]
    assert report["dictionary_size"] == 2
    ok(run("unpack", "p.pkg", "-d", "out"))
    assert (in_tmp / "out" / "a.txt").read_text() == "hi "
    assert (in_tmp / "out" / "b.txt").read_text() == "hi"


class Payload:
    """Unpickling this runs os.system: what a hostile package would do."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (os.system, (f"touch {self.marker}",))


def ext_opcode_pickle():
    # EXT1 code 0x7f then STOP, after a protocol 2 header.
    return b"\x80\x02\x82\x7f."


@pytest.mark.parametrize("subcommand", ["info", "unpack"])
@pytest.mark.parametrize("kind", ["global", "ext"])
def test_package_code_never_runs(run, in_tmp, subcommand, kind):
    marker = in_tmp / "ran"
    if kind == "global":
        write_pickle(in_tmp / "evil.pkg", {"compressed": Payload(marker), "file_boundaries": [], "filenames": []})
    else:
        (in_tmp / "evil.pkg").write_bytes(ext_opcode_pickle())
    args = ["-d", "out"] if subcommand == "unpack" else []
    line = user_error(run(subcommand, "evil.pkg", *args), "evil.pkg")
    assert "refus" in line
    assert not marker.exists()
    assert not (in_tmp / "out").exists()


def test_package_reading_refuses_ext_also_when_registered(in_tmp, monkeypatch):
    import copyreg

    monkeypatch.setitem(copyreg._inverted_registry, 0x7F, ("os", "system"))
    monkeypatch.setitem(copyreg._extension_registry, ("os", "system"), 0x7F)
    path = in_tmp / "ext.pkg"
    path.write_bytes(ext_opcode_pickle())
    with pytest.raises(UserError, match="EXT"):
        packages.read_package(str(path))


@pytest.mark.parametrize(
    "stream, problem",
    [
        # A memo store at index 2^27: an unpickler that sizes its memo by the
        # index would allocate and clear gigabytes here.
        (b"\x80\x02Nr\x00\x00\x00\x08.", "memo index 134217728"),
        (b"\x80\x02\xee.", "cannot be read as one"),
        (b"\x80\x02}q\x00(X\x01\x00\x00", "truncated"),
        (b"\x80\x05\x95" + (1 << 62).to_bytes(8, "little") + b"B\xff\xff\xff\x7f", "truncated"),
    ],
)
def test_hostile_streams_fail_cheaply(run, in_tmp, stream, problem):
    (in_tmp / "p.pkg").write_bytes(stream)
    assert problem in user_error(run("info", "p.pkg"), "p.pkg")
    user_error(run("unpack", "p.pkg", "-d", "out"), "p.pkg")
    assert not (in_tmp / "out").exists()


@pytest.mark.parametrize(
    "names",
    [["../escape.txt"], ["/tmp/abs.txt"], ["sub//inner.txt"], [".."], ["ok.txt", "a/../../x"]],
)
def test_unpack_refuses_names_outside_the_directory(run, in_tmp, names):
    import zstandard

    package = {
        "compressed": zstandard.ZstdCompressor().compress(pack([1]) * len(names)),
        "file_boundaries": list(range(1, len(names) + 1)),
        "filenames": names,
        "global_dict": {"x": 1},
    }
    write_pickle(in_tmp / "p.pkg", package)
    assert "outside the output directory" in user_error(run("unpack", "p.pkg", "-d", "out"), "p.pkg")
    assert sorted(os.listdir(in_tmp)) == ["p.pkg"]  # not even the output directory


@pytest.mark.parametrize("boundaries, names, refused", [
    ((1,), ("important.txt",), True),
    ([1], {"important.txt": None}, True),
    (b"\x01", ["important.txt"], True),
    ([1], ["new.txt", "important.txt"], False),  # a name without a boundary is not written
])
def test_unpack_checks_the_names_restoring_writes(run, in_tmp, boundaries, names, refused):
    package = {"compressed": pack([1]), "file_boundaries": boundaries, "filenames": names,
               "global_dict": {"new": 1}}
    write_pickle(in_tmp / "p.pkg", package)
    write_files(in_tmp, {"out/important.txt": "keep\n"})
    before = snapshot(in_tmp)
    result = run("unpack", "p.pkg", "-d", "out", "--raw")
    if refused:
        user_error(result, "out/important.txt", "--force")
        assert snapshot(in_tmp) == before
    else:
        ok(result)
        assert (in_tmp / "out" / "important.txt").read_text() == "keep\n"


def test_unpack_reports_repeated_names(run, in_tmp):
    package = {
        "compressed": pack([1, 2]),
        "file_boundaries": [1, 2],
        "filenames": ["twice.txt", "twice.txt"],
        "global_dict": {"first": 1, "second": 2},
    }
    write_pickle(in_tmp / "p.pkg", package)
    assert "'twice.txt'" in user_error(run("unpack", "p.pkg", "-d", "out", "--raw"), "p.pkg")
    assert (in_tmp / "out" / "twice.txt").read_text() == "second"


@pytest.mark.parametrize("package, problem", [
    ([1, 2], "is not a package: it holds a list, not a package's dict"),
    ({"file_boundaries": [], "global_dict": {}}, 'is not a package: it lacks the keys "compressed", "filenames"'),
    ({"compressed": b"", "file_boundaries": [1], "filenames": []}, "is damaged: it holds 0 file names but 1 file boundary"),
    ({"compressed": b"", "file_boundaries": [3, 1], "filenames": ["a", "b"]}, 'is damaged: its "file_boundaries" are not in order'),
    ({"compressed": "text", "file_boundaries": [], "filenames": []}, 'damaged or not a package: its "compressed" holds text,'),
    ({"compressed": b"", "file_boundaries": [0], "filenames": [b"b.txt"]}, 'package: its "filenames" hold bytes where a name'),
    ({"compressed": b"\x28\xb5\x2f\xfd" + bytes(9), "file_boundaries": [1], "filenames": ["a"]}, "is damaged: its compressed id stream does not decompress"),
    (b"\x80\x02\xee.", "is damaged or not a package: it cannot be read as one"),
])
def test_one_damage_reads_the_same_in_every_command(run, in_tmp, package, problem):
    if isinstance(package, bytes):
        (in_tmp / "p.pkg").write_bytes(package)
    else:
        write_pickle(in_tmp / "p.pkg", package)
    commands = [["check"], ["list"], ["info"], ["unpack", "-d", "out"], ["cat", "a"]]
    said = {user_error(run(*command[:1], "p.pkg", *command[1:])) for command in commands}
    (line,) = said
    assert line.startswith("ormek: error: p.pkg: ") and problem in line


def test_unpack_raw(run, in_tmp):
    package = {"compressed": pack([1, 2]), "file_boundaries": [2], "filenames": ["r.txt"], "global_dict": {"a": 1, "\n": 2}}
    write_pickle(in_tmp / "raw.pkg", package)
    ok(run("unpack", "raw.pkg", "-d", "out", "--raw"))
    assert (in_tmp / "out" / "r.txt").read_text() == "a\n"
    assert "--raw" in user_error(run("unpack", "raw.pkg", "-d", "out2"), "raw.pkg")
    write_pickle(in_tmp / "raw.pkg", {**package, "compressed": b"\x80\x00\x00\x00\x00\x00\x00\x01"})
    said = {user_error(run(command, "raw.pkg", "--raw", *extra)) for command, extra in [("check", []), ("unpack", ["-d", "o"])]}
    assert said == {"ormek: error: raw.pkg: is damaged: its id stream holds an id beyond 2147483647"}


def test_raw_refused_on_a_compressed_package(run, tree, in_tmp):
    ok(run("pack", tree, "-o", "p.pkg"))
    assert "Zstandard" in user_error(run("unpack", "p.pkg", "-d", "out", "--raw"), "p.pkg")
    assert "Zstandard" in user_error(run("cat", "p.pkg", "src/top.txt", "--raw"), "p.pkg")
    assert not (in_tmp / "out").exists()


def test_unpack_refuses_existing_targets_unless_forced(run, in_tmp):
    write_files(in_tmp / "src", {f"f{i:02}.txt": "new\n" for i in range(12)})
    ok(run("pack", "src", "-o", "p.pkg"))
    write_files(in_tmp, {f"out/src/f{i:02}.txt": "old\n" for i in range(12)})
    write_files(in_tmp, {"elsewhere/other.txt": "stays\n"})
    before = snapshot(in_tmp)
    existing = "out/src/f09.txt, ... and 2 more"
    line = user_error(run("unpack", "p.pkg", "-d", "out"), "--force", existing)
    assert "f10" not in line
    assert snapshot(in_tmp) == before
    ok(run("unpack", "p.pkg", "-d", "out", "--force"))
    assert {p.read_text() for p in (in_tmp / "out" / "src").iterdir()} == {"new\n"}
    ok(run("unpack", "p.pkg", "-d", "elsewhere"))
    assert (in_tmp / "elsewhere" / "other.txt").read_text() == "stays\n"


@pytest.mark.parametrize(
    "in_the_way, kind",
    [
        ("src/f.txt", "link to file"),
        ("src/f.txt", "directory"),
        ("src", "link to directory"),
        ("src", "file"),
    ],
)
def test_forced_unpack_replaces_regular_files_only(run, in_tmp, in_the_way, kind):
    write_files(in_tmp, {"src/f.txt": "new\n", "victim/f.txt": "keep\n"})
    ok(run("pack", "src", "-o", "p.pkg"))
    path = in_tmp / "out" / in_the_way
    path.parent.mkdir(parents=True)
    if kind == "file":
        path.write_text("in the way\n")
    elif kind == "directory":
        path.mkdir()
    else:
        path.symlink_to(in_tmp / "victim" / ("f.txt" if kind == "link to file" else ""))
    before = snapshot(in_tmp)
    user_error(run("unpack", "p.pkg", "-d", "out", "--force"), path.relative_to(in_tmp))
    assert snapshot(in_tmp) == before


@pytest.mark.parametrize("subcommand", ["unpack", "info"])
def test_missing_or_foreign_package(run, in_tmp, subcommand):
    (in_tmp / "text.txt").write_text("just text\n")
    extra = ["-d", "out"] if subcommand == "unpack" else []
    assert "No such file" in user_error(run(subcommand, "nothere.pkg", *extra), "nothere.pkg")
    user_error(run(subcommand, "text.txt", *extra), "text.txt")


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["frobnicate"],
        ["pack", "x.txt"],
        ["pack", "-o", "p.pkg"],
        ["pack", "x.txt", "-o", "p.pkg", "--level", "high"],
        ["pack", "x.txt", "-o", "p.pkg", "--level", "99"],
        ["pack", "x.txt", "-o", "p.pkg", "--threads", "-5"],
        ["unpack", "p.pkg"],
        ["info"],
        ["info", "p.pkg", "--bogus"],
        ["unpack", "p.pkg", "-d", "out", "--nope"],
        ["pack", "x.txt", "-o", "p.pkg", "-v", "-q"],
    ],
)
def test_bad_usage_exits_2(run, in_tmp, args):
    result = run(*args)
    assert result.returncode == 2
    # A subcommand's own usage once the subcommand is known.
    assert f"usage: ormek {args[0] if len(args) > 1 else ''}".rstrip() in result.stderr
    assert os.listdir(in_tmp) == []


@pytest.mark.parametrize("subcommand", [[], ["pack"], ["unpack"], ["info"]])
def test_help(run, subcommand):
    out = ok(run(*subcommand, "--help"))
    assert out.startswith(f"usage: ormek {' '.join(subcommand)}".rstrip())


def test_python_dash_m(in_tmp, command):
    _, env = command
    if not INSTALLED:
        env = dict(env)
    result = subprocess.run(
        [sys.executable, "-m", "ormek", "info", "--help"], capture_output=True, text=True, env=env
    )
    assert result.returncode == 0 and result.stdout.startswith("usage: ormek info")


def test_progress_follows_the_opens():
    shown = progress.Progress(False, 2, 30)
    paths = [progress.TrackedPath("a.txt", 10, shown), progress.TrackedPath("b.txt", 20, shown)]
    assert os.fspath(paths[0]) == "a.txt"
    assert os.path.basename(paths[0]) == "a.txt"  # a second __fspath__ is no second open
    assert (shown.files_read, shown.bytes_read, shown.last_opened) == (1, 10, "a.txt")
    os.fspath(paths[1])
    assert (shown.files_read, shown.bytes_read, shown.last_opened) == (2, 30, "b.txt")


@pytest.mark.parametrize(
    "columns, fitted", [(80, "packing 3 files"), (9, "packing "), (1, ""), (0, "")]
)
def test_progress_line_never_wraps(columns, fitted):
    assert progress.fit_line("packing 3 files", columns) == fitted


@pytest.mark.parametrize("python_options", [None, ["-W", "default"]])
def test_no_warnings_at_start_up(command, python_options):
    argv, env = command
    if python_options is not None:
        argv = [sys.executable, *python_options, "-m", "ormek"]
    env = {**env, "PYTHONWARNINGS": "default"}
    result = subprocess.run([*argv, "info", "--help"], capture_output=True, text=True, env=env)
    assert result.returncode == 0 and result.stderr == ""


def test_quiet_when_not_a_terminal(run, tree):
    # The whole of stdout is the summary line: no status line, no escapes.
    out = ok(run("pack", tree, "-o", "p.pkg"))
    assert out.count("\n") == 1 and "\r" not in out and "\x1b" not in out


# --------------------------------------------------------------------------
# Pipes, voices, choices and listings


@pytest.fixture
def run_binary(command, in_tmp):
    """`run` with bytes in and out, and a temporary directory of its own that
    must be empty again after each command."""
    argv, env = command
    private = in_tmp.parent / f"{in_tmp.name}-tmp"
    private.mkdir()
    env = {**env, "TMPDIR": str(private)}

    def run_binary(*args, input=b""):
        done = subprocess.run(
            [*argv, *map(str, args)], input=input, capture_output=True, env=env, cwd=in_tmp, timeout=120
        )
        assert os.listdir(private) == []
        return done

    run_binary.env = env
    run_binary.private = private
    return run_binary


def test_package_through_pipes(run_binary, tree, in_tmp):
    packed = run_binary("pack", "src", "-o", "-")
    assert packed.returncode == 0 and re.fullmatch(rb"8 files, .*: -\n", packed.stderr), packed.stderr
    names = pickle.loads(packed.stdout)["filenames"]
    assert names == sorted(under("src/"), key=lambda name: name.split("/"))
    assert run_binary("unpack", "-", "-d", "out", "-q", input=packed.stdout).stdout == b""
    assert {p.relative_to(in_tmp / "out").as_posix() for p in (in_tmp / "out").rglob("*") if p.is_file()} == set(names)
    listed = run_binary("list", "-", input=packed.stdout).stdout.decode().splitlines()
    assert [line.split()[-1] for line in listed] == names
    assert b"package:     -\n" in run_binary("info", "-", input=packed.stdout).stdout
    line = run_binary("info", "-", input=b"not a package").stderr.decode()
    assert line.startswith("ormek: error: -: is not a package")


@pytest.mark.parametrize("args, stdin, problem", [
    (["list", "-"], "open", "-: is not a package"),  # refused at its first bytes, before its end
    (["pack", "src", "-o", "-"], "closed stdout", "standard output is closed"),
    (["list", "p.pkg"], "closed stdout", "standard output is closed"),
])
def test_standard_streams_refused_at_once(command, run_binary, tree, in_tmp, args, stdin, problem):
    assert run_binary("pack", "src", "-o", "p.pkg").returncode == 0
    before = snapshot(in_tmp)
    with subprocess.Popen(
        [*command[0], *args], stdin=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=run_binary.env,
        cwd=in_tmp, preexec_fn=(lambda: os.close(1)) if stdin == "closed stdout" else None,
    ) as proc:
        if stdin == "open":
            proc.stdin.write("y\n")
            proc.stdin.flush()
        proc.wait(timeout=60)  # a hang guard: the input never ends
        user_error(subprocess.CompletedProcess(args, proc.returncode, None, proc.stderr.read()), problem)
    assert snapshot(in_tmp) == before and os.listdir(run_binary.private) == []


def test_stop_signal_while_spooling(command, run_binary):
    with subprocess.Popen(
        [*command[0], "unpack", "-", "-d", "out"], stdin=subprocess.PIPE, stderr=subprocess.PIPE,
        env=run_binary.env, cwd=run_binary.private.parent, preexec_fn=default_signals,
    ) as proc:
        proc.stdin.write(b"\x80\x05" * 1000)
        proc.stdin.flush()
        deadline = time.monotonic() + 30
        while not os.listdir(run_binary.private) and time.monotonic() < deadline:
            time.sleep(0.02)
        proc.send_signal(signal.SIGTERM)
        # a guard against a hang only: a debug interpreter on a busy machine
        # takes seconds to wind down
        assert proc.wait(timeout=60) == 128 + signal.SIGTERM
    assert os.listdir(run_binary.private) == []


@pytest.mark.parametrize("before", [False, True], ids=["after", "before"])  # the command
@pytest.mark.parametrize("voice", ["-v", "-q"])
def test_verbose_and_quiet(run, tree, in_tmp, voice, before):
    write_files(tree, {"a/latin1.txt": b"caf\xe9\n"})
    names = sorted(under("src/"), key=lambda name: name.split("/"))
    results = [
        run(*[voice] * before, *args, *[voice] * (not before))
        for args in [("pack", "src", "-o", "p.pkg"), ("unpack", "p.pkg", "-d", "out"),
                     ("list", "p.pkg"), ("info", "p.pkg", "--json")]
    ]
    assert [r.returncode for r in results] == [0] * 4
    other = "-q" if voice == "-v" else "-v"
    contradicted = run(voice, "list", "p.pkg", other)
    assert contradicted.returncode == 2 and "usage: ormek list" in contradicted.stderr
    if voice == "-q":
        assert [(r.stdout, r.stderr) for r in results] == [("", "")] * 4
        return
    assert results[0].stdout.splitlines()[:-1] == names
    problem = "not UTF-8 text (invalid continuation byte at byte 3)"
    assert results[0].stderr == f"ormek: skipped src/a/latin1.txt: {problem}\n"
    assert results[1].stdout.splitlines() == names


def test_inputs_and_output_checked_before_reading(run, tree, in_tmp):
    write_files(tree, {"a/latin1.txt": b"caf\xe9\n"})  # would print a skip notice
    user_error(run("pack", "src", "-o", "no/such/p.pkg"), "no/such/p.pkg")
    user_error(run("pack", "src", "-o", "p.pkg", "--dict", "src/top.txt/d.bin"), "src/top.txt/d.bin")
    user_error(run("pack", "gone.txt", "src", "lost", "-o", "p.pkg"), "2 inputs", "gone.txt", "lost")
    assert not (in_tmp / "p.pkg").exists()


def test_one_file_is_one_file(run, tree, in_tmp):
    assert ok(run("pack", "src/top.txt", "-o", "p.pkg")).startswith("1 file, ")
    assert ok(run("unpack", "p.pkg", "-d", "out")) == "1 file restored into out\n"
    assert "p.pkg: intact, 1 file restores as it was packed;" in ok(run("check", "p.pkg"))
    (tree / "e").mkdir()
    ok(run("pack", "src/e", "src/top.txt", "-o", "e.pkg"))
    assert "; 1 empty directory\n" in ok(run("info", "e.pkg"))
    one = progress.Progress(False, 1, 10)
    one.files_read = 1
    assert one.status().startswith("packing 1 file (")
    (in_tmp / "afile").write_text("not a directory\n")
    for directory, problem in [("afile", "is not a directory"), ("afile/x", "cannot restore into it: afile is not a directory")]:
        assert user_error(run("unpack", "p.pkg", "-d", directory)).endswith(f"{directory}: {problem}")


def test_unpack_picks_names(run, tree, in_tmp):
    ok(run("pack", "src", "-o", "p.pkg"))
    picked = ["src/a/b/c/leaf.py", "src/a/deep.md", "src/top.txt"]
    assert ok(run("unpack", "p.pkg", "-d", "out", "src/top.txt", "src/a/", "-v")).splitlines() == picked
    assert sorted(p.relative_to(in_tmp / "out").as_posix() for p in (in_tmp / "out").rglob("*.*")) == picked
    before = snapshot(in_tmp)
    user_error(run("unpack", "p.pkg", "-d", "again", "src/no", "src/a", "zz"), "'src/no', 'zz'")
    assert snapshot(in_tmp) == before


def test_list_gives_sizes_and_writes_nothing(run, tree, in_tmp):
    ok(run("pack", "src", "-o", "p.pkg"))
    ok(run("unpack", "p.pkg", "-d", "out"))
    before = snapshot(in_tmp)
    for line in ok(run("list", "p.pkg")).splitlines():
        *columns, name = line.split()
        assert int(columns[-1] if len(columns) < 3 else columns[1]) == (in_tmp / "out" / name).stat().st_size
    text_bytes = sum(p.stat().st_size for p in (in_tmp / "out").rglob("*") if p.is_file())
    report = json.loads(ok(run("info", "p.pkg", "--json")))
    assert report["text_bytes"] == text_bytes
    assert report["package_ratio"] == pytest.approx((in_tmp / "p.pkg").stat().st_size / text_bytes)
    assert f"bytes for {text_bytes} bytes of text" in ok(run("info", "p.pkg"))
    assert snapshot(in_tmp) == before


def test_distribution_carries_licence_and_classifiers(tmp_path, monkeypatch):
    from importlib import metadata

    if not INSTALLED:
        pytest.skip("not installed from the wheel")
    dist = metadata.distribution("ormek_compressor")
    wanted = {"Programming Language :: Python :: 3.13", "Programming Language :: Python :: 3.14",
              "Operating System :: POSIX :: Linux", "Programming Language :: C++"}
    classifiers = set(dist.metadata.get_all("Classifier"))
    assert wanted <= classifiers and any("Free Threading" in c for c in classifiers)
    licence = [f for f in dist.files if f.name == "LICENSE"]
    assert licence and "MIT License" in licence[0].read_text()
    build = pytest.importorskip("scikit_build_core.build")
    monkeypatch.chdir(REPO)
    with tarfile.open(tmp_path / build.build_sdist(str(tmp_path))) as sdist:
        top = sdist.getnames()[0].split("/")[0]
        assert "MIT License" in sdist.extractfile(f"{top}/LICENSE").read().decode()


# --------------------------------------------------------------------------
# Files put in place: private while written, settled through descriptors

# A mode, owner or time changed by name (utimensat with a path, not NULL).
BY_NAME = re.compile(r"\d+ +((chmod|fchmodat2?|l?chown|fchownat|utimes?|futimesat)\(|utimensat\([^,]+, \")")
FRESH = re.compile(r"(?=.*\bO_EXCL\b)(?=.*\bO_NOFOLLOW\b).*, 0600\b")
IN_PLACE = {
    "pack": ("pack", "src", "-o", "p.pkg", "--dict", "d.bin"),
    "pack -o -": ("pack", "src", "-o", "-"),
    "unpack": ("unpack", "p.pkg", "-d", "out", "--force"),
    "unpack -": ("unpack", "-", "-d", "out", "--force"),
    "module": ("-c", "from ormek_compressor import OrmekCompressor as C; c = C('d.bin'); "
               "c.encode_files(['src/top.txt'], 'p.pkg'); c.save_dict(); c.decode_package('p.pkg', 'out')"),
    "backup copy": ("-c", "from ormek import swap; swap._copy('p.pkg', 'backup')"),
}


@pytest.mark.parametrize("args", IN_PLACE.values(), ids=IN_PLACE)
def test_files_private_while_written_and_settled_by_descriptor(run, command, tree, in_tmp, args):
    # strace must be there (scripts/setup-hosts installs it on every test host)
    probe = subprocess.run(["strace", "-o", os.devnull, "true"], capture_output=True, text=True)
    if probe.returncode and "ptrace" in probe.stderr:
        pytest.skip(f"strace cannot trace here: {probe.stderr}")
    os.chmod(tree / "top.txt", 0o600)
    for earlier in [("pack", "src", "-o", "p.pkg", "--dict", "d.bin"), ("unpack", "p.pkg", "-d", "out")]:
        ok(run(*earlier))
    argv = [sys.executable] if args[0] == "-c" else command[0]
    env = {**command[1], "PYTHONDONTWRITEBYTECODE": "1"}
    with open("p.pkg", "rb") as stdin:
        done = subprocess.run(["strace", "-f", "-qq", "-e", "trace=%file", "-o", in_tmp.parent / "log", *argv,
                               *args], stdin=stdin, capture_output=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    calls = (in_tmp.parent / "log").read_text().splitlines()
    assert [call for call in calls if BY_NAME.match(call)] == []
    created = [call for call in calls if "O_CREAT" in call]
    assert created and [call for call in created if not FRESH.match(call)] == []


@pytest.mark.parametrize("mode", [0o640, 0o6755], ids=oct)
def test_backup_copy_keeps_only_permission_bits_and_times(in_tmp, monkeypatch, mode):
    def no_links(*args, **kwargs):
        raise OSError(errno.EPERM, "links refused")

    (in_tmp / "p.pkg").write_bytes(b"package")
    os.chmod("p.pkg", mode)
    os.utime("p.pkg", ns=(5, 7_000_000_001))
    monkeypatch.setattr(os, "link", no_links)
    backup = os.stat(swap._second_name("p.pkg"))
    assert (stat.S_IMODE(backup.st_mode), backup.st_mtime_ns) == (mode & 0o777, 7_000_000_001)


# --------------------------------------------------------------------------
# Facts the command shares with the module: the same answers on a table


@pytest.mark.parametrize("names", [
    ["a", "b", "a.b", "ab/c", "a b/c"],
    ["a", "a"],
    ["a", "a/b"],
    ["a/b", "a"],
    ["d/a/b", "x", "d/a"],
    ["a/b", "a/c", "a/d/e"],
    ["a/b/c", "x", "a/b/c"],
    ["é/ü😀", "é"],
    ["src/x", "srcx", "src.x/y", "src/x.y"],
], ids=repr)
def test_clash_checks_agree_with_the_module(comp, in_tmp, names):
    (in_tmp / "t").write_text("x\n")
    found = clashes([Entry(f"in{i}", name, 2) for i, name in enumerate(names)])
    try:
        comp.encode_named_files([("t", name) for name in names], "p.pkg")
    except ValueError as err:
        # The module names the first clash; the command lists it among all.
        assert any(repr(clash.split(": ")[0]) in str(err) for clash in found)
    else:
        assert found == []


@pytest.mark.parametrize("wanted", [
    ["src"], ["src/"], ["src/pkg/", "top.txt"], ["top.txt", "src/pkg/b.py", "src/pkg"], ["sr"],
    ["src/a"], ["top.txt/x"], ["srcs.txt", "s"], ["s/t", "src/a.py/"], ["x", "src", "y"],
    ["top.txt/"], ["e/f"], ["e/f/", "s/"], ["e"], ["src/e", "e//f"], ["e/f/g"],
], ids=repr)
def test_name_picks_agree_with_the_module(comp, in_tmp, wanted):
    names = ["src/a.py", "src/pkg/b.py", "srcs.txt", "top.txt", "s/t"]
    dirs = ["e/f", "src/e"]
    (in_tmp / "t").write_text("x\n")
    comp.encode_named_files([("t", name) for name in names], "p.pkg", checks=True, empty_dirs=dirs)
    stored = unpack._wanted_names(wanted)
    try:
        picked = unpack._picked("p.pkg", names, stored, dirs)
    except UserError:
        with pytest.raises(ValueError, match="holds no file or directory named"):
            comp.decode_names("p.pkg", "out", stored)
        assert not (in_tmp / "out").exists()
    else:
        assert comp.decode_names("p.pkg", "out", stored) == picked


@pytest.mark.parametrize("wanted, restored", [
    (["t/e"], {"t", "t/e"}),
    (["t/e/"], {"t", "t/e"}),
    (["t/d/"], {"t", "t/d", "t/d/g.txt"}),
    (["t/f"], {"t", "t/f"}),
    (["t/f/"], None),
    (["t/"], {"t", "t/e", "t/d", "t/d/g.txt", "t/f"}),
])
def test_unpack_picks_directories_by_name(run, in_tmp, wanted, restored):
    (in_tmp / "t" / "d").mkdir(parents=True)
    (in_tmp / "t" / "e").mkdir()
    (in_tmp / "t" / "f").write_text("f\n")
    (in_tmp / "t" / "d" / "g.txt").write_text("g\n")
    ok(run("pack", "t", "-o", "p.pkg"))
    done = run("unpack", "p.pkg", "-d", "out", *wanted)
    if restored is None:
        user_error(done, "holds no file or directory named 't/f/'")
    else:
        ok(done)
        found = {p.relative_to(in_tmp / "out").as_posix() for p in (in_tmp / "out").rglob("*")}
        assert found == restored


def test_record_size_and_limit_agree_with_the_module(mod, comp, in_tmp, monkeypatch):
    (in_tmp / "t").write_text("a b c\n")
    comp.encode_files(["t"], "p.pkg")
    package = packages.read_package("p.pkg")
    raw = mod.zstd.ZstdDecompressor().decompress(package["compressed"])
    assert len(raw) == packages.RECORD_SIZE * package["file_boundaries"][-1]

    class Huge:
        def __len__(self):
            return packages.RECORD_SIZE * (packages.MAX_TOKENS + 1)

    monkeypatch.setattr(mod, "pickle", types.SimpleNamespace(
        load=lambda f: {"compressed": Huge(), "file_boundaries": [], "filenames": []}))
    with pytest.raises(OverflowError, match=f"{packages.MAX_TOKENS + 1} ids; at most {packages.MAX_TOKENS} "):
        comp.decode_package("p.pkg", "out", False)


# The reading API (ormek.open) and `ormek cat`, which is built on it.
STORED = {f"src/{name}": text.replace("\r\n", "\n").replace("\r", "\n") for name, text in SOURCES.items()}


@pytest.fixture
def packed(run, tree, in_tmp):
    os.chmod(tree / "a" / "deep.md", 0o600)
    os.utime(tree / "top.txt", ns=(1, 1_700_000_000_123_456_789))
    ok(run("pack", tree, "-o", "p.pkg"))
    return in_tmp / "p.pkg"


@pytest.mark.parametrize("as_path", [str, Path], ids=["str", "Path"])
def test_reading_api(packed, in_tmp, as_path):
    before = snapshot(in_tmp)
    with ormek.open(as_path(packed)) as package:
        assert sorted(package.namelist()) == sorted(STORED)
        # Backwards, then forwards: the stream is read again from its start.
        for name in sorted(STORED, reverse=True) + sorted(STORED):
            assert package.read_text(name) == STORED[name]
        info = package.getinfo("src/a/deep.md")
        assert (info.name, info.size, info.mode) == ("src/a/deep.md", len(STORED[info.name].encode()), 0o600)
        assert package.getinfo("src/top.txt").mtime_ns == 1_700_000_000_123_456_789
        for call in (package.read_text, package.getinfo, lambda n: package.extractall("x", [n])):
            with pytest.raises(KeyError, match="src/nope"):
                call("src/nope")
        assert snapshot(in_tmp) == before
        picked = [name for name in package.namelist() if name.startswith("src/a/")]
        assert package.extractall(in_tmp / "out", ["src/a/"]) == picked
        assert (in_tmp / "out" / "src" / "a" / "b" / "c" / "leaf.py").read_text() == STORED["src/a/b/c/leaf.py"]
    with pytest.raises(ValueError, match="closed"):
        package.extractall("out2")


def damage_a_text(path):
    package = pickle.loads(path.read_bytes())
    package["global_dict"]["hello"] = package["global_dict"].pop("world")
    write_pickle(path, package)


def damage_a_fact(path):
    package = pickle.loads(path.read_bytes())
    package["file_facts"]["modes"][0] ^= 0o100
    write_pickle(path, package)


@pytest.mark.parametrize("damage, problem, when", [
    (damage_a_text, "is damaged: the file 'src/top.txt' does not restore as it was packed (its check does not match)", "read"),
    (damage_a_fact, 'is damaged: its "file_facts" do not match their digest ("facts_digest")', "open"),
    (lambda path: path.write_bytes(b"\x80\x04\x95"), "is damaged: it is truncated (it ends early)", "open"),
])
def test_damage_in_the_commands_words(run, packed, damage, problem, when):
    damage(packed)
    try:
        with ormek.open(packed) as package:
            assert when == "read"
            # One file is read and checked alone: its neighbour's damage is not its own.
            assert package.read_text("src/cr.txt") == STORED["src/cr.txt"]
            package.read_text("src/top.txt")
    except ormek.PackageError as err:
        assert str(err) == f"{packed}: {problem}"
    else:
        pytest.fail("the damage went unnoticed")
    assert user_error(run("cat", packed, "src/top.txt")) == f"ormek: error: {packed}: {problem}"


def test_cat(run, packed, command, in_tmp):
    done = run("cat", packed, "src/z/last.txt", "src/unicode.txt", "src/z/last.txt", "-v")
    assert done.returncode == 0
    assert done.stdout == STORED["src/z/last.txt"] + STORED["src/unicode.txt"] + STORED["src/z/last.txt"]
    assert done.stderr == "src/z/last.txt\nsrc/unicode.txt\nsrc/z/last.txt\n"
    refused = run("cat", packed, "src/cr.txt", "src/nope", "src/a", "src/nope")
    assert refused.stdout == ""
    assert user_error(refused).endswith("p.pkg: holds no file named 'src/nope', 'src/a'")
    with open(packed, "rb") as stdin:
        argv, env = command
        piped = subprocess.run([*argv, "cat", "-", "src/top.txt"], stdin=stdin, capture_output=True, env=env)
    assert piped.stdout == STORED["src/top.txt"].encode()


def test_cat_raw(run, in_tmp):
    package = {"compressed": pack([1, 2, 1]), "file_boundaries": [3], "filenames": ["r.txt"], "global_dict": {"a": 1, "\n": 2}}
    write_pickle(in_tmp / "raw.pkg", package)
    assert ok(run("cat", "raw.pkg", "r.txt", "--raw")) == "a\na"
    assert "does not decompress" in user_error(run("cat", "raw.pkg", "r.txt"))


@pytest.mark.parametrize("ids, dictionary, problem", [
    ([1, 0x80000000], {"a": 1}, "is damaged: its id stream holds an id beyond 2147483647"),
    ([1, 2], {"a": 1, 7: 2}, 'its "global_dict" holds a number for a number, not text for a number'),
], ids=["id-beyond-range", "token-not-text"])
def test_one_file_is_refused_as_restoring_refuses_it(run, in_tmp, ids, dictionary, problem):
    package = {"compressed": pack(ids), "file_boundaries": [2], "filenames": ["r.txt"], "global_dict": dictionary}
    write_pickle(in_tmp / "raw.pkg", package)
    with ormek.open(in_tmp / "raw.pkg", raw=True) as opened, pytest.raises(ormek.PackageError) as refused:
        opened.read_text("r.txt")
    assert str(refused.value).endswith(problem)
    assert user_error(run("cat", "raw.pkg", "r.txt", "--raw")).endswith(problem)
    assert user_error(run("unpack", "raw.pkg", "-d", "out", "--raw")).endswith(problem)


@pytest.mark.parametrize("fails", [False, True], ids=["packed", "refused"])
def test_pack_gives_the_collector_back(fails):
    def command(args):
        assert not gc.isenabled()
        if fails:
            raise UserError(None, "refused")
        return 0

    with pytest.raises(UserError) if fails else contextlib.nullcontext():
        packing._collector_held_off(command)(None)
    assert gc.isenabled()
