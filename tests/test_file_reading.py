"""Reading the input files: the encoder reads a file's bytes itself where it
may, and must give exactly the tokens of open(path, "r", encoding="utf-8")
.read() cut by re.findall, whatever falls at the end of one of its reads,
and the errors of that call where the file is not UTF-8."""

import os
import re
import sys

import pytest

import ormek_compressor
from helpers import qual, re_stand_in, run_json

Q = qual("encode_files")
# The reader's read size: the byte offsets where one read ends.
READ = 1 << 20

# What the host's `\s` matches for str patterns.
HOST_SPACES = "".join(chr(c) for c in range(sys.maxunicode + 1) if re.match(r"\s", chr(c)))


def across_read_end(tail, before=1, reads=1):
    """Bytes whose `tail` starts `before` bytes ahead of the end of a read,
    after one long token."""
    return b"x" * (READ * reads - before) + tail


CASES = {
    "crlf split": across_read_end(b"\r\na\rb\r\r\nc\r"),
    "cr before a word": across_read_end(b"\rword"),
    "cr ends the file": b"a \r",
    "bom": "\ufeffbom\ufeff \ufeff".encode(),
    "every host space": "".join(f"w{i}{ch}" for i, ch in enumerate(HOST_SPACES)).encode()
    + ("x" + HOST_SPACES + "y").encode(),
    **{f"{len(ch.encode())}-byte split at {k}": across_read_end(f"a{ch}{ch} {ch}".encode(),
                                                                before=1 + k)
       for ch in ("\u00e9", "\u3000", "\u20ac", "\U0001f600") for k in range(len(ch.encode()))},
    "space split at read end": across_read_end("\u2028\u00a0\u1680x".encode(), before=2),
    "long tokens over reads": b"y" * (3 * READ + 5) + b" " * (READ + 3) + b"z",
    "many reads mixed widths": ("w\u00e9 \U0001f600q\r\n\u4e2d " * 150_000).encode(),
}


def encode(files, tmp, plain=False, monkeypatch=None):
    comp = ormek_compressor.OrmekCompressor(str(tmp / "none.bin"))
    if plain:
        monkeypatch.setattr(ormek_compressor, "re", re_stand_in())
    out = tmp / ("plain.pkg" if plain else "native.pkg")
    comp.encode_files(files, str(out))
    return out.read_bytes(), comp.global_dict


@pytest.mark.parametrize("name", CASES)
def test_native_read_packs_as_the_plain_way(in_tmp, monkeypatch, name):
    path = in_tmp / "in.txt"
    path.write_bytes(CASES[name])
    files = [str(path), str(path)]
    native, native_dict = encode(files, in_tmp)
    plain, plain_dict = encode(files, in_tmp, plain=True, monkeypatch=monkeypatch)
    assert native == plain
    with open(path, encoding="utf-8") as f:
        assert "".join(native_dict) == "".join(dict.fromkeys(re.findall(r"\S+|\s+", f.read())))


def test_host_spaces_are_the_scanners():
    # The scanner's table against the host's \s, through tokenize.
    comp = ormek_compressor.OrmekCompressor("none.bin")
    text = "".join(f"a{chr(c)}" for c in range(sys.maxunicode + 1)
                   if not 0xD800 <= c <= 0xDFFF)
    assert comp.tokenize(text) == re.findall(r"\S+|\s+", text)


INVALID = {
    "early": b"\xff ok",
    "late": across_read_end(b"\xed\xa0\x80", reads=2),
    "cut at read end": across_read_end(b"\xe2\x28\xa1", before=1),
    "sequence cut by read end": across_read_end(b"\xf0\x9f\x98", before=3) + b"x",
    "file ends in a sequence": b"ok \xf0\x9f\x98",
}


@pytest.mark.parametrize("name", INVALID)
def test_invalid_utf8_raises_what_open_raises(in_tmp, entries, name):
    good, bad = in_tmp / "good.txt", in_tmp / "bad.txt"
    good.write_bytes(b"kept out too")
    bad.write_bytes(INVALID[name])
    with pytest.raises(UnicodeDecodeError) as expected:
        with open(bad, encoding="utf-8") as f:
            f.read()
    comp = ormek_compressor.OrmekCompressor(str(in_tmp / "none.bin"))
    with pytest.raises(UnicodeDecodeError) as info:
        comp.encode_files([str(good), str(bad)], "out.pkg")
    assert info.value.args == expected.value.args
    assert entries(info.value) == [(Q, "compressor", 52), (Q, "compressor", 53)]
    assert comp.global_dict == {} and comp.next_id == 1


class CountingPath(os.PathLike):
    def __init__(self, path):
        self.path, self.calls = path, 0

    def __fspath__(self):
        self.calls += 1
        return self.path


@pytest.mark.parametrize("kind", ["pathlike", "bytes", "descriptor"])
def test_path_types(in_tmp, kind):
    (in_tmp / "t.txt").write_bytes(b"one two\r\n")
    comp = ormek_compressor.OrmekCompressor("none.bin")
    path = {"pathlike": CountingPath("t.txt"), "bytes": b"t.txt",
            "descriptor": os.open("t.txt", os.O_RDONLY)}[kind]
    comp.encode_named_files([(path, "t.txt")], "out.pkg")
    assert list(comp.global_dict) == ["one", " ", "two", "\n"]
    if kind == "pathlike":
        assert path.calls == 1


@pytest.mark.parametrize("target", ["missing", "directory"])
def test_open_failures_are_opens(in_tmp, entries, target):
    os.mkdir("directory")
    with pytest.raises(OSError) as expected:
        open(target, encoding="utf-8")
    comp = ormek_compressor.OrmekCompressor("none.bin")
    with pytest.raises(type(expected.value)) as info:
        comp.encode_files([CountingPath(target)], "out.pkg")
    assert info.value.args == expected.value.args and info.value.filename == target
    assert entries(info.value) == [(Q, "compressor", 52)]


def test_a_replaced_open_is_not_called_and_the_open_event_is_raised(in_tmp):
    # The built-in open is the one start-up found, and each file read raises
    # the "open" audit event that open raises.
    (in_tmp / "t.txt").write_bytes(b"a b")
    host, module, tokens = run_json("""
        import builtins, json, sys
        import ormek_compressor
        opened = []
        sys.addaudithook(lambda event, args: event == "open" and args[0] == "t.txt"
                         and opened.append(list(args)))
        open("t.txt", "r", encoding="utf-8").close()
        host, opened[:] = opened[:], []
        builtins.open = lambda *a, **k: 1 / 0
        comp = ormek_compressor.OrmekCompressor("none.bin")
        comp.encode_files(["t.txt"], "out.pkg")
        print(json.dumps([host, opened, list(comp.global_dict)]))
    """, cwd=in_tmp)
    assert module == host and len(host) == 1 and tokens == ["a", " ", "b"]


# --- inputs opened as walked ----------------------------------------------------

@pytest.mark.parametrize("swap", ["link", "fifo", "dangling link"])
def test_inputs_not_followed_are_refused_when_no_longer_regular(in_tmp, entries, swap):
    (in_tmp / "real.txt").write_bytes(b"secret")
    {"link": lambda: os.symlink("real.txt", "in.txt"), "fifo": lambda: os.mkfifo("in.txt"),
     "dangling link": lambda: os.symlink("nowhere", "in.txt")}[swap]()
    comp = ormek_compressor.OrmekCompressor("none.bin")
    with pytest.raises(OSError) as info:
        comp.encode_named_files([(CountingPath("in.txt"), "in.txt")], "out.pkg",
                                follow_links=False)
    assert info.value.filename == "in.txt" and "no longer a regular file" in info.value.strerror
    assert entries(info.value) == [(qual("encode_named_files"), "compressor", 142)]
    comp.encode_named_files([("real.txt", "a"), ("in.txt", "b")][:1 + (swap == "link")],
                            "out.pkg")
    assert "secret" in comp.global_dict  # followed by default


@pytest.mark.parametrize("plain", [False, True])
def test_inputs_not_followed_read_as_followed(in_tmp, monkeypatch, plain):
    (in_tmp / "a.txt").write_bytes(b"x \r\n\xc3\xa9")
    if plain:
        monkeypatch.setattr(ormek_compressor, "re", re_stand_in())
    packages = []
    for follow in (True, False):
        comp = ormek_compressor.OrmekCompressor("none.bin")
        comp.encode_named_files([("a.txt", "a")], f"{follow}.pkg", follow_links=follow)
        packages.append((in_tmp / f"{follow}.pkg").read_bytes())
    assert packages[0] == packages[1]
    (in_tmp / "bad.txt").write_bytes(b"ok \xff")
    with pytest.raises(UnicodeDecodeError):
        comp.encode_named_files([("bad.txt", "b")], "c.pkg", follow_links=False)
