"""Time OrmekCompressor.tokenize against re.findall.

Two corpora: the host's standard library .py files (the corpus of
run_bench.py, about 46 MB in 8 million tokens) and a generated one of wider
text (about 49 MB, mostly ASCII with Latin-1, two-byte and four-byte files).
Times are the best of several runs and include releasing the results.

    PYTHONPATH=<build dir> python bench/bench_tokenize.py [--files N] [--mb M]
"""

import argparse
import os
import random
import re
import tempfile
import time
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)
    import ormek_compressor

PATTERN = re.compile(r"\S+|\s+")


def make_texts(total_mb, files, seed=1):
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyzetaoinshrdlu"
    vocab = ["".join(rng.choice(letters) for _ in range(rng.randint(3, 16))) for _ in range(20000)]
    # The last two files are wider: Latin-1, then two-byte and four-byte kinds.
    wider = [
        ["caf\u00e9", "na\u00efve", "\u00fcber"],
        ["\u0434\u0430", "\u6f22\u5b57", "\U0001f600"],
    ]
    spaces = [" "] * 40 + ["\n", "  ", ".\n", "\n\n", "\t"]
    per_file = total_mb * 1_000_000 // files
    texts = []
    for f in range(files):
        parts = []
        size = 0
        while size < per_file:
            extra = f - (files - 2)
            if extra >= 0 and rng.random() < 0.05:
                word = rng.choice(wider[extra])
            else:
                word = rng.choice(vocab)
            sep = rng.choice(spaces)
            parts.append(word)
            parts.append(sep)
            size += len(word) + len(sep)
        texts.append("".join(parts))
    return texts


def stdlib_texts():
    root = os.path.dirname(os.__file__)
    texts = []
    for folder, subdirs, names in os.walk(root):
        subdirs.sort()
        for name in sorted(names):
            if name.endswith(".py"):
                try:
                    with open(os.path.join(folder, name), encoding="utf-8") as f:
                        texts.append(f.read())
                except (OSError, UnicodeDecodeError):
                    continue  # a few test files are deliberately not UTF-8
    return texts


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def report(name, comp, texts, repeat):
    tokens = sum(len(comp.tokenize(t)) for t in texts)
    assert all(comp.tokenize(t) == PATTERN.findall(t) for t in texts[::25])
    chars = sum(map(len, texts))
    t_re = best_of(lambda: [re.findall(r"\S+|\s+", t) for t in texts], repeat)
    t_tok = best_of(lambda: [comp.tokenize(t) for t in texts], repeat)
    print(
        f"{name}: {len(texts)} files, {chars / 1e6:.1f} M characters, {tokens / 1e6:.2f} M tokens\n"
        f"  re.findall: {t_re:.3f} s   tokenize: {t_tok:.3f} s   ({t_re / t_tok:.1f}x)"
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=49)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        comp = ormek_compressor.OrmekCompressor(os.path.join(tmp, "d.bin"))
        report("standard library", comp, stdlib_texts(), args.repeat)
        report("generated", comp, make_texts(args.mb, args.files), args.repeat)


if __name__ == "__main__":
    main()
