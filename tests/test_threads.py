"""Threads: independent objects, one object shared by many threads, calls back
into the object from an override, a thread waiting for an object's lock, a
user mutating the dictionaries directly, and garbage collection meanwhile.

Each scenario runs in a child interpreter (this file run as a script), with
the GIL forced off on a free-threaded host, so that a crash or a hang fails
the test instead of the suite: every join and wait is bounded, and the child
runs under a timeout. scripts/thread-stress runs the same scenarios with more
threads and iterations."""

import gc
import json
import os
import pickle
import random
import subprocess
import sys
import threading
import time
import traceback

from helpers import FREE_THREADED, import_module

WAIT = 60.0  # seconds any one wait or join may take before it counts as a hang

# ---------------------------------------------------------------------------
# The child side: scenarios and their helpers.


WORDS = ["alpha", "βeta", "日本語", "x", "naïve", "ω", "42", "𝄞clef", "--", "end."]
# No "\r": input files are read with universal newlines.
SPACES = [" ", "  ", "\t", "\n", " \u3000", "\n\n"]


def corpus(seed, files, tokens, distinct):
    """`files` texts of about `tokens` tokens each; the words are drawn from
    `distinct` made-up words plus a few shared ones, so that corpora of
    different seeds overlap a little."""
    rng = random.Random(seed)
    texts = []
    for f in range(files):
        parts = []
        for _ in range(tokens // 2):
            if rng.random() < 0.2:
                parts.append(rng.choice(WORDS))
            else:
                parts.append(f"w{seed}_{rng.randrange(distinct)}")
            parts.append(rng.choice(SPACES))
        texts.append("".join(parts))
    return texts


def write_files(directory, texts):
    os.makedirs(directory, exist_ok=True)
    paths = []
    for i, text in enumerate(texts):
        path = os.path.join(directory, f"file{i}.txt")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        paths.append(path)
    return paths


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def consistent(c, next_id_above=True):
    """global_dict and inverse_dict are exact inverses, and (unless after a
    decode_package, which keeps next_id) next_id is above every id, so that
    the next new token cannot collide."""
    g, inv, next_id = c.global_dict, c.inverse_dict, c.next_id
    if type(g) is not dict or type(inv) is not dict or len(g) != len(inv):
        return False
    if any(inv.get(v, None) != k for k, v in g.items()):
        return False
    return not next_id_above or not g or next_id > max(g.values())


def run_threads(targets, errors):
    """Run each callable on its own thread; a thread still alive after WAIT
    is a hang: the child exits at once (threads cannot be killed)."""

    def guarded(fn):
        def run():
            try:
                fn()
            except BaseException:
                errors.append(traceback.format_exc())

        return run

    threads = [threading.Thread(target=guarded(fn), daemon=True) for fn in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + WAIT
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
        if t.is_alive():
            print("HANG: a thread did not finish", flush=True)
            os._exit(3)


def collector(stop, rounds, path, mod):
    """Full collections over and over, with compressors in reference cycles
    becoming garbage meanwhile."""

    def run():
        for i in range(rounds):
            if stop.is_set():
                return
            x = mod.OrmekCompressor(path)
            x.dict_path = x
            x.global_dict = {"cycle": x}
            x.inverse_dict = [x]
            del x
            if i % 4 == 0:
                gc.collect()
            time.sleep(0)

    return run


def scenario_independent(work, threads=8, rounds=2, tokens=4000, big_distinct=40000, gc_rounds=200):
    """Each thread has its own compressor and corpus: the packages, dictionary
    files and restored files are byte-identical to a single-threaded run.
    Thread 0's corpus has enough new tokens for the encoder's compressing
    worker thread; odd threads use a tokenize override (the plain way)."""
    mod = import_module()

    class Plain(mod.OrmekCompressor):
        def tokenize(self, text):
            return mod.OrmekCompressor.tokenize(self, text)

    inputs = []
    for t in range(threads):
        distinct = big_distinct if t == 0 else 300
        count = big_distinct + 2 * 8000 if t == 0 else tokens
        inputs.append(write_files(os.path.join(work, f"in{t}"), corpus(t, 3, count, distinct)))

    def job(t, root):
        cls = Plain if t % 2 else mod.OrmekCompressor
        os.makedirs(root, exist_ok=True)
        out = []
        c = cls(os.path.join(root, "dict.bin"))
        for r in range(rounds):
            pkg = os.path.join(root, f"p{r}.pkl")
            c.encode_files(inputs[t], pkg)
            c.save_dict()
            d = mod.OrmekCompressor(os.path.join(root, "none.bin"))
            names = d.decode_package(pkg, os.path.join(root, f"out{r}"))
            out.append(read_bytes(pkg))
            out.append(read_bytes(os.path.join(root, "dict.bin")))
            out.extend(read_bytes(os.path.join(root, f"out{r}", n)) for n in names)
            if not consistent(c) or not consistent(d, next_id_above=False):
                raise AssertionError(f"thread {t}: dictionaries not inverses")
        return out

    expected = [job(t, os.path.join(work, f"ref{t}")) for t in range(threads)]
    for t in range(threads):
        originals = [read_bytes(p) for p in inputs[t]]
        if expected[t][2:5] != originals:
            raise AssertionError(f"corpus {t} does not round-trip single-threaded")
    got = [None] * threads
    errors = []
    start = threading.Barrier(threads, timeout=WAIT)

    def worker(t):
        def run():
            start.wait()
            got[t] = job(t, os.path.join(work, f"thr{t}"))

        return run

    stop = threading.Event()
    gc_thread = collector(stop, gc_rounds, os.path.join(work, "gc.bin"), mod)

    def gc_run():
        gc_thread()

    run_threads([worker(t) for t in range(threads)] + [gc_run], errors)
    stop.set()
    if errors:
        raise AssertionError("\n".join(errors))
    for t in range(threads):
        if got[t] != expected[t]:
            raise AssertionError(f"thread {t}: output differs from the single-threaded run")
    return {"threads": threads, "rounds": rounds}


def shared_files(work, threads, floor):
    """What scenario_shared works on: each thread's input files and their
    bytes, small packages (ids below `floor`) to decode with their inputs'
    bytes, and dictionary files to switch between, each consistent and above
    the floor."""
    base = import_module().OrmekCompressor
    inputs = [write_files(os.path.join(work, f"in{t}"), corpus(t, 2, 600, 150)) for t in range(threads)]
    originals = [[read_bytes(p) for p in paths] for paths in inputs]
    packages = []
    for k in range(3):
        paths = write_files(os.path.join(work, f"small{k}"), corpus(100 + k, 2, 80, 30))
        prep = base(os.path.join(work, f"small{k}.bin"))
        pkg = os.path.join(work, f"small{k}.pkl")
        prep.encode_files(paths, pkg)
        packages.append((pkg, [read_bytes(p) for p in paths]))
    dict_paths = []
    for k in range(3):
        prep = base(os.path.join(work, f"dict{k}.bin"))
        prep.tokenize("x")
        prep.encode_files(inputs[k][:1], os.path.join(work, f"dictsrc{k}.pkl"))
        prep.next_id = max(prep.next_id, floor + k)
        prep.save_dict()
        dict_paths.append(prep.dict_path)
    return inputs, originals, packages, dict_paths


def checked_class(local, violations):
    """A compressor class whose load_dict, when called from __init__ (under
    the object's lock), runs the calling thread's plan (more operations,
    re-entrantly) and then checks the dictionaries: no other thread's work
    is seen meanwhile."""
    base = import_module().OrmekCompressor

    class Checked(base):
        def load_dict(self):
            base.load_dict(self)
            plan = getattr(local, "plan", None)
            if plan is None:
                return
            plan(self)
            if not consistent(self):
                violations.append(f"after {plan.__name__}")

    # Pickling finds classes by name.
    Checked.__qualname__ = Checked.__name__
    globals()["Checked"] = Checked
    return Checked


class SharedWorker:
    """One thread of scenario_shared: a random mix of every operation on the
    shared object, and the plans run inside its __init__."""

    def __init__(self, t, seed, c, work, files, local, violations):
        self.base = import_module().OrmekCompressor
        self.t, self.c, self.local, self.violations = t, c, local, violations
        self.inputs, self.originals, self.packages, self.dict_paths = files
        self.rng = random.Random(seed * 1000 + t)
        self.out_dir = os.path.join(work, f"out{t}")
        os.makedirs(self.out_dir, exist_ok=True)
        self.my_pkg = os.path.join(work, f"mine{t}.pkl")
        self.plans = [None, self.decode_in_lock, self.load_in_lock, self.setstate_in_lock,
                      self.attributes_in_lock, self.encode_in_lock]
        self.ops = [self.op_encode, self.op_decode, self.op_init, self.op_pickle, self.op_reads,
                    self.op_tokenize, self.op_dict_path, c.load_dict, c.save_dict]

    def restored(self, names):
        return [read_bytes(os.path.join(self.out_dir, n)) for n in names]

    # The plans, run under the object's lock from inside __init__.
    def decode_in_lock(self, obj):
        pkg, files = self.rng.choice(self.packages)
        if self.restored(obj.decode_package(pkg, self.out_dir)) != files:
            self.violations.append("decode inside __init__ restored other bytes")

    def load_in_lock(self, obj):
        obj.dict_path = self.rng.choice(self.dict_paths)
        self.base.load_dict(obj)

    def setstate_in_lock(self, obj):
        prep = self.base(self.rng.choice(self.dict_paths))
        obj.__setstate_cython__(prep.__reduce_cython__()[2])

    def attributes_in_lock(self, obj):
        g = dict(obj.global_dict)
        obj.global_dict = g
        obj.inverse_dict = {v: k for k, v in g.items()}
        obj.next_id = obj.next_id + 1
        obj.save_dict()

    def encode_in_lock(self, obj):
        obj.encode_files(self.inputs[self.t], self.my_pkg)

    # The operations on the shared object.
    def op_encode(self):
        self.c.encode_files(self.inputs[self.t], self.my_pkg)
        d = self.base(os.path.join(self.out_dir, "none.bin"))
        if self.restored(d.decode_package(self.my_pkg, self.out_dir)) != self.originals[self.t]:
            self.violations.append(f"thread {self.t}: encoded package restores other bytes")

    def op_decode(self):
        pkg, files = self.rng.choice(self.packages)
        if self.restored(self.c.decode_package(pkg, self.out_dir)) != files:
            self.violations.append(f"thread {self.t}: decode restored other bytes")

    def op_init(self):
        self.local.plan = self.rng.choice(self.plans)
        try:
            self.c.__init__(self.rng.choice(self.dict_paths))
        finally:
            self.local.plan = None

    def op_pickle(self):
        copy = pickle.loads(pickle.dumps(self.c, protocol=self.rng.choice([0, 2, 5])))
        if not consistent(copy):
            self.violations.append(f"thread {self.t}: pickled copy not consistent")

    def op_reads(self):
        c = self.c
        len(c.global_dict), len(c.inverse_dict), c.next_id, c.dict_path

    def op_tokenize(self):
        text = "a  b\tc日本 " * 3
        if self.c.detokenize(self.c.tokenize(text)) != text:
            self.violations.append("tokenize/detokenize")

    def op_dict_path(self):
        self.c.dict_path = self.rng.choice(self.dict_paths)

    def runner(self, start, iterations, counts):
        def run():
            start.wait()
            for _ in range(iterations):
                op = self.rng.choice(self.ops)
                op()
                name = getattr(op, "__name__", "op")
                counts[name] = counts.get(name, 0) + 1

        return run


def scenario_shared(work, threads=8, iterations=60, gc_rounds=200, seed=1):
    """Many threads on one object: every operation in a random mix. The
    object's next_id always stays above the ids of the packages decoded, so
    that every package encoded meanwhile must restore its inputs exactly;
    right after each rebuild of the dictionaries (inside __init__, under the
    object's lock) they must be inverses."""
    mod = import_module()
    floor = 1000  # above every id of the prepared packages and dictionaries
    files = shared_files(work, threads, floor)
    dict_paths = files[3]
    violations = []
    local = threading.local()
    c = checked_class(local, violations)(dict_paths[0])
    errors = []
    counts = {}
    start = threading.Barrier(threads, timeout=WAIT)
    workers = [SharedWorker(t, seed, c, work, files, local, violations).runner(start, iterations, counts)
               for t in range(threads)]
    stop = threading.Event()
    run_threads(workers + [collector(stop, gc_rounds, dict_paths[1], mod)], errors)
    stop.set()
    if errors:
        raise AssertionError("\n".join(errors))
    if violations:
        raise AssertionError("; ".join(violations[:10]))
    if not consistent(c):
        raise AssertionError("shared object not consistent at the end")
    return {"threads": threads, "iterations": iterations}


def scenario_reentrant(work, threads=4, rounds=3):
    """A tokenize override calling back into its own object from inside
    encode_files: attribute reads, the base tokenize, save_dict, next_id. The
    packages equal those of the base class."""
    mod = import_module()
    base = mod.OrmekCompressor
    calls = []

    class Reentrant(base):
        def tokenize(self, text):
            len(self.global_dict), len(self.inverse_dict), self.dict_path
            next_id = self.next_id
            self.next_id = next_id
            self.save_dict()
            tokens = base.tokenize(self, text)
            if self.detokenize(tokens) != text:
                raise AssertionError("detokenize inside an override")
            calls.append(1)
            return tokens

    inputs = [write_files(os.path.join(work, f"in{t}"), corpus(t, 3, 500, 80)) for t in range(threads)]

    def job(cls, t, tag):
        c = cls(os.path.join(work, f"{tag}{t}.bin"))
        out = []
        for r in range(rounds):
            pkg = os.path.join(work, f"{tag}{t}_{r}.pkl")
            c.encode_files(inputs[t], pkg)
            out.append(read_bytes(pkg))
        return out

    expected = [job(base, t, "ref") for t in range(threads)]
    got = [None] * threads
    shared = Reentrant(os.path.join(work, "shared.bin"))
    errors = []

    def worker(t):
        def run():
            got[t] = job(Reentrant, t, "re")
            for r in range(rounds):
                shared.encode_files(inputs[t], os.path.join(work, f"shared{t}_{r}.pkl"))

        return run

    run_threads([worker(t) for t in range(threads)], errors)
    if errors:
        raise AssertionError("\n".join(errors))
    if got != expected:
        raise AssertionError("re-entrant encode differs from the base class's")
    if not calls or not consistent(shared):
        raise AssertionError("override not called or shared object inconsistent")
    return {"threads": threads, "override_calls": len(calls)}


def scenario_blocking(work, spin=2_000_000):
    """Thread A holds the object's lock inside a slow override; B, setting an
    attribute of that object, waits; C, unrelated, runs Python code to the
    end meanwhile. B's write lands after A's encode_files, which still sees
    the dictionary it started with."""
    mod = import_module()
    entered = threading.Event()
    release = threading.Event()
    state = {}

    class Slow(mod.OrmekCompressor):
        def tokenize(self, text):
            entered.set()
            if not release.wait(WAIT):
                raise AssertionError("never released")
            state["a_leaving"] = time.monotonic()  # still holding the lock
            return mod.OrmekCompressor.tokenize(self, text)

    paths = write_files(os.path.join(work, "in"), ["one two three"])
    c = Slow(os.path.join(work, "d.bin"))
    old = c.global_dict
    replacement = {"zz": 1}
    pkg = os.path.join(work, "p.pkl")
    errors = []

    def a():
        state["size"] = c.encode_files(paths, pkg)
        state["a_done"] = time.monotonic()

    def b():
        if not entered.wait(WAIT):
            raise AssertionError("A never entered")
        c.global_dict = replacement
        state["b_done"] = time.monotonic()

    def cc():
        if not entered.wait(WAIT):
            raise AssertionError("A never entered")
        total = 0
        for i in range(spin):
            total += i
        state["c_done"] = time.monotonic()

    def main():
        if not entered.wait(WAIT):
            raise AssertionError("A never entered")
        deadline = time.monotonic() + WAIT
        while "c_done" not in state and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.2)  # give B every chance to get past the lock if it could
        state["b_blocked"] = "b_done" not in state
        release.set()

    run_threads([a, b, cc, main], errors)
    if errors:
        raise AssertionError("\n".join(errors))
    if "c_done" not in state:
        raise AssertionError("C did not finish while B waited")
    if not state["b_blocked"]:
        raise AssertionError("B got past the lock while A held it")
    if not state["a_leaving"] < state["b_done"]:
        raise AssertionError("B's write landed before A finished")
    with open(pkg, "rb") as f:
        package = pickle.load(f)
    if package["global_dict"] != old or "one" not in old:
        raise AssertionError("A's encode did not use the dictionary it started with")
    if c.global_dict is not replacement:
        raise AssertionError("B's write is lost")
    return {"blocked": True}


def scenario_direct_mutation(work, rounds=20, mutations=200_000, steps="encode save pickle decode load"):
    """Another thread writes to global_dict and inverse_dict directly, not
    through the object, while the object encodes, saves, pickles and decodes:
    results may reflect the race, but the process must not crash."""
    mod = import_module()
    paths = write_files(os.path.join(work, "in"), corpus(7, 2, 3000, 800))
    c = mod.OrmekCompressor(os.path.join(work, "d.bin"))
    pkg = os.path.join(work, "p.pkl")
    c.encode_files(paths, pkg)  # a package to decode, should every encode fail
    g, inv = c.global_dict, c.inverse_dict
    stop = threading.Event()
    errors = []
    stats = {}

    def mutator():
        for i in range(mutations):
            if stop.is_set():
                return
            # Growing and shrinking both dictionaries reallocates their tables.
            key = f"m{i % 3000}"
            g[key] = 10**6 + i
            inv[10**6 + i] = key
            if i % 3000 == 2999:
                for k in list(g)[:2000]:
                    g.pop(k, None)
                inv.clear()

    def user():
        try:
            for r in range(rounds):
                for name, step in (
                    ("encode", lambda: c.encode_files(paths, pkg)),
                    ("save", c.save_dict),
                    ("pickle", lambda: pickle.dumps(c)),
                    ("decode", lambda: c.decode_package(pkg, os.path.join(work, "out"))),
                    ("load", c.load_dict),
                ):
                    if name not in steps:
                        continue
                    try:
                        step()
                    except RuntimeError as e:  # "... changed size during iteration"
                        key = f"{name}: {e}"
                        stats[key] = stats.get(key, 0) + 1
                # decode and load_dict replace the dictionaries: mutate the new ones
                nonlocal g, inv
                g, inv = c.global_dict, c.inverse_dict
        finally:
            stop.set()

    run_threads([mutator, user], errors)
    if errors:
        raise AssertionError("\n".join(errors))
    return stats


SCENARIOS = {
    "independent": scenario_independent,
    "shared": scenario_shared,
    "reentrant": scenario_reentrant,
    "blocking": scenario_blocking,
    "direct_mutation": scenario_direct_mutation,
}


def child_main(argv):
    name, params, work = argv[1], json.loads(argv[2]), argv[3]
    if hasattr(sys, "_is_gil_enabled"):
        params_gil = sys._is_gil_enabled()
    else:
        params_gil = True
    started = time.monotonic()
    stats = SCENARIOS[name](work, **params)
    stats.update(gil=params_gil, seconds=round(time.monotonic() - started, 2))
    print("OK " + json.dumps(stats), flush=True)


# ---------------------------------------------------------------------------
# The pytest side: each scenario in a child interpreter.


def run_child(name, work, timeout=240, **params):
    env = dict(os.environ)
    if FREE_THREADED:
        env["PYTHON_GIL"] = "0"
    env["PYTHONFAULTHANDLER"] = "1"
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), name, json.dumps(params), str(work)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    return proc


if __name__ == "__main__":
    child_main(sys.argv)
else:
    import pytest

    @pytest.mark.parametrize(
        "name, params",
        [
            ("independent", {"threads": 8, "rounds": 1, "big_distinct": 34000}),
            ("shared", {"threads": 8, "iterations": 40}),
            ("reentrant", {"threads": 4, "rounds": 2}),
            ("blocking", {}),
            ("direct_mutation", {"rounds": 120, "mutations": 3_000_000}),
        ],
    )
    def test_scenario(name, params, tmp_path):
        proc = run_child(name, tmp_path, **params)
        assert proc.returncode == 0 and proc.stdout.startswith("OK"), (
            f"exit {proc.returncode}\n{proc.stdout[-3000:]}\n{proc.stderr[-6000:]}"
        )
        if FREE_THREADED:
            assert '"gil": false' in proc.stdout, "the child ran with the GIL on"

    def test_hang_fails_instead_of_hanging(tmp_path):
        # The bounded joins themselves: a thread that never ends makes the
        # child exit with 3 instead of blocking the suite.
        code = (
            "import sys, threading; sys.path.insert(0, %r); import test_threads as t;"
            "t.WAIT = 0.5; e = threading.Event();"
            "t.run_threads([lambda: e.wait(30)], [])" % os.path.dirname(os.path.abspath(__file__))
        )
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
        assert proc.returncode == 3 and "HANG" in proc.stdout
