"""The installed type stubs: found by mypy and pyright, and in step with the bindings."""

import ast
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _bluster
import _calibration
import _nexrad
import _phase
import _readers
import _wind

MODULES = {
    "_bluster": _bluster,
    "_calibration": _calibration,
    "_readers": _readers,
    "_nexrad": _nexrad,
    "_phase": _phase,
    "_wind": _wind,
}

USER_SCRIPT = textwrap.dedent(
    """
    from typing import assert_type

    import numpy as np
    from numpy.typing import NDArray

    import _bluster
    import _calibration
    import _phase

    Result = NDArray[np.float64]
    rows = 4
    z = np.tile(np.linspace(0.0, 3000.0, 31), (rows, 1))
    b = -0.02 * (1.0 - z / 3500.0)
    nan = np.full(rows, np.nan)
    t = [[300.0, 290.0]]
    p = np.array([100000.0, 85000.0], dtype=np.float32)
    none = np.empty(0)

    assert_type(_bluster.thermo(t, p, [295.0, 280.0]), Result)
    assert_type(_bluster.cold_pool(z, b, nan, 0.0, nan, n_threads=2), Result)
    assert_type(_bluster.cold_pool(z, b, nan, np.float64(0.0), top=nan), Result)
    assert_type(_bluster.profile(z, z, z, nan, 0, 1000.0, [5.0] * rows, nan, 1), Result)
    assert_type(_bluster.gradient(z[None], np.arange(31.0), range(rows)), Result)
    assert_type(_bluster.vad(z, z, np.ones(rows), 3, 0.1, n_threads=np.int32(2)), Result)
    assert_type(
        _calibration.offset_stats(z, none, none, none, none, [0.5] * rows, [10.0], [0.2],
                                  np.nan, np.inf, 0.9, 0, -1),
        Result,
    )
    assert_type(
        _calibration.consistency_stats(z, z, z, none, none, none, [0.0, 1.0], [-3.8, -4.1],
                                       0.25, 10, 60, 1.0, 0.95, 0.0, 0.1, min_bin_count=10),
        Result,
    )
    assert_type(_calibration.phidp_rays(z, [], [], [], 0, 10, 0.9, 3.0, 5), Result)
    assert_type(_phase.kdp_rays(z, none, 30.0, 0.25, 4, 5, 0.9, n_threads=1), Result)
    intensity: NDArray[np.float64] = _bluster.cold_pool(z, b, nan, 0.0, nan)[0]
    """
)

# Each line is one wrong call; every one must be reported.
WRONG_CALLS = textwrap.dedent(
    """
    import _bluster
    import _calibration
    import _phase

    _bluster.vad([[1.0]], [[0.0]], [1.0], 3)
    _bluster.thermo([300.0], [1e5], dew=[290.0])
    _bluster.gradient([[[0.0]]], [0.0], [0.0], n_threads="2")
    _calibration.phidp_rays([[1.0]], [], [], [], 0, 10, 0.9, "3", 1)
    _calibration.offset_stats([[0.1]], [], [], [], [], [0.5], [10.0], [0.2], 0, 60, 0.9, 0, 1, 2)
    _phase.kdp_rays([[1.0]], [], 0.0, 0.25, "2", 3, 0.9)
    text: str = _bluster.thermo([300.0], [1e5], [290.0])
    """
)


def run_mypy(script_dir, script):
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--cache-dir",
            os.devnull,
            script,
        ],
        cwd=script_dir,
        capture_output=True,
        text=True,
    )
    return proc.returncode, proc.stdout + proc.stderr


def pyright_command():
    # pyright proper downloads Node.js and itself on first use; basedpyright brings both.
    beside = Path(sys.executable).parent / "basedpyright"
    return str(beside) if beside.exists() else shutil.which("basedpyright")


def run_pyright(script_dir, script):
    (script_dir / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "standard"}))
    proc = subprocess.run(
        [pyright_command(), "--pythonpath", sys.executable, script],
        cwd=script_dir,
        capture_output=True,
        text=True,
    )
    return proc.returncode, proc.stdout + proc.stderr


def available(checker):
    if checker == "mypy":
        return importlib.util.find_spec("mypy") is not None
    return pyright_command() is not None


CHECKERS = {"mypy": run_mypy, "pyright": run_pyright}


def error_lines(checker, output, script):
    """Line numbers of the errors the checker reported in the script."""
    lines = set()
    for line in output.splitlines():
        if checker == "mypy" and ": error:" in line:
            lines.add(int(line.split(":")[1]))
        elif checker == "pyright" and script in line and " - error:" in line:
            lines.add(int(line.split(":")[1]))
    return lines


@pytest.fixture(params=sorted(CHECKERS))
def checker(request):
    if not available(request.param):
        pytest.skip(f"{request.param} is not installed")
    return request.param


@pytest.mark.slow
def test_user_script_type_checks(checker, tmp_path):
    (tmp_path / "user.py").write_text(USER_SCRIPT)
    code, output = CHECKERS[checker](tmp_path, "user.py")
    assert code == 0, output


@pytest.mark.slow
def test_wrong_calls_are_reported(checker, tmp_path):
    (tmp_path / "wrong.py").write_text(WRONG_CALLS)
    code, output = CHECKERS[checker](tmp_path, "wrong.py")
    assert code != 0
    calls = {
        number
        for number, line in enumerate(WRONG_CALLS.splitlines(), start=1)
        if line.startswith(("_", "text"))
    }
    assert error_lines(checker, output, "wrong.py") == calls, output


def stub_functions(name):
    """The function definitions of the stub installed beside the module."""
    stub = Path(MODULES[name].__file__).parent / f"{name}-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def normalised(annotation):
    """A binding's generated annotation written as the stubs write it."""
    text = ast.unparse(annotation)
    for converted in ("float64", "int64"):  # arrays converted to this type on the way in
        annotated = f"typing.Annotated[numpy.typing.ArrayLike, numpy.{converted}]"
        text = text.replace(annotated, "ArrayLike")
    if text in ("numpy.ndarray", "numpy.ndarray | None"):  # an array read in its own type
        text = text.replace("numpy.ndarray", "NDArray[np.generic]")
    return text.replace("numpy.typing.", "").replace("typing.", "").replace("numpy.", "np.")


def signature_of(node):
    args = node.args
    assert not args.posonlyargs and not args.kwonlyargs and not args.vararg and not args.kwarg
    defaults = [None] * (len(args.args) - len(args.defaults)) + [
        ast.literal_eval(d) for d in args.defaults
    ]
    return (
        [(a.arg, normalised(a.annotation), d) for a, d in zip(args.args, defaults, strict=True)],
        normalised(node.returns),
    )


@pytest.mark.parametrize(
    "module, function",
    [("_bluster", f) for f in ("thermo", "cold_pool", "profile", "gradient", "vad")]
    + [("_calibration", f) for f in ("offset_stats", "consistency_stats", "phidp_rays")]
    + [("_readers", "decode"), ("_phase", "kdp_rays"), ("_wind", "vad_sweep")],
)
def test_stub_matches_the_binding(module, function):
    stubs = stub_functions(module)
    if not hasattr(MODULES[module], function):
        pytest.skip(f"{function} is not built into {module} yet")
    runtime_line = getattr(MODULES[module], function).__doc__.splitlines()[0]
    runtime = ast.parse(f"def {runtime_line}: ...").body[0]
    assert signature_of(stubs[function]) == signature_of(runtime)


@pytest.mark.parametrize("module", sorted(MODULES))
def test_every_function_has_a_stub(module):
    public = {name for name in dir(MODULES[module]) if not name.startswith("_")}
    assert public <= set(stub_functions(module))
