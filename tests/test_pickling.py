"""Pickling support: the reduce value, the set-state routine, the
reconstructors and the class's pickling attributes."""

import copy
import pickle
import types

import pytest

from helpers import fields, qual

import ormek_compressor

C = ormek_compressor.OrmekCompressor
unpickle = ormek_compressor.__pyx_unpickle_OrmekCompressor
CHECKSUMS = (0x3E12E10, 0x7D3093E, 0x18C54B4)
MESSAGE = (
    "Incompatible checksums (0x{:x} vs (0x3e12e10, 0x7d3093e, 0x18c54b4) = "
    "(dict_path, global_dict, inverse_dict, next_id))"
)

SETSTATE_17 = (qual("__setstate_cython__"), "<stringsource>", 17)
SETSTATE_16 = (qual("__setstate_cython__"), "<stringsource>", 16)


def set_state(n):
    return ("ormek_compressor.__pyx_unpickle_OrmekCompressor__set_state", "<stringsource>", n)


def unpickle_at(n):
    return ("ormek_compressor.__pyx_unpickle_OrmekCompressor", "<stringsource>", n)


def reduce_at(n):
    return (qual("__reduce_cython__"), "<stringsource>", n)


class Sub(C):
    """A Python subclass: its instances have a __dict__."""


class NoLoad(C):
    def load_dict(self):
        pass


def bare():
    return C.__new__(C)


@pytest.fixture
def filled(comp):
    comp.global_dict.update({"a": 1, " ": 2})
    comp.inverse_dict.update({1: "a", 2: " "})
    comp.next_id = 3
    return comp


# ---------------------------------------------------------------------------
# Class attributes.


def test_four_class_attributes():
    # __reduce__ and __setstate__ are the method table's entries under the
    # names of the two functions of the module's own type beside them.
    d = C.__dict__
    for name in ("__reduce__", "__setstate__", "__reduce_cython__", "__setstate_cython__"):
        assert name in d, name
    assert type(d["__reduce__"]) is types.MethodDescriptorType
    assert type(d["__setstate__"]) is types.MethodDescriptorType
    assert d["__reduce__"].__name__ == "__reduce_cython__"
    assert d["__setstate__"].__name__ == "__setstate_cython__"
    for name in ("__reduce_cython__", "__setstate_cython__"):
        assert type(d[name]) is type(unpickle)
        assert d[name].__qualname__ == f"OrmekCompressor.{name}"


def test_reconstructor_is_a_module_function():
    assert unpickle.__qualname__ == "__pyx_unpickle_OrmekCompressor"
    assert unpickle.__module__ == "ormek_compressor"
    assert unpickle.__code__.co_varnames == (
        "__pyx_type", "__pyx_checksum", "__pyx_state", "__pyx_PickleError", "__pyx_result")


# ---------------------------------------------------------------------------
# Reduce shapes.


@pytest.mark.parametrize("via", ["__reduce__", "__reduce_cython__"])
def test_reduce_with_setstate(filled, via):
    value = getattr(filled, via)()
    assert value == (
        unpickle,
        (C, 0x3E12E10, None),
        ("larkmoor_dict.bin", {"a": 1, " ": 2}, {1: "a", 2: " "}, 3),
    )
    assert value[2][1] is filled.global_dict and value[2][2] is filled.inverse_dict


def test_reduce_of_bare_instance_has_no_setstate():
    assert bare().__reduce__() == (unpickle, (C, 0x3E12E10, (None, None, None, 0)))


@pytest.mark.parametrize("field", ["dict_path", "global_dict", "inverse_dict"])
def test_any_object_field_selects_setstate(field):
    c = bare()
    setattr(c, field, 0)
    assert len(c.__reduce__()) == 3


def test_next_id_alone_does_not_select_setstate():
    c = bare()
    c.next_id = 5
    assert c.__reduce__() == (unpickle, (C, 0x3E12E10, (None, None, None, 5)))


def test_subclass_reduce_carries_its_dict(in_tmp):
    s = Sub()
    s.extra = [1]
    value = s.__reduce__()
    assert value[1] == (Sub, 0x3E12E10, None)
    assert value[2] == ("larkmoor_dict.bin", {}, {}, 1, {"extra": [1]})


def test_bare_subclass_uses_setstate_for_its_dict():
    s = Sub.__new__(Sub)
    assert s.__reduce__() == (unpickle, (Sub, 0x3E12E10, None), (None, None, None, 0, {}))


def test_reduce_refuses_arguments(comp, entries):
    with pytest.raises(TypeError) as info:
        comp.__reduce_cython__(1)
    assert str(info.value) == "__reduce_cython__() takes exactly 0 positional arguments (1 given)"
    assert entries(info.value) == []
    with pytest.raises(TypeError, match="unexpected keyword argument 'k'"):
        comp.__reduce_cython__(k=1)


def test_reduce_without_reconstructor_global(comp, monkeypatch, entries):
    monkeypatch.delattr(ormek_compressor, "__pyx_unpickle_OrmekCompressor")
    with pytest.raises(NameError, match="^name '__pyx_unpickle_OrmekCompressor' is not defined$") as info:
        comp.__reduce__()
    assert entries(info.value) == [reduce_at(13)]
    with pytest.raises(NameError) as info:
        bare().__reduce__()
    assert entries(info.value) == [reduce_at(15)]


def test_reduce_dict_lookup_error_is_line_6(in_tmp, entries):
    class Odd(C):
        def __getattribute__(self, name):
            if name == "__dict__":
                raise KeyError("no")
            return super().__getattribute__(name)

    with pytest.raises(KeyError) as info:
        Odd.__new__(Odd).__reduce__()
    assert entries(info.value) == [reduce_at(6)]


def test_reduce_dict_attribute_error_counts_as_none(in_tmp):
    class NoDict(C):
        def __getattribute__(self, name):
            if name == "__dict__":
                raise AttributeError(name)
            return super().__getattribute__(name)

    assert NoDict.__new__(NoDict).__reduce__() == (
        unpickle, (NoDict, 0x3E12E10, (None, None, None, 0)))


# ---------------------------------------------------------------------------
# Round trips.


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_round_trip(filled, protocol):
    back = pickle.loads(pickle.dumps(filled, protocol))
    assert type(back) is C
    assert fields(back) == fields(filled)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_round_trip_bare(protocol):
    c = bare()
    c.next_id = -7
    back = pickle.loads(pickle.dumps(c, protocol))
    assert fields(back) == (None, None, None, -7)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_round_trip_subclass(in_tmp, protocol):
    s = Sub()
    s.global_dict["x"] = 1
    s.extra = {"k": (1, 2)}
    back = pickle.loads(pickle.dumps(s, protocol))
    assert type(back) is Sub
    assert fields(back) == fields(s)
    assert back.extra == {"k": (1, 2)}


def test_unpickling_reads_no_file(filled, in_tmp):
    data = pickle.dumps(filled)
    (in_tmp / "larkmoor_dict.bin").write_bytes(b"broken")
    assert pickle.loads(data).global_dict == {"a": 1, " ": 2}


def test_shared_references_survive(filled):
    back = pickle.loads(pickle.dumps([filled, filled.global_dict]))
    assert back[0].global_dict is back[1]


def test_self_reference_round_trips(comp):
    comp.global_dict["me"] = comp
    back = pickle.loads(pickle.dumps(comp))
    assert back.global_dict["me"] is back


def test_copy_and_deepcopy(filled):
    shallow = copy.copy(filled)
    assert shallow is not filled and fields(shallow) == fields(filled)
    assert shallow.global_dict is filled.global_dict
    deep = copy.deepcopy(filled)
    assert fields(deep) == fields(filled)
    assert deep.global_dict is not filled.global_dict


def test_copy_of_subclass_keeps_its_dict(in_tmp):
    s = Sub()
    s.extra = [1]
    c = copy.copy(s)
    assert type(c) is Sub and c.extra is s.extra


# ---------------------------------------------------------------------------
# The reconstructor.


@pytest.mark.parametrize("checksum", CHECKSUMS)
def test_accepted_checksums(checksum):
    c = unpickle(C, checksum, ("p", {"t": 1}, {1: "t"}, 2))
    assert fields(c) == ("p", {"t": 1}, {1: "t"}, 2)


@pytest.mark.parametrize("checksum", [1, 0, 0x3E12E11, -5, 2**31 - 1])
def test_other_checksums_raise_pickle_error(checksum, entries):
    with pytest.raises(pickle.PickleError) as info:
        unpickle(C, checksum, None)
    assert str(info.value) == MESSAGE.format(checksum)  # -5 gives "0x-5", as % does
    assert entries(info.value) == [unpickle_at(6)]


def test_pickle_error_text_for_one():
    with pytest.raises(pickle.PickleError) as info:
        unpickle(C, 1, None)
    assert str(info.value) == MESSAGE.replace("0x{:x}", "0x1")
    assert type(info.value) is pickle.PickleError


def test_pickle_error_comes_from_an_import(monkeypatch):
    # Replacing the module global does not change which PickleError is raised.
    monkeypatch.setattr(ormek_compressor, "pickle", None)
    with pytest.raises(pickle.PickleError):
        unpickle(C, 1, None)


def test_missing_pickle_error_is_an_import_error(monkeypatch, entries):
    monkeypatch.delattr(pickle, "PickleError")
    with pytest.raises(ImportError, match="^cannot import name PickleError$") as info:
        unpickle(C, 1, None)
    assert entries(info.value) == [unpickle_at(5)]


@pytest.mark.parametrize(
    "checksum, exc",
    [("x", TypeError), (2**64, OverflowError), (None, TypeError)],
)
def test_checksum_conversion_fails_at_line_1(entries, checksum, exc):
    with pytest.raises(exc) as info:
        unpickle(C, checksum, None)
    assert entries(info.value) == [unpickle_at(1)]


def test_checksum_conversion_truncates_float():
    assert fields(unpickle(C, float(0x3E12E10) + 0.5, None)) == (None, None, None, 0)


def test_none_state_gives_bare_instance():
    c = unpickle(C, 0x3E12E10, None)
    assert type(c) is C and fields(c) == (None, None, None, 0)


def test_subclass_without_init(in_tmp):
    (in_tmp / "larkmoor_dict.bin").write_bytes(b"would break __init__")
    s = unpickle(Sub, 0x3E12E10, None)
    assert type(s) is Sub and fields(s) == (None, None, None, 0)


@pytest.mark.parametrize("bad_type, exc", [(int, TypeError), (42, TypeError), (object, TypeError)])
def test_new_refuses_other_types(entries, bad_type, exc):
    with pytest.raises(exc) as info:
        unpickle(bad_type, 0x3E12E10, None)
    assert entries(info.value) == [unpickle_at(7)]


def test_reconstructor_binding(entries):
    with pytest.raises(TypeError) as info:
        unpickle(C, 0x3E12E10)
    assert str(info.value) == (
        "__pyx_unpickle_OrmekCompressor() takes exactly 3 positional arguments (2 given)")
    assert entries(info.value) == [unpickle_at(1)]
    c = unpickle(__pyx_type=C, __pyx_checksum=0x3E12E10, __pyx_state=(1, 2, 3, 4))
    assert fields(c) == (1, 2, 3, 4)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        unpickle(C, 0x3E12E10, None, x=1)


# ---------------------------------------------------------------------------
# State checks, in __setstate__ and in the reconstructor.


@pytest.mark.parametrize("state", [[1, 2, 3, 4], "abcd", {0: 1}])
def test_state_must_be_a_tuple(comp, entries, state):
    with pytest.raises(TypeError) as info:
        comp.__setstate__(state)
    assert str(info.value) == f"Expected tuple, got {type(state).__name__}"
    assert entries(info.value) == [SETSTATE_17]
    with pytest.raises(TypeError) as info:
        unpickle(C, 0x3E12E10, state)
    assert str(info.value) == f"Expected tuple, got {type(state).__name__}"
    assert entries(info.value) == [unpickle_at(9)]


def test_tuple_subclass_is_refused(comp):
    class T(tuple):
        pass

    with pytest.raises(TypeError, match="^Expected tuple, got T$"):
        comp.__setstate__(T((1, 2, 3, 4)))


def test_setstate_none(comp, entries):
    before = fields(comp)
    with pytest.raises(TypeError) as info:
        comp.__setstate__(None)
    assert str(info.value) == "'NoneType' object is not subscriptable"
    assert entries(info.value) == [SETSTATE_17, set_state(12)]
    assert fields(comp) == before


@pytest.mark.parametrize("via", ["__setstate__", "__setstate_cython__"])
def test_setstate_assigns_fields(comp, via):
    gd = {"q": 1}
    assert getattr(comp, via)(("p", gd, [1], 5)) is None
    assert fields(comp) == ("p", gd, [1], 5)
    assert comp.global_dict is gd


def test_setstate_binding(comp, entries):
    with pytest.raises(TypeError) as info:
        comp.__setstate_cython__()
    assert str(info.value) == "__setstate_cython__() takes exactly 1 positional argument (0 given)"
    assert entries(info.value) == [SETSTATE_16]
    comp.__setstate_cython__(__pyx_state=("k", None, None, 2))
    assert comp.dict_path == "k"


@pytest.mark.parametrize(
    "state, assigned",
    [
        ((), 0),
        (("a",), 1),
        (("a", "b"), 2),
        (("a", "b", "c"), 3),
    ],
)
def test_short_state_assigns_then_index_error(comp, entries, state, assigned):
    old = fields(comp)
    with pytest.raises(IndexError, match="^tuple index out of range$") as info:
        comp.__setstate__(state)
    assert entries(info.value) == [SETSTATE_17, set_state(12)]
    assert fields(comp)[:assigned] == state[:assigned]
    assert fields(comp)[assigned:] == old[assigned:]


@pytest.mark.parametrize(
    "next_id, exc, message",
    [
        ("7", TypeError, "an integer is required"),
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
    ],
)
def test_bad_next_id(comp, entries, next_id, exc, message):
    comp.next_id = 11
    with pytest.raises(exc) as info:
        comp.__setstate__(("a", "b", "c", next_id))
    assert str(info.value) == message
    assert entries(info.value) == [SETSTATE_17, set_state(12)]
    assert fields(comp) == ("a", "b", "c", 11)
    with pytest.raises(exc) as info:
        unpickle(C, 0x3E12E10, ("a", "b", "c", next_id))
    assert entries(info.value) == [unpickle_at(9), set_state(12)]


def test_next_id_conversions(comp):
    comp.__setstate__((None, None, None, True))
    assert comp.next_id == 1
    comp.__setstate__((None, None, None, 7.9))
    assert comp.next_id == 7
    comp.__setstate__((None, None, None, -(2**31)))
    assert comp.next_id == -(2**31)


def test_fifth_item_ignored_without_dict(comp):
    comp.__setstate__(("a", None, None, 1, {"x": 1}))
    assert comp.dict_path == "a"
    assert not hasattr(comp, "x")


def test_fifth_item_updates_subclass_dict(in_tmp):
    s = Sub()
    s.kept = 1
    s.__setstate__(("a", None, None, 1, {"x": 2}))
    assert (s.kept, s.x) == (1, 2)


def test_fifth_item_not_a_mapping(in_tmp, entries):
    s = Sub()
    with pytest.raises((TypeError, ValueError)) as info:
        s.__setstate__(("a", None, None, 1, 5))
    assert entries(info.value) == [SETSTATE_17, set_state(14)]
    assert s.dict_path == "a"


def test_dict_presence_error_is_line_13(in_tmp, entries):
    class Odd(C):
        def __getattribute__(self, name):
            if name == "__dict__":
                raise KeyError(name)
            return super().__getattribute__(name)

    o = Odd.__new__(Odd)
    with pytest.raises(KeyError) as info:
        o.__setstate__(("a", None, None, 1, {}))
    assert entries(info.value) == [SETSTATE_17, set_state(13)]


def test_extra_items_beyond_five_are_ignored(in_tmp):
    s = Sub()
    s.__setstate__(("a", None, None, 1, {"x": 1}, "ignored"))
    assert s.x == 1


def test_setstate_through_class_needs_compressor():
    with pytest.raises(TypeError):
        C.__setstate__(object(), (1, 2, 3, 4))
    with pytest.raises(TypeError):
        C.__setstate_cython__(object(), (1, 2, 3, 4))


# ---------------------------------------------------------------------------
# The enumeration reconstructor.


class EnumLike:
    pass


class EnumSlots:
    __slots__ = ("name",)


def test_enum_reconstructor():
    unpickle_enum = ormek_compressor.__pyx_unpickle_Enum
    e = unpickle_enum(EnumLike, 0x82A3537, ("<strided and direct>", {"extra": 1}))
    assert type(e) is EnumLike and e.name == "<strided and direct>" and e.extra == 1
    e = unpickle_enum(EnumSlots, 0x6AE9995, ("n", {"ignored": 1}))
    assert e.name == "n"
    e = unpickle_enum(EnumLike, 0xB068931, None)
    assert not hasattr(e, "name")


def test_enum_reconstructor_errors(entries):
    unpickle_enum = ormek_compressor.__pyx_unpickle_Enum
    with pytest.raises(pickle.PickleError) as info:
        unpickle_enum(EnumLike, 1, None)
    assert str(info.value) == (
        "Incompatible checksums (0x1 vs (0x82a3537, 0x6ae9995, 0xb068931) = (name))")
    assert entries(info.value) == [("View.MemoryView.__pyx_unpickle_Enum", "<stringsource>", 6)]
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        unpickle_enum(EnumLike, 0x82A3537, ["n"])
    with pytest.raises(IndexError) as info:
        unpickle_enum(EnumLike, 0x82A3537, ())
    assert entries(info.value) == [
        ("View.MemoryView.__pyx_unpickle_Enum", "<stringsource>", 9),
        ("View.MemoryView.__pyx_unpickle_Enum__set_state", "<stringsource>", 12),
    ]
    with pytest.raises(TypeError, match="takes exactly 3 positional arguments"):
        unpickle_enum(EnumLike)
