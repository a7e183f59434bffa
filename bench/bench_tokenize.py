"""Time OrmekCompressor.tokenize against re.findall on a generated corpus.

The corpus imitates prose: about 49 MB of text in 8.5 million tokens, spread
over several files, mostly ASCII with some Latin-1, BMP and astral text.

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
    wider = [["caf\u00e9", "na\u00efve", "\u00fcber"], ["\u0434\u0430", "\u6f22\u5b57", "\U0001f600"]]
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


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=49)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    texts = make_texts(args.mb, args.files)
    with tempfile.TemporaryDirectory() as tmp:
        comp = ormek_compressor.OrmekCompressor(os.path.join(tmp, "d.bin"))
        tokens = sum(len(comp.tokenize(t)) for t in texts)
        assert all(comp.tokenize(t) == PATTERN.findall(t) for t in texts[:2])
        chars = sum(map(len, texts))
        print(f"{len(texts)} files, {chars / 1e6:.1f} M characters, {tokens / 1e6:.2f} M tokens")
        t_re = best_of(lambda: [re.findall(r"\S+|\s+", t) for t in texts], args.repeat)
        t_tok = best_of(lambda: [comp.tokenize(t) for t in texts], args.repeat)
        print(f"re.findall: {t_re:.3f} s   tokenize: {t_tok:.3f} s   ({t_re / t_tok:.1f}x)")


if __name__ == "__main__":
    main()
