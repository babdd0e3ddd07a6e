"""All the functions together: many Python threads at once, and many calls without leaks."""

import gc
import os
import re
import sys
import threading

import numpy as np
import pytest
from calls import make_calls

import _bluster
import _calibration
import _phase
from util import same_bits

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
FUNCTIONS = list(make_calls(rows=4))


def test_sixteen_python_threads_get_the_single_threaded_results():
    calls = make_calls(rows=200, seed=3)
    reference = {name: fn(*args, 1) for name, (fn, args) in calls.items()}
    start = threading.Barrier(16)
    errors = []

    def caller(k):
        try:
            start.wait()
            for round_ in range(3):
                for name in list(calls)[k % len(calls) :] + list(calls)[: k % len(calls)]:
                    fn, args = calls[name]
                    if not same_bits(fn(*args, 2), reference[name]):
                        errors.append(f"thread {k}, round {round_}: {name} differs")
        except Exception as e:  # reported below, on the main thread
            errors.append(f"thread {k}: {e!r}")

    threads = [threading.Thread(target=caller, args=(k,)) for k in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def invalid_arguments(name, args):
    """Arguments that fail a shape check, and ones the binding layer cannot convert."""
    bad_shape = list(args)
    bad_shape[0] = np.zeros((2, 3, 4, 5))  # wrong dimensions for all but thermo
    if name == "thermo":
        bad_shape[1] = np.zeros(1)
    bad_type = list(args)
    bad_type[0] = object()
    return [(tuple(bad_shape), ValueError), (tuple(bad_type), TypeError)]


@pytest.mark.slow
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory quarantined")
@pytest.mark.parametrize("name", FUNCTIONS)
def test_many_calls_leak_neither_memory_nor_references(name):
    fn, args = make_calls(rows=64, seed=5)[name]
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    invalid = invalid_arguments(name, args)

    def batch(count):
        for i in range(count):
            fn(*args, 1 + i % 3)
            for bad, error in invalid:
                with pytest.raises(error):
                    fn(*bad, 1)

    batch(300)  # warm up the allocator and the binding layer's caches
    gc.collect()
    refs = [sys.getrefcount(a) for a in arrays]
    before = resident_bytes()
    batch(3000)
    gc.collect()
    growth = resident_bytes() - before
    # A leaked result (at least 64 x 3 doubles) per call would be 4.6 MB over 3000 calls.
    assert growth < 2 * 2**20, f"resident memory grew by {growth} bytes"
    assert [sys.getrefcount(a) for a in arrays] == refs


def test_modules_register_their_functions_in_order():
    def public(module):
        return [n for n in vars(module) if not n.startswith("_")]

    assert public(_bluster) == ["thermo", "cold_pool", "profile", "gradient", "vad"]
    assert public(_calibration) == ["offset_stats", "consistency_stats", "phidp_rays"]
    assert public(_phase) == ["kdp_rays"]
    assert _bluster.__doc__ == "Cold-pool, wind-profile and baroclinity kernel (multithreaded)."
    assert _calibration.__doc__ == (
        "Calibration statistics: ZDR offset, Z self-consistency, system PhiDP"
    )
    assert _phase.__doc__ == (
        "Differential phase: specific differential phase by sliding least squares"
    )


SIGNATURES = {
    "thermo": "t, p, td",
    "cold_pool": "z, b, bottom, threshold, top",
    "profile": "z, u, v, ground, bottom, top, cu, cv",
    "gradient": "f, x, y",
    "vad": "vr, az, cos_el, min_gates, min_spread",
    "offset_stats": "zdr, dbz, rhohv, snr, mask, elev, ref_z, ref_v, z_min, z_max, rhohv_min, "
    "snr_min",
    "consistency_stats": "z, zdr, kdp, rhohv, snr, mask, gz, glg, zdr_offset, z_min, z_max, "
    "bin_width, rhohv_min, snr_min, kdp_min, min_bin_count",
    "phidp_rays": "phidp, rhohv, snr, mask, first_gate, n_use, rhohv_min, snr_min, min_count",
    "kdp_rays": "phidp, rhohv, system_phase, gate_spacing, half_window, min_gates, rhohv_min",
}


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_signature_and_docstring(name):
    module = next(m for m in (_bluster, _calibration, _phase) if hasattr(m, name))
    doc = getattr(module, name).__doc__
    lines = [line for line in doc.strip().splitlines() if line.strip()]
    assert len(lines) == 1, "no docstring beyond the signature line"
    params = re.findall(r"[(,] (\w+): |\((\w+): ", lines[0])
    assert ", ".join(a or b for a, b in params) == SIGNATURES[name] + ", n_threads"
    assert (
        lines[0]
        .split(") ->")[0]
        .endswith("n_threads: typing.SupportsInt | typing.SupportsIndex = 0")
    )
    assert "NDArray[numpy.float64]" in lines[0]
