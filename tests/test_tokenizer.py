"""tokenize / detokenize: binding, traceback entries, the native scan against
re.findall, and the fall-back to a replaced `re`."""

import re
import sys
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers import StrSub, qual, re_stand_in

PATTERN = r"\S+|\s+"

# Modest, and applied per test so that other modules keep their own settings.
PROPERTY_SETTINGS = settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)


# A failure inside tokenize's body: the wrapper's entry, then the body's.
TOKENIZE_BODY_ENTRIES = [(qual("tokenize"), "compressor", 38), (qual("tokenize"), "compressor", 39)]


def findall(text):
    return re.findall(PATTERN, text)


# --- binding -----------------------------------------------------------------


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("tokenize", (), {}, "tokenize() takes exactly 1 positional argument (0 given)"),
        ("tokenize", ("a", "b"), {}, "tokenize() takes exactly 1 positional argument (2 given)"),
        (
            "tokenize",
            ("a",),
            {"text": "b"},
            "tokenize() got multiple values for keyword argument 'text'",
        ),
        ("tokenize", (), {"txt": "a"}, "tokenize() got an unexpected keyword argument 'txt'"),
        (
            "tokenize",
            ("a",),
            {"tokens": []},
            "tokenize() got an unexpected keyword argument 'tokens'",
        ),
        ("detokenize", (), {}, "detokenize() takes exactly 1 positional argument (0 given)"),
        ("detokenize", ([], []), {}, "detokenize() takes exactly 1 positional argument (2 given)"),
        (
            "detokenize",
            ([],),
            {"tokens": []},
            "detokenize() got multiple values for keyword argument 'tokens'",
        ),
        ("detokenize", (), {"text": []}, "detokenize() got an unexpected keyword argument 'text'"),
    ],
)
def test_binding_errors(comp, entries, method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(comp, method)(*args, **kwargs)
    assert str(info.value) == message
    line = 38 if method == "tokenize" else 41
    assert entries(info.value) == [(qual(method), "compressor", line)]


def test_keyword_arguments_bind(comp):
    assert comp.tokenize(text="a  b") == ["a", "  ", "b"]
    assert comp.detokenize(tokens=["a", "  ", "b"]) == "a  b"


class ListSub(list):
    pass


@pytest.mark.parametrize(
    "method, arg, message",
    [
        (
            "tokenize",
            StrSub("a b"),
            "Argument 'text' has incorrect type (expected str, got StrSub)",
        ),
        ("tokenize", b"a b", "Argument 'text' has incorrect type (expected str, got bytes)"),
        ("tokenize", ["a"], "Argument 'text' has incorrect type (expected str, got list)"),
        (
            "detokenize",
            ("a", "b"),
            "Argument 'tokens' has incorrect type (expected list, got tuple)",
        ),
        (
            "detokenize",
            ListSub(["a"]),
            "Argument 'tokens' has incorrect type (expected list, got ListSub)",
        ),
        ("detokenize", "ab", "Argument 'tokens' has incorrect type (expected list, got str)"),
    ],
)
def test_exact_type_refusal_adds_no_entry(comp, entries, method, arg, message):
    with pytest.raises(TypeError) as info:
        getattr(comp, method)(arg)
    assert str(info.value) == message
    assert entries(info.value) == []


# --- failures inside the bodies ----------------------------------------------


@pytest.mark.parametrize(
    "method, arg, outer, inner",
    [
        ("tokenize", None, 38, 39),
        ("detokenize", [1], 41, 42),
        ("detokenize", ["a", None], 41, 42),
        ("detokenize", None, 41, 42),
    ],
)
def test_body_failure_entries(comp, entries, method, arg, outer, inner):
    with pytest.raises(TypeError) as info:
        getattr(comp, method)(arg)
    assert entries(info.value) == [
        (qual(method), "compressor", outer),
        (qual(method), "compressor", inner),
    ]


def test_tokenize_none_is_refs_own_error(comp):
    with pytest.raises(TypeError) as ours:
        comp.tokenize(None)
    with pytest.raises(TypeError) as host:
        re.findall(PATTERN, None)
    assert str(ours.value) == str(host.value)


def test_repeated_failure_reports_same_entries(comp, entries):
    seen = []
    for _ in range(2):
        with pytest.raises(TypeError) as info:
            comp.tokenize(None)
        seen.append(entries(info.value))
    assert seen[0] == seen[1] == TOKENIZE_BODY_ENTRIES


# --- results -----------------------------------------------------------------


@pytest.mark.parametrize(
    "text, tokens",
    [
        ("", []),
        ("  word   second\n", ["  ", "word", "   ", "second", "\n"]),
        ("a\t\n b", ["a", "\t\n ", "b"]),
        (" ", [" "]),
        ("x", ["x"]),
        ("\r\n\r\n", ["\r\n\r\n"]),
        ("a\u00a0b", ["a", "\u00a0", "b"]),
        ("a\u1680b", ["a", "\u1680", "b"]),
        ("a\u2028\u2029b", ["a", "\u2028\u2029", "b"]),
        ("a\u3000b", ["a", "\u3000", "b"]),
        ("a\u0085b", ["a", "\u0085", "b"]),
        ("a\x1c\x1d\x1e\x1fb", ["a", "\x1c\x1d\x1e\x1f", "b"]),
        ("a\u2000\u200a\u202f\u205fb", ["a", "\u2000\u200a\u202f\u205f", "b"]),
        ("a\ufeffb c", ["a\ufeffb", " ", "c"]),
        ("a\u200bb c", ["a\u200bb", " ", "c"]),
        ("a\u180eb c", ["a\u180eb", " ", "c"]),
        ("\x00 \x00", ["\x00", " ", "\x00"]),
        ("caf\u00e9 na\u00efve", ["caf\u00e9", " ", "na\u00efve"]),
        ("ab \u0100 cd", ["ab", " ", "\u0100", " ", "cd"]),
        ("\U0001f600 x\U0010ffff", ["\U0001f600", " ", "x\U0010ffff"]),
        ("\ud800 \udfff\udc00", ["\ud800", " ", "\udfff\udc00"]),
        (
            "abc \u00e9\u0100\U0001f600 \u3000\t",
            ["abc", " ", "\u00e9\u0100\U0001f600", " \u3000\t"],
        ),
    ],
)
def test_tokens(comp, text, tokens):
    result = comp.tokenize(text)
    assert type(result) is list
    assert result == tokens == findall(text)
    assert comp.detokenize(result) == text


def test_detokenize_empty_list(comp):
    assert comp.detokenize([]) == ""


@pytest.mark.parametrize(
    "text",
    [
        "ab \u0100 cd",  # two-byte text with ASCII tokens
        "\u00e9t\u00e9 \U0001f600 plain",  # four-byte text with Latin-1 and ASCII tokens
        "\u3000\u3000 \u00a0 word",  # two-byte text with a Latin-1 white-space token
        "caf\u00e9 plain",  # one-byte text with an ASCII token
        "plain ascii  text\n",  # ASCII text
    ],
)
@pytest.mark.parametrize("repeat", [1, 200])  # long texts share repeated tokens
def test_tokens_are_in_narrowest_form(comp, text, repeat):
    # A token must be the same canonical str that slicing the text makes:
    # a wider kind than needed would compare and hash wrongly in places.
    text = (text + " ") * repeat
    for token, expected in zip(comp.tokenize(text), findall(text), strict=True):
        assert type(token) is str
        assert sys.getsizeof(token) == sys.getsizeof(expected)
        assert hash(token) == hash(expected)
        assert token.isascii() == expected.isascii()
        assert {token: 1}.get(expected) == 1


def test_each_call_makes_a_fresh_list(comp):
    first = comp.tokenize("a b")
    first.append("changed")
    assert comp.tokenize("a b") == ["a", " ", "b"]


def test_whole_text_token_equals_text(comp):
    text = "single-token-text"
    (token,) = comp.tokenize(text)
    assert token == text


@pytest.mark.parametrize("width", [0x7F, 0xFF, 0xFFFF, 0x10FFFF])
def test_long_text_per_kind(comp, width):
    pieces = ["word", " ", "\n\t", "x" * 300, "\u00a0", chr(width), "  ", chr(width) * 3]
    text = "".join(p for p in pieces * 2000 if max(map(ord, p)) <= width)
    assert comp.tokenize(text) == findall(text)


@pytest.mark.parametrize(
    "make_word",
    [
        lambda i: f"w{i}",  # many distinct short tokens: shared slots get replaced
        lambda i: "ab"[i % 2] * (1 + i % 30),  # same first letter, lengths around the limit
        lambda i: chr(0x100 + i % 7) + chr(0x1F600 + i % 5),  # wide tokens repeating
        lambda i: "x" * (i % 3 + 1) + "\u3000" * (i % 2),  # one-character and wide spaces
        lambda i: f"{i // 23:04d}abcdefghijklmnopqrst"[: 1 + i % 23],  # prefixes of each other
    ],
)
def test_many_repeated_and_distinct_tokens(comp, make_word):
    text = (
        " ".join(make_word(i) for i in range(20000))
        + "\n"
        + " \t".join(make_word(i) for i in range(0, 20000, 7))
    )
    tokens = comp.tokenize(text)
    assert tokens == findall(text)
    assert "".join(tokens) == text


def test_all_code_points(comp):
    # Every code point, in chunks, next to white space and to non-white-space
    # neighbours, so that each one's class shows in the token boundaries.
    chunk = 0x1000
    for start in range(0, 0x110000, chunk):
        chars = [chr(c) for c in range(start, min(start + chunk, 0x110000))]
        for text in ("".join(chars), "a".join(chars), " ".join(chars)):
            assert comp.tokenize(text) == findall(text), hex(start)


@PROPERTY_SETTINGS
@given(st.text())
def test_round_trip_property(text):
    from ormek_compressor import OrmekCompressor

    comp = OrmekCompressor.__new__(OrmekCompressor)
    tokens = comp.tokenize(text)
    assert tokens == findall(text)
    assert comp.detokenize(tokens) == text


@PROPERTY_SETTINGS
@given(
    st.text(
        alphabet=st.sampled_from(" \t\n\x1c\x85\xa0\u1680\u2028\u3000\u200b\ufeffa\u00e9\U0001f600")
    )
)
def test_space_heavy_property(text):
    from ormek_compressor import OrmekCompressor

    comp = OrmekCompressor.__new__(OrmekCompressor)
    assert comp.tokenize(text) == findall(text)


# --- the fall-back to a replaced `re` ----------------------------------------


class RecordingRe:
    def __init__(self, result):
        self.calls = []
        self.result = result

    def findall(self, pattern, text):
        self.calls.append((pattern, text))
        return self.result


@pytest.mark.parametrize("result", [["x"], [], None])
def test_replaced_re_module_is_called(comp, mod, monkeypatch, result):
    stand_in = RecordingRe(result)
    monkeypatch.setattr(mod, "re", stand_in)
    assert comp.tokenize("a b") is result
    assert stand_in.calls == [(PATTERN, "a b")]


def test_replaced_findall_on_stand_in_module(comp, mod, monkeypatch):
    calls = []
    monkeypatch.setattr(mod, "re", re_stand_in(lambda pattern, text: calls.append(text) or ["y"]))
    assert comp.tokenize("a b") == ["y"]
    assert calls == ["a b"]


def test_replaced_findall_on_real_re(comp, mod, monkeypatch):
    calls = []
    monkeypatch.setattr(re, "findall", lambda pattern, text: calls.append(text) or ["z"])
    assert mod.re is re
    assert comp.tokenize("a b") == ["z"]
    assert calls == ["a b"]


def test_restored_re_uses_scan_again(comp, mod, monkeypatch):
    with monkeypatch.context() as patch:
        patch.setattr(mod, "re", RecordingRe(["x"]))
        assert comp.tokenize("a b") == ["x"]
    assert comp.tokenize("a b") == ["a", " ", "b"]


@pytest.mark.parametrize("result", [("a",), "a b", 3])
def test_findall_result_must_be_list(comp, mod, monkeypatch, entries, result):
    monkeypatch.setattr(mod, "re", RecordingRe(result))
    with pytest.raises(TypeError) as info:
        comp.tokenize("a b")
    assert str(info.value) == f"Expected list, got {type(result).__name__}"
    assert entries(info.value) == TOKENIZE_BODY_ENTRIES


def test_findall_error_propagates(comp, mod, monkeypatch, entries):
    def failing(pattern, text):
        raise ValueError("from findall")

    monkeypatch.setattr(mod, "re", types.SimpleNamespace(findall=failing))
    with pytest.raises(ValueError, match="from findall") as info:
        comp.tokenize("a b")
    assert entries(info.value) == TOKENIZE_BODY_ENTRIES


def test_re_without_findall(comp, mod, monkeypatch, entries):
    monkeypatch.setattr(mod, "re", types.SimpleNamespace())
    with pytest.raises(AttributeError) as info:
        comp.tokenize("a b")
    assert entries(info.value) == TOKENIZE_BODY_ENTRIES


def test_deleted_re_is_a_name_error(comp, mod, monkeypatch, entries):
    monkeypatch.delattr(mod, "re")
    with pytest.raises(NameError) as info:
        comp.tokenize("a b")
    assert str(info.value) == "name 're' is not defined"
    assert entries(info.value) == TOKENIZE_BODY_ENTRIES


def test_re_found_among_builtins(comp, mod, monkeypatch):
    import builtins

    monkeypatch.delattr(mod, "re")
    monkeypatch.setattr(builtins, "re", RecordingRe(["b"]), raising=False)
    assert comp.tokenize("a b") == ["b"]


# --- the module's own method object on a subclass instance ---------------------


def test_own_method_runs_body_on_subclass(in_tmp, mod):
    class Sub(mod.OrmekCompressor):
        def tokenize(self, text):
            return ("override",)

        def detokenize(self, tokens):
            return b"override"

    sub = Sub()
    assert sub.tokenize("a b") == ("override",)
    assert mod.OrmekCompressor.tokenize(sub, "a b") == ["a", " ", "b"]
    assert mod.OrmekCompressor.detokenize(sub, ["a", " ", "b"]) == "a b"


def test_override_calling_base_does_not_recurse(in_tmp, mod):
    class Sub(mod.OrmekCompressor):
        def tokenize(self, text):
            return ["<"] + super().tokenize(text) + [">"]

    assert Sub().tokenize("a b") == ["<", "a", " ", "b", ">"]


def test_method_refuses_other_bound_object(mod):
    with pytest.raises(TypeError):
        mod.OrmekCompressor.tokenize("not a compressor", "a b")
