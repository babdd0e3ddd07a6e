"""Scaling out with Dask: a day's radar archive processed chunk by chunk, on threads or a cluster.

An archive is a long stack of independent rows: VAD rings (one per range gate of every sweep of
every volume), rays of differential phase, model columns. Each kernel works row by row, so the
stack is chunked along its rows only and every chunk becomes one kernel call through
dask.array.map_blocks. The axis a kernel reduces over (the samples of a ring, the gates of a
ray, the levels of a column) is never split: the helpers below merge it into one chunk.

    python examples/dask_archive.py                      # Dask's threaded scheduler
    python examples/dask_archive.py --cluster            # LocalCluster of 2 worker processes
    python examples/dask_archive.py --rings 2000000      # a larger archive (5.8 GB of vr alone)

The archive is generated lazily, chunk by chunk, so it never has to fit in memory at once; in
practice it would come from dask.array.from_zarr or xarray.open_mfdataset.
"""

import argparse
import time

import dask
import dask.array as da
import numpy as np

import _bluster
import _calibration


def whole_rows(x):
    """x as a Dask array split along axis 0 only: the other axes are what a kernel reduces."""
    x = da.asarray(x)
    return x.rechunk({axis: -1 for axis in range(1, x.ndim)})


def per_row(x, rows_like):
    """A per-row vector as a (rows, 1) column whose chunks follow the rows of rows_like."""
    return da.asarray(x).reshape(-1, 1).rechunk((rows_like.chunks[0], 1))


def like_rows(x, rows_like):
    """A (rows, samples) array chunked like rows_like; empty arrays (a test left out) stay so."""
    if not hasattr(x, "shape"):
        x = np.asarray(x, dtype=np.float64)
    if x.size == 0:
        return np.empty(0)
    return whole_rows(x).rechunk(rows_like.chunks)


def _cold_pool_block(z, b, bottom, top, threshold, n_threads):
    return _bluster.cold_pool(z, b, bottom, threshold, top, n_threads)


def cold_pool_rows(z, b, bottom, threshold, top, n_threads=1):
    """cold_pool over a (rows, levels) stack chunked along rows; a lazy (3, rows) result."""
    b = whole_rows(b)
    z = whole_rows(z).rechunk(b.chunks)
    return da.map_blocks(
        _cold_pool_block,
        z,
        b,
        per_row(bottom, b),
        per_row(top, b),
        threshold=threshold,
        n_threads=n_threads,
        drop_axis=1,
        new_axis=0,
        chunks=((3,), b.chunks[0]),
        dtype=np.float64,
        meta=np.empty((0, 0)),
    )


def _vad_block(vr, az, cos_el, min_gates, min_spread, n_threads):
    return _bluster.vad(vr, az, cos_el, min_gates, min_spread, n_threads)


def vad_rows(vr, az, cos_el, min_gates, min_spread, n_threads=1):
    """vad over (rings, samples) chunked along rings; a lazy (8, rings) result."""
    vr = whole_rows(vr)
    az = whole_rows(az).rechunk(vr.chunks)
    return da.map_blocks(
        _vad_block,
        vr,
        az,
        per_row(cos_el, vr),
        min_gates=min_gates,
        min_spread=min_spread,
        n_threads=n_threads,
        drop_axis=1,
        new_axis=0,
        chunks=((8,), vr.chunks[0]),
        dtype=np.float64,
        meta=np.empty((0, 0)),
    )


def _phidp_rays_block(phidp, rhohv, snr, mask, **scalars):
    return _calibration.phidp_rays(phidp, rhohv, snr, mask, **scalars)


def phidp_rays_rows(
    phidp, rhohv, snr, mask, first_gate, n_use, rhohv_min, snr_min, min_count, n_threads=1
):
    """phidp_rays over (rays, gates) chunked along rays; a lazy (rays, 3) result."""
    phidp = whole_rows(phidp)
    return da.map_blocks(
        _phidp_rays_block,
        phidp,
        *(like_rows(x, phidp) for x in (rhohv, snr, mask)),
        first_gate=first_gate,
        n_use=n_use,
        rhohv_min=rhohv_min,
        snr_min=snr_min,
        min_count=min_count,
        n_threads=n_threads,
        chunks=(phidp.chunks[0], (3,)),
        dtype=np.float64,
        meta=np.empty((0, 0)),
    )


# --- a synthetic archive with known answers -------------------------------------------------

HEIGHTS = np.arange(250.0, 6001.0, 250.0)  # ring heights of one volume, m
ELEVATION = np.deg2rad(10.0)


def true_wind(height):
    """A veering, strengthening profile: u, v in m/s at height in m."""
    return 2.0 + 0.004 * height, 4.0 + 0.0015 * height


def synthetic_rings(rings, azimuths, chunk_rows, seed):
    """Lazy VAD rings of many volumes with 1 m/s noise and 5 % missing samples.

    Dask draws each chunk's random numbers on its own, so other chunk sizes give other data.
    """
    rng = da.random.default_rng(seed)
    height = HEIGHTS[da.arange(rings, chunks=chunk_rows) % HEIGHTS.size]
    u, v = true_wind(height)
    az = da.broadcast_to(np.deg2rad(np.arange(azimuths) + 0.5), (rings, azimuths))
    az = az.rechunk((chunk_rows, azimuths))
    cos_el = da.full(rings, np.cos(ELEVATION), chunks=chunk_rows)
    vr = (u[:, None] * da.sin(az) + v[:, None] * da.cos(az)) * np.cos(ELEVATION)
    noise = rng.normal(0.0, 1.0, (rings, azimuths), chunks=(chunk_rows, azimuths))
    missing = rng.random((rings, azimuths), chunks=(chunk_rows, azimuths)) < 0.05
    return da.where(missing, np.nan, vr + noise), az, cos_el, height


def synthetic_rays(rays, gates, chunk_rows, seed, system_phase=-62.0):
    """Lazy PhiDP rays: the system phase near the radar, 3 degrees of noise, clutter gates."""
    rng = da.random.default_rng(seed)
    shape, chunks = (rays, gates), (chunk_rows, gates)
    phidp = system_phase + rng.normal(0.0, 3.0, shape, chunks=chunks)
    rhohv = da.where(rng.random(shape, chunks=chunks) < 0.1, 0.6, 0.99)
    phidp = da.where(rhohv < 0.9, rng.uniform(-180.0, 180.0, shape, chunks=chunks), phidp)
    return phidp, rhohv


def synthetic_columns(columns, levels, chunk_rows, seed):
    """Lazy model columns with a linear cold pool: b = -b0 (1 - z / depth), C = sqrt(b0 depth)."""
    rng = da.random.default_rng(seed)
    depth = rng.uniform(300.0, 2000.0, columns, chunks=chunk_rows)
    b0 = rng.uniform(0.01, 0.1, columns, chunks=chunk_rows)
    z = da.broadcast_to(np.linspace(0.0, 4000.0, levels), (columns, levels))
    z = z.rechunk((chunk_rows, levels))
    b = -b0[:, None] * (1.0 - z / depth[:, None])
    return z, b, da.sqrt(b0 * depth), depth


def process_archive(rings, chunk_rows, n_threads, seed=2026):
    """Build the lazy results and their truth; nothing is computed yet."""
    vr, az, cos_el, height = synthetic_rings(rings, 360, chunk_rows, seed)
    wind = vad_rows(vr, az, cos_el, min_gates=60, min_spread=0.1, n_threads=n_threads)
    u_true, v_true = true_wind(height)
    wind_error = da.sqrt((wind[0] - u_true) ** 2 + (wind[1] - v_true) ** 2)

    # A tenth as many rays and columns as rings, in as many chunks.
    phidp, rhohv = synthetic_rays(rings // 10, 400, max(1, chunk_rows // 10), seed + 1)
    none = np.empty(0)
    phase = phidp_rays_rows(phidp, rhohv, none, none, 5, 30, 0.9, 0.0, 10, n_threads=n_threads)

    z, b, intensity, depth = synthetic_columns(rings // 10, 81, max(1, chunk_rows // 10), seed + 2)
    nan = np.full(rings // 10, np.nan)
    pool = cold_pool_rows(z, b, nan, 0.0, nan, n_threads=n_threads)
    return {
        "VAD wind error, m/s (mean, max)": (wind_error.mean(), wind_error.max()),
        "system PhiDP, deg (mean; truth -62)": (phase[:, 0].mean(),),
        "cold-pool intensity error, m/s (max)": (abs(pool[0] - intensity).max(),),
        "cold-pool depth error, m (max)": (abs(pool[1] - depth).max(),),
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
