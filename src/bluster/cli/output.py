"""The time-series file: read for ``--resume``, merged, and replaced atomically.

A file is never written in place: the new content goes to a hidden temporary file (or
directory, for Zarr) beside the target and is renamed over it when complete, so an interrupted
or failed run leaves the previous file or none, never a corrupt one.
"""

import os
import shutil
import uuid
from collections.abc import Iterable
from pathlib import Path

import numpy as np
import xarray as xr

from bluster.cli.tasks import SOURCE, TIME


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
    """File names already in the time series."""
    if previous is None:
        return set()
    return {str(name) for name in previous[SOURCE].values}


def merge_rows(previous: xr.Dataset | None, rows: list[xr.Dataset]) -> xr.Dataset:
    """The previous time series and the new rows in one Dataset, sorted by time then file name.

    A new row whose volume time is already in ``previous`` is dropped (the same volume under
    another file name), so a resumed run adds no duplicates.
    """
    if previous is not None:
        known = set(previous[TIME].values.tolist())
        rows = [previous] + [row for row in rows if row[TIME].values[0].item() not in known]
    merged = xr.concat(
        rows,
        dim=TIME,
        data_vars="all",
        coords="different",
        compat="equals",
        join="outer",
        combine_attrs="drop_conflicts",
    )
    # lexsort: the last key is the primary one
    order = np.lexsort((merged[SOURCE].values.astype(str), merged[TIME].values))
    # the encoding read from the previous file (e.g. its time units) may not fit the new rows
    return merged.isel({TIME: order}).drop_encoding()


def write_atomic(dataset: xr.Dataset, path: Path) -> None:
    """Write ``dataset`` to ``path`` (NetCDF, or Zarr for a ``.zarr`` name) in one rename."""
    path = path.absolute()
    if is_zarr(path):
        _write_zarr(dataset, path)
    else:
        _write_netcdf(dataset, path)


def _temporary_beside(path: Path, kind: str) -> Path:
    # A fresh name rather than tempfile.mkstemp: the writer creates the file with the user's
    # usual permissions (mkstemp's would be owner-only).
    return path.with_name(f".{path.name}.{os.getpid()}-{uuid.uuid4().hex[:8]}.{kind}")


def _write_netcdf(dataset: xr.Dataset, path: Path) -> None:
    temporary = _temporary_beside(path, "tmp")
    try:
        dataset.to_netcdf(temporary, engine="h5netcdf")
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


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
        if path.exists():
            old = _temporary_beside(path, "old")
            os.replace(path, old)
            os.replace(temporary, path)
            shutil.rmtree(old)
        else:
            os.replace(temporary, path)
    except BaseException:
        shutil.rmtree(temporary, ignore_errors=True)
        raise


def _zarr_major() -> int:
    import zarr

    return int(zarr.__version__.split(".")[0])
