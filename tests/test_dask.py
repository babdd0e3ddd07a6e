"""Row-chunked processing with Dask gives the bits of one direct call, on threads and processes."""

import importlib
import os
import sys

import numpy as np
import pytest

import _bluster
import _calibration
from util import same_bits

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "examples"))
dask_archive = importlib.import_module("dask_archive")

ROW_CHUNKS = 8


def with_gaps(rng, values, fraction):
    values = values.copy()
    values[rng.random(values.shape) < fraction] = np.nan
    return values


@pytest.fixture(scope="module")
def archive():
    """Inputs of the three row kernels, with missing data, and each one's direct result."""
    rng = np.random.default_rng(11)
    columns, levels = 3000, 40
    z = np.sort(rng.uniform(0.0, 4000.0, (columns, levels)), axis=1)
    b = with_gaps(rng, rng.normal(-0.01, 0.02, (columns, levels)), 0.05)
    bottom = with_gaps(rng, rng.uniform(0.0, 500.0, columns), 0.5)
    top = with_gaps(rng, rng.uniform(200.0, 3000.0, columns), 0.5)

    rings, samples = 2000, 90
    az = rng.uniform(0.0, 2.0 * np.pi, (rings, samples))
    vr = with_gaps(rng, 10.0 * np.sin(az + 1.0) + rng.normal(0.0, 1.0, az.shape), 0.1)
    cos_el = np.cos(rng.uniform(0.0, 0.3, rings))

    rays, gates = 1000, 200
    phidp = with_gaps(rng, rng.normal(30.0, 20.0, (rays, gates)), 0.1)
    rhohv = rng.uniform(0.8, 1.0, (rays, gates))
    mask = (rng.random((rays, gates)) > 0.05).astype(float)
    none = np.empty(0)

    return {
        "cold_pool": (
            (z, b, bottom, 0.0, top),
            _bluster.cold_pool(z, b, bottom, 0.0, top, 1),
        ),
        "vad": (
            (vr, az, cos_el, 20, 0.05),
            _bluster.vad(vr, az, cos_el, 20, 0.05, 1),
        ),
        "phidp_rays": (
            (phidp, rhohv, none, mask, 3, 25, 0.9, 0.0, 5),
            _calibration.phidp_rays(phidp, rhohv, none, mask, 3, 25, 0.9, 0.0, 5, 1),
        ),
    }


def chunked(x, rows):
    """x as a Dask array of ROW_CHUNKS row chunks, its other axes split in three as well: the
    helpers must merge back the axis each kernel reduces over."""
    if not isinstance(x, np.ndarray) or x.size == 0:
        return x
    return da.from_array(x, chunks=(-(-rows // ROW_CHUNKS), *(-(-n // 3) for n in x.shape[1:])))


def lazy_results(archive, n_threads):
    rows_helpers = {
        "cold_pool": dask_archive.cold_pool_rows,
        "vad": dask_archive.vad_rows,
        "phidp_rays": dask_archive.phidp_rays_rows,
    }
    lazy = {}
    for name, (args, _) in archive.items():
        rows = args[0].shape[0]
        args = [chunked(a, rows) for a in args]
        lazy[name] = rows_helpers[name](*args, n_threads=n_threads)
    return lazy


@pytest.fixture(scope="module")
def cluster():
    with (
        distributed.LocalCluster(
            n_workers=2,
            processes=True,
            threads_per_worker=1,
            host="127.0.0.1",
            dashboard_address=None,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.mark.parametrize("scheduler, n_threads", [("threads", 2), ("cluster", 1)])
def test_row_chunks_give_the_direct_result(request, archive, scheduler, n_threads):
    lazy = lazy_results(archive, n_threads)
    for name, result in lazy.items():
        row_axis = 0 if name == "phidp_rays" else 1
        assert len(result.chunks[row_axis]) == ROW_CHUNKS, f"{name} is not one call per chunk"
    if scheduler == "threads":
        (computed,) = dask.compute(lazy, scheduler="threads")
    else:
        client = request.getfixturevalue("cluster")
        computed = client.compute(lazy, sync=True)
        # The chunks ran in the worker processes, which had to import the helpers themselves.
        imported = client.run(lambda: "dask_archive" in sys.modules)
        assert len(imported) == 2 and any(imported.values())
    for name, (_, direct) in archive.items():
        assert same_bits(computed[name], direct), name


def test_archive_example_recovers_the_truth():
    results = dask_archive.process_archive(rings=4000, chunk_rows=500, n_threads=1)
    (values,) = dask.compute(results, scheduler="threads")
    (wind_mean, wind_max), (phase,), (intensity,), (depth,) = values.values()
    assert wind_mean < 0.2 and wind_max < 1.0
    assert abs(phase - -62.0) < 0.5
    assert intensity < 1e-12 and depth < 1e-9
