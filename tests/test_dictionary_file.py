"""The dictionary file: load_dict, save_dict, the inverse-dictionary rebuild
and the replace-on-success save, which a package written by encode_files
shares."""

import errno
import os
import pathlib
import pickle
import stat
import sys
import types

import pytest

from helpers import UNHASHABLE_LIST, lines, qual, write_pickle

import ormek_compressor

C = ormek_compressor.OrmekCompressor
DICT_FILE = "larkmoor_dict.bin"


def load(n):
    return (qual("load_dict"), "compressor", n)


def save(n):
    return (qual("save_dict"), "compressor", n)


INIT_18 = (qual("__init__"), "compressor", 18)


def leftovers(directory, keep=(DICT_FILE,)):
    return sorted(set(os.listdir(directory)) - set(keep))


class FakePickle:
    """Stands in for the module global `pickle`: load returns `data` (the file
    must still exist, since load_dict tests for it first)."""

    def __init__(self, data=None, dump=None):
        self.data = data
        self.dump = dump or pickle.dump
        self.PickleError = pickle.PickleError

    def load(self, f):
        f.read()
        return self.data


@pytest.fixture
def fake_load(in_tmp, monkeypatch):
    """Makes load_dict see `data` as the unpickled dictionary file."""
    (in_tmp / DICT_FILE).write_bytes(b"x")

    def install(data):
        monkeypatch.setattr(ormek_compressor, "pickle", FakePickle(data))
        c = C.__new__(C)
        c.dict_path = DICT_FILE
        c.global_dict, c.inverse_dict, c.next_id = {"old": 1}, {1: "old"}, 9
        return c

    return install


# ---------------------------------------------------------------------------
# Round trips and the file format.


def test_round_trip(comp):
    comp.global_dict.update({"a": 1, " ": 2, "bc": 3})
    comp.inverse_dict.update({1: "a", 2: " ", 3: "bc"})
    comp.next_id = 4
    assert comp.save_dict() is None
    fresh = C()
    assert fresh.global_dict == {"a": 1, " ": 2, "bc": 3}
    assert fresh.inverse_dict == {1: "a", 2: " ", 3: "bc"}
    assert fresh.next_id == 4
    assert fresh.dict_path == DICT_FILE


def test_file_format_is_plain_pickle_of_two_entries(comp):
    comp.global_dict["t"] = 1
    comp.next_id = 2
    comp.save_dict()
    with open(DICT_FILE, "rb") as f:
        data = pickle.load(f)
    assert list(data.items()) == [("dict", {"t": 1}), ("next_id", 2)]


def test_save_replaces_whole_content(comp):
    comp.global_dict.update({str(i): i for i in range(2000)})
    comp.save_dict()
    big = os.path.getsize(DICT_FILE)
    comp.global_dict.clear()
    comp.save_dict()
    assert os.path.getsize(DICT_FILE) < big
    assert C().global_dict == {}


@pytest.mark.parametrize(
    "make_path",
    [str, lambda p: os.fsencode(p), pathlib.Path],
    ids=["str", "bytes", "pathlike"],
)
def test_round_trip_path_kinds(in_tmp, make_path):
    c = C(make_path(str(in_tmp / "d.bin")))
    c.global_dict["x"] = 5
    c.save_dict()
    assert C(make_path(str(in_tmp / "d.bin"))).global_dict == {"x": 5}
    assert leftovers(in_tmp, keep=("d.bin",)) == []


def test_missing_file_changes_nothing(comp):
    gd, inv = comp.global_dict, comp.inverse_dict
    gd["k"] = 3
    comp.next_id = 7
    assert comp.load_dict() is None
    assert comp.global_dict is gd and comp.inverse_dict is inv and comp.next_id == 7


@pytest.mark.parametrize(
    "data, global_dict, next_id",
    [
        ({"next_id": 5}, {}, 5),
        ({"dict": {"a": 2}}, {"a": 2}, 1),
        ({}, {}, 1),
        ({"dict": {"a": 2}, "next_id": 3, "other": "ignored"}, {"a": 2}, 3),
    ],
)
def test_missing_keys_take_defaults(in_tmp, data, global_dict, next_id):
    write_pickle(DICT_FILE, data)
    c = C()
    assert c.global_dict == global_dict
    assert c.inverse_dict == {v: k for k, v in global_dict.items()}
    assert c.next_id == next_id


def test_get_is_called_with_the_specified_arguments(fake_load):
    calls = []

    class Data:
        def get(self, key, default):
            calls.append((key, default))
            return {"t": 4} if key == "dict" else 8

    c = fake_load(Data())
    c.load_dict()
    assert calls == [("dict", {}), ("next_id", 1)]
    assert (c.global_dict, c.inverse_dict, c.next_id) == ({"t": 4}, {4: "t"}, 8)


def test_tokens_sharing_an_id_keep_the_later(in_tmp):
    write_pickle(DICT_FILE, {"dict": {"first": 1, "second": 1, "x": 2}, "next_id": 3})
    assert C().inverse_dict == {1: "second", 2: "x"}


def test_next_id_extremes_load(in_tmp):
    write_pickle(DICT_FILE, {"next_id": 2**31 - 1})
    assert C().next_id == 2**31 - 1
    write_pickle(DICT_FILE, {"next_id": -(2**31)})
    assert C().next_id == -(2**31)


def test_empty_file_fails_the_constructor(in_tmp, entries):
    (in_tmp / DICT_FILE).write_bytes(b"")
    with pytest.raises(EOFError) as info:
        C()
    assert entries(info.value) == [INIT_18, load(23), load(24)]


# ---------------------------------------------------------------------------
# Failure lines of load_dict.


class Boom(Exception):
    pass


def raise_boom(*args):
    raise Boom


class BadBool:
    def __bool__(self):
        raise Boom


def os_global(standin):
    """The module global `os` replaced by `standin`, or deleted (None)."""
    def prepare(c, monkeypatch):
        if standin is None:
            monkeypatch.delattr(ormek_compressor, "os")
        else:
            monkeypatch.setattr(ormek_compressor, "os", standin)
    return prepare


def dict_path(path):
    def prepare(c, monkeypatch):
        os.mkdir("adir")
        c.dict_path = path
    return prepare


def dict_file(content):
    """The dictionary file holding `content` (bytes as they are, else pickled)."""
    def prepare(c, monkeypatch):
        with open(DICT_FILE, "wb") as f:
            f.write(content if isinstance(content, bytes) else pickle.dumps(content))
    return prepare


def loaded(data):
    """A stand-in `pickle` global whose load returns `data` as given."""
    def prepare(c, monkeypatch):
        dict_file(b"x")(c, monkeypatch)
        monkeypatch.setattr(ormek_compressor, "pickle", FakePickle(data))
    return prepare


def saved_none_dict(c, monkeypatch):
    c.global_dict = None
    c.save_dict()


try:
    os.path.exists(None)
except TypeError as exc:
    EXISTS_NONE = str(exc)

# (prepare, exception, its text or None, lines of load_dict, the dictionary
# taken over before the failure or None when nothing changed).
LOAD_FAILURES = {
    "os without path": (os_global(types.SimpleNamespace()), AttributeError, None, [22], None),
    "path without exists": (os_global(types.SimpleNamespace(path=types.SimpleNamespace())),
                            AttributeError, None, [22], None),
    "exists raises": (os_global(types.SimpleNamespace(path=types.SimpleNamespace(
        exists=raise_boom))), Boom, None, [22], None),
    "truth raises": (os_global(types.SimpleNamespace(path=types.SimpleNamespace(
        exists=lambda p: BadBool()))), Boom, None, [22], None),
    "no os global": (os_global(None), NameError, "name 'os' is not defined", [22], None),
    "None path handed to exists": (dict_path(None), TypeError, EXISTS_NONE, [22], None),
    "directory path": (dict_path("adir"), IsADirectoryError, None, [23], None),
    "garbage": (dict_file(b"garbage"), Exception, None, [23, 24], None),
    "protocol only": (dict_file(b"\x80\x05"), Exception, None, [23, 24], None),
    "truncated": (dict_file(pickle.dumps({"dict": {}})[:-1]), Exception, None, [23, 24], None),
    "data without get": (dict_file(["not", "a", "mapping"]), AttributeError, None, [23, 25], None),
    "None dict saved": (saved_none_dict, AttributeError,
                        "'NoneType' object has no attribute 'items'", [23, 26], None),
    "next_id str": (loaded({"dict": {"a": 1}, "next_id": "7"}), TypeError,
                    "an integer is required", [23, 27], {"a": 1}),
    "next_id None": (loaded({"dict": {"a": 1}, "next_id": None}), TypeError,
                     "an integer is required", [23, 27], {"a": 1}),
    "next_id 2**31": (loaded({"dict": {"a": 1}, "next_id": 2**31}), OverflowError,
                      "value too large to convert to int", [23, 27], {"a": 1}),
    "next_id -2**31-1": (loaded({"dict": {"a": 1}, "next_id": -(2**31) - 1}), OverflowError,
                         "value too large to convert to int", [23, 27], {"a": 1}),
    "next_id 2**31 in the file": (dict_file({"dict": {"a": 1}, "next_id": 2**31}),
                                  OverflowError, None, [23, 27], {"a": 1}),
}


@pytest.mark.parametrize("prepare, exc, message, at, taken", LOAD_FAILURES.values(),
                         ids=LOAD_FAILURES)
def test_load_dict_failure_lines(in_tmp, monkeypatch, entries, prepare, exc, message, at, taken):
    c = C.__new__(C)
    c.dict_path = DICT_FILE
    c.global_dict, c.inverse_dict, c.next_id = {"old": 1}, {1: "old"}, 9
    prepare(c, monkeypatch)
    before = (c.global_dict, c.inverse_dict, c.next_id)
    with pytest.raises(exc) as info:
        c.load_dict()
    if message is not None:
        assert str(info.value) == message
    assert entries(info.value) == [load(n) for n in at]
    if taken is None:
        assert all(now is then for now, then in zip((c.global_dict, c.inverse_dict), before))
    else:
        assert (c.global_dict, c.inverse_dict) == (taken, {v: k for k, v in taken.items()})
    assert c.next_id == before[2]


def test_os_global_is_looked_up_at_each_use(in_tmp, monkeypatch):
    write_pickle(DICT_FILE, {"dict": {"a": 1}})
    seen = []

    def exists(p):
        seen.append(p)
        return 0

    monkeypatch.setattr(
        ormek_compressor, "os", types.SimpleNamespace(path=types.SimpleNamespace(exists=exists))
    )
    c = C()
    assert seen == [DICT_FILE] and c.global_dict == {}


def test_pickle_global_replaced_is_used(fake_load, entries):
    c = fake_load({"dict": {"z": 26}, "next_id": 27})
    c.load_dict()
    assert (c.global_dict, c.inverse_dict, c.next_id) == ({"z": 26}, {26: "z"}, 27)


def test_next_id_conversion_truncates_floats(fake_load):
    c = fake_load({"dict": {}, "next_id": 7.9})
    c.load_dict()
    assert c.next_id == 7


def test_failure_in_block_restores_handled_exception(fake_load):
    c = fake_load({"dict": None})
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        with pytest.raises(AttributeError):
            c.load_dict()
        assert sys.exc_info()[1] is outer


# ---------------------------------------------------------------------------
# The inverse-dictionary rebuild (line 26).


class ItemsOf:
    """A mapping stand-in whose items() returns `items` as given."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


class CountingDict(dict):
    def items(self):
        return [("from-override", 1)]


@pytest.mark.parametrize(
    "mapping, inverse",
    [
        ({"a": 1, "b": 2}, {1: "a", 2: "b"}),
        ({}, {}),
        (ItemsOf([("a", 1), ("b", 1)]), {1: "b"}),
        (ItemsOf((("a", 1), ("b", 2))), {1: "a", 2: "b"}),
        (ItemsOf(iter([("a", 1)])), {1: "a"}),
        (ItemsOf((x for x in [["k", "v"]])), {"v": "k"}),
        (ItemsOf([iter("ab")]), {"b": "a"}),
        (ItemsOf([]), {}),
        (CountingDict(a=5), {1: "from-override"}),
    ],
    ids=["dict", "empty", "list", "tuple", "iterator", "generator-of-lists", "iter-item",
         "no-items", "dict-subclass-uses-items"],
)
def test_inverse_rebuild(fake_load, mapping, inverse):
    c = fake_load({"dict": mapping})
    c.load_dict()
    assert c.global_dict is mapping
    assert c.inverse_dict == inverse


@pytest.mark.parametrize(
    "mapping, exc, message",
    [
        (ItemsOf([("a", 1, 2)]), ValueError, "too many values to unpack (expected 2)"),
        (ItemsOf([("a",)]), ValueError, "need more than 1 value to unpack"),
        (ItemsOf([()]), ValueError, "need more than 0 values to unpack"),
        (ItemsOf([iter("abc")]), ValueError, "too many values to unpack (expected 2)"),
        (ItemsOf([iter("a")]), ValueError, "need more than 1 value to unpack"),
        (ItemsOf([None]), TypeError, "'NoneType' object is not iterable"),
        (ItemsOf([5]), TypeError, "'int' object is not iterable"),
        (ItemsOf(5), TypeError, "'int' object is not iterable"),
        (ItemsOf([("a", [1])]), TypeError, UNHASHABLE_LIST),
        (["no", "items"], AttributeError, "'list' object has no attribute 'items'"),
        ({"a": [1]}, TypeError, UNHASHABLE_LIST),
    ],
)
def test_inverse_rebuild_errors(fake_load, entries, mapping, exc, message):
    c = fake_load({"dict": mapping, "next_id": 5})
    old_inverse = c.inverse_dict
    with pytest.raises(exc) as info:
        c.load_dict()
    assert str(info.value) == message
    assert entries(info.value) == [load(23), load(26)]
    assert c.global_dict is mapping
    assert c.inverse_dict is old_inverse and c.next_id == 9


def test_items_iterator_error_propagates(fake_load, entries):
    def gen():
        yield ("a", 1)
        raise Boom

    c = fake_load({"dict": ItemsOf(gen())})
    with pytest.raises(Boom) as info:
        c.load_dict()
    assert entries(info.value) == [load(23), load(26)]


def test_dict_changed_size_during_walk(fake_load, entries):
    walked = {}

    class Grows:
        def __hash__(self):
            walked[len(walked) + 100] = "new"
            return 1

    walked.update({"a": Grows(), "b": Grows()})
    c = fake_load({"dict": walked})
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$") as info:
        c.load_dict()
    assert entries(info.value) == [load(23), load(26)]


def test_list_shrinking_during_walk_stops_cleanly(fake_load):
    items = [("a", 1), ("b", 2), ("c", 3)]

    class Shrinks:
        def __hash__(self):
            items.clear()
            return 7

        def __eq__(self, other):
            return self is other

    key = Shrinks()
    items[0] = ("a", key)
    c = fake_load({"dict": ItemsOf(items)})
    c.load_dict()
    assert c.inverse_dict == {key: "a"}


def test_walk_survives_replacing_global_dict(fake_load):
    # A value's __hash__ drops the compressor's only reference to the mapping
    # being walked.
    holder = {}

    class Replacer:
        def __hash__(self):
            holder["c"].global_dict = None
            return 3

    c = fake_load(None)
    holder["c"] = c
    ormek_compressor.pickle.data = {"dict": {"a": Replacer(), "b": 2}}
    c.load_dict()
    assert c.global_dict is None
    assert sorted(map(repr, c.inverse_dict.values())) == ["'a'", "'b'"]


# ---------------------------------------------------------------------------
# Argument refusals (no traceback entry).


@pytest.mark.parametrize("method", ["load_dict", "save_dict"])
def test_refuses_arguments(comp, entries, method):
    with pytest.raises(TypeError) as info:
        getattr(comp, method)(1)
    assert str(info.value) == f"{method}() takes exactly 0 positional arguments (1 given)"
    assert entries(info.value) == []
    with pytest.raises(TypeError) as info:
        getattr(comp, method)(x=1)
    assert str(info.value) == f"{method}() got an unexpected keyword argument 'x'"
    assert entries(info.value) == []


# ---------------------------------------------------------------------------
# save_dict failures and the replace-on-success save.


class Unpicklable:
    def __reduce__(self):
        raise Boom("no pickling")


def full_disk_dump(obj, f):
    f.write(b"\x80\x04partial stream")
    f.flush()
    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))


# The two files the module writes, each through its pickle writer: a file
# there is replaced only once the new one is complete.
class DictionaryWriter:
    dump_lines = [save(34), save(35)]
    open_lines = [save(34)]

    def fresh(self, path):
        return C(str(path))

    def write(self, c, path, token="hello"):
        c.dict_path = str(path)
        c.global_dict[token] = len(c.global_dict) + 1
        c.save_dict()

    def read(self, path):
        return set(C(str(path)).global_dict)


class PackageWriter:
    dump_lines = lines(89, 90, function=qual("encode_files"))
    open_lines = lines(89, function=qual("encode_files"))

    def fresh(self, path):
        return C()

    def write(self, c, path, token="hello"):
        pathlib.Path(token).write_text("hello world", encoding="utf-8")
        c.encode_files([token], str(path))

    def read(self, path):
        with open(path, "rb") as f:
            package = pickle.load(f)
            assert f.read() == b""
        return set(package["filenames"])


WRITERS = {"dictionary": DictionaryWriter(), "package": PackageWriter()}
writers = pytest.mark.parametrize("writer", WRITERS.values(), ids=WRITERS)


def unpicklable_entry(c, monkeypatch):
    c.global_dict["bad"] = Unpicklable()
    return Boom


def lambda_entry(c, monkeypatch):
    c.global_dict["bad"] = lambda: 0
    return (pickle.PicklingError, AttributeError, TypeError)


def full_disk(c, monkeypatch):
    monkeypatch.setattr(ormek_compressor, "pickle", FakePickle(dump=full_disk_dump))
    return OSError


@writers
@pytest.mark.parametrize("fail", [unpicklable_entry, lambda_entry, full_disk])
@pytest.mark.parametrize("older", [b"older file", None], ids=["older", "first"])
def test_failed_write_keeps_the_older_file(comp, in_tmp, monkeypatch, entries, writer, fail,
                                           older):
    if older is not None:
        (in_tmp / "out").write_bytes(older)
    exc = fail(comp, monkeypatch)
    with pytest.raises(exc) as info:
        writer.write(comp, "out")
    if fail is full_disk:
        assert info.value.errno == errno.ENOSPC
    assert entries(info.value) == writer.dump_lines
    if older is None:
        assert not (in_tmp / "out").exists()
    else:
        assert (in_tmp / "out").read_bytes() == older
    assert leftovers(in_tmp, keep=("out", "hello")) == []


@writers
def test_written_file_is_whole(comp, in_tmp, writer):
    (in_tmp / "out").write_bytes(b"x" * 100_000)  # longer than the new file
    writer.write(comp, "out")
    assert writer.read("out") == {"hello"}
    assert leftovers(in_tmp, keep=("out", "hello")) == []


@writers
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o4755, 0o6755, 0o1777, None],
                         ids=lambda mode: oct(mode) if mode else "new")
def test_fresh_file_private_then_only_permission_bits(comp, in_tmp, monkeypatch, writer, mode):
    seen = []

    def dump(obj, f):
        seen.append(stat.S_IMODE(os.stat(f.name).st_mode))
        pickle.dump(obj, f)

    monkeypatch.setattr(ormek_compressor, "pickle", FakePickle(dump=dump))
    if mode is not None:
        (in_tmp / "out").write_bytes(b"older")
        if os.geteuid() == 0:
            os.chown(in_tmp / "out", 65534, 65534)  # another user's file, replaced by root
        os.chmod(in_tmp / "out", mode)
    writer.write(comp, "out")
    umask = os.umask(0o22)
    os.umask(umask)
    want = 0o666 & ~umask if mode is None else mode & 0o777
    assert (seen, stat.S_IMODE(os.stat(in_tmp / "out").st_mode)) == ([0o600], want)


@writers
def test_write_through_a_symlink_updates_its_target(in_tmp, writer):
    real = in_tmp / "real"
    real.mkdir()
    writer.write(writer.fresh(real / "f"), real / "f", "one")
    os.symlink(real / "f", in_tmp / "link")
    # The dictionary is loaded through the link too, and keeps "one".
    writer.write(writer.fresh(in_tmp / "link"), in_tmp / "link", "two")
    assert os.path.islink(in_tmp / "link")
    kept = {"one", "two"} if writer is WRITERS["dictionary"] else {"two"}
    assert writer.read(real / "f") == kept
    assert os.listdir(real) == ["f"]


@writers
def test_write_into_a_missing_directory(comp, entries, writer):
    path = os.path.join("no_such_dir", "out")
    with pytest.raises(FileNotFoundError) as info:
        writer.write(comp, path)
    assert entries(info.value) == writer.open_lines
    assert info.value.filename == path
    assert str(info.value) == f"[Errno 2] No such file or directory: {path!r}"


def test_dump_receives_the_open_file(comp, monkeypatch):
    seen = []

    def dump(obj, f):
        seen.append((obj, f.mode, f.closed))
        f.write(b"custom")

    monkeypatch.setattr(ormek_compressor, "pickle", FakePickle(dump=dump))
    comp.save_dict()
    assert seen == [({"dict": {}, "next_id": 1}, "xb", False)]
    with open(DICT_FILE, "rb") as f:
        assert f.read() == b"custom"


def test_missing_pickle_global(comp, monkeypatch, entries, in_tmp):
    monkeypatch.delattr(ormek_compressor, "pickle")
    with pytest.raises(NameError, match="^name 'pickle' is not defined$") as info:
        comp.save_dict()
    assert entries(info.value) == [save(34), save(35)]
    assert os.listdir(in_tmp) == []


def test_missing_directory_pathlike_names_its_fspath(comp, entries):
    comp.dict_path = pathlib.Path("no_such_dir") / "d.bin"
    with pytest.raises(FileNotFoundError) as info:
        comp.save_dict()
    assert info.value.filename == os.fspath(comp.dict_path)


@pytest.mark.parametrize(
    "path, exc",
    [(None, TypeError), (3.5, TypeError), ("with\0nul", ValueError), (b"with\0nul", ValueError)],
)
def test_unusable_paths_fail_as_open_does(comp, entries, path, exc):
    comp.dict_path = path
    with pytest.raises(exc) as info:
        comp.save_dict()
    with pytest.raises(exc) as expected:
        open(path, "wb")
    assert str(info.value) == str(expected.value)
    assert entries(info.value) == [save(34)]


def test_directory_path_fails_at_34(comp, in_tmp, entries):
    (in_tmp / "adir").mkdir()
    comp.dict_path = "adir"
    with pytest.raises(IsADirectoryError) as info:
        comp.save_dict()
    assert entries(info.value) == [save(34)]
    assert os.listdir(in_tmp) == ["adir"] and os.listdir(in_tmp / "adir") == []


def test_device_is_written_in_place(comp):
    comp.dict_path = os.devnull
    comp.save_dict()
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_file_descriptor_path(comp, in_tmp):
    comp.global_dict["fd"] = 1
    fd = os.open(in_tmp / "by_fd.bin", os.O_WRONLY | os.O_CREAT)
    comp.dict_path = fd
    comp.save_dict()  # open(fd, "wb") closes fd on leaving the block
    with pytest.raises(OSError):
        os.fstat(fd)
    assert C(str(in_tmp / "by_fd.bin")).global_dict == {"fd": 1}


def test_dangling_symlink_creates_its_target(in_tmp):
    os.symlink(in_tmp / "target.bin", in_tmp / "link.bin")
    c = C(str(in_tmp / "link.bin"))
    c.global_dict["t"] = 1
    c.save_dict()
    assert os.path.islink(in_tmp / "link.bin")
    assert C(str(in_tmp / "target.bin")).global_dict == {"t": 1}


def test_taken_temp_names_are_skipped(comp, in_tmp, monkeypatch):
    # The fresh file's name is dict_path plus ".<pid>-<serial>.tmp"; files that
    # already hold the next names (a crashed run's leftovers) are passed over
    # and left alone.
    seen = []

    def dump(obj, f):
        seen.append(os.path.basename(f.name))
        pickle.dump(obj, f)

    monkeypatch.setattr(ormek_compressor, "pickle", FakePickle(dump=dump))
    comp.save_dict()
    prefix, serial = seen[0].rsplit(".", 1)[0].rsplit("-", 1)
    assert prefix == f"{DICT_FILE}.{os.getpid():x}"
    taken = [f"{prefix}-{int(serial, 16) + k:x}.tmp" for k in range(1, 6)]
    for name in taken:
        (in_tmp / name).write_bytes(b"stale")
    comp.global_dict["after"] = 1
    comp.save_dict()
    assert seen[1] not in taken
    with open(DICT_FILE, "rb") as f:
        assert pickle.load(f)["dict"] == {"after": 1}
    assert sorted(leftovers(in_tmp)) == sorted(taken)
    assert all((in_tmp / name).read_bytes() == b"stale" for name in taken)


# ---------------------------------------------------------------------------
# Damaged dictionary files never crash the loader.


def _damaged_files():
    data = {"dict": {f"tok{i}": i for i in range(1, 40)}, "next_id": 40}
    good = pickle.dumps(data)
    cases = [good[:n] for n in range(0, len(good), max(1, len(good) // 20))]
    for i, pos in enumerate(range(0, len(good), max(1, len(good) // 20))):
        flipped = bytearray(good)
        flipped[pos] ^= 0x55 if i % 2 else 0xFF
        cases.append(bytes(flipped))
    return cases


@pytest.mark.parametrize("content", _damaged_files())
def test_damaged_file_loads_or_raises(in_tmp, content):
    (in_tmp / DICT_FILE).write_bytes(content)
    try:
        c = C()
    except Exception:
        return
    assert isinstance(c.next_id, int)
