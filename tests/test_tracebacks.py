"""Traceback entries: where they go, what they name, the code-object cache,
and that adding one never disturbs the pending exception."""

import threading
import traceback

import pytest

from helpers import INIT, NEXT_ID_SET, UNPICKLE, qual, run_json

import ormek_compressor

C = ormek_compressor.OrmekCompressor


def module_tbs(exc):
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename in ("compressor", "<stringsource>"):
            yield tb
        tb = tb.tb_next


def fail_next_id(c):
    try:
        c.next_id = "x"
    except TypeError as exc:
        return exc
    raise AssertionError("no error")


def fail_init():
    try:
        C("a", "b")
    except TypeError as exc:
        return exc
    raise AssertionError("no error")


def fail_unpickle():
    try:
        ormek_compressor.__pyx_unpickle_OrmekCompressor()
    except TypeError as exc:
        return exc
    raise AssertionError("no error")


def test_encode_files_binding_failure_has_one_entry(comp, entries):
    with pytest.raises(TypeError) as info:
        comp.encode_files(["a"])
    assert entries(info.value) == [(qual("encode_files"), "compressor", 45)]


def test_encode_files_wrong_type_has_no_entry(comp, entries):
    with pytest.raises(TypeError) as info:
        comp.encode_files(("a",), "out")
    assert entries(info.value) == []
    # Nothing but the test's own frame.
    assert info.value.__traceback__.tb_next is None


def test_entry_frame_is_made_for_the_module(comp):
    exc = fail_next_id(comp)
    (tb,) = module_tbs(exc)
    assert tb.tb_lineno == 11
    assert tb.tb_frame.f_globals is vars(ormek_compressor)
    assert tb.tb_frame.f_locals == {}
    code = tb.tb_frame.f_code
    assert code.co_name == qual("next_id.__set__")
    assert code.co_filename == "compressor"
    assert code.co_firstlineno == 11
    assert tb.tb_next is None  # the innermost entry


def test_entry_goes_inside_the_callers_frame(comp):
    exc = fail_next_id(comp)
    frames = traceback.extract_tb(exc.__traceback__)
    assert [f.name for f in frames] == ["fail_next_id", qual("next_id.__set__")]


def test_entry_keeps_the_exception(comp):
    error = KeyError("mine")

    class RaisesThis:
        def __int__(self):
            raise error

    with pytest.raises(KeyError) as info:
        comp.next_id = RaisesThis()
    assert info.value is error
    assert info.value.__context__ is None and info.value.__cause__ is None
    # The __int__ frame is inside the module's entry.
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == [qual("next_id.__set__"), "__int__"]


def test_entries_appear_in_formatted_tracebacks(comp):
    text = "".join(traceback.format_exception(fail_init()))
    assert 'File "compressor", line 13, in ormek_compressor.OrmekCompressor.__init__' in text


@pytest.mark.parametrize("make", [fail_next_id, "init", "unpickle"])
def test_repeat_failures_give_identical_entries(comp, entries, make):
    make = {"init": lambda c: fail_init(), "unpickle": lambda c: fail_unpickle()}.get(make, make)
    first = entries(make(comp))
    second = entries(make(comp))
    assert first == second
    assert len(first) == 1


def test_repeat_failures_reuse_the_code_object(comp):
    a = next(module_tbs(fail_next_id(comp))).tb_frame.f_code
    b = next(module_tbs(fail_next_id(comp))).tb_frame.f_code
    assert a is b


def test_same_line_in_another_function_keeps_its_own_name():
    # The pickling reconstructor's binding reports line 1 of "<stringsource>";
    # a failing start-up statement reports line 1 of "compressor". Each entry
    # names its own function and file, whichever came first.
    out = run_json("""
        import os
        saved = sys.modules["os"]
        sys.modules["os"] = None
        try:
            import ormek_compressor
        except ImportError as exc:
            failure = exc
        sys.modules["os"] = saved
        first = module_entries(failure)
        import ormek_compressor
        try:
            ormek_compressor.__pyx_unpickle_OrmekCompressor()
        except TypeError as exc:
            second = module_entries(exc)
        print(json.dumps([first, second]))
    """)
    assert out == [[["init ormek_compressor", "compressor", 1]], [list(UNPICKLE)]]


def test_distinct_entries_in_one_process(comp, entries):
    # Interleaved failures at different lines and functions never mix up.
    for _ in range(3):
        assert entries(fail_next_id(comp)) == [NEXT_ID_SET]
        assert entries(fail_unpickle()) == [UNPICKLE]
        assert entries(fail_init()) == [INIT]
        with pytest.raises(TypeError) as info:
            comp.tokenize()
        assert entries(info.value) == [(qual("tokenize"), "compressor", 38)]
        with pytest.raises(TypeError) as info:
            comp.__setstate_cython__()
        assert entries(info.value) == [(qual("__setstate_cython__"), "<stringsource>", 16)]


def test_tokenize_body_failure_has_body_and_wrapper_entries(comp, entries, monkeypatch):
    class BrokenRe:
        def findall(self, pattern, text):
            raise RuntimeError("findall broke")

    monkeypatch.setattr(ormek_compressor, "re", BrokenRe())
    with pytest.raises(RuntimeError, match="^findall broke$") as info:
        comp.tokenize("a b")
    assert entries(info.value) == [
        (qual("tokenize"), "compressor", 38),
        (qual("tokenize"), "compressor", 39),
    ]


def test_concurrent_failures_keep_their_entries(in_tmp):
    # The code-object cache is shared; readers and writers never wait for each
    # other, and every entry must still be right.
    errors = []
    barrier = threading.Barrier(4)

    def worker(kind):
        c = C.__new__(C)
        barrier.wait()
        try:
            for i in range(500):
                if (i + kind) % 3 == 0:
                    got = fail_next_id(c)
                    want = NEXT_ID_SET
                elif (i + kind) % 3 == 1:
                    got = fail_init()
                    want = INIT
                else:
                    got = fail_unpickle()
                    want = UNPICKLE
                found = [(t.tb_frame.f_code.co_name, t.tb_frame.f_code.co_filename, t.tb_lineno)
                         for t in module_tbs(got)]
                if found != [want]:
                    errors.append(found)
                    return
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
