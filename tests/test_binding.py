"""Call binding: arity, keywords, defaults, the 32-bit integer and truth-value
conversions and the exact-type tests, in their order of checks."""

import functools
import pickle
import warnings

import pytest

from helpers import UNPICKLE, IntSub, WithInt, leak_problems, qual

import ormek_compressor

C = ormek_compressor.OrmekCompressor


class S(str):
    pass


class L(list):
    pass


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def entry(method, line, file="compressor"):
    return [(qual(method), file, line)]


TOK = entry("tokenize", 38)
DETOK = entry("detokenize", 41)
ENC = entry("encode_files", 45)
DEC = entry("decode_package", 95)
NAMED = entry("encode_named_files", 131)
READ = entry("read_package", 126)
SETSTATE = entry("__setstate_cython__", 16, "<stringsource>")
TAKES = "{}() takes {} {} positional argument{} ({} given)"


def takes(name, how, count, given):
    return TAKES.format(name, how, count, "" if count == 1 else "s", given)


def incorrect(param, expected, got):
    return "Argument '%s' has incorrect type (expected %s, got %s)" % (param, expected, got)


def multiple(name, kw):
    return "%s() got multiple values for keyword argument '%s'" % (name, kw)


def unexpected(name, kw):
    return "%s() got an unexpected keyword argument '%s'" % (name, kw)


# method, args, kwargs, exception, message, module entries
BINDING_ERRORS = [
    # tokenize / detokenize: exactly one parameter.
    ("tokenize", (), {}, TypeError, takes("tokenize", "exactly", 1, 0), TOK),
    ("tokenize", ("a", "b"), {}, TypeError, takes("tokenize", "exactly", 1, 2), TOK),
    ("tokenize", ("a",), {"text": "b"}, TypeError, multiple("tokenize", "text"), TOK),
    ("tokenize", (), {"txt": "a"}, TypeError, unexpected("tokenize", "txt"), TOK),
    ("tokenize", ("a",), {"txt": "a"}, TypeError, unexpected("tokenize", "txt"), TOK),
    ("tokenize", (b"x",), {}, TypeError, incorrect("text", "str", "bytes"), []),
    ("tokenize", (S("x"),), {}, TypeError, incorrect("text", "str", "S"), []),
    ("tokenize", (), {"text": S("x")}, TypeError, incorrect("text", "str", "S"), []),
    ("tokenize", (["a"],), {}, TypeError, incorrect("text", "str", "list"), []),
    ("detokenize", (), {}, TypeError, takes("detokenize", "exactly", 1, 0), DETOK),
    ("detokenize", ([], []), {}, TypeError, takes("detokenize", "exactly", 1, 2), DETOK),
    ("detokenize", ([],), {"tokens": []}, TypeError, multiple("detokenize", "tokens"), DETOK),
    ("detokenize", ((),), {}, TypeError, incorrect("tokens", "list", "tuple"), []),
    ("detokenize", (L(),), {}, TypeError, incorrect("tokens", "list", "L"), []),
    ("detokenize", ("ab",), {}, TypeError, incorrect("tokens", "list", "str"), []),
    # encode_files: two required, two converted optionals.
    ("encode_files", (), {}, TypeError, takes("encode_files", "at least", 2, 0), ENC),
    ("encode_files", ([],), {}, TypeError, takes("encode_files", "at least", 2, 1), ENC),
    ("encode_files", ([],), {"threads": 1}, TypeError, takes("encode_files", "at least", 2, 1),
     ENC),
    ("encode_files", (), {"output_path": "o"}, TypeError,
     takes("encode_files", "at least", 2, 0), ENC),
    ("encode_files", ([], "o", 1, 2, 3), {}, TypeError, takes("encode_files", "at most", 4, 5),
     ENC),
    ("encode_files", ([], "o", 1), {"zstd_level": 2}, TypeError,
     multiple("encode_files", "zstd_level"), ENC),
    ("encode_files", ([],), {"output_path": "o", "filepaths": []}, TypeError,
     multiple("encode_files", "filepaths"), ENC),
    ("encode_files", ([], "o"), {"bogus": 1}, TypeError, unexpected("encode_files", "bogus"),
     ENC),
    # The first offending keyword in call order decides.
    ("encode_files", ([], "o"), {"bogus": 1, "filepaths": []}, TypeError,
     unexpected("encode_files", "bogus"), ENC),
    ("encode_files", ([], "o"), {"filepaths": [], "bogus": 1}, TypeError,
     multiple("encode_files", "filepaths"), ENC),
    # Keywords are bound before missing required parameters are reported.
    ("encode_files", (), {"bogus": 1}, TypeError, unexpected("encode_files", "bogus"), ENC),
    ("encode_files", ([], "o", "x"), {}, TypeError, "an integer is required", ENC),
    ("encode_files", ([], "o", 6, "x"), {}, TypeError, "an integer is required", ENC),
    ("encode_files", ([], "o", 2**40), {}, OverflowError, "value too large to convert to int",
     ENC),
    ("encode_files", ([], "o", 2**31), {}, OverflowError, "value too large to convert to int",
     ENC),
    ("encode_files", ([], "o", -(2**31) - 1), {}, OverflowError,
     "value too large to convert to int", ENC),
    ("encode_files", ([], "o", 2**70), {}, OverflowError,
     "Python int too large to convert to C long", ENC),
    ("encode_files", ([], "o", 6, 2**40), {}, OverflowError,
     "value too large to convert to int", ENC),
    ("encode_files", ([], "o", WithInt("s")), {}, TypeError,
     "__int__ returned non-int (type str)", ENC),
    ("encode_files", ([], "o", None), {}, TypeError, "an integer is required", ENC),
    # zstd_level is converted before threads.
    ("encode_files", ([], "o"), {"threads": 2**40, "zstd_level": "x"}, TypeError,
     "an integer is required", ENC),
    # Conversions come before the exact-type tests, which add no entry.
    ("encode_files", ((), b"o", "x"), {}, TypeError, "an integer is required", ENC),
    ("encode_files", ((), "o"), {}, TypeError, incorrect("filepaths", "list", "tuple"), []),
    ("encode_files", (L(), "o"), {}, TypeError, incorrect("filepaths", "list", "L"), []),
    ("encode_files", ([], b"o"), {}, TypeError, incorrect("output_path", "str", "bytes"), []),
    ("encode_files", ([], S("o")), {}, TypeError, incorrect("output_path", "str", "S"), []),
    ("encode_files", ((), b"o"), {}, TypeError, incorrect("filepaths", "list", "tuple"), []),
    # encode_named_files binds as encode_files does; read_package takes one str.
    ("encode_named_files", ([],), {}, TypeError, takes("encode_named_files", "at least", 2, 1),
     NAMED),
    ("encode_named_files", ([], "o"), {"filepaths": []}, TypeError,
     unexpected("encode_named_files", "filepaths"), NAMED),
    ("encode_named_files", ([], "o", "x"), {}, TypeError, "an integer is required", NAMED),
    ("encode_named_files", ((), "o"), {}, TypeError, incorrect("entries", "list", "tuple"), []),
    ("read_package", (), {}, TypeError, takes("read_package", "exactly", 1, 0), READ),
    ("read_package", ("p", "q"), {}, TypeError, takes("read_package", "exactly", 1, 2), READ),
    ("read_package", (b"p",), {}, TypeError, incorrect("package_path", "str", "bytes"), []),
    # decode_package: two required, one truth value.
    ("decode_package", (), {}, TypeError, takes("decode_package", "at least", 2, 0), DEC),
    ("decode_package", ("p",), {}, TypeError, takes("decode_package", "at least", 2, 1), DEC),
    ("decode_package", ("p", "o", True, 4), {}, TypeError,
     takes("decode_package", "at most", 3, 4), DEC),
    ("decode_package", ("p",), {"use_zstd": False}, TypeError,
     takes("decode_package", "at least", 2, 1), DEC),
    ("decode_package", ("p", "o"), {"package_path": "p"}, TypeError,
     multiple("decode_package", "package_path"), DEC),
    ("decode_package", ("p", "o"), {"zstd": False}, TypeError,
     unexpected("decode_package", "zstd"), DEC),
    ("decode_package", ("p", "o", BadBool()), {}, ZeroDivisionError, "no truth", DEC),
    ("decode_package", (b"p", "o", BadBool()), {}, ZeroDivisionError, "no truth", DEC),
    ("decode_package", (b"p", "o"), {}, TypeError, incorrect("package_path", "str", "bytes"),
     []),
    ("decode_package", ("p", 1), {}, TypeError, incorrect("output_dir", "str", "int"), []),
    ("decode_package", (S("p"), S("o")), {}, TypeError, incorrect("package_path", "str", "S"),
     []),
    # Parameterless methods: no traceback entry.
    ("load_dict", (1,), {}, TypeError, takes("load_dict", "exactly", 0, 1), []),
    ("load_dict", (), {"x": 1}, TypeError, unexpected("load_dict", "x"), []),
    ("load_dict", (), {"b": 1, "a": 2}, TypeError, unexpected("load_dict", "b"), []),
    ("load_dict", (1,), {"x": 1}, TypeError, takes("load_dict", "exactly", 0, 1), []),
    ("save_dict", (1, 2), {}, TypeError, takes("save_dict", "exactly", 0, 2), []),
    ("save_dict", (), {"path": "p"}, TypeError, unexpected("save_dict", "path"), []),
    ("__reduce_cython__", (1,), {}, TypeError, takes("__reduce_cython__", "exactly", 0, 1), []),
    ("__reduce_cython__", (), {"protocol": 2}, TypeError,
     unexpected("__reduce_cython__", "protocol"), []),
    # __setstate_cython__: exactly one, reported in "<stringsource>".
    ("__setstate_cython__", (), {}, TypeError, takes("__setstate_cython__", "exactly", 1, 0),
     SETSTATE),
    ("__setstate_cython__", (1, 2), {}, TypeError,
     takes("__setstate_cython__", "exactly", 1, 2), SETSTATE),
    ("__setstate_cython__", (), {"state": 1}, TypeError,
     unexpected("__setstate_cython__", "state"), SETSTATE),
    ("__setstate_cython__", (1,), {"__pyx_state": 1}, TypeError,
     multiple("__setstate_cython__", "__pyx_state"), SETSTATE),
]


def _call_id(case):
    method, args, kwargs = case[:3]
    return "%s%r%r" % (method, args, kwargs)


ERROR_FIELDS = "method, args, kwargs, exc, message, expected"
ERROR_IDS = [_call_id(case) for case in BINDING_ERRORS]


# The ways to reach a method: bound; unbound, through the class, with the
# object as its first argument, which the counts in the messages never
# include; and tp_call, which turns the keyword dictionary into keyword names.
CALL_WAYS = {
    "bound": lambda comp, method: getattr(comp, method),
    "through the class": lambda comp, method: functools.partial(getattr(C, method), comp),
    "tuple call": lambda comp, method: functools.partial(vars(C)[method].__call__, comp),
}


@pytest.mark.parametrize("way", CALL_WAYS)
@pytest.mark.parametrize(ERROR_FIELDS, BINDING_ERRORS, ids=ERROR_IDS)
def test_binding_errors(comp, entries, way, method, args, kwargs, exc, message, expected):
    call = CALL_WAYS[way](comp, method)
    with pytest.raises(exc) as info:
        call(*args, **kwargs)
    assert str(info.value) == message
    assert entries(info.value) == expected


def test_binding_error_leaves_the_object_alone(comp):
    before = (comp.dict_path, comp.global_dict, comp.inverse_dict, comp.next_id)
    for method, args, kwargs, exc, _, _ in BINDING_ERRORS:
        with pytest.raises(exc):
            getattr(comp, method)(*args, **kwargs)
    assert (comp.dict_path, comp.global_dict, comp.inverse_dict, comp.next_id) == before
    assert comp.global_dict == {} and comp.inverse_dict == {}


UNPICKLE_ERRORS = [
    ((), {}, TypeError, takes("__pyx_unpickle_OrmekCompressor", "exactly", 3, 0)),
    ((C, 1), {}, TypeError, takes("__pyx_unpickle_OrmekCompressor", "exactly", 3, 2)),
    ((C, 1, None, 4), {}, TypeError, takes("__pyx_unpickle_OrmekCompressor", "exactly", 3, 4)),
    ((C, 1, None), {"x": 1}, TypeError, unexpected("__pyx_unpickle_OrmekCompressor", "x")),
    ((C,), {"__pyx_type": C}, TypeError,
     multiple("__pyx_unpickle_OrmekCompressor", "__pyx_type")),
    ((C, "x", None), {}, TypeError, "an integer is required"),
    ((C, 2**70, None), {}, OverflowError, "Python int too large to convert to C long"),
]


@pytest.mark.parametrize("args, kwargs, exc, message", UNPICKLE_ERRORS)
def test_unpickle_binding_errors(entries, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        ormek_compressor.__pyx_unpickle_OrmekCompressor(*args, **kwargs)
    assert str(info.value) == message
    assert entries(info.value) == [UNPICKLE]


@pytest.mark.parametrize("checksum", [2**31, -(2**31) - 1, 2**40])
def test_unpickle_checksum_is_a_32_bit_value(entries, checksum):
    with pytest.raises(OverflowError) as info:
        ormek_compressor.__pyx_unpickle_OrmekCompressor(C, checksum, None)
    assert str(info.value) == "value too large to convert to long"
    assert entries(info.value) == [UNPICKLE]


@pytest.mark.parametrize("checksum", [2**31 - 1, -(2**31)])
def test_unpickle_checksum_range_ends_are_compared(checksum):
    with pytest.raises(pickle.PickleError) as info:
        ormek_compressor.__pyx_unpickle_OrmekCompressor(C, checksum, None)
    assert str(info.value).startswith(f"Incompatible checksums (0x{checksum:x} vs (0x3e12e10")


def test_unpickle_binds_by_keyword():
    c = ormek_compressor.__pyx_unpickle_OrmekCompressor(
        __pyx_state=None, __pyx_checksum=0x3E12E10, __pyx_type=C
    )
    assert type(c) is C and c.next_id == 0


# ---------------------------------------------------------------------------
# Successful bindings reach the body with the bound values.


def test_tokenize_by_keyword(comp):
    assert comp.tokenize(text="a b") == ["a", " ", "b"]
    assert C.tokenize(comp, text="a b") == ["a", " ", "b"]


def test_str_subclass_keyword_names_bind(comp):
    assert comp.tokenize(**{S("text"): "a"}) == ["a"]
    with pytest.raises(TypeError, match=r"^tokenize\(\) got multiple values for keyword "
                                        r"argument 'text'$"):
        comp.tokenize("a", **{S("text"): "b"})


def test_str_subclass_keyword_name_comparison_error_propagates(comp):
    class Angry(str):
        def __eq__(self, other):
            raise LookupError("compare")

        __hash__ = str.__hash__

    with pytest.raises(LookupError, match="^compare$"):
        comp.tokenize(**{Angry("text"): "a"})


def test_tokenize_none_reaches_the_body(comp, entries):
    # None passes the exact-type test; the failure then comes from the body.
    with pytest.raises(TypeError) as info:
        comp.tokenize(None)
    assert (qual("tokenize"), "compressor", 39) in entries(info.value)


def test_detokenize_none_reaches_the_body(comp, entries):
    with pytest.raises(TypeError) as info:
        comp.detokenize(None)
    assert (qual("detokenize"), "compressor", 42) in entries(info.value)


class RecordingZstd:
    """Stands in for the module global `zstd`, recording the compressor's
    keyword arguments."""

    def __init__(self):
        self.calls = []
        outer = self

        class ZstdCompressor:
            def __init__(self, **kwargs):
                outer.calls.append(kwargs)

            def compress(self, data):
                return b"z" + bytes(data)

        self.ZstdCompressor = ZstdCompressor


@pytest.fixture
def recording_zstd(monkeypatch):
    fake = RecordingZstd()
    monkeypatch.setattr(ormek_compressor, "zstd", fake)
    return fake


@pytest.mark.parametrize(
    "args, kwargs, level, threads",
    [
        ((), {}, 6, 4),
        ((3.9,), {}, 3, 4),
        ((-3.9, 2.5), {}, -3, 2),
        ((True, False), {}, 1, 0),
        ((IntSub(9),), {"threads": WithInt(7)}, 9, 7),
        ((), {"threads": 1}, 6, 1),
        ((), {"zstd_level": 2147483647, "threads": -2147483648}, 2147483647, -2147483648),
    ],
)
def test_encode_files_conversions_reach_the_body(comp, in_tmp, recording_zstd, args, kwargs,
                                                 level, threads):
    (in_tmp / "a.txt").write_text("x y", encoding="utf-8")
    comp.encode_files(["a.txt"], "out.pkg", *args, **kwargs)
    assert recording_zstd.calls == [{"level": level, "threads": threads}]


def test_encode_files_all_by_keyword(comp, in_tmp, recording_zstd):
    (in_tmp / "a.txt").write_text("x y", encoding="utf-8")
    size = comp.encode_files(output_path="out.pkg", filepaths=["a.txt"])
    assert recording_zstd.calls == [{"level": 6, "threads": 4}]
    assert size == 1 + 4 * 3
    assert (in_tmp / "out.pkg").exists()


def test_int_subclass_from_int_warns_then_binds(comp, in_tmp, recording_zstd):
    (in_tmp / "a.txt").write_text("x", encoding="utf-8")
    with pytest.warns(DeprecationWarning) as record:
        comp.encode_files(["a.txt"], "out.pkg", WithInt(IntSub(5)))
    assert [str(w.message) for w in record] == [
        "__int__ returned non-int (type IntSub).  The ability to return an instance of a strict "
        "subclass of int is deprecated, and may be removed in a future version of Python."
    ]
    assert recording_zstd.calls == [{"level": 5, "threads": 4}]


def test_int_subclass_warning_as_error_fails_the_binding(comp, entries):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            comp.encode_files([], "out.pkg", 6, WithInt(True))
    assert entries(info.value) == ENC


class RecordingDecompressor:
    def __init__(self):
        self.used = 0
        outer = self

        class ZstdDecompressor:
            def decompress(self, data):
                outer.used += 1
                return data

        self.ZstdDecompressor = ZstdDecompressor


@pytest.mark.parametrize(
    "extra, used",
    [((), 1), ((True,), 1), ((0,), 0), ((None,), 0), (("",), 0), ((False,), 0), (([1],), 1)],
    ids=repr,
)
def test_decode_package_truth_value(comp, in_tmp, monkeypatch, extra, used):
    package = {"compressed": b"", "file_boundaries": [0], "filenames": [], "global_dict": {}}
    with open(in_tmp / "p.pkg", "wb") as f:
        pickle.dump(package, f)
    fake = RecordingDecompressor()
    monkeypatch.setattr(ormek_compressor, "zstd", fake)
    assert comp.decode_package("p.pkg", "out", *extra) == []
    assert fake.used == used


# ---------------------------------------------------------------------------
# Leaks of the binding paths.


def _error_call(method, args, kwargs):
    def run(comp):
        try:
            getattr(comp, method)(*args, **kwargs)
        except (TypeError, OverflowError, ZeroDivisionError):
            pass

    run.__name__ = _call_id((method, args, kwargs))
    return run


LEAK_CASES = [
    _error_call(*case[:3])
    for case in BINDING_ERRORS
    if case[1] in ((), ([],), ([], "o", 2**40)) or case[4].startswith("Argument")
]


@pytest.mark.parametrize("case", LEAK_CASES, ids=lambda f: f.__name__)
def test_no_growth(comp, case):
    # Cheap calls: a leak of one small object every few calls is well above
    # this budget over 3000 of them.
    problems = leak_problems(
        f"binding {case.__name__}", lambda: case(comp), calls=3000, budget=(100, 16 * 1024)
    )
    assert not problems, "; ".join(problems)

