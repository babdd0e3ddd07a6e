"""The package on Dask-backed inputs: lazy results chunked along the rows, with the bits of one
direct core call on threads and on processes; the archive example recovers its truth."""

import importlib
import os
import sys

import numpy as np
import pytest
import xarray as xr

import _bluster
import _calibration
import bluster
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
    """NumPy inputs of four row functions, with missing data, and the core's direct results."""
    rng = np.random.default_rng(11)
    columns, levels = 3000, 40
    z = np.sort(rng.uniform(0.0, 4000.0, (columns, levels)), axis=1)
    b = with_gaps(rng, rng.normal(-0.01, 0.02, (columns, levels)), 0.05)
    bottom = with_gaps(rng, rng.uniform(0.0, 500.0, columns), 0.5)
    depth = with_gaps(rng, rng.uniform(200.0, 3000.0, columns), 0.5)

    rings, samples = 2000, 90
    az = rng.uniform(0.0, 360.0, (rings, samples))
    vr = with_gaps(rng, 10.0 * np.sin(np.deg2rad(az) + 1.0) + rng.normal(0, 1, az.shape), 0.1)
    el = rng.uniform(0.0, 15.0, rings)

    rays, gates = 1000, 200
    phidp = with_gaps(rng, rng.normal(30.0, 20.0, (rays, gates)), 0.1)
    rhohv = rng.uniform(0.8, 1.0, (rays, gates))
    mask = (rng.random((rays, gates)) > 0.05).astype(float)
    none = np.empty(0)

    fields = with_gaps(rng, rng.normal(280.0, 2.0, (16, 30, 40)), 0.02)
    x, y = np.cumsum(rng.uniform(1.0, 2.0, 40)), np.cumsum(rng.uniform(1.0, 2.0, 30))

    def rows(dims, *arrays):
        return [xr.DataArray(a, dims=dims[: a.ndim]) for a in arrays]

    return {
        "cold_pool": (
            lambda z, b, bottom, depth, n: bluster.cold_pool(
                z, b, bottom=bottom, depth=depth, dim="level", n_threads=n
            ),
            rows(("column", "level"), z, b, bottom, depth),
            _bluster.cold_pool(z, b, bottom, 0.0, depth, 1),
        ),
        "vad": (
            lambda vr, az, el, n: bluster.vad(
                vr, az, el, min_gates=20, min_spread=0.05, n_threads=n
            ),
            rows(("ring", "azimuth"), vr, az, el),
            _bluster.vad(vr, np.deg2rad(az), np.cos(np.deg2rad(el)), 20, 0.05, 1),
        ),
        "phidp_rays": (
            lambda phidp, rhohv, mask, n: bluster.phidp_rays(
                phidp,
                rhohv=rhohv,
                mask=mask,
                first_gate=3,
                n_use=25,
                snr_min=0.0,
                min_count=5,
                n_threads=n,
            ),
            rows(("ray", "range"), phidp, rhohv, mask),
            _calibration.phidp_rays(phidp, rhohv, none, mask, 3, 25, 0.9, 0.0, 5, 1).T,
        ),
        "gradient": (
            lambda f, x, y, n: bluster.gradient(f, x, y, n_threads=n),
            [xr.DataArray(fields, dims=("t", "y", "x")), *rows(("x",), x), *rows(("y",), y)],
            _bluster.gradient(fields, x, y, 1),
        ),
    }


def chunked(x):
    """x split in ROW_CHUNKS along its first (row) dim and in three along the others: the
    package must merge the dims a kernel reduces over back into one chunk."""
    return x.chunk(
        {d: -(-n // (ROW_CHUNKS if i == 0 else 3)) for i, (d, n) in enumerate(x.sizes.items())}
    )


def lazy_results(archive, n_threads):
    return {
        name: call(*(chunked(a) for a in args), n_threads)
        for name, (call, args, _) in archive.items()
    }


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


@pytest.mark.parametrize("scheduler, n_threads", [("threads", 2), ("cluster", 0)])
def test_lazy_inputs_give_the_direct_result(request, archive, scheduler, n_threads):
    lazy = lazy_results(archive, n_threads)
    for name, result in lazy.items():
        for var in result.data_vars.values():
            assert len(var.chunks[0]) == ROW_CHUNKS, f"{name} is not one call per row chunk"
    if scheduler == "threads":
        (computed,) = dask.compute(lazy, scheduler="threads")
    else:
        client = request.getfixturevalue("cluster")
        computed = client.compute(lazy, sync=True)
        # The chunks ran in the worker processes, which had to import the package themselves.
        imported = client.run(lambda: "bluster" in sys.modules)
        assert len(imported) == 2 and any(imported.values())
    for name, (_, _, direct) in archive.items():
        values = np.stack([v.values for v in computed[name].data_vars.values()])
        assert same_bits(values, direct), name


@pytest.mark.parametrize("dim", ["azimuth", "ring"], ids=["reduced dim", "row dim"])
def test_unknown_chunk_sizes_are_refused(dim):
    """As boolean indexing leaves them, along the samples or the rows."""
    velocity = da.ones((4, 6), chunks=(2, 3))
    axis = 1 if dim == "azimuth" else 0
    keep = da.ones(velocity.shape[axis], dtype=bool, chunks=velocity.chunksize[axis])
    velocity = velocity[:, keep] if axis else velocity[keep]
    with pytest.raises(ValueError, match=f"velocity has chunks of unknown size along '{dim}'"):
        bluster.vad(xr.DataArray(velocity, dims=("ring", "azimuth")), np.arange(6.0), 1.0)


def test_archive_example_recovers_the_truth():
    results = dask_archive.process_archive(rings=4000, chunk_rows=500, n_threads=1)
    (values,) = dask.compute(results, scheduler="threads")
    (wind_mean, wind_max), (phase,), (intensity,), (depth,) = values.values()
    assert wind_mean < 0.2 and wind_max < 1.0
    assert abs(phase - -62.0) < 0.5
    assert intensity < 1e-12 and depth < 1e-9
