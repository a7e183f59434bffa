"""A generated application log for the benchmarks: what a busy service
writes, with a vocabulary that grows with the bytes.

Each request line carries a millisecond timestamp, a request id, a trace and a span id,
a user, a method and a path with an object id, a status, a byte count and a
duration; now and then a warning with a retry counter, and an error with a
stack trace drawn from a fixed set of frames. About one distinct token per
30 bytes, as a real log of this kind has (the timestamps and ids are new on
every line; users, paths, counters and frames repeat). The same seed and
size give the same bytes.

    python bench/log_corpus.py OUT [--mib 300] [--seed 26]
"""

import argparse
import random

MIB = 1 << 20
DEFAULT_MIB = 300
DEFAULT_SEED = 26
USERS = 200000
SERVICES = ("orders", "billing", "catalog", "auth", "search", "cart", "shipping")
RESOURCES = ("items", "invoices", "sessions", "accounts", "lines", "quotes")
METHODS = ("GET", "GET", "GET", "POST", "PUT", "DELETE")
STATUSES = (200, 200, 200, 200, 201, 204, 304, 400, 404, 500)
ERRORS = (
    "java.lang.IllegalStateException: connection pool exhausted",
    "java.net.SocketTimeoutException: Read timed out",
    "com.example.store.ConflictException: version mismatch",
    "java.lang.NullPointerException: Cannot invoke \"Order.total()\"",
)


def _frames(rng):
    """A fixed set of stack frames, as a service's code base has them."""
    frames = []
    for service in SERVICES:
        for layer in ("api", "service", "store", "client"):
            for n in range(6):
                cls = f"{service.capitalize()}{layer.capitalize()}{n}"
                method = rng.choice(("handle", "load", "save", "apply", "call", "run"))
                line = rng.randrange(20, 900)
                frames.append(f"\tat com.example.{service}.{layer}.{cls}.{method}({cls}.java:{line})")
    return frames


def _time(ms):
    seconds, millis = divmod(ms, 1000)
    minutes, second = divmod(seconds, 60)
    hours, minute = divmod(minutes, 60)
    days, hour = divmod(hours, 24)
    return f"2026-03-{1 + days % 28:02d}T{hour:02d}:{minute:02d}:{second:02d}.{millis:03d}Z"


def log_lines(seed):
    """The log's lines, without end."""
    rng = random.Random(seed)
    frames = _frames(rng)
    ms = 0  # since 2026-03-01 00:00
    while True:
        ms += rng.randrange(1, 4)
        service = rng.choice(SERVICES)
        request = rng.getrandbits(48)
        user = rng.randrange(USERS)
        status = rng.choice(STATUSES)
        yield (
            f"{_time(ms)} INFO [{service}-{rng.randrange(16)}] req={request:012x}"
            f" trace={rng.getrandbits(64):016x} span={rng.getrandbits(32):08x} user=u{user:06d} {rng.choice(METHODS)}"
            f" /api/v2/{service}/{rng.choice(RESOURCES)}/{rng.randrange(2_000_000)}"
            f" status={status} bytes={rng.randrange(10_000_000)} dur_ms={rng.randrange(5000) / 10}\n"
        )
        roll = rng.random()
        if roll < 0.05:
            yield (
                f"{_time(ms)} WARN [{service}-retry] req={request:012x} attempt={rng.randrange(1, 6)}"
                f" backoff_ms={rng.randrange(50, 5000)} queue_depth={rng.randrange(10_000)}\n"
            )
        elif roll < 0.07:
            yield f"{_time(ms)} ERROR [{service}] req={request:012x} {rng.choice(ERRORS)}\n"
            start = rng.randrange(len(frames) - 12)
            yield "\n".join(frames[start : start + rng.randrange(6, 12)]) + "\n"


def write_log(path, size, seed=DEFAULT_SEED):
    """Writes about `size` bytes of log (whole lines) to `path`; returns the
    bytes written."""
    written = 0
    chunk = []
    chunk_bytes = 0
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        for line in log_lines(seed):
            chunk.append(line)
            chunk_bytes += len(line)
            if chunk_bytes >= MIB or written + chunk_bytes >= size:
                out.write("".join(chunk))
                written += chunk_bytes
                chunk, chunk_bytes = [], 0
                if written >= size:
                    return written
    return written


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output")
    parser.add_argument("--mib", type=float, default=DEFAULT_MIB)
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    args = parser.parse_args()
    print(write_log(args.output, int(args.mib * MIB), args.seed))


if __name__ == "__main__":
    main()
