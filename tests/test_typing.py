"""The type stubs: shipped in the wheel as a stub-only package, matching the
module's surface, and accepted by mypy --strict and pyright (strict) on
tests/typing_example.py, which uses every method. The checkers run when they
are installed (pip install mypy basedpyright) and the tests skip otherwise."""

import ast
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from helpers import REPO

STUB_SOURCE = REPO / "stubs" / "ormek_compressor-stubs" / "__init__.pyi"
EXAMPLE = Path(__file__).resolve().parent / "typing_example.py"
# The reading API of the `ormek` package, typed by its own annotations.
READING_EXAMPLE = REPO / "examples" / "read_package.py"
DASK_EXAMPLE = REPO / "examples" / "dask_shards.py"
CLI_SOURCE = REPO / "python" / "ormek"
ON_HOST = bool(os.environ.get("ORMEK_HOST"))
# The checkers read the stubs alike on every build of the host; under a debug
# interpreter they take minutes and find nothing the release hosts do not.
DEBUG_HOST = hasattr(sys, "gettotalrefcount")


def installed_stubs():
    for entry in sys.path:
        candidate = Path(entry or ".", "ormek_compressor-stubs", "__init__.pyi")
        if candidate.is_file() and candidate.resolve() != STUB_SOURCE.resolve():
            return candidate
    return None


@pytest.fixture(scope="module")
def stub_env(tmp_path_factory):
    """How the checkers find the stubs: from the installed wheel where there
    is one (always on a test host), else from a copy of the source stub put
    on the checkers' search path. The mypy runs share one cache, so the
    standard library's stubs are read once."""
    cache = {"MYPY_CACHE_DIR": str(tmp_path_factory.mktemp("mypy-cache"))}
    if installed_stubs():
        return cache, None
    if ON_HOST:
        pytest.fail("the installed wheel has no ormek_compressor-stubs package")
    path = tmp_path_factory.mktemp("stubs")
    shutil.copy(STUB_SOURCE, path / "ormek_compressor.pyi")
    return {"MYPYPATH": str(path), **cache}, path


def mypy(stub_env, tmp_path, *files):
    if DEBUG_HOST:
        pytest.skip("the type checkers run on the release hosts")
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    env = dict(os.environ, **stub_env[0])
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", *map(str, files)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600,
    )


def pyright_command():
    for name in ("basedpyright",):
        for folder in (sysconfig.get_path("scripts"), None):
            found = shutil.which(name, path=folder)
            if found:
                return found
    return None


def pyright(stub_env, tmp_path, *files):
    exe = pyright_command()
    if DEBUG_HOST:
        pytest.skip("the type checkers run on the release hosts")
    if exe is None:
        pytest.skip("basedpyright is not installed")
    extra = [str(stub_env[1])] if stub_env[1] else []
    config = tmp_path / "pyrightconfig.json"
    config.write_text(
        '{"typeCheckingMode": "strict", "extraPaths": %s}' % str(extra).replace("'", '"')
    )
    return subprocess.run(
        [exe, "--pythonpath", sys.executable, "-p", str(config), *map(str, files)],
        capture_output=True, text=True, cwd=tmp_path, timeout=600,
    )


def test_wheel_ships_the_stubs():
    found = installed_stubs()
    if found is None:
        if ON_HOST:
            pytest.fail("the installed wheel has no ormek_compressor-stubs package")
        pytest.skip("running from a build tree, not an installed wheel")
    assert found.read_text() == STUB_SOURCE.read_text()


@pytest.mark.parametrize(
    "example", [EXAMPLE, READING_EXAMPLE, DASK_EXAMPLE], ids=["module", "reading", "dask"]
)
def test_mypy_strict_example(stub_env, tmp_path, example):
    if example == DASK_EXAMPLE and importlib.util.find_spec("dask") is None:
        pytest.skip("dask is not installed")
    result = mypy(stub_env, tmp_path, example)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("example", [EXAMPLE, READING_EXAMPLE], ids=["module", "reading"])
def test_pyright_strict_example(stub_env, tmp_path, example):
    result = pyright(stub_env, tmp_path, example)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "0 errors" in result.stdout


def test_mypy_strict_cli(stub_env, tmp_path):
    result = mypy(stub_env, tmp_path, CLI_SOURCE)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = [
    "comp.tokenize(1)",
    "comp.detokenize(('a', 'b'))",
    "comp.encode_files('a.txt', 'out.pkg')",
    "comp.encode_files([1], 'out.pkg')",
    "comp.encode_files(['a.txt'], 'out.pkg', zstd_level='high')",
    "n: str = comp.encode_files(['a.txt'], 'out.pkg')",
    "s: int = comp.decode_package('p.pkg', 'out')[0]",
    "comp.decode_package('p.pkg')",
    "comp.encode_files([b'a.txt'], 'out.pkg')",
    "comp.encode_named_files(['a.txt'], 'out.pkg')",
    "comp.encode_named_files([('a.txt', b'a')], 'out.pkg')",
    "comp.read_package(b'p.pkg')",
    "comp.next_id = 'one'",
    "comp.load_dict(1)",
    "comp.no_such_method()",
    "ormek_compressor.OrmekCompressor(dict_path=3)",
]


def test_checkers_catch_misuse(stub_env, tmp_path):
    """The stubs are precise enough that each of these lines is an error
    (an Any-typed module would let them all through)."""
    header = ["import ormek_compressor", "comp = ormek_compressor.OrmekCompressor()"]
    source = tmp_path / "misuse.py"
    source.write_text("\n".join(header + MISUSE) + "\n")
    want = set(range(len(header) + 1, len(header) + len(MISUSE) + 1))
    checked = 0
    for check in (mypy, pyright):
        try:
            result = check(stub_env, tmp_path, source)
        except pytest.skip.Exception:
            continue
        checked += 1
        flagged = {
            int(line.split(":")[1])
            for line in result.stdout.splitlines()
            if "misuse.py:" in line and "error" in line
        }
        assert flagged == want, (check.__name__, sorted(want - flagged), result.stdout)
    if not checked:
        pytest.skip("neither mypy nor basedpyright is installed")


def test_example_runs(tmp_path):
    result = subprocess.run(
        [sys.executable, "-W", "ignore", str(EXAMPLE)],
        capture_output=True, text=True, cwd=tmp_path, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "['hello.txt']\n"


def test_reading_example_runs(comp, in_tmp):
    (in_tmp / "a.txt").write_text("one  two\n")
    comp.encode_named_files([("a.txt", "d/a.txt")], "p.pkg", checks=True)
    result = subprocess.run(
        [sys.executable, "-W", "ignore", str(READING_EXAMPLE), "p.pkg", "d/a.txt", "out"],
        capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    listing, *rest = result.stdout.splitlines()
    assert listing.split()[1::2] == ["9", "d/a.txt"] and rest == ["one  two", "1 restored into out"]
    assert (in_tmp / "out" / "d" / "a.txt").read_text() == "one  two\n"


def stub_tree():
    return ast.parse(STUB_SOURCE.read_text())


def stub_names(body):
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.Import):
            names.update(a.asname for a in node.names if a.asname == a.name)
    return {n for n in names if not (n.startswith("_") and not n.startswith("__"))}


MODULE_HOUSEKEEPING = {"__builtins__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


def test_stub_module_surface_matches(mod):
    assert stub_names(stub_tree().body) == set(vars(mod)) - MODULE_HOUSEKEEPING


def test_stub_class_surface_matches(mod):
    cls = next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == "OrmekCompressor")
    runtime = {n for n in vars(mod.OrmekCompressor) if n not in ("__doc__", "__new__", "__pyx_vtable__")}
    assert stub_names(cls.body) == runtime


@pytest.mark.parametrize("method", ["encode_files", "encode_named_files", "decode_package", "check_package"])
def test_stub_defaults_match(mod, method):
    cls = next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == "OrmekCompressor")
    node = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == method)
    assert tuple(ast.literal_eval(d) for d in node.args.defaults) == getattr(mod.OrmekCompressor, method).__defaults__
