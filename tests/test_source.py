# The sources read without scrolling: no function of module/ or compressor/
# is longer than 60 lines (but the data tables the script names), no Python
# function outside the tests longer than 80 (scripts/function-lengths lists
# the longest).
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("options, kind, limit, least", [
    ((), "", 60, 300),
    (("--python",), " Python", 80, 200),
])
def test_no_function_is_over_its_limit(options, kind, limit, least):
    run = subprocess.run([sys.executable, str(ROOT / "scripts" / "function-lengths"), *options],
                         capture_output=True, text=True, check=False)
    summary = re.search(rf"(\d+){kind} functions, (\d+) over {limit} lines", run.stdout)
    assert summary and int(summary[1]) > least, run.stdout + run.stderr
    assert run.returncode == 0 and summary[2] == "0", run.stdout


# The folders of native sources, top floor first: a source includes headers
# of its own folder or of a floor below it, never of one above or beside it.
FLOORS = (
    ("compressor/encode", "compressor/decode"),
    ("compressor",),
    ("compressor/package",),
    ("compressor/text",),
    ("module",),
)


def test_includes_point_down():
    floor_of = {folder: i for i, floor in enumerate(FLOORS) for folder in floor}
    sources = [p for d in ("compressor", "module") for p in (ROOT / d).rglob("*")
               if p.suffix in (".cpp", ".hpp")]
    arrows, wrong = 0, []
    for path in sources:
        folder = path.parent.relative_to(ROOT).as_posix()
        assert folder in floor_of, f"{folder}/ stands on no floor of FLOORS"
        for target in re.findall(r'^#include "(.+)"', path.read_text(), re.MULTILINE):
            arrows += 1
            there = pathlib.PurePosixPath(target).parent.as_posix()
            if there != folder and floor_of.get(there, -1) <= floor_of[folder]:
                wrong.append(f"{path.relative_to(ROOT)} -> {target}")
    assert arrows > 200 and not wrong, wrong
