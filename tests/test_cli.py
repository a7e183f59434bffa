"""The `ormek` command, run as a real process: pack, unpack, info, the user
errors (status 1, one line on stderr), bad usage (status 2), and the
plain-data package loader that keeps `info` and `unpack` from running code
from a package."""

import json
import os
import pickle
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent

try:
    import ormek
except ImportError:  # a build tree without the installed wheel
    sys.path.insert(0, str(REPO / "python"))
    import ormek

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


@pytest.fixture
def tree(in_tmp):
    root = in_tmp / "src"
    for rel, text in SOURCES.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text.encode("utf-8"))
    return root


def text_mode(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def sorted_inputs(root):
    return sorted((p for p in root.rglob("*") if p.is_file()), key=lambda p: p.relative_to(root).parts)


def test_pack_unpack_round_trip(run, tree, in_tmp):
    out = ok(run("pack", tree, "-o", "p.pkg"))
    size = sum(p.stat().st_size for p in sorted_inputs(tree))
    summary = re.fullmatch(r"(\d+) files, (\d+) bytes -> (\d+) bytes \(.*\) in .* s, .* MB/s: p\.pkg\n", out)
    assert summary, out
    assert summary.groups() == (str(len(SOURCES)), str(size), str((in_tmp / "p.pkg").stat().st_size))

    listed = ok(run("unpack", "p.pkg", "-d", "restored", "--list")).splitlines()
    assert listed == [p.name for p in sorted_inputs(tree)]
    restored = {p.name: p for p in (in_tmp / "restored").iterdir()}
    assert sorted(restored) == sorted(Path(rel).name for rel in SOURCES)
    for source in sorted_inputs(tree):
        # Packages keep text as read in text mode: CR LF and lone CR become LF.
        assert restored[source.name].read_bytes() == text_mode(source).encode("utf-8")
    assert ok(run("unpack", "p.pkg", "-d", "again")) == f"{len(SOURCES)} files restored into again\n"


def test_info_matches_package(run, tree, in_tmp, mod):
    ok(run("pack", tree, "-o", "p.pkg"))
    report = json.loads(ok(run("info", "p.pkg", "--json")))
    with open(in_tmp / "p.pkg", "rb") as f:
        package = pickle.load(f)
    counts = [len(re.findall(r"\S+|\s+", text_mode(p))) for p in sorted_inputs(tree)]
    assert report["files"] == len(SOURCES)
    assert report["file_tokens"] == [
        {"name": p.name, "tokens": n} for p, n in zip(sorted_inputs(tree), counts)
    ]
    assert report["tokens"] == sum(counts) == package["file_boundaries"][-1]
    assert report["dictionary_size"] == len(package["global_dict"])
    assert report["compressed_bytes"] == len(package["compressed"])
    assert report["raw_bytes"] == report["frame_content_bytes"] == 4 * sum(counts)
    assert report["ratio"] == pytest.approx(len(package["compressed"]) / (4 * sum(counts)))
    assert report["package_bytes"] == (in_tmp / "p.pkg").stat().st_size

    text = ok(run("info", "p.pkg"))
    assert f"files:       {len(SOURCES)}\n" in text
    assert f"dictionary:  {len(package['global_dict'])} tokens\n" in text
    for name, n in zip((p.name for p in sorted_inputs(tree)), counts):
        assert re.search(rf"^\s*{n}  {re.escape(name)}$", text, re.M)


def test_info_writes_nothing(run, tree, in_tmp):
    ok(run("pack", tree, "-o", "p.pkg", "--no-save-dict"))
    before = sorted(os.listdir(in_tmp))
    ok(run("info", "p.pkg"))
    ok(run("info", "p.pkg", "--json"))
    assert sorted(os.listdir(in_tmp)) == before


def test_dictionary_file_saved_and_reused(run, tree, in_tmp, mod):
    ok(run("pack", tree / "a", "-o", "one.pkg"))
    saved = mod.OrmekCompressor()  # loads the default file the pack saved
    assert saved.global_dict and saved.next_id == len(saved.global_dict) + 1
    ok(run("pack", tree / "z", tree / "top.txt", "-o", "two.pkg"))
    with open(in_tmp / "two.pkg", "rb") as f:
        grown = pickle.load(f)["global_dict"]
    # Ids of the first run stay; the second run only adds.
    assert {k: grown[k] for k in saved.global_dict} == saved.global_dict

    ok(run("pack", tree, "-o", "three.pkg", "--dict", "own.bin", "--no-save-dict"))
    assert not (in_tmp / "own.bin").exists()
    ok(run("pack", tree, "-o", "three.pkg", "--dict", "own.bin"))
    assert mod.OrmekCompressor("own.bin").global_dict


def test_directory_walk_leaves_out_package_and_dictionary(run, tree):
    ok(run("pack", ".", "-o", "self.pkg", cwd=tree))  # writes self.pkg and the dictionary
    ok(run("pack", ".", "-o", "self.pkg", cwd=tree))  # both now sit in the walked directory
    report = json.loads(ok(run("info", tree / "self.pkg", "--json")))
    assert report["files"] == len(SOURCES)


def test_clash_refused_before_writing(run, tree, in_tmp):
    (in_tmp / "other" / "x").mkdir(parents=True)
    (in_tmp / "other" / "x" / "top.txt").write_text("clash\n")
    (in_tmp / "other" / "deep.md").write_text("clash\n")
    line = user_error(
        run("pack", tree, "other", "-o", "p.pkg"),
        tree / "top.txt",
        Path("other", "x", "top.txt"),
        tree / "a" / "deep.md",
        Path("other", "deep.md"),
    )
    assert "base name" in line
    assert sorted(os.listdir(in_tmp)) == ["other", "src"]


def test_same_file_twice_is_a_clash(run, tree, in_tmp):
    user_error(run("pack", tree / "top.txt", tree, "-o", "p.pkg"), tree / "top.txt")
    assert not (in_tmp / "p.pkg").exists()


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
        (tree / "a" / "latin1.txt").write_bytes(b"caf\xe9\n")
        named += [tree / "a" / "latin1.txt", "UTF-8"]
    elif case == "output dir missing":
        output = "no/such/dir/p.pkg"
    elif case == "output is a dir":
        output = "src"
    else:
        output = "src/top.txt/p.pkg"
    user_error(run("pack", *args, "-o", output), output if not named else named[0], *named[1:])
    assert sorted(os.listdir(in_tmp)) == ["src"]  # no package, no dictionary, no temporary


def test_failed_pack_keeps_earlier_package_and_dictionary(run, tree, in_tmp):
    ok(run("pack", tree, "-o", "p.pkg"))
    package = (in_tmp / "p.pkg").read_bytes()
    dictionary = (in_tmp / "larkmoor_dict.bin").read_bytes()
    (tree / "bad.txt").write_bytes(b"\xff\xfe\n")
    user_error(run("pack", tree, "-o", "p.pkg"), tree / "bad.txt")
    assert (in_tmp / "p.pkg").read_bytes() == package
    assert (in_tmp / "larkmoor_dict.bin").read_bytes() == dictionary
    assert sorted(os.listdir(in_tmp)) == ["larkmoor_dict.bin", "p.pkg", "src"]


def test_corrupt_dictionary_file(run, tree, in_tmp):
    (in_tmp / "d.bin").write_bytes(b"not a pickle")
    user_error(run("pack", tree, "-o", "p.pkg", "--dict", "d.bin"), "d.bin")
    assert not (in_tmp / "p.pkg").exists()


def write_package(path, package, protocol=None):
    with open(path, "wb") as f:
        pickle.dump(package, f, protocol=protocol)


def raw_ids(*ids):
    return b"".join(i.to_bytes(4, "big") for i in ids)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_loader_reads_every_protocol(run, in_tmp, protocol):
    import zstandard

    package = {
        "compressed": zstandard.ZstdCompressor().compress(raw_ids(1, 2, 1)),
        "file_boundaries": [2, 3],
        "filenames": ["a.txt", "b.txt"],
        "global_dict": {"hi": 1, " ": 2},
    }
    write_package(in_tmp / "p.pkg", package, protocol)
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
        write_package(in_tmp / "evil.pkg", {"compressed": Payload(marker), "file_boundaries": [], "filenames": []})
    else:
        (in_tmp / "evil.pkg").write_bytes(ext_opcode_pickle())
    args = ["-d", "out"] if subcommand == "unpack" else []
    line = user_error(run(subcommand, "evil.pkg", *args), "evil.pkg")
    assert "refus" in line
    assert not marker.exists()
    assert not (in_tmp / "out").exists()


def test_plain_loader_refuses_ext_also_when_registered(in_tmp, monkeypatch):
    import copyreg

    monkeypatch.setitem(copyreg._inverted_registry, 0x7F, ("os", "system"))
    monkeypatch.setitem(copyreg._extension_registry, ("os", "system"), 0x7F)
    path = in_tmp / "ext.pkg"
    path.write_bytes(ext_opcode_pickle())
    with pytest.raises(ormek.PackageError, match="EXT opcode"):
        ormek.load_package_safely(str(path))


@pytest.mark.parametrize(
    "stream, problem",
    [
        # A memo store at index 2^27: an unpickler that sizes its memo by the
        # index would allocate and clear gigabytes here.
        (b"\x80\x02Nr\x00\x00\x00\x08.", "holds a NoneType"),
        (b"\x80\x02\xee.", "invalid opcode"),
        (b"\x80\x02}q\x00(X\x01\x00\x00", "ends early"),
        (b"\x80\x05\x95" + (1 << 62).to_bytes(8, "little") + b"B\xff\xff\xff\x7f", "ends early"),
    ],
)
def test_hostile_streams_fail_cheaply(run, in_tmp, stream, problem):
    (in_tmp / "p.pkg").write_bytes(stream)
    assert problem in user_error(run("info", "p.pkg"), "p.pkg")
    user_error(run("unpack", "p.pkg", "-d", "out"), "p.pkg")
    assert not (in_tmp / "out").exists()


@pytest.mark.parametrize(
    "names",
    [["../escape.txt"], ["/tmp/abs.txt"], ["sub/inner.txt"], [".."], ["ok.txt", "../escape.txt"]],
)
def test_unpack_refuses_names_outside_the_directory(run, in_tmp, names):
    import zstandard

    package = {
        "compressed": zstandard.ZstdCompressor().compress(raw_ids(1) * len(names)),
        "file_boundaries": list(range(1, len(names) + 1)),
        "filenames": names,
        "global_dict": {"x": 1},
    }
    write_package(in_tmp / "p.pkg", package)
    assert "outside the output directory" in user_error(run("unpack", "p.pkg", "-d", "out"), "p.pkg")
    assert sorted(os.listdir(in_tmp)) == ["p.pkg"]  # not even the output directory


def test_unpack_reports_repeated_names(run, in_tmp):
    package = {
        "compressed": raw_ids(1, 2),
        "file_boundaries": [1, 2],
        "filenames": ["twice.txt", "twice.txt"],
        "global_dict": {"first": 1, "second": 2},
    }
    write_package(in_tmp / "p.pkg", package)
    assert "'twice.txt'" in user_error(run("unpack", "p.pkg", "-d", "out", "--raw"), "p.pkg")
    assert (in_tmp / "out" / "twice.txt").read_text() == "second"


@pytest.mark.parametrize(
    "package, problem",
    [
        ([1, 2], "not a package dict"),
        ({"file_boundaries": [], "filenames": []}, "missing key 'compressed'"),
        ({"compressed": b"", "file_boundaries": [1], "filenames": []}, "file names but"),
        ({"compressed": b"", "file_boundaries": [3, 1], "filenames": ["a", "b"]}, "non-decreasing"),
        ({"compressed": "text", "file_boundaries": [], "filenames": []}, "not bytes"),
    ],
)
def test_info_refuses_malformed_packages(run, in_tmp, package, problem):
    write_package(in_tmp / "p.pkg", package)
    assert problem in user_error(run("info", "p.pkg"), "p.pkg")


@pytest.mark.parametrize(
    "package, problem",
    [
        ([1, 2], "AttributeError"),
        ({"file_boundaries": [], "filenames": []}, "missing key 'compressed'"),
        ({"compressed": b"", "file_boundaries": [0], "filenames": [b"bytes.txt"]}, "Expected str, got bytes"),
        ({"compressed": b"\x80\x00\x00\x00", "file_boundaries": [1], "filenames": ["a"]}, "OverflowError"),
    ],
)
def test_unpack_failures_are_one_line(run, in_tmp, package, problem):
    write_package(in_tmp / "p.pkg", package)
    assert problem in user_error(run("unpack", "p.pkg", "-d", "out", "--raw"), "p.pkg")


def test_unpack_raw(run, in_tmp):
    package = {"compressed": raw_ids(1, 2), "file_boundaries": [2], "filenames": ["r.txt"], "global_dict": {"a": 1, "\n": 2}}
    write_package(in_tmp / "raw.pkg", package)
    ok(run("unpack", "raw.pkg", "-d", "out", "--raw"))
    assert (in_tmp / "out" / "r.txt").read_text() == "a\n"
    assert "--raw" in user_error(run("unpack", "raw.pkg", "-d", "out2"), "raw.pkg")


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
    ],
)
def test_bad_usage_exits_2(run, in_tmp, args):
    result = run(*args)
    assert result.returncode == 2
    assert "usage: ormek" in result.stderr
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


def test_progress_follows_the_opens(monkeypatch):
    progress = ormek._Progress(False, 2, 30)
    opened = [""]
    paths = [ormek._TrackedPath("a.txt", 10, progress, opened), ormek._TrackedPath("b.txt", 20, progress, opened)]
    assert os.fspath(paths[0]) == "a.txt"
    assert os.path.basename(paths[0]) == "a.txt"  # a second __fspath__ is no second open
    assert (progress.files_read, progress.bytes_read, opened[0]) == (1, 10, "a.txt")
    os.fspath(paths[1])
    assert (progress.files_read, progress.bytes_read, opened[0]) == (2, 30, "b.txt")


def test_quiet_when_not_a_terminal(run, tree):
    # The whole of stdout is the summary line: no status line, no escapes.
    out = ok(run("pack", tree, "-o", "p.pkg"))
    assert out.count("\n") == 1 and "\r" not in out and "\x1b" not in out
