"""Module definition and start-up: namespace, re-import, the version warning,
the sub-interpreter refusal and failed start-ups (in fresh subprocesses)."""

import json
import os
import pickle
import re
import struct
import sys

import pytest
import zstandard

import ormek_compressor
from helpers import PRELUDE, run_json, run_python

C = ormek_compressor.OrmekCompressor
ON_314 = sys.version_info[:2] == (3, 14)
VERSION_TEXT = (
    "compile time Python version 3.14 of module 'ormek_compressor' does not match runtime "
    "version %d.%d" % sys.version_info[:2]
)

# What start-up puts into the namespace, plus what the host itself adds.
NAMESPACE = {
    "__loader__", "__file__", "__package__", "__builtins__", "OrmekCompressor",
    "__pyx_unpickle_Enum", "os", "re", "struct", "pickle", "zstd",
    "__pyx_unpickle_OrmekCompressor", "__test__",
    "__name__", "__doc__", "__spec__",
}  # fmt: skip


# ---------------------------------------------------------------------------
# Namespace after start-up.


def test_namespace_exactly():
    assert set(vars(ormek_compressor)) == NAMESPACE


@pytest.mark.parametrize("name", ["array", "Enum", "memoryview", "_memoryviewslice"])
def test_typed_buffer_types_are_not_in_the_namespace(name):
    assert not hasattr(ormek_compressor, name)


def test_imported_modules():
    assert ormek_compressor.zstd is zstandard
    assert ormek_compressor.os is os
    assert ormek_compressor.re is re
    assert ormek_compressor.struct is struct
    assert ormek_compressor.pickle is pickle
    assert not hasattr(ormek_compressor, "zstandard")


def test_test_dict_is_empty():
    assert ormek_compressor.__test__ == {}
    assert type(ormek_compressor.__test__) is dict


def test_spec_attributes_copied():
    module_spec = ormek_compressor.__spec__
    assert ormek_compressor.__name__ == "ormek_compressor"
    assert ormek_compressor.__loader__ is module_spec.loader
    assert ormek_compressor.__file__ == module_spec.origin
    assert ormek_compressor.__package__ == module_spec.parent == ""
    assert not hasattr(ormek_compressor, "__path__")
    assert ormek_compressor.__doc__ is None


def test_builtins_is_the_builtins_module():
    import builtins

    assert ormek_compressor.__builtins__ is builtins


def test_class_and_functions_belong_to_the_module():
    assert C.__module__ == "ormek_compressor"
    assert ormek_compressor.__pyx_unpickle_OrmekCompressor.__module__ == "ormek_compressor"
    assert vars(C)["encode_files"].__defaults__ == (6, 4)
    assert vars(C)["decode_package"].__defaults__ == (True,)
    assert vars(C)["tokenize"].__code__.co_varnames == ("self", "text")


def test_module_is_registered():
    assert sys.modules["ormek_compressor"] is ormek_compressor


# ---------------------------------------------------------------------------
# Re-import.


def test_reimport_gives_the_same_module_without_rerunning_statements():
    out = run_json("""
        import ormek_compressor as first
        first.os = "sentinel"            # a rerun import statement would undo this
        first.__test__["marker"] = 1
        cls = first.OrmekCompressor
        import ormek_compressor as again
        del sys.modules["ormek_compressor"]
        import ormek_compressor as third
        print(json.dumps([again is first, third is first, third.os, third.__test__,
                          third.OrmekCompressor is cls,
                          sys.modules["ormek_compressor"] is first]))
    """)
    assert out == [True, True, "sentinel", {"marker": 1}, True, True]


def test_exec_again_on_the_same_module_is_a_no_op():
    out = run_json("""
        import _imp
        import ormek_compressor as m
        m.re = "sentinel"
        print(json.dumps([_imp.exec_dynamic(m), m.re]))
    """)
    assert out == [0, "sentinel"]


@pytest.mark.parametrize("locations", [None, ["/nowhere"]])
def test_creation_copies_spec_attributes(locations):
    # The creation step alone, with a ModuleSpec whose search locations vary.
    out = run_json("""
        import importlib.util
        module_spec = importlib.util.find_spec("ormek_compressor")
        module_spec.submodule_search_locations = %r
        m = module_spec.loader.create_module(module_spec)
        d = vars(m)
        print(json.dumps([d.get("__path__"), "__path__" in d,
                          d["__file__"] == module_spec.origin,
                          d["__loader__"] is module_spec.loader,
                          d["__package__"] == module_spec.parent, "OrmekCompressor" in d]))
    """ % (locations,))
    assert out == [locations, locations is not None, True, True, True, False]


def test_creation_ignores_missing_spec_attributes():
    out = run_json("""
        import importlib.util, types, _imp
        real = importlib.util.find_spec("ormek_compressor")
        module_spec = types.SimpleNamespace(name="ormek_compressor", origin=real.origin)
        m = _imp.create_dynamic(module_spec)
        print(json.dumps([m.__file__ == real.origin, m.__loader__, m.__package__,
                          hasattr(m, "__path__")]))
    """)
    # The host's own module defaults stay where the module_spec has nothing.
    assert out == [True, None, None, False]


# ---------------------------------------------------------------------------
# The version warning.


def test_version_warning():
    out = run_json("""
        import json, warnings
        with warnings.catch_warnings(record=True) as record:
            warnings.simplefilter("always")
            import ormek_compressor
        print(json.dumps([(w.category.__name__, str(w.message)) for w in record
                          if "compile time" in str(w.message)]))
    """)
    if ON_314:
        assert out == []
    else:
        assert out == [["RuntimeWarning", VERSION_TEXT]]


def test_version_warning_as_error():
    done = run_python(
        """
        try:
            import ormek_compressor
        except RuntimeWarning as exc:
            first = [type(exc).__name__, str(exc), module_entries(exc)]
        else:
            first = None
        warnings.resetwarnings()
        warnings.simplefilter("ignore")
        import ormek_compressor
        print(json.dumps([first, ormek_compressor.OrmekCompressor().next_id]))
        """,
        "-W", "error:compile time Python version:RuntimeWarning",
        prelude=PRELUDE.replace('warnings.simplefilter("ignore", RuntimeWarning)', ""),
    )
    assert done.returncode == 0, done.stderr
    first, next_id = json.loads(done.stdout.splitlines()[-1])
    if ON_314:
        assert first is None
    else:
        # Before the constants exist there is no traceback entry.
        assert first == ["RuntimeWarning", VERSION_TEXT, []]
    assert next_id == 1


# ---------------------------------------------------------------------------
# Sub-interpreters.


def test_sub_interpreter_refused():
    out = run_json("""
        try:
            import _interpreters
        except ImportError:
            print(json.dumps("unavailable")); raise SystemExit
        import os
        import ormek_compressor
        try:
            sub = _interpreters.create("legacy")
        except Exception:
            sub = _interpreters.create(_interpreters.new_config("legacy"))
        r, w = os.pipe()
        _interpreters.exec(sub, "\\n".join([
            "import os",
            "try:",
            "    import ormek_compressor",
            "except ImportError as exc:",
            "    text = type(exc).__name__ + ': ' + str(exc)",
            "else:",
            "    text = 'imported'",
            f"os.write({w}, text.encode())",
        ]))
        os.close(w)
        text = os.read(r, 4096).decode()
        _interpreters.destroy(sub)
        # The main interpreter's module is untouched.
        print(json.dumps([text, ormek_compressor.OrmekCompressor().next_id]))
    """)
    if out == "unavailable":
        pytest.skip("no sub-interpreter support on this host")
    assert out == [
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.",
        1,
    ]


# ---------------------------------------------------------------------------
# A failed start-up, and the import after it.


FAKE_ZSTANDARD = 'raise ImportError("zstandard is blocked")\n'


def test_failed_import_then_success(tmp_path):
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "zstandard.py").write_text(FAKE_ZSTANDARD)
    out = run_json("""
        sys.path.insert(0, %r)
        try:
            import ormek_compressor
        except ImportError as exc:
            tb = traceback.extract_tb(exc.__traceback__)
            first = [str(exc), module_entries(exc), tb[-1].filename.endswith("zstandard.py"),
                     (tb[-2].name, tb[-2].filename, tb[-2].lineno),
                     "ormek_compressor" in sys.modules]
        sys.path.pop(0)
        import pickle
        import ormek_compressor as m
        C = m.OrmekCompressor
        c = C("path.bin")
        c.global_dict["tok"] = 3
        back = pickle.loads(pickle.dumps(c))
        print(json.dumps([first, m.zstd.__name__, m.zstd.__file__.endswith("zstandard.py"),
                          "__reduce__" in vars(C), "__setstate__" in vars(C),
                          type(back).__name__, back.dict_path, back.global_dict,
                          type(vars(C)["tokenize"]).__name__, c.tokenize("a b")]))
    """ % str(fake), cwd=str(tmp_path))
    first, *rest = out
    assert first == [
        "zstandard is blocked",
        [["init ormek_compressor", "compressor", 5]],
        True,
        ["init ormek_compressor", "compressor", 5],
        False,
    ]
    assert rest == [
        "zstandard", False, True, True, "OrmekCompressor", "path.bin", {"tok": 3},
        "velmar_function_or_method", ["a", " ", "b"],
    ]


@pytest.mark.parametrize("name, line", [("os", 1), ("re", 2), ("struct", 3), ("pickle", 4),
                                        ("zstandard", 5)])
def test_blocked_import_fails_at_its_line(tmp_path, name, line):
    # None in the module registry blocks an import, as for an import statement.
    out = run_json("""
        import %s
        saved = sys.modules[%r]
        sys.modules[%r] = None
        try:
            import ormek_compressor
        except ImportError as exc:
            failure = exc
        else:
            failure = None
        sys.modules[%r] = saved  # traceback formatting imports re and os itself
        first = failure and [type(failure).__name__, str(failure), module_entries(failure)]
        import ormek_compressor
        print(json.dumps([first, getattr(ormek_compressor, %r).__name__]))
    """ % (name, name, name, name, "zstd" if name == "zstandard" else name), cwd=str(tmp_path))
    assert out == [
        ["ModuleNotFoundError", "import of %s halted; None in sys.modules" % name,
         [["init ormek_compressor", "compressor", line]]],
        name,
    ]

