"""The time-series file: read for ``--resume``, merged, and replaced atomically.

A file is never written in place: the new content goes to a hidden temporary file (or
directory, for Zarr) beside the target and is renamed over it when complete, so an interrupted
or failed run leaves the previous file or none, never a corrupt one. A NetCDF file is made in
memory first and then written with plain file calls: a full disk or a quota is then an
``OSError`` of that write, and never leaves the HDF5 library with a half-written file. It is
made by netCDF4 (the netCDF-C library) where xarray writes with it to memory: a run's rows in
a sixth of h5netcdf's time, whose cost is per variable (18 against 118 ms for the 21 variables
of 40 calibration rows); else by h5netcdf.

A volume is known by its identity, the site and the start time: one row per identity.
"""

import contextlib
import functools
import glob
import os
import re
import shutil
import uuid
from collections.abc import Iterable
from pathlib import Path
from typing import Literal

import dask.config
import numpy as np
import xarray as xr

from bluster.cli.tasks import SITE, SOURCE, TIME
from bluster.radar.readers._hdf5_bytes import Objects, Unreadable
from bluster.radar.volume import netcdf_library_lock


def is_zarr(path: Path) -> bool:
    return path.suffix.lower() == ".zarr"


def read_previous(path: Path, expected: Iterable[str]) -> xr.Dataset | None:
    """The time series already at ``path`` (loaded, file closed), or None when there is none.

    Raises
    ------
    ValueError
        ``path`` holds something other than a time series of this command: none of the
        ``expected`` variables, or no file names.
    """
    if not path.exists():
        return None
    opened: xr.Dataset
    if is_zarr(path):
        opened = xr.open_zarr(path)  # consolidated metadata when there is, as we write
    else:
        opened = xr.open_dataset(path, engine="h5netcdf")
    with opened as previous:
        previous = previous.load()
    missing = [name for name in (SOURCE, *expected) if name not in previous.variables]
    if missing:
        raise ValueError(
            f"--resume: {path} is not an output of this command (it lacks {', '.join(missing)})"
        )
    return previous


def done_sources(previous: xr.Dataset | None) -> set[str]:
    """The files already in the time series (their ``source``: the resolved path)."""
    if previous is None:
        return set()
    return {str(name) for name in previous[SOURCE].values}


def merge_rows(previous: xr.Dataset | None, rows: list[xr.Dataset]) -> xr.Dataset:
    """The previous time series and the new rows in one Dataset, sorted by time then file.

    One row per volume, a volume being known by its site and start time: of several rows of
    one volume (the same volume under several file names, in this run or an earlier one),
    the row of the file whose path sorts first is kept, so that the result depends on the
    files alone and not on the order they were done in. Rows of two radars with the same
    scan times are all kept.
    """
    merged = xr.concat(
        ([] if previous is None else [previous]) + list(rows),
        dim=TIME,
        data_vars="all",
        coords="different",
        compat="equals",
        join="outer",
        combine_attrs="drop_conflicts",
    )
    sources = merged[SOURCE].values.astype(str)
    times = merged[TIME].values
    sites = merged[SITE].values.astype(str) if SITE in merged.variables else np.full(times.size, "")
    # lexsort: the last key is the primary one
    by_volume = np.lexsort((sources, times, sites))
    first = np.ones(by_volume.size, dtype=bool)
    first[1:] = (times[by_volume][1:] != times[by_volume][:-1]) | (
        sites[by_volume][1:] != sites[by_volume][:-1]
    )
    kept = by_volume[first]
    kept = kept[np.lexsort((sources[kept], times[kept]))]
    # the encoding read from the previous file (e.g. its time units) may not fit the new rows
    return merged.isel({TIME: kept}).drop_encoding()


def write_atomic(dataset: xr.Dataset, path: Path) -> None:
    """Write ``dataset`` to ``path`` (NetCDF, or Zarr for a ``.zarr`` name) in one rename.

    Raises
    ------
    OSError
        The file cannot be written (a full disk, a quota, a folder removed meanwhile);
        ``path`` keeps its previous content, and no temporary file is left.
    """
    path = path.absolute()
    # The rows are in memory: nothing to compute, and no lock of a distributed cluster that
    # may be running (xarray takes one named after the target, which a write to memory lacks)
    with dask.config.set(scheduler="synchronous"):
        if is_zarr(path):
            _write_zarr(dataset, path)
        else:
            _write_netcdf(dataset, path)


def temporaries_of(path: Path) -> list[Path]:
    """The temporary files and folders of writes of ``path`` (of any process)."""
    named = re.compile(rf"\.{re.escape(path.name)}\.[0-9]+-[0-9a-f]{{8}}\.(tmp|old)")
    pattern = f".{glob.escape(path.name)}.*"
    return [found for found in path.parent.glob(pattern) if named.fullmatch(found.name)]


def _temporary_beside(path: Path, kind: str) -> Path:
    # A fresh name rather than tempfile.mkstemp: the writer creates the file with the user's
    # usual permissions (mkstemp's would be owner-only).
    return path.with_name(f".{path.name}.{os.getpid()}-{uuid.uuid4().hex[:8]}.{kind}")


def _write_netcdf(dataset: xr.Dataset, path: Path) -> None:
    engine = _netcdf_engine()
    # in memory, before the disk is touched; netCDF-C is not thread-safe, and workers may be
    # reading volumes through it
    with netcdf_library_lock() if engine == "netcdf4" else contextlib.nullcontext():
        content = bytes(dataset.to_netcdf(engine=engine))
    if engine == "netcdf4":
        content = _allocated_part(content)
    temporary = _temporary_beside(path, "tmp")
    try:
        with open(temporary, "wb") as file:
            file.write(content)
            file.flush()
            os.fsync(file.fileno())  # on disk before the rename makes it the file
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


@functools.cache
def _netcdf_engine() -> Literal["netcdf4", "h5netcdf"]:
    """``"netcdf4"`` where it is installed and xarray writes with it to memory, else
    ``"h5netcdf"`` (both write NetCDF-4 files that xarray reads back identical)."""
    try:
        with netcdf_library_lock():
            xr.Dataset({"probe": ("time", [1.0])}).to_netcdf(engine="netcdf4")
    except (ImportError, ValueError, TypeError, NotImplementedError):
        return "h5netcdf"
    return "netcdf4"


def _allocated_part(image: bytes) -> bytes:
    """The HDF5 file in ``image`` without the zeros after it: netCDF-C hands back its whole
    buffer, grown in steps of 64 KiB, and the file ends at the end of file address its
    superblock states."""
    try:
        end = Objects(image).end
    except Unreadable:
        return image
    return image[:end] if image.count(0, end) == len(image) - end else image


def _write_zarr(dataset: xr.Dataset, path: Path) -> None:
    # A directory cannot be renamed over a non-empty one: the old store is moved aside first
    # and removed once the new one is in place.
    temporary = _temporary_beside(path, "tmp")
    try:
        # Consolidated metadata, so that readers (xr.open_zarr) find every variable in one
        # read; in Zarr's format 2, whose specification has it (format 3's does not yet, and
        # zarr warns) and which every Zarr library reads.
        if _zarr_major() >= 3:
            dataset.to_zarr(temporary, mode="w", consolidated=True, zarr_format=2)
        else:  # format 2 is zarr 2's only one
            dataset.to_zarr(temporary, mode="w", consolidated=True)
        if path.exists() or path.is_symlink():
            old = _temporary_beside(path, "old")
            os.replace(path, old)
            try:
                os.replace(temporary, path)
            except BaseException:
                os.replace(old, path)  # the previous store back in its place
                raise
            remove(old)  # a folder, or a file replaced with --overwrite
        else:
            os.replace(temporary, path)
    except BaseException:
        shutil.rmtree(temporary, ignore_errors=True)
        raise


def remove(path: Path) -> None:
    """Remove a file, or a folder with everything in it."""
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        path.unlink(missing_ok=True)


def restore_aside(path: Path) -> None:
    """Put back the previous Zarr store that a killed run had moved aside, when ``path`` has
    none: between the two renames of a Zarr write, it exists only under its temporary name."""
    if path.exists():
        return
    for aside in sorted(p for p in temporaries_of(path) if p.suffix == ".old"):
        os.replace(aside, path)
        return


def _zarr_major() -> int:
    import zarr

    return int(zarr.__version__.split(".")[0])
