"""How long `ormek pack` takes to end after a stop signal, on a loaded machine.

Each try starts `ormek pack CORPUS -o OUT --level N`, sends SIGINT, SIGTERM or
SIGHUP (in turn) after a random delay within the pack's usual run time, and
measures the time from the signal to the command's exit. Busy loops run
beside it meanwhile, to load the machine as other work would. Prints every
latency, then the median and the worst; a try that exits otherwise than with
128 + N, or leaves a file in OUT's directory, is reported as a failure.

    python bench/signal_latency.py CORPUS [--tries 12] [--level 19] [--busy 3] [--window FROM TO]
"""

import argparse
import multiprocessing
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def default_signals() -> None:
    # The stop signals as a shell gives them to a foreground command (a
    # parent started in the background may ignore SIGINT, and the command
    # keeps an ignored signal ignored).
    for signum in SIGNALS:
        signal.signal(signum, signal.SIG_DFL)


def busy_loop() -> None:
    while True:
        pass


def pack_seconds(command: list[str], corpus: str, level: int) -> float:
    with tempfile.TemporaryDirectory() as folder:
        start = time.monotonic()
        subprocess.run([*command, "pack", corpus, "-o", os.path.join(folder, "p.pkg"),
                        "--level", str(level), "-q"], check=True)
        return time.monotonic() - start


def one_try(command: list[str], corpus: str, level: int, delay: float, signum: int) -> float:
    with tempfile.TemporaryDirectory() as folder:
        args = [*command, "pack", corpus, "-o", os.path.join(folder, "p.pkg"), "--level", str(level)]
        proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                preexec_fn=default_signals)
        time.sleep(delay)
        sent = time.monotonic()
        proc.send_signal(signum)
        _, err = proc.communicate()
        latency = time.monotonic() - sent
        left = os.listdir(folder)
        if proc.returncode != 128 + signum or left:
            print(f"  failed: status {proc.returncode}, left {left}, {err.decode()!r}")
        return latency


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("corpus")
    parser.add_argument("--tries", type=int, default=12)
    parser.add_argument("--level", type=int, default=19)
    parser.add_argument("--busy", type=int, default=3, help="busy loops run beside the pack")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--window", type=float, nargs=2, default=(0.0, 0.9), metavar=("FROM", "TO"),
                        help="when to send the signal, as fractions of a whole pack's time")
    args = parser.parse_args()
    found = shutil.which("ormek")
    command = [found] if found else [sys.executable, "-m", "ormek"]
    rng = random.Random(args.seed)
    loops = [multiprocessing.Process(target=busy_loop, daemon=True) for _ in range(args.busy)]
    for loop in loops:
        loop.start()
    try:
        run_time = pack_seconds(command, args.corpus, args.level)
        print(f"a whole pack takes {run_time:.1f} s beside {args.busy} busy loops")
        latencies = []
        for n in range(args.tries):
            delay = rng.uniform(*(run_time * fraction for fraction in args.window))
            signum = SIGNALS[n % len(SIGNALS)]
            latency = one_try(command, args.corpus, args.level, delay, signum)
            print(f"  {signal.Signals(signum).name} after {delay:.2f} s: ended in {latency:.3f} s")
            latencies.append(latency)
    finally:
        for loop in loops:
            loop.terminate()
    print(f"tries {len(latencies)}, median {statistics.median(latencies):.3f} s,"
          f" worst {max(latencies):.3f} s")


if __name__ == "__main__":
    main()
