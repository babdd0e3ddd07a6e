"""Scaling out with Dask: a day's radar archive processed chunk by chunk, on threads or a cluster.

An archive is a long stack of independent rows: VAD rings (one per range gate of every sweep of
every volume), rays of differential phase, model columns. The bluster functions take it as
Dask-backed xarray DataArrays and return lazy Datasets: every chunk of rows becomes one kernel
call, and the dimension a function reduces over (the azimuths of a ring, the gates of a ray,
the levels of a column) is merged into one chunk by the function itself.

    python examples/dask_archive.py                      # Dask's threaded scheduler
    python examples/dask_archive.py --cluster            # LocalCluster of 2 worker processes
    python examples/dask_archive.py --rings 2000000      # a larger archive (5.8 GB of vr alone)

The archive is generated lazily, chunk by chunk, so it never has to fit in memory at once; in
practice it would come from xarray.open_zarr or xarray.open_mfdataset with chunks.
"""

import argparse
import time

import dask
import dask.array as da
import numpy as np
import xarray as xr

import bluster

# --- a synthetic archive with known answers -------------------------------------------------

HEIGHTS = np.arange(250.0, 6001.0, 250.0)  # ring heights of one volume, m
ELEVATION = 10.0  # degrees


def true_wind(height):
    """A veering, strengthening profile: u, v in m/s at height in m."""
    return 2.0 + 0.004 * height, 4.0 + 0.0015 * height


def synthetic_rings(rings, azimuths, chunk_rows, seed):
    """Lazy VAD rings of many volumes with 1 m/s noise and 5 % missing samples: radial
    velocity (ring, azimuth) with the azimuth (degrees) and the ring height as coordinates.

    Dask draws each chunk's random numbers on its own, so other chunk sizes give other data.
    """
    rng = da.random.default_rng(seed)
    height = HEIGHTS[da.arange(rings, chunks=chunk_rows) % HEIGHTS.size]
    u, v = true_wind(height)
    az = np.arange(azimuths) + 0.5
    shape, chunks = (rings, azimuths), (chunk_rows, azimuths)
    sin_az, cos_az = np.sin(np.deg2rad(az)), np.cos(np.deg2rad(az))
    vr = (u[:, None] * sin_az + v[:, None] * cos_az) * np.cos(np.deg2rad(ELEVATION))
    noise = rng.normal(0.0, 1.0, shape, chunks=chunks)
    missing = rng.random(shape, chunks=chunks) < 0.05
    return xr.DataArray(
        da.where(missing, np.nan, vr + noise),
        dims=("ring", "azimuth"),
        coords={"azimuth": ("azimuth", az, {"units": "degrees"}), "height": ("ring", height)},
        attrs={"units": "m s-1"},
    )


def synthetic_rays(rays, gates, chunk_rows, seed, system_phase=-62.0):
    """Lazy PhiDP rays (ray, range): the system phase near the radar, 3 degrees of noise,
    clutter gates of low rhohv."""
    rng = da.random.default_rng(seed)
    shape, chunks = (rays, gates), (chunk_rows, gates)
    phidp = system_phase + rng.normal(0.0, 3.0, shape, chunks=chunks)
    rhohv = da.where(rng.random(shape, chunks=chunks) < 0.1, 0.6, 0.99)
    phidp = da.where(rhohv < 0.9, rng.uniform(-180.0, 180.0, shape, chunks=chunks), phidp)
    dims = ("ray", "range")
    return xr.Dataset({"PHIDP": (dims, phidp, {"units": "degrees"}), "RHOHV": (dims, rhohv)})


def synthetic_columns(columns, levels, chunk_rows, seed):
    """Lazy model columns (column, level) with a linear cold pool: b = -b0 (1 - z / depth),
    whose intensity is C = sqrt(b0 depth); the true intensity and depth come along."""
    rng = da.random.default_rng(seed)
    depth = rng.uniform(300.0, 2000.0, columns, chunks=chunk_rows)
    b0 = rng.uniform(0.01, 0.1, columns, chunks=chunk_rows)
    z = np.linspace(0.0, 4000.0, levels)
    b = -b0[:, None] * (1.0 - z / depth[:, None])
    return xr.Dataset(
        {
            "buoyancy": (("column", "level"), b, {"units": "m s-2"}),
            "true_intensity": ("column", da.sqrt(b0 * depth)),
            "true_depth": ("column", depth),
        },
        coords={"height": ("level", z, {"units": "m"})},
    )


def process_archive(rings, chunk_rows, n_threads, seed=2026):
    """Build the lazy results and their truth; nothing is computed yet."""
    vr = synthetic_rings(rings, 360, chunk_rows, seed)
    wind = bluster.vad(vr, vr.azimuth, ELEVATION, min_gates=60, n_threads=n_threads)
    u_true, v_true = true_wind(vr.height)
    wind_error = np.hypot(wind.u - u_true, wind.v - v_true)

    # A tenth as many rays and columns as rings, in as many chunks.
    rays = synthetic_rays(rings // 10, 400, max(1, chunk_rows // 10), seed + 1)
    phase = bluster.phidp_rays(
        rays.PHIDP, rhohv=rays.RHOHV, first_gate=5, rhohv_min=0.9, n_threads=n_threads
    )

    columns = synthetic_columns(rings // 10, 81, max(1, chunk_rows // 10), seed + 2)
    pool = bluster.cold_pool(columns.height, columns.buoyancy, n_threads=n_threads)
    return {
        "VAD wind error, m/s (mean, max)": (wind_error.mean(), wind_error.max()),
        "system PhiDP, deg (mean; truth -62)": (phase.system_phase.mean(),),
        "cold-pool intensity error, m/s (max)": (
            abs(pool.intensity - columns.true_intensity).max(),
        ),
        "cold-pool depth error, m (max)": (abs(pool.depth - columns.true_depth).max(),),
    }


def timed_compute(results, **options):
    start = time.perf_counter()
    (values,) = dask.compute(results, **options)
    return values, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rings", type=int, default=200_000, help="VAD rings in the archive")
    parser.add_argument("--chunk-rows", type=int, default=20_000, help="rows per chunk")
    parser.add_argument("--cluster", action="store_true", help="run on a LocalCluster")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the cluster")
    parser.add_argument("--n-threads", type=int, default=1, help="kernel threads per chunk")
    args = parser.parse_args()

    results = process_archive(args.rings, args.chunk_rows, args.n_threads)
    if args.cluster:
        from distributed import Client, LocalCluster

        # Single-threaded worker processes, one per core: each runs one chunk at a time with
        # n_threads=1, so the machine is not oversubscribed.
        with (
            LocalCluster(
                n_workers=args.workers,
                processes=True,
                threads_per_worker=1,
                host="127.0.0.1",
                dashboard_address=None,
            ) as cluster,
            Client(cluster),
        ):
            values, elapsed = timed_compute(results)
        where = f"LocalCluster, {args.workers} worker processes x 1 thread"
    else:
        # The kernels release the GIL, so Dask's thread pool runs chunks truly in parallel.
        values, elapsed = timed_compute(results, scheduler="threads")
        where = "Dask's threaded scheduler"

    print(f"{args.rings:,} VAD rings x 360 azimuths, {args.rings // 10:,} PhiDP rays and")
    print(f"{args.rings // 10:,} model columns in chunks of {args.chunk_rows:,} rows,")
    print(f"{where}, n_threads={args.n_threads} per chunk: {elapsed:.2f} s")
    for name, numbers in values.items():
        print(f"  {name:40s} " + ", ".join(f"{float(x):.4g}" for x in numbers))


if __name__ == "__main__":
    main()
