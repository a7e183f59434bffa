"""A few hundred cases of each fuzz target (fuzz/ormek_fuzz.py runs the full
size), the unmutated seeds, and the fuzzer's own checks."""

import os
import pickle
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz"))
import ormek_fuzz  # noqa: E402

SMOKE_CASES = 300


@pytest.fixture(scope="module")
def fuzzer(tmp_path_factory):
    return ormek_fuzz.Fuzzer(str(tmp_path_factory.mktemp("fuzz")), seed=1)


@pytest.fixture
def in_work(fuzzer, monkeypatch):
    monkeypatch.chdir(fuzzer.work)
    return fuzzer


@pytest.mark.parametrize("target", ormek_fuzz.TARGETS)
def test_cases_end_cleanly(in_work, target):
    # A generous limit: a sanitizer or debug build runs a case many times slower.
    outcomes = {}
    with ormek_fuzz.capped_address_space():
        for n in range(SMOKE_CASES):
            outcome = in_work.run_case(target, n, time_limit=120.0)
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
    # Both ends must be reached, or the mutators stopped producing anything
    # the module gets to work on (or anything it refuses).
    assert outcomes.get("ok", 0) > 0, outcomes
    assert sum(v for k, v in outcomes.items() if k not in ("ok", "screened")) > 0, outcomes


@pytest.mark.parametrize("protocol", range(6))
@pytest.mark.parametrize("name", ["empty", "one-empty", "small", "large"])
def test_seed_packages_decode_in_every_protocol(in_work, mod, name, protocol):
    obj = in_work.corpus.package_objects[name]
    path = os.path.join(in_work.work, "case.pkg")
    with open(path, "wb") as f:
        pickle.dump(obj, f, protocol)
    comp = mod.OrmekCompressor(os.path.join(in_work.work, "none.bin"))
    out = os.path.join(in_work.work, "out")
    try:
        assert comp.decode_package(path, out) == obj["filenames"]
        assert sorted(os.listdir(out)) == sorted(set(obj["filenames"]))
        assert comp.global_dict == obj["global_dict"]
    finally:
        in_work.reset()


def test_seed_dictionary_file_and_pickles_load(in_work, mod):
    path = os.path.join(in_work.work, "dict.bin")
    with open(path, "wb") as f:
        f.write(in_work.corpus.dict_file)
    comp = mod.OrmekCompressor(path)
    assert comp.global_dict == in_work.corpus.dict_object["dict"]
    for data in in_work.corpus.pickles[:-1]:
        back = pickle.loads(data)
        assert (back.dict_path, back.global_dict, back.inverse_dict, back.next_id) == in_work.corpus.comp_state
    os.remove(path)


def test_a_case_writing_outside_is_a_finding(in_work, monkeypatch):
    def escaping(rng):
        with open(os.path.join(in_work.work, "stray.txt"), "w") as f:
            f.write("x")

    monkeypatch.setattr(in_work, "t_setstate", escaping)
    try:
        with pytest.raises(ormek_fuzz.Finding, match="stray.txt"):
            in_work.run_case("setstate", 0, time_limit=60.0)
    finally:
        in_work.reset()


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_a_base_exception_is_a_finding(in_work, monkeypatch, exc):
    def raising(rng):
        raise exc()

    monkeypatch.setattr(in_work, "t_setstate", raising)
    with pytest.raises(ormek_fuzz.Finding, match=exc.__name__):
        in_work.run_case("setstate", 0, time_limit=60.0)


def test_cases_replay_identically(fuzzer):
    a = ormek_fuzz.package_bytes(fuzzer.rng("decode_package", 17), fuzzer.corpus, fuzzer.work)
    b = ormek_fuzz.package_bytes(fuzzer.rng("decode_package", 17), fuzzer.corpus, fuzzer.work)
    assert a == b


def test_memo_bomb_screen():
    # LONG_BINPUT with index 2**31 in a stream of a few bytes.
    bomb = b"\x80\x02N" + b"r" + (2**31).to_bytes(4, "little") + b"."
    assert ormek_fuzz.memo_bomb(bomb)
    assert not ormek_fuzz.memo_bomb(pickle.dumps(["a", "b"], 2))


@pytest.mark.parametrize("stream", [
    b"\x80\x04\x95" + (2**34).to_bytes(8, "little") + b"N.",  # FRAME
    b"\x80\x04\x8e" + (2**34).to_bytes(8, "little") + b"ab.",  # BINBYTES8
    b"\x80\x04\x8d" + (2**34).to_bytes(8, "little") + b"ab.",  # BINUNICODE8
    b"\x80\x03B" + (2**31 - 1).to_bytes(4, "little") + b"ab.",  # BINBYTES
])
def test_length_bomb_screen(stream):
    assert ormek_fuzz.length_bomb(stream)


def test_length_screen_passes_real_streams(fuzzer):
    for name, data in fuzzer.corpus.seeds():
        assert not ormek_fuzz.length_bomb(data), name
