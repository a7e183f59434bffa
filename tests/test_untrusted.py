"""Packages from elsewhere: decode_package loads only plain data and writes
only inside output_dir. (How encode_files replaces a package is tested with
the dictionary file's save, in test_dictionary_file.py.)"""

import copyreg
import io
import os
import pickle
import pickletools
import stat
import subprocess
import sys
import threading
import types

import pytest
import zstandard

from helpers import lines, pack, qual, read_dir, run_json
from test_cli import command  # noqa: F401 (fixture)

ENC = qual("encode_files")

# What a refused package must never reach: calls are recorded here.
CALLS = []


def side_effect(*args):
    CALLS.append(args)
    return {}


class Evil:
    """Pickles as a call of side_effect."""
    def __init__(self, tag="reduce"):
        self.tag = tag

    def __reduce__(self):
        return (side_effect, (self.tag,))


class Plain:
    """An ordinary class instance (rebuilt through its class by any protocol)."""
    def __init__(self):
        self.x = 1


@pytest.fixture(autouse=True)
def no_calls():
    CALLS.clear()
    yield
    CALLS.clear()


def frame(ids):
    return zstandard.ZstdCompressor(level=6).compress(pack(ids))


GD = {"hello": 1, " ": 2, "world": 3}


def package(**change):
    p = {"compressed": frame([1, 2, 3]), "file_boundaries": [3], "filenames": ["a"],
         "global_dict": dict(GD)}
    p.update(change)
    return p


def refused(comp, entries, in_tmp, data, needle):
    """Decodes the raw stream `data`: it must be refused, naming `needle`,
    with nothing run, no directory made and the object untouched."""
    (in_tmp / "p").write_bytes(data)
    comp.global_dict["old"] = 7
    with pytest.raises(pickle.UnpicklingError) as info:
        comp.decode_package("p", "out")
    assert needle in str(info.value)
    assert entries(info.value) == lines(96, 97)
    assert CALLS == []
    assert not (in_tmp / "out").exists()
    assert not (in_tmp / "pwned").exists()
    assert comp.global_dict == {"old": 7}
    # read_package loads the same way and refuses the same.
    with pytest.raises(pickle.UnpicklingError) as again:
        comp.read_package("p")
    assert str(again.value) == str(info.value)
    assert entries(again.value) == lines(127, 128, function=qual("read_package"))
    return info.value


# ---------------------------------------------------------------------------
# Globals are refused, whatever opcode reaches them


HAND_MADE = {
    "GLOBAL+REDUCE": b"cos\nsystem\n(S'touch pwned'\ntR.",
    "STACK_GLOBAL+REDUCE": b"\x80\x04\x8c\x02os\x8c\x06system\x93\x8c\x0btouch pwned\x85R.",
    "INST": b"(S'touch pwned'\nios\nsystem\n.",
    "OBJ": b"(cos\nsystem\nS'touch pwned'\no.",
    "inside a package": b"}(\x8c\x0bglobal_dictcos\nsystem\n\x8c\x0btouch pwned\x85Ru.",
    "NEWOBJ": b"\x80\x02cos\nsystem\n)\x81.",
}


@pytest.mark.parametrize("case", HAND_MADE)
def test_os_system_is_refused(comp, entries, in_tmp, case):
    err = refused(comp, entries, in_tmp, HAND_MADE[case], "'os.system'")
    assert str(err) == ("refusing to load the global 'os.system' from a package: "
                        "a package holds only plain data")


@pytest.mark.parametrize("protocol", range(6))
def test_reduce_to_a_function_is_refused(comp, entries, in_tmp, protocol):
    data = pickle.dumps(package(global_dict=Evil()), protocol=protocol)
    refused(comp, entries, in_tmp, data, f"'{__name__}.side_effect'")


@pytest.mark.parametrize("protocol", range(6))
def test_class_instance_is_refused(comp, entries, in_tmp, protocol):
    # Protocols 0 and 1 go through copyreg's reconstructor (under its old
    # name, as the stream names it), later ones name the class itself.
    data = pickle.dumps(package(global_dict=Plain()), protocol=protocol)
    needle = "'copy_reg._reconstructor'" if protocol < 2 else f"'{__name__}.Plain'"
    refused(comp, entries, in_tmp, data, needle)


@pytest.mark.parametrize("obj, needle", [
    (types.SimpleNamespace, "'types.SimpleNamespace'"),
    (os.path.join, "'posixpath.join'"),
    (len, "'builtins.len'"),
    (copyreg._reconstructor, "'copyreg._reconstructor'"),
    (complex(1, 2), "'builtins.complex'"),
])
def test_any_other_global_is_refused(comp, entries, in_tmp, obj, needle):
    refused(comp, entries, in_tmp, pickle.dumps(package(global_dict=obj)), needle)


@pytest.mark.parametrize("data, shown", [
    # An int would make a zero-filled buffer of that size.
    (b"c__builtin__\nbytes\n(I4000000000\ntR.", "builtins.bytes"),
    (b"c__builtin__\nbytearray\n(I4000000000\ntR.", "builtins.bytearray"),
    # Any encoding but latin-1 would run the codec search.
    (b"c_codecs\nencode\n(Vabc\nVrot13\ntR.", "_codecs.encode"),
    (b"c_codecs\nencode\n(Vabc\nVlatin1\nVstrict\ntR.", "_codecs.encode"),
    (b"cbuiltins\nbytes\n(Vabc\nVutf-8\ntR.", "builtins.bytes"),
])
def test_allowed_globals_rebuild_only_plain_shapes(comp, entries, in_tmp, data, shown):
    err = refused(comp, entries, in_tmp, data, shown)
    assert str(err) == (f"refusing to call {shown} with arguments that do not rebuild plain "
                        "data while loading a package")


# ---------------------------------------------------------------------------
# Extension codes: once resolved, the host's cache would bypass find_class


@pytest.fixture
def extension():
    added = []

    def add(code):
        copyreg.add_extension(__name__, "side_effect", code)
        added.append(code)
    yield add
    for code in added:
        copyreg.remove_extension(__name__, "side_effect", code)


@pytest.mark.parametrize("code, opcode", [(0xF1, "EXT1"), (0xF123, "EXT2"),
                                          (0x12345678, "EXT4")])
def test_resolved_extension_codes_are_refused(comp, entries, in_tmp, extension, code, opcode):
    extension(code)
    data = pickle.dumps(package(global_dict=Evil("ext")), protocol=2)
    assert opcode in [op.name for op, _, _ in pickletools.genops(data)]
    pickle.loads(data)  # the process resolves the code: it is now in the cache
    assert CALLS == [("ext",)]
    CALLS.clear()
    err = refused(comp, entries, in_tmp, data, f"extension code {code} ({opcode} at byte")


# ---------------------------------------------------------------------------
# Memo indices beyond the stream


@pytest.mark.parametrize("data, index", [
    (b"\x80\x02}r\x00\x00\x00\x80.", 2**31),                  # LONG_BINPUT
    (b"\x80\x02}r\xff\xff\xff\xff.", 2**32 - 1),
    (b"(dp2147483648\n.", 2**31),                              # PUT
    (b"(dp 2_147_483_648 \n.", 2**31),                         # as the host reads it
    (b"(dp99999999999999999999999999\n.", 2**64 - 1),         # saturated
    (b"}q\xff.", 255),                                         # BINPUT past a 4-byte stream
])
def test_memo_index_beyond_the_stream_is_refused(comp, entries, in_tmp, data, index):
    err = refused(comp, entries, in_tmp, data, f"memo index {index} (")
    assert f"beyond the {len(data)} bytes of its stream" in str(err)


def test_flipped_byte_in_a_memo_index_is_refused(comp, entries, in_tmp):
    # Protocol 3 numbers memo slots past 255 with LONG_BINPUT: one flipped
    # high byte asks the host's unpickler for a memo of 2**30 slots.
    big = package(global_dict={f"token{i}": i for i in range(400)})
    data = bytearray(pickle.dumps(big, protocol=3))
    at = next(pos for op, arg, pos in pickletools.genops(bytes(data))
              if op.name == "LONG_BINPUT")
    data[at + 4] = 0x40
    refused(comp, entries, in_tmp, bytes(data), "memo index")


@pytest.mark.parametrize("opcode", [b"\x96", b"\x8e", b"\x8d"])  # BYTEARRAY8, BINBYTES8, BINUNICODE8
def test_a_count_beyond_the_stream_is_truncation(comp, in_tmp, opcode, capfd):
    # The host would first try to allocate the claimed exabytes.
    (in_tmp / "p").write_bytes(b"\x80\x05" + opcode + b"\x00\x00\x00\x00\x00\x00\x00\x66ab")
    with pytest.raises(pickle.UnpicklingError) as info:
        comp.decode_package("p", "out")
    assert str(info.value) == "pickle data was truncated"
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("tail", [b"X\x01\x00\x00\x00a", b"\x95" + bytes(8)])  # BINUNICODE, FRAME
def test_a_stream_ending_after_a_whole_counted_opcode_is_the_hosts(comp, in_tmp, tail):
    # No length is pending at the end, so none may be rewritten.
    (in_tmp / "p").write_bytes(b"\x80\x05" + tail)
    with pytest.raises(EOFError, match="Ran out of input"):
        comp.decode_package("p", "out")


def test_negative_put_is_left_to_the_host(comp, entries, in_tmp):
    (in_tmp / "p").write_bytes(b"(dp-5\n.")
    with pytest.raises(ValueError, match="negative PUT argument"):
        comp.decode_package("p", "out")


# ---------------------------------------------------------------------------
# Plain data of every protocol still loads


# One of each plain type pickle rebuilds through a global in some protocol.
PLAIN_NAMES = ["a", {1, 2}, frozenset({3}), frozenset(), set(), bytearray(b"q\xff"),
               bytearray(), b"", b"\xff\x00", (1, 2.5, None, True, -2**70), [b"x" * 300]]


@pytest.mark.parametrize("protocol", range(6))
def test_every_protocol_of_a_plain_package_loads(mod, in_tmp, protocol):
    (in_tmp / "x.txt").write_text("hello world  hello\n", encoding="utf-8")
    (in_tmp / "y.txt").write_text("", encoding="utf-8")
    writer = mod.OrmekCompressor()
    writer.encode_files(["x.txt", "y.txt"], "orig.pkg")
    with open("orig.pkg", "rb") as f:
        pkg = pickle.load(f)
    pkg["filenames"] += PLAIN_NAMES  # names without a boundary are returned, not written
    pkg["extra"] = {"nested": [{"k": (1,)}] * 3}
    (in_tmp / "p").write_bytes(pickle.dumps(pkg, protocol=protocol))
    reader = mod.OrmekCompressor()
    assert reader.read_package("p") == pkg and reader.global_dict == {}
    names = reader.decode_package("p", "out")
    assert names == ["x.txt", "y.txt"] + PLAIN_NAMES
    assert [type(n) for n in names] == [str, str] + [type(n) for n in PLAIN_NAMES]
    assert read_dir(in_tmp / "out") == {"x.txt": b"hello world  hello\n", "y.txt": b""}
    assert reader.global_dict == writer.global_dict


def test_python2_style_bytearray_loads(comp, in_tmp):
    data = b"(dp0\nVfilenames\np1\n(lp2\nc__builtin__\nbytearray\n(Vq\xff\nS'latin-1'\ntRasVfile_boundaries\n(lsVcompressed\nc__builtin__\nbytes\n(tRs."
    (in_tmp / "p").write_bytes(data)
    assert comp.decode_package("p", "out", False) == [bytearray(b"q\xff")]


@pytest.mark.parametrize("cut", [0, 1, 2, 10, -40, -2, -1])
@pytest.mark.parametrize("protocol", [0, 2, 5])
def test_corrupt_streams_fail_as_the_host_says(comp, in_tmp, cut, protocol):
    data = pickle.dumps(package(), protocol=protocol)[:cut]
    try:
        pickle.load(io.BytesIO(data))
    except Exception as e:
        expected = e
    else:
        pytest.fail("the cut stream loads")
    (in_tmp / "p").write_bytes(data)
    with pytest.raises(type(expected)) as info:
        comp.decode_package("p", "out")
    assert str(info.value) == str(expected)
    assert not (in_tmp / "out").exists()


def test_trailing_bytes_after_the_stream_are_ignored(comp, in_tmp):
    (in_tmp / "p").write_bytes(pickle.dumps(package()) + b"cos\nsystem\n")
    assert comp.decode_package("p", "out") == ["a"]
    assert read_dir(in_tmp / "out") == {"a": b"hello world"}


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_package_from_a_pipe(mod, in_tmp):
    # Read in pieces as far as the stream goes; big enough for several.
    gd = {f"t{i}": i for i in range(60000)}
    data = pickle.dumps(package(global_dict=gd, compressed=frame([5, 59999])))
    os.mkfifo(in_tmp / "fifo")

    def feed():
        with open(in_tmp / "fifo", "wb") as f:
            f.write(data)
    writer = threading.Thread(target=feed)
    writer.start()
    comp = mod.OrmekCompressor()
    try:
        assert comp.decode_package("fifo", "out") == ["a"]
    finally:
        writer.join()
    assert read_dir(in_tmp / "out") == {"a": b"t5t59999"}
    assert comp.global_dict == gd


# ---------------------------------------------------------------------------
# A replaced pickle is called as it is


def test_replaced_pickle_is_unrestricted(mod, comp, monkeypatch, in_tmp):
    (in_tmp / "p").write_bytes(pickle.dumps(package(global_dict=Evil())))
    monkeypatch.setattr(mod, "pickle", types.SimpleNamespace(load=pickle.load))
    comp.decode_package("p", "out")
    assert CALLS == [("reduce",)]
    assert comp.global_dict == {}


def test_replaced_load_of_the_real_module_is_called(mod, comp, monkeypatch, in_tmp):
    (in_tmp / "p").write_bytes(b"anything")
    seen = []

    def load(f):
        seen.append(f.read())
        return package()
    monkeypatch.setattr(pickle, "load", load)
    assert comp.decode_package("p", "out") == ["a"]
    assert seen == [b"anything"]


# ---------------------------------------------------------------------------
# Stored file names stay inside output_dir


def refusal(name):
    return f"refusing to write the stored file name {name!r} outside the output directory"


UNSAFE = ["", "/abs", "/", ".", "..", "../escape", "a/", "a\0b", "\0", "a//b", "a/../b", "./a",
          "a/.", "d/\0"]
if os.altsep:
    UNSAFE += ["a" + os.altsep + "b", os.altsep + "abs"]


@pytest.mark.parametrize("name", UNSAFE)
def test_unsafe_names_are_refused_before_the_directory(comp, entries, in_tmp, name):
    (in_tmp / "p").write_bytes(pickle.dumps(package(file_boundaries=[1, 3],
                                                    filenames=["ok", name])))
    with pytest.raises(ValueError) as info:
        comp.decode_package("p", "out")
    assert str(info.value) == refusal(name)
    assert entries(info.value) == lines(119)
    assert not (in_tmp / "out").exists()
    assert comp.global_dict == GD  # the steps before the directory ran


@pytest.mark.parametrize("names", [["d", "d/a"], ["d/a/b", "x", "d/a"]])
def test_names_that_clash_are_refused_before_the_directory(comp, entries, in_tmp, names):
    (in_tmp / "p").write_bytes(pickle.dumps(package(file_boundaries=[3] * len(names),
                                                    filenames=names)))
    with pytest.raises(ValueError, match="^refusing the stored file names") as info:
        comp.decode_package("p", "out")
    assert entries(info.value) == lines(119)
    assert not (in_tmp / "out").exists()


@pytest.mark.parametrize("container", [list, tuple])
def test_unsafe_name_in_a_tuple_is_refused_too(comp, in_tmp, container):
    (in_tmp / "p").write_bytes(pickle.dumps(package(file_boundaries=container([3]),
                                                    filenames=container(["../x"]))))
    with pytest.raises(ValueError, match="refusing to write"):
        comp.decode_package("p", "out")
    assert not (in_tmp / "out").exists()


@pytest.mark.skipif(os.altsep is not None, reason="a backslash is a separator here")
def test_backslash_is_an_ordinary_character_here(comp, in_tmp):
    (in_tmp / "p").write_bytes(pickle.dumps(package(filenames=["a\\b"])))
    comp.decode_package("p", "out")
    assert read_dir(in_tmp / "out") == {"a\\b": b"hello world"}


@pytest.mark.parametrize("name", ["...", "..a", ".hidden", "a b", " ", "-", "ünï©ødé 😀",
                                  "a" * 200, "\udcff"])
def test_odd_but_safe_names_are_written(comp, in_tmp, name):
    (in_tmp / "p").write_bytes(pickle.dumps(package(filenames=[name])))
    assert comp.decode_package("p", "out") == [name]
    assert os.listdir(os.path.join("out")) == [name]


@pytest.mark.parametrize("boundaries, names, exc, message, written", [
    # Errors the file loop meets first keep their place, all before anything is made.
    ([1, 3, 3], ["a", 5, "/abs"], TypeError, "Expected str, got int", None),
    ([1, "x", 3], ["a", "b", "/abs"], TypeError, "an integer is required", None),
    ([1, 2**31, 3], ["a", "b", "/abs"], OverflowError, None, None),
    ([1, 3], ["a", None, "/abs"], TypeError, "Expected str, got NoneType", None),
])
def test_earlier_loop_errors_come_first(comp, in_tmp, boundaries, names, exc, message, written):
    # Names and boundaries are all taken, in the loop's order, before the
    # directory is made.
    (in_tmp / "p").write_bytes(pickle.dumps(package(file_boundaries=boundaries,
                                                    filenames=names)))
    with pytest.raises(exc) as info:
        comp.decode_package("p", "out")
    if message:
        assert str(info.value) == message
    if written is None:
        assert not (in_tmp / "out").exists()
    else:
        assert read_dir(in_tmp / "out") == written


def test_names_without_a_boundary_are_not_judged(comp, in_tmp):
    names = ["a", "/etc/passwd", "..", ""]
    (in_tmp / "p").write_bytes(pickle.dumps(package(filenames=names)))
    assert comp.decode_package("p", "out") == names
    assert read_dir(in_tmp / "out") == {"a": b"hello world"}


def test_missing_boundaries_fail_before_the_directory(comp, entries, in_tmp):
    p = package(filenames=["/abs"])
    del p["file_boundaries"]
    (in_tmp / "p").write_bytes(pickle.dumps(p))
    with pytest.raises(KeyError):
        comp.decode_package("p", "out")
    assert not (in_tmp / "out").exists()


class Package(dict):
    pass


class Names(list):
    pass


TOO_LONG = "a file system allows at most 255 bytes a part and 4095 in all"


@pytest.mark.parametrize("pkg, needle", [
    (Package(package(file_boundaries=[1, 3], filenames=["a", "../escape"])), refusal("../escape")),
    (package(file_boundaries=[1, 3], filenames=Names(["a", "../escape"])), refusal("../escape")),
    (package(file_boundaries=iter([1, 3]), filenames=["a", "../escape"]), refusal("../escape")),
    (package(file_boundaries=(1, 3), filenames=("a", "../escape")), refusal("../escape")),
    (package(file_boundaries=b"\x01\x03", filenames={"a": 0, "../escape": 0}),
     refusal("../escape")),
    (package(file_boundaries=[1, 3, 3], filenames=["a", "b", "\u00e9" * 128]), TOO_LONG),
    (package(file_boundaries=[1, 3], filenames=["a", "d/" * 2047 + "dd"]), TOO_LONG),
], ids=["dict subclass", "list subclass", "iterator", "tuples", "bytes and dict", "long part",
        "long name"])
def test_names_in_any_container_are_refused_before_anything_is_made(mod, comp, monkeypatch,
                                                                     entries, in_tmp, pkg, needle):
    (in_tmp / "p").write_bytes(b"")
    monkeypatch.setattr(mod, "pickle", types.SimpleNamespace(load=lambda f: pkg))
    with pytest.raises(ValueError) as info:
        comp.decode_package("p", "out")
    assert needle in str(info.value)
    assert entries(info.value) == lines(119)
    assert not (in_tmp / "out").exists()


@pytest.mark.parametrize("call", ["c.decode_package('p', 'out', False)",
                                  "c.restored_names(c.read_package('p'))",
                                  "c.check_package('p', False)"])
@pytest.mark.parametrize("name, needle", [
    ("x" * 10_000, TOO_LONG),
    (("x" * 200 + "/") * 19 + "f", "would have to be both a file and a directory"),
])
def test_a_name_referred_to_many_times_is_read_once(in_tmp, call, name, needle):
    # 200,000 references to one name through the pickle memo, then a name
    # that is a directory of it: a copy per reference would take gigabytes.
    found = run_json(f"""
        import pickle, resource, ormek_compressor as m
        names = [{name!r}] * 200_000 + [{name!r}.split("/")[0]]
        with open("p", "wb") as f:
            pickle.dump({{"compressed": b"", "file_boundaries": [0] * len(names),
                         "filenames": names}}, f)
        c = m.OrmekCompressor("d.bin")
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            {call}
        except ValueError as e:
            error = str(e)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak
        print(json.dumps([error, grown]))
    """, cwd=in_tmp)
    assert needle in found[0] and found[1] < 100_000  # KiB
    assert sorted(os.listdir(in_tmp)) == ["p"]


def test_a_key_with_its_own_equality_is_asked_before_the_directory(mod, comp, monkeypatch,
                                                                   in_tmp):
    compared = []

    class Key:
        # Met by every lookup of "file_boundaries", which then asks it (a
        # probe sequence may meet it more than once, depending on the hash).
        def __hash__(self):
            return hash("file_boundaries")

        def __eq__(self, other):
            compared.append((other, (in_tmp / "out").is_dir()))
            return False
    pkg = {Key(): 1}
    pkg.update(package(file_boundaries=[3], filenames=["/abs"]))
    compared.clear()  # the insertion asked it too
    (in_tmp / "p").write_bytes(b"")
    monkeypatch.setattr(mod, "pickle", types.SimpleNamespace(load=lambda f: pkg))
    with pytest.raises(ValueError, match="refusing to write"):
        comp.decode_package("p", "out")
    # The lookup of the file loop asked it, before the output dir was made.
    assert compared and all(c == ("file_boundaries", False) for c in compared)
    assert not (in_tmp / "out").exists()


DEEP = "/".join("a" * 2048)  # 4,095 bytes, 2,048 levels
# About 200 KB of references to one name through the pickle memo: a package,
# a command run on it, and its exit status with what its one line says.
BOMBS = [
    ("deep dirs", ["list"], 0, ""),
    ("deep dirs", ["check"], 0, ""),
    ("deep dirs", ["unpack", "-d", "out", "a/"], 0, ""),
    ("long dirs", ["list"], 1, "cannot be restored"),
    ("long dirs", ["check"], 1, "cannot be restored"),
    ("long dirs", ["unpack", "-d", "out"], 1, "cannot be restored"),
    ("one name", ["unpack", "-d", "out", DEEP], 1, "stored names repeat"),
    ("one name", ["unpack", "-d", "out", "a/a/"], 1, "stored names repeat"),
]


@pytest.mark.parametrize("kind, command_args, status, words", BOMBS)
def test_bombs_cost_about_their_own_size(command, in_tmp, kind, command_args, status, words):
    files = 20_000 if kind == "one name" else 0
    dirs = {"deep dirs": [DEEP] * 100_000, "long dirs": ["x" * 10_000] * 100_000}.get(kind, [])
    facts = {"version": 1, "digests": [], "sizes": [], "modes": [], "mtimes_ns": [],
             "empty_dirs": dirs}
    package = {"compressed": zstandard.ZstdCompressor().compress(b""),
               "file_boundaries": [0] * files, "filenames": [DEEP] * files,
               **({"file_facts": facts} if dirs else {})}
    (in_tmp / "b.pkg").write_bytes(pickle.dumps(package))
    assert (in_tmp / "b.pkg").stat().st_size < 250_000

    # The command's own code, run in a process that then tells its peak size.
    # The peak of its own memory: a child's ru_maxrss starts from the test
    # process's peak (exec keeps it), VmHWM from its own.
    # The file is closed, or a debug interpreter adds a ResourceWarning.
    measured = ("import sys\nfrom ormek.cli import main\nstatus = main(sys.argv[1:])\n"
                "with open('/proc/self/status') as f:\n"
                "    print(next(l.split()[1] for l in f if l.startswith('VmHWM')), file=sys.stderr)\n"
                "sys.exit(status)")
    done = subprocess.run([sys.executable, "-c", measured, command_args[0], "b.pkg",
                           *command_args[1:], "-q"], capture_output=True, text=True,
                          env=command[1], cwd=in_tmp, timeout=60)
    *said, peak = done.stderr.splitlines()
    assert (done.returncode, len(said)) == (status, status), done.stderr
    assert words in done.stderr and int(peak) < 1_000_000  # KiB; a copy per reference takes GBs
    if "unpack" in command_args and status == 0:
        out = os.open(in_tmp / "out", os.O_RDONLY)
        assert stat.S_ISDIR(os.stat(DEEP, dir_fd=out).st_mode)
        os.close(out)
