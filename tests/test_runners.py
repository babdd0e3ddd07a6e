"""The parallel runners of both modules: GIL release, and workers that cannot be started."""

import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from calls import make_calls

import _bluster
import _calibration

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def big_cold_pool_input(rows, levels=40):
    z = np.tile(np.linspace(0.0, 4000.0, levels), (rows, 1))
    b = -0.02 * (1.0 - z / 5000.0)
    return z, b, np.full(rows, np.nan), np.full(rows, np.nan)


def progress_during(call):
    """How often another Python thread got to run while call() was running."""
    done = threading.Event()
    worker = threading.Thread(target=lambda: (call(), done.set()))
    count = 0
    worker.start()
    while not done.is_set():
        count += 1
    worker.join()
    return count


@pytest.mark.parametrize("module", ["_bluster", "_calibration"])
def test_gil_is_released_during_a_long_call(module):
    if module == "_bluster":
        args = big_cold_pool_input(400_000)
        call = lambda: _bluster.cold_pool(args[0], args[1], args[2], 0.0, args[3], 1)  # noqa: E731
    else:
        phidp = np.random.default_rng(1).uniform(-180, 180, (20_000, 1000))
        call = lambda: _calibration.phidp_rays(phidp, [], [], [], 0, 1000, 0.0, 0.0, 1, 1)  # noqa: E731
    # With the GIL held for the whole call the loop above would run a handful of times.
    assert progress_during(call) > 10_000


START_FAILURE_SCRIPT = textwrap.dedent(
    """
    import resource, sys
    import numpy as np
    sys.path.insert(0, sys.argv[2])
    from calls import make_calls

    margin_mb = int(sys.argv[1])
    calls = make_calls(rows=3000, seed=1)
    references = {name: fn(*args, 1) for name, (fn, args) in calls.items()}

    def vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    # Room for the results, but for no more than a few 8 MiB thread stacks.
    limit = vm_size() + margin_mb * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
    for name, (fn, args) in calls.items():
        try:
            out = fn(*args, 200)
        except RuntimeError as e:
            print(name, "RuntimeError", e)
        except MemoryError:
            print(name, "MemoryError")
        else:
            same = np.array_equal(out.view(np.uint64), references[name].view(np.uint64))
            print(name, "complete" if same else "PARTIAL")
    print("alive")
    """
)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime reserves address space itself")
@pytest.mark.parametrize("margin_mb", [4, 40, 400])
def test_worker_that_cannot_start(margin_mb):
    # A lowered address-space limit lets none, a few or many thread stacks be mapped. Every
    # call of every function must end in a clean exception or the complete result, and
    # the process survives with the interpreter lock back in place.
    proc = subprocess.run(
        [sys.executable, "-c", START_FAILURE_SCRIPT, str(margin_mb), os.path.dirname(__file__)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.split("\n")
    assert "alive" in lines
    outcomes = [line.split()[1] for line in lines if line and line != "alive"]
    assert len(outcomes) == len(make_calls(rows=1)), proc.stdout
    assert set(outcomes) <= {"RuntimeError", "MemoryError", "complete"}, proc.stdout
    if margin_mb == 4:
        # not even one worker stack fits: the failure to start is reported
        assert "complete" not in outcomes, proc.stdout
