"""The native reader of packages (read_outline): what it reads of a package
equals what read_package reads, and every package it does not know is left
to read_package (None)."""

import pickle

import pytest

from helpers import write_pickle

FRAME = b"\x28\xb5\x2f\xfd" + bytes(range(60))


def package(tokens=3, payload=FRAME, facts=None, names=("a", "b\udcff")):
    """A package dict: the tokens "a" (one object with the name "a"), " ",
    "\xe9" and "t0", "t1"..., ids from 1 up."""
    dictionary = {"a": 1, " ": 2, "\xe9": 1 << 70}
    dictionary.update((f"t{i}", i + 4) for i in range(tokens))
    out = {
        "compressed": payload,
        "file_boundaries": list(range(1, len(names) + 1)),
        "filenames": list(names),
        "global_dict": dictionary,
    }
    if facts is not None:
        out["file_facts"] = facts
    return out


def outline_of(stored):
    """read_package's package as read_outline gives it."""
    return {**stored, "compressed": stored["compressed"][:32], "global_dict": {}}


FACTS = {"version": 1, "sizes": [3, -7], "empty_dirs": ["a", "d/e"], "deep": {"x": [b"", 2**65]}}


@pytest.mark.parametrize("protocol", [4, 5])
@pytest.mark.parametrize(
    "stored",
    [
        package(),
        package(tokens=0, names=()),
        package(tokens=2500, facts=FACTS),
        package(payload=bytes(70000)),
        package(facts={**FACTS, "empty_dirs": [" "]}),
    ],
    ids=["small", "empty", "batches-facts", "long-payload", "facts-share-a-token"],
)
def test_outline_equals_the_package(comp, in_tmp, stored, protocol):
    write_pickle("p.pkg", stored, protocol)
    answer = comp.read_outline("p.pkg")
    expected = comp.read_package("p.pkg")
    assert answer == (outline_of(expected), len(expected["compressed"]), len(expected["global_dict"]))
    if "file_facts" in stored:  # shared as the unpickler shares them
        shared = [expected["filenames"][0] is d for d in expected["file_facts"]["empty_dirs"]]
        assert [answer[0]["filenames"][0] is d for d in answer[0]["file_facts"]["empty_dirs"]] == shared


def _same_length(data, old, new):
    assert len(old) == len(new) and data.count(old) == 1
    return data.replace(old, new)


@pytest.mark.parametrize(
    "make",
    [
        lambda: pickle.dumps(package(), 2),
        lambda: pickle.dumps(package(), 3),
        lambda: _same_length(pickle.dumps(package(), 4), b"t1", b"t0"),  # a key repeats
        lambda: pickle.dumps({**package(), "global_dict": {"a": "1"}}, 4),
        lambda: pickle.dumps({**package(), "global_dict": {1: 1}}, 4),
        lambda: pickle.dumps(dict(reversed(package().items())), 4),
        lambda: pickle.dumps(package(facts=FACTS), 4)[:-30],
        lambda: b"",
    ],
    ids=["protocol-2", "protocol-3", "repeated-key", "str-id", "int-key", "key-order", "cut", "empty"],
)
def test_other_shapes_are_left_to_read_package(comp, in_tmp, make):
    with open("p.pkg", "wb") as f:
        f.write(make())
    assert comp.read_outline("p.pkg") is None


def test_what_cannot_be_opened_is_left_to_read_package(comp, in_tmp):
    (in_tmp / "d.pkg").mkdir()
    assert comp.read_outline("missing.pkg") is None
    assert comp.read_outline("d.pkg") is None
    with pytest.raises(TypeError):
        comp.read_outline(b"p.pkg")


@pytest.mark.parametrize("repeat", [False, True], ids=["distinct", "repeated-key"])
def test_a_listing_walks_past_the_count(comp, in_tmp, repeat):
    # Without the count, a key that repeats changes nothing the outline holds.
    data = pickle.dumps(package(), 4)
    with open("p.pkg", "wb") as f:
        f.write(_same_length(data, b"t1", b"t0") if repeat else data)
    expected = comp.read_package("p.pkg")
    assert comp.read_outline("p.pkg", count_tokens=False) == (outline_of(expected), len(FRAME), None)
