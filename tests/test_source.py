# The native sources read without scrolling: no function of module/ or
# compressor/ is longer than 100 lines (scripts/function-lengths lists the
# longest).
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_no_native_function_is_over_100_lines():
    run = subprocess.run([sys.executable, str(ROOT / "scripts" / "function-lengths")],
                         capture_output=True, text=True, check=False)
    summary = re.search(r"(\d+) functions, (\d+) over 100 lines", run.stdout)
    assert summary and int(summary[1]) > 300, run.stdout + run.stderr
    assert run.returncode == 0 and summary[2] == "0", run.stdout
