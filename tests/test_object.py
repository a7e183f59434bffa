"""The compressor object: allocation, __init__, the four attributes, garbage
collection and destruction."""

import gc
import types
import warnings
import weakref

import pytest

from helpers import INIT, NEXT_ID_SET, IntSub, WithInt, fields, leak_problems, qual

import ormek_compressor

C = ormek_compressor.OrmekCompressor
OBJECT_FIELDS = ("dict_path", "global_dict", "inverse_dict")


class Recorder(C):
    """A subclass that records its load_dict calls instead of reading a file."""

    def load_dict(self):
        self.loads = getattr(self, "loads", 0) + 1
        self.seen = (self.dict_path, self.global_dict, self.inverse_dict, self.next_id)


# ---------------------------------------------------------------------------
# Class properties.


def test_class_identity():
    assert C.__module__ == "ormek_compressor"
    assert C.__qualname__ == C.__name__ == "OrmekCompressor"
    assert C.__doc__ is None
    assert repr(C) == "<class 'ormek_compressor.OrmekCompressor'>"
    assert C.__bases__ == (object,)
    assert C.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC
    assert C.__flags__ & (1 << 10)  # Py_TPFLAGS_BASETYPE


def test_class_is_immutable():
    with pytest.raises(TypeError):
        C.extra = 1
    assert not hasattr(C, "extra")


def test_attribute_accessors_in_order():
    getsets = [k for k, v in vars(C).items() if isinstance(v, types.GetSetDescriptorType)]
    assert getsets == ["dict_path", "global_dict", "inverse_dict", "next_id"]
    for name in getsets:
        assert vars(C)[name].__doc__ is None


def test_direct_entry_table_is_published_as_unnamed_capsule():
    capsule = vars(C)["__pyx_vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    assert repr(capsule).startswith("<capsule object NULL at 0x")


def test_no_other_slots():
    c = C.__new__(C)
    assert type(c).__repr__ is object.__repr__
    assert type(c).__hash__ is object.__hash__
    assert "__call__" not in vars(C)
    assert "__eq__" not in vars(C)


# ---------------------------------------------------------------------------
# Allocation alone.


def test_new_alone_state(in_tmp):
    # A dictionary file that would break load_dict proves no file is read.
    (in_tmp / "larkmoor_dict.bin").write_bytes(b"not a pickle")
    c = C.__new__(C)
    assert fields(c) == (None, None, None, 0)


def test_new_accepts_and_ignores_arguments(in_tmp):
    c = C.__new__(C, "a", "b", dict_path="x", other=1)
    assert fields(c) == (None, None, None, 0)


def test_new_does_not_call_load_dict():
    r = Recorder.__new__(Recorder)
    assert not hasattr(r, "loads")
    assert fields(r) == (None, None, None, 0)


# ---------------------------------------------------------------------------
# __init__.


def test_default_construction(comp):
    assert comp.dict_path == "larkmoor_dict.bin"
    assert comp.global_dict == {} and type(comp.global_dict) is dict
    assert comp.inverse_dict == {} and type(comp.inverse_dict) is dict
    assert comp.global_dict is not comp.inverse_dict
    assert comp.next_id == 1


def test_default_path_is_the_shared_constant(in_tmp):
    assert C().dict_path is C().dict_path


def test_two_instances_do_not_share_dicts(in_tmp):
    a, b = C(), C()
    a.global_dict["x"] = 1
    assert b.global_dict == {}


@pytest.mark.parametrize(
    "args, kwargs", [(("p.bin",), {}), ((), {"dict_path": "p.bin"})], ids=["position", "keyword"]
)
def test_path_by_position_or_keyword(in_tmp, args, kwargs):
    c = C(*args, **kwargs)
    assert fields(c) == ("p.bin", {}, {}, 1)


def test_path_is_stored_unchanged(in_tmp):
    path = ["not", "a", "str"]
    r = Recorder(path)
    assert r.dict_path is path
    assert r.loads == 1


def test_none_path_still_calls_load_dict():
    r = Recorder(None)
    assert r.dict_path is None
    assert r.loads == 1
    # load_dict runs after the path, the dicts and next_id are set.
    assert r.seen == (None, {}, {}, 1)


def test_load_dict_is_looked_up_by_name_on_the_instance():
    r = Recorder("p")
    assert r.loads == 1
    assert r.seen == ("p", {}, {}, 1)


def test_load_dict_result_is_discarded():
    class Returns(C):
        def load_dict(self):
            return "ignored"

    assert Returns("p").dict_path == "p"


def test_load_dict_failure_adds_line_18(entries):
    class Fails(C):
        def load_dict(self):
            raise ValueError("broken file")

    with pytest.raises(ValueError, match="^broken file$") as info:
        Fails("p")
    assert entries(info.value) == [(qual("__init__"), "compressor", 18)]


def test_load_dict_failure_keeps_module_entries_of_the_callee(entries):
    # An override that itself fails inside a module operation: the callee's
    # entry comes after (inside) the __init__ entry.
    class Fails(C):
        def load_dict(self):
            self.next_id = "x"

    with pytest.raises(TypeError) as info:
        Fails("p")
    assert entries(info.value) == [(qual("__init__"), "compressor", 18), NEXT_ID_SET]


INIT_BINDING_ERRORS = [
    (("a", "b"), {}, "__init__() takes at most 1 positional argument (2 given)"),
    (("a", "b", "c"), {}, "__init__() takes at most 1 positional argument (3 given)"),
    ((), {"other": 1}, "__init__() got an unexpected keyword argument 'other'"),
    ((), {"dict_path": "a", "other": 1}, "__init__() got an unexpected keyword argument 'other'"),
    ((), {"other": 1, "dict_path": "a"}, "__init__() got an unexpected keyword argument 'other'"),
    (("a",), {"dict_path": "b"}, "__init__() got multiple values for keyword argument 'dict_path'"),
    ((), {1: 2}, "keywords must be strings"),
    # Arity is checked before keywords.
    (("a", "b"), {"other": 1}, "__init__() takes at most 1 positional argument (2 given)"),
]


@pytest.mark.parametrize("args, kwargs, message", INIT_BINDING_ERRORS)
def test_init_binding_errors(in_tmp, entries, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        C(*args, **kwargs)
    assert str(info.value) == message
    assert entries(info.value) == [INIT]


def test_init_binding_error_does_not_call_load_dict():
    r = Recorder.__new__(Recorder)
    with pytest.raises(TypeError):
        r.__init__("a", "b")
    assert not hasattr(r, "loads")
    assert fields(r) == (None, None, None, 0)


def test_init_str_subclass_keyword_binds(in_tmp):
    class S(str):
        pass

    c = C(**{S("dict_path"): "p"})
    assert c.dict_path == "p"


def test_init_str_subclass_unknown_keyword(in_tmp, entries):
    class S(str):
        pass

    with pytest.raises(TypeError) as info:
        C(**{S("nope"): "p"})
    assert str(info.value) == "__init__() got an unexpected keyword argument 'nope'"
    assert entries(info.value) == [INIT]


def test_init_again_resets(in_tmp):
    r = Recorder("first")
    old_global, old_inverse = r.global_dict, r.inverse_dict
    r.global_dict["tok"] = 5
    r.inverse_dict[5] = "tok"
    r.next_id = 99
    r.__init__("second")
    assert fields(r) == ("second", {}, {}, 1)
    assert r.global_dict is not old_global and r.inverse_dict is not old_inverse
    assert old_global == {"tok": 5}  # the old dicts are replaced, not cleared
    assert r.loads == 2


def test_init_again_without_argument_uses_default(in_tmp):
    c = C("first")
    c.__init__()
    assert c.dict_path == "larkmoor_dict.bin"


# ---------------------------------------------------------------------------
# Attribute surface.


def test_no_instance_dict_or_weakref(comp):
    assert not hasattr(comp, "__dict__")
    with pytest.raises(AttributeError):
        comp.unknown = 1
    with pytest.raises(AttributeError):
        comp.unknown
    with pytest.raises(TypeError):
        weakref.ref(comp)


def test_subclass_instances_have_a_dict(in_tmp):
    class Sub(C):
        pass

    s = Sub()
    s.extra = 1
    assert s.__dict__ == {"extra": 1}
    assert weakref.ref(s)() is s


@pytest.mark.parametrize("field", OBJECT_FIELDS)
def test_object_attribute_returns_the_held_object(comp, field):
    value = {"a": 1}
    setattr(comp, field, value)
    assert getattr(comp, field) is value
    assert getattr(comp, field) is getattr(comp, field)


def test_global_dict_reads_share_the_object(comp):
    comp.global_dict["tok"] = 7
    assert comp.global_dict == {"tok": 7}


@pytest.mark.parametrize("field", OBJECT_FIELDS)
@pytest.mark.parametrize("value", [None, [1, 2], 3, "text", object()], ids=repr)
def test_object_attribute_accepts_any_object(comp, field, value):
    setattr(comp, field, value)
    assert getattr(comp, field) is value


@pytest.mark.parametrize("field", OBJECT_FIELDS)
def test_object_attribute_delete_stores_none(comp, field):
    delattr(comp, field)
    assert getattr(comp, field) is None
    delattr(comp, field)  # deleting None again is fine
    assert getattr(comp, field) is None


@pytest.mark.parametrize("field", OBJECT_FIELDS)
def test_object_attribute_store_releases_old_value(comp, field):
    class Marker:
        pass

    m = Marker()
    ref = weakref.ref(m)
    setattr(comp, field, m)
    del m
    assert ref() is not None
    setattr(comp, field, "other")
    assert ref() is None


@pytest.mark.parametrize("field", OBJECT_FIELDS)
@pytest.mark.parametrize("how", ["set", "delete"])
def test_field_holds_new_value_while_old_is_released(comp, field, how):
    # Code run by the release of the old value must see the new value.
    seen = []

    class Spy:
        def __del__(self):
            seen.append(getattr(comp, field))

    setattr(comp, field, Spy())
    if how == "set":
        setattr(comp, field, "new")
        assert seen == ["new"]
    else:
        delattr(comp, field)
        assert seen == [None]


@pytest.mark.parametrize("field", ["global_dict", "inverse_dict"])
def test_init_holds_new_dict_while_old_is_released(in_tmp, field):
    seen = []
    c = C()

    class Spy:
        def __del__(self):
            seen.append(getattr(c, field))

    setattr(c, field, Spy())
    c.__init__()
    assert seen == [{}]


# ---------------------------------------------------------------------------
# next_id.


@pytest.mark.parametrize(
    "value, stored",
    [
        (0, 0),
        (2147483647, 2147483647),
        (-2147483648, -2147483648),
        (7.9, 7),
        (-7.9, -7),
        (True, 1),
        (False, 0),
        (IntSub(12), 12),
        (WithInt(5), 5),
    ],
    ids=repr,
)
def test_next_id_conversions(comp, value, stored):
    comp.next_id = value
    assert comp.next_id == stored
    assert type(comp.next_id) is int


@pytest.mark.parametrize(
    "value, exc, message",
    [
        (2147483648, OverflowError, "value too large to convert to int"),
        (-2147483649, OverflowError, "value too large to convert to int"),
        (2**40, OverflowError, "value too large to convert to int"),
        (2**70, OverflowError, "Python int too large to convert to C long"),
        (-(2**70), OverflowError, "Python int too large to convert to C long"),
        (1e10, OverflowError, "value too large to convert to int"),
        (1e300, OverflowError, "Python int too large to convert to C long"),
        ("5", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (WithInt("x"), TypeError, "__int__ returned non-int (type str)"),
    ],
    ids=repr,
)
def test_next_id_failure_keeps_old_value(comp, entries, value, exc, message):
    comp.next_id = 42
    with pytest.raises(exc) as info:
        comp.next_id = value
    assert str(info.value) == message
    assert entries(info.value) == [NEXT_ID_SET]
    assert comp.next_id == 42


def test_next_id_float_overflow_is_the_hosts(comp, entries):
    # float("inf").__int__ raises the host's own error, passed on unchanged.
    with pytest.raises(OverflowError, match="cannot convert float infinity to integer") as info:
        comp.next_id = float("inf")
    assert entries(info.value) == [NEXT_ID_SET]
    with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
        comp.next_id = float("nan")
    assert comp.next_id == 1


def test_next_id_int_error_propagates(comp, entries):
    class Raises:
        def __int__(self):
            raise KeyError("inside __int__")

    with pytest.raises(KeyError) as info:
        comp.next_id = Raises()
    assert entries(info.value) == [NEXT_ID_SET]


def test_next_id_index_alone_is_not_enough(comp):
    class OnlyIndex:
        def __index__(self):
            return 3

    with pytest.raises(TypeError, match="^an integer is required$"):
        comp.next_id = OnlyIndex()


def test_next_id_int_subclass_from_int_warns(comp):
    message = (
        "__int__ returned non-int (type bool).  The ability to return an instance of a strict "
        "subclass of int is deprecated, and may be removed in a future version of Python."
    )
    with pytest.warns(DeprecationWarning) as record:
        comp.next_id = WithInt(True)
    assert [str(w.message) for w in record] == [message]
    assert comp.next_id == 1


def test_next_id_int_subclass_warning_as_error(comp, entries):
    comp.next_id = 9
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match=r"type IntSub\)\.  The ability") as info:
            comp.next_id = WithInt(IntSub(3))
    assert entries(info.value) == [NEXT_ID_SET]
    assert comp.next_id == 9


def test_next_id_delete(comp, entries):
    comp.next_id = 5
    with pytest.raises(NotImplementedError) as info:
        del comp.next_id
    assert str(info.value) == "__del__"
    assert entries(info.value) == []
    assert comp.next_id == 5


def test_next_id_reads_are_fresh_ints(comp):
    comp.next_id = 123456
    a, b = comp.next_id, comp.next_id
    assert a == b == 123456


# ---------------------------------------------------------------------------
# Garbage collection and destruction.


def test_instances_are_tracked(comp):
    assert gc.is_tracked(comp)
    assert gc.is_tracked(C.__new__(C))


def test_traversal_visits_the_three_fields_in_order(comp):
    a, b, c = {"a": 1}, {"b": 2}, {"c": 3}
    comp.dict_path, comp.global_dict, comp.inverse_dict = a, b, c
    assert gc.get_referents(comp) == [a, b, c]


@pytest.mark.parametrize("field", OBJECT_FIELDS)
def test_cycle_through_a_field_is_collected(in_tmp, field):
    class Marker:
        pass

    c = C()
    m = Marker()
    ref = weakref.ref(m)
    setattr(c, field, {"self": c, "marker": m})
    del c, m
    gc.collect()
    assert ref() is None


def test_cycle_through_subclass_instance_is_collected(in_tmp):
    class Sub(C):
        pass

    s = Sub()
    s.global_dict = {"self": s}
    ref = weakref.ref(s)
    del s
    gc.collect()
    assert ref() is None


def test_subclass_finalizer_runs_once_and_may_resurrect(in_tmp):
    saved = []
    calls = []

    class Resurrects(C):
        def __del__(self):
            calls.append(1)
            saved.append(self)

    r = Resurrects()
    r.global_dict["tok"] = 1
    del r
    assert calls == [1]
    (back,) = saved
    # The fields survive resurrection untouched.
    assert back.global_dict == {"tok": 1} and back.next_id == 1
    saved.clear()
    del back
    gc.collect()
    assert calls == [1]


def test_dealloc_releases_fields(in_tmp):
    class Marker:
        pass

    markers = [Marker() for _ in OBJECT_FIELDS]
    refs = [weakref.ref(m) for m in markers]
    c = C()
    for field, m in zip(OBJECT_FIELDS, markers):
        setattr(c, field, m)
    del markers, m, c
    assert [r() for r in refs] == [None, None, None]


@pytest.mark.parametrize("cls", [C, type("Sub", (C,), {})], ids=["plain", "subclass"])
def test_deep_chain_of_instances_is_destroyed(cls):
    # Each instance holds the previous one directly in a field; releasing the
    # head must not recurse once per link.
    head = cls.__new__(cls)
    for _ in range(300_000):
        link = cls.__new__(cls)
        link.global_dict = head
        head = link
    del link
    del head


# ---------------------------------------------------------------------------
# Leaks: repeated success and error paths must not grow the heap.


def _init_binding_error():
    try:
        C("a", "b")
    except TypeError:
        pass


def _init_unexpected_keyword():
    try:
        C(other=1)
    except TypeError:
        pass


def _init_non_str_keyword():
    try:
        C(**{1: 2})
    except TypeError:
        pass


_SHARED = C.__new__(C)


def _next_id_bad_type():
    try:
        _SHARED.next_id = "x"
    except TypeError:
        pass


def _next_id_overflow():
    try:
        _SHARED.next_id = 2**40
    except OverflowError:
        pass


def _next_id_delete():
    try:
        del _SHARED.next_id
    except NotImplementedError:
        pass


def _attributes():
    _SHARED.global_dict = {}
    _SHARED.dict_path = "p"
    del _SHARED.inverse_dict
    _SHARED.next_id = 7.5
    _SHARED.next_id
    _SHARED.global_dict


def _construct():
    C("p")
    C.__new__(C)


def _init_load_dict_fails():
    try:
        _Failing("p")
    except ValueError:
        pass


class _Failing(C):
    def load_dict(self):
        raise ValueError("x")


LEAK_CASES = [
    _init_binding_error,
    _init_unexpected_keyword,
    _init_non_str_keyword,
    _init_load_dict_fails,
    _next_id_bad_type,
    _next_id_overflow,
    _next_id_delete,
    _attributes,
    _construct,
]


@pytest.mark.parametrize("case", LEAK_CASES, ids=lambda f: f.__name__)
def test_no_growth(in_tmp, case):
    # Cheap calls: a leak of one small object every few calls is well above
    # this budget over 3000 of them.
    problems = leak_problems(f"object {case.__name__}", case, calls=3000, budget=(100, 16 * 1024))
    assert not problems, "; ".join(problems)
