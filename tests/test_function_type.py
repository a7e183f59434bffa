"""The shared function type of the module's method objects and its
module-level reconstructor."""

import gc
import inspect
import pickle
import re
import sys
import types
import warnings
import weakref

import pytest

import ormek_compressor

C = ormek_compressor.OrmekCompressor
UNPICKLE = ormek_compressor.__pyx_unpickle_OrmekCompressor
CO_OPTIMIZED = inspect.CO_OPTIMIZED
CO_NEWLOCALS = inspect.CO_NEWLOCALS

# name, file, first line, argcount, local names
CODE_TABLE = [
    ("load_dict", "compressor", 21, 1, ("self", "f", "data", "k", "v")),
    ("save_dict", "compressor", 29, 1, ("self", "data", "f")),
    ("tokenize", "compressor", 38, 2, ("self", "text")),
    ("detokenize", "compressor", 41, 2, ("self", "tokens")),
    (
        "encode_files",
        "compressor",
        45,
        5,
        ("self", "filepaths", "output_path", "zstd_level", "threads", "all_tokens",
         "file_boundaries", "filenames", "path", "f", "tokens", "packed_tokens", "packed_view",
         "offset", "token_id", "token", "package"),
    ),
    (
        "decode_package",
        "compressor",
        95,
        4,
        ("self", "package_path", "output_dir", "use_zstd", "f", "package", "data", "num_tokens",
         "restored_tokens", "i", "token_id", "start_idx", "boundary", "filename", "k", "v"),
    ),
    ("read_package", "compressor", 126, 2, ("self", "package_path", "f")),
    (
        "encode_named_files",
        "compressor",
        131,
        5,
        ("self", "entries", "output_path", "zstd_level", "threads", "checks", "empty_dirs",
         "follow_links", "package_dict", "dir_facts", "all_tokens", "file_boundaries",
         "filenames", "paths", "path", "name", "f", "tokens", "packed_tokens", "packed_view",
         "offset", "token_id", "token", "package"),
    ),
    ("check_package", "compressor", 185, 3, ("self", "package_path", "use_zstd", "f", "package")),
    ("__reduce_cython__", "<stringsource>", 1, 1, ("self", "state", "_dict", "use_setstate")),
    ("__setstate_cython__", "<stringsource>", 16, 2, ("self", "__pyx_state")),
]
METHODS = [row[0] for row in CODE_TABLE]
DEFAULTS = {"encode_files": (6, 4), "encode_named_files": (6, 4), "decode_package": (True,),
            "check_package": (True,)}
KWDEFAULTS = {"encode_named_files": {"checks": False, "empty_dirs": None,
                                     "follow_links": True, "package_dict": "whole",
                                     "dir_facts": None}}


def method(name):
    return vars(C)[name]


def all_functions():
    return [method(name) for name in METHODS] + [UNPICKLE]


@pytest.fixture
def scratch():
    """A method object whose writable attributes a test may change; they are
    put back afterwards, since method objects live for the whole process."""
    f = method("save_dict")
    saved = {
        "__doc__": f.__doc__,
        "__name__": f.__name__,
        "__qualname__": f.__qualname__,
        "__module__": f.__module__,
        "__dict__": f.__dict__,
        "__annotations__": f.__annotations__,
    }
    yield f
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        f.__defaults__ = None
        f.__kwdefaults__ = None
    for name, value in saved.items():
        setattr(f, name, value)


# ---------------------------------------------------------------------------
# The type.


def test_all_functions_share_one_type():
    types_seen = {type(f) for f in all_functions()}
    assert len(types_seen) == 1
    (ftype,) = types_seen
    assert ftype.__name__ == "velmar_function_or_method"
    assert ftype.__module__ == "_velmar_3_1_4"
    assert type(ftype).__name__ == "_common_types_metatype"
    assert type(ftype).__bases__ == (type,)


def test_shared_types_are_published_in_the_registry_module():
    registry = sys.modules["_velmar_3_1_4"]
    ftype = type(UNPICKLE)
    assert registry.velmar_function_or_method is ftype
    assert registry._common_types_metatype is type(ftype)
    assert "velmar_runtime" in sys.modules


def test_function_type_cannot_be_instantiated_or_changed():
    # An instance made from Python would have no method entry to run.
    ftype = type(UNPICKLE)
    with pytest.raises(TypeError):
        ftype()
    with pytest.raises(TypeError):
        object.__new__(ftype)
    with pytest.raises(TypeError):

        class Sub(ftype):
            pass

    with pytest.raises(TypeError):
        ftype.extra = 1
    with pytest.raises(TypeError):
        type(ftype)("X", (), {})


def test_methods_are_not_plain_builtins():
    assert not isinstance(method("tokenize"), types.BuiltinFunctionType)
    assert not isinstance(method("tokenize"), types.FunctionType)


def test_function_objects_are_gc_tracked_and_weakly_referable():
    f = method("tokenize")
    assert gc.is_tracked(f)
    assert weakref.ref(f)() is f


# ---------------------------------------------------------------------------
# Names, code objects, defaults.


@pytest.mark.parametrize("name, file, first_line, argcount, varnames", CODE_TABLE)
def test_code_objects(name, file, first_line, argcount, varnames):
    f = method(name)
    code = f.__code__
    assert f.func_code is code
    assert code.co_name == name
    assert code.co_qualname == "OrmekCompressor." + name
    assert code.co_filename == file
    assert code.co_firstlineno == first_line
    assert code.co_argcount == argcount
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == len(KWDEFAULTS.get(name, ()))
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_flags & (CO_OPTIMIZED | CO_NEWLOCALS) == CO_OPTIMIZED | CO_NEWLOCALS
    assert code.co_consts == () and code.co_names == ()
    assert code.co_freevars == () and code.co_cellvars == ()


def test_unpickle_code_object():
    code = UNPICKLE.__code__
    assert code.co_name == code.co_qualname == "__pyx_unpickle_OrmekCompressor"
    assert code.co_filename == "<stringsource>"
    assert code.co_firstlineno == 1
    assert code.co_argcount == 3
    assert code.co_varnames == (
        "__pyx_type", "__pyx_checksum", "__pyx_state", "__pyx_PickleError", "__pyx_result"
    )


def test_local_names_are_shared_objects():
    # One dictionary makes equal local names the same object across code objects.
    selfs = {id(method(name).__code__.co_varnames[0]) for name in METHODS}
    assert len(selfs) == 1


@pytest.mark.parametrize("name", METHODS)
def test_names(name):
    f = method(name)
    assert f.__name__ == f.func_name == name
    assert f.__qualname__ == "OrmekCompressor." + name
    assert f.__module__ == "ormek_compressor"
    assert f.__doc__ is None and f.func_doc is None


def test_unpickle_names():
    assert UNPICKLE.__name__ == UNPICKLE.__qualname__ == "__pyx_unpickle_OrmekCompressor"
    assert UNPICKLE.__module__ == "ormek_compressor"


@pytest.mark.parametrize("name", METHODS)
def test_defaults(name):
    f = method(name)
    assert f.__defaults__ == f.func_defaults == DEFAULTS.get(name)
    assert f.__kwdefaults__ == KWDEFAULTS.get(name)


def test_defaults_values_are_exact():
    assert type(method("decode_package").__defaults__[0]) is bool
    assert [type(v) for v in method("encode_files").__defaults__] == [int, int]


@pytest.mark.parametrize("f", all_functions(), ids=lambda f: f.__name__)
def test_read_only_attributes(f):
    assert f.__globals__ is f.func_globals is vars(ormek_compressor)
    assert f.__closure__ is None and f.func_closure is None
    assert f._is_coroutine is False
    for name in ("__globals__", "func_globals", "__closure__", "func_closure", "__code__",
                 "func_code", "_is_coroutine"):
        with pytest.raises(AttributeError):
            setattr(f, name, None)


@pytest.mark.parametrize("name", METHODS)
def test_repr(name):
    f = method(name)
    assert re.fullmatch(r"<velfunction OrmekCompressor\.%s at 0x[0-9a-f]+>" % re.escape(name),
                        repr(f))
    assert int(repr(f).rsplit(" ", 1)[1][:-1], 16) == id(f)


def test_repr_of_unpickle():
    assert re.fullmatch(r"<velfunction __pyx_unpickle_OrmekCompressor at 0x[0-9a-f]+>",
                        repr(UNPICKLE))


def test_repr_follows_qualname(scratch):
    scratch.__qualname__ = "Other.name"
    assert repr(scratch).startswith("<velfunction Other.name at 0x")


# ---------------------------------------------------------------------------
# Writable attributes.


@pytest.mark.parametrize("alias", ["__doc__", "func_doc"])
def test_doc_is_writable(scratch, alias):
    setattr(scratch, alias, 42)
    assert scratch.__doc__ == scratch.func_doc == 42
    delattr(scratch, alias)
    assert scratch.__doc__ is None


@pytest.mark.parametrize("alias", ["__name__", "func_name"])
def test_name_write(scratch, alias):
    setattr(scratch, alias, "renamed")
    assert scratch.__name__ == scratch.func_name == "renamed"
    for bad in (b"bytes", None, 1):
        with pytest.raises(TypeError) as info:
            setattr(scratch, alias, bad)
        assert str(info.value) == "__name__ must be set to a string object"
    with pytest.raises(TypeError, match="^__name__ must be set to a string object$"):
        delattr(scratch, alias)
    assert scratch.__name__ == "renamed"


def test_qualname_write(scratch):
    scratch.__qualname__ = "X.y"
    assert scratch.__qualname__ == "X.y"
    with pytest.raises(TypeError) as info:
        scratch.__qualname__ = 3
    assert str(info.value) == "__qualname__ must be set to a string object"
    with pytest.raises(TypeError, match="^__qualname__ must be set to a string object$"):
        del scratch.__qualname__
    assert scratch.__qualname__ == "X.y"


def test_renaming_does_not_change_messages(scratch):
    # The bound name used in messages is the method's own, not __name__.
    scratch.__name__ = "renamed"
    with pytest.raises(TypeError, match=r"^save_dict\(\) needs an argument$"):
        scratch()


@pytest.mark.parametrize("alias", ["__dict__", "func_dict"])
def test_dict_rules(scratch, alias):
    d = getattr(scratch, alias)
    assert type(d) is dict
    assert getattr(scratch, alias) is d
    scratch.custom = 5
    assert d["custom"] == 5
    new = {"other": 1}
    setattr(scratch, alias, new)
    assert scratch.__dict__ is new and scratch.other == 1
    with pytest.raises(TypeError) as info:
        delattr(scratch, alias)
    assert str(info.value) == "function's dictionary may not be deleted"
    with pytest.raises(TypeError) as info:
        setattr(scratch, alias, [("a", 1)])
    assert str(info.value) == "setting function's dictionary to a non-dict"
    assert scratch.__dict__ is new


DEFAULTS_WARNING = (
    "changes to velfunction.__defaults__ will not currently affect the values used in function "
    "calls"
)
KWDEFAULTS_WARNING = (
    "changes to velfunction.__kwdefaults__ will not currently affect the values used in "
    "function calls"
)


@pytest.mark.parametrize("alias", ["__defaults__", "func_defaults"])
@pytest.mark.parametrize("value", [(1, 2), (), None], ids=repr)
def test_defaults_write_warns(scratch, alias, value):
    with pytest.warns(RuntimeWarning) as record:
        setattr(scratch, alias, value)
    assert [str(w.message) for w in record] == [DEFAULTS_WARNING]
    assert scratch.__defaults__ == value


@pytest.mark.parametrize("attribute, kind, value", [
    *(("__defaults__", "tuple", value) for value in ([1, 2], {}, 1, "ab")),
    *(("__kwdefaults__", "dict", value) for value in ((1,), [], 1)),
], ids=repr)
def test_defaults_write_refuses_other_types(scratch, attribute, kind, value):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(TypeError) as info:
            setattr(scratch, attribute, value)
    assert str(info.value) == f"{attribute} must be set to a {kind} object"
    assert getattr(scratch, attribute) is None


def test_defaults_warning_as_error_keeps_value(scratch):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match=re.escape(DEFAULTS_WARNING)):
            scratch.__defaults__ = (1,)
    assert scratch.__defaults__ is None


@pytest.mark.parametrize("value", [{"a": 1}, {}, None], ids=repr)
def test_kwdefaults_write_warns(scratch, value):
    with pytest.warns(RuntimeWarning) as record:
        scratch.__kwdefaults__ = value
    assert [str(w.message) for w in record] == [KWDEFAULTS_WARNING]
    assert scratch.__kwdefaults__ == value


def test_annotations(scratch):
    first = scratch.__annotations__
    assert first == {} and type(first) is dict
    assert scratch.__annotations__ is first
    mine = {"return": int}
    scratch.__annotations__ = mine
    assert scratch.__annotations__ is mine
    scratch.__annotations__ = None
    fresh = scratch.__annotations__
    assert fresh == {} and fresh is not mine
    with pytest.raises(TypeError) as info:
        scratch.__annotations__ = [1]
    assert str(info.value) == "__annotations__ must be set to a dict object"
    assert scratch.__annotations__ is fresh


def test_module_is_writable(scratch):
    scratch.__module__ = "elsewhere"
    assert scratch.__module__ == "elsewhere"


# ---------------------------------------------------------------------------
# Binding to instances, and pickling by name.


def test_access_through_the_class_returns_the_function():
    for name in METHODS:
        assert getattr(C, name) is method(name)


def test_access_through_an_instance_binds(comp):
    bound = comp.tokenize
    assert type(bound) is types.MethodType
    assert bound.__self__ is comp
    assert bound.__func__ is method("tokenize")
    assert bound == comp.tokenize
    assert method("tokenize").__get__(None, C) is method("tokenize")
    assert method("tokenize").__get__(comp, C).__self__ is comp


def test_subclass_instances_bind_the_same_function(in_tmp):
    class Sub(C):
        pass

    assert Sub().save_dict.__func__ is method("save_dict")


@pytest.mark.parametrize("f", all_functions(), ids=lambda f: f.__name__)
def test_reduce_returns_qualname(f):
    assert f.__reduce__() == f.__qualname__


@pytest.mark.parametrize("f", all_functions(), ids=lambda f: f.__name__)
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_by_name(f, protocol):
    assert pickle.loads(pickle.dumps(f, protocol)) is f


# ---------------------------------------------------------------------------
# Calls that the function type itself refuses, before any wrapper.


@pytest.mark.parametrize("name", METHODS)
def test_needs_an_argument(name):
    f = method(name)
    with pytest.raises(TypeError) as info:
        f()
    assert str(info.value) == "%s() needs an argument" % name
    assert info.value.__traceback__.tb_next is None  # no module entry


@pytest.mark.parametrize("name", METHODS)
def test_needs_an_argument_through_tuple_call(name):
    # tp_call with an empty tuple, reached through the slot wrapper.
    with pytest.raises(TypeError, match=r"^%s\(\) needs an argument$" % re.escape(name)):
        method(name).__call__()
    with pytest.raises(TypeError, match=r"^%s\(\) needs an argument$" % re.escape(name)):
        method(name).__call__(**{"text": "x"})


@pytest.mark.parametrize("name", METHODS)
@pytest.mark.parametrize("bound", [object(), None, "text", C], ids=repr)
def test_foreign_bound_object_is_refused(name, bound):
    with pytest.raises(TypeError) as info:
        method(name)(bound, "x")
    assert str(info.value) == (
        "descriptor '%s' for 'ormek_compressor.OrmekCompressor' objects doesn't apply to a "
        "'%s' object" % (name, type(bound).__name__)
    )


def test_foreign_bound_object_through_tuple_call():
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        method("tokenize").__call__(1, text="x")


@pytest.mark.parametrize("key", [1, b"text", None], ids=repr)
def test_tuple_call_keyword_keys_must_be_strings(comp, key):
    with pytest.raises(TypeError) as info:
        method("tokenize").__call__(comp, **{key: "x"})
    assert str(info.value) == "keywords must be strings"
    assert info.value.__traceback__.tb_next is None


def test_tuple_call_reaches_the_wrapper(comp):
    # Positional items and keyword values arrive in order at the wrapper, here
    # through a subclass override that is bound by name.
    f = method("tokenize")
    assert f.__call__(comp, text="a b") == ["a", " ", "b"]
    assert f.__call__(comp, "a b") == ["a", " ", "b"]
