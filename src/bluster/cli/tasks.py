"""The work done for one volume file, run as one Dask task on any worker.

Each task returns an :class:`Outcome` rather than raising, so that a file that cannot be read
or lacks a moment is reported by name and skipped, and the same report comes back from local
threads and from a remote ``distributed`` worker alike.
"""

import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import xarray as xr

# The rows of the time series: a volume's calibration row or wind profile carries the path of
# the file it came from, which ``--resume`` uses to skip the files already done, and its
# identity, the site and the volume start time.
SOURCE = "source"
TIME = "time"
SITE = "site"


@dataclass(frozen=True)
class Outcome:
    """What became of one file: its labelled row, or the reason it was skipped."""

    path: str
    row: xr.Dataset | None = None
    error: str | None = None


@dataclass(frozen=True)
class VolumeTask:
    """The work for one file in two steps: reading it (once, for the moments the row needs)
    and computing its row. Both are picklable (module-level functions or ``functools.partial``
    of them), for the workers of a cluster."""

    read: Callable[[str], Any]  # path -> opened volume
    compute: Callable[[Any, str], xr.Dataset]  # (volume, path) -> row

    def __call__(self, path: str) -> xr.Dataset:
        return self.compute(self.read(path), path)


@dataclass(frozen=True)
class Read:
    """A file read, or the reason it could not be: what the computing step takes."""

    path: str
    volume: Any = None
    error: str | None = None


def run_task(task: VolumeTask, path: str) -> Outcome:
    """Apply ``task`` to the file at ``path``; any failure becomes the outcome's ``error``."""
    return compute_step(task, read_step(task, path))


def read_step(task: VolumeTask, path: str, *after: object) -> Read:
    """The reading step; ``after`` are the steps it waits for (their results are not used)."""
    try:
        return Read(path, volume=task.read(path))
    except Exception as exc:  # a bad file must never end the run: report it and go on
        return Read(path, error=_reason(exc))


def compute_step(task: VolumeTask, read: Read, *after: object) -> Outcome:
    """The computing step of a file read by :func:`read_step`; ``after`` are the steps it
    waits for (their results are not used)."""
    if read.error is not None:
        return Outcome(read.path, error=read.error)
    try:
        return Outcome(read.path, row=task.compute(read.volume, read.path))
    except Exception as exc:  # a bad file must never end the run: report it and go on
        return Outcome(read.path, error=_reason(exc))


def _reason(exc: BaseException) -> str:
    # bluster.radar's errors about a file are ValueErrors with a full sentence (the remedy in
    # command-line options where it has one); anything else is unexpected and named by its type
    message = str(getattr(exc, "command_line", None) or exc).strip() or "no message"
    return message if isinstance(exc, ValueError) else f"{type(exc).__name__}: {message}"


def as_row(result: xr.Dataset, path: str) -> xr.Dataset:
    """``result`` as one row along ``time`` with the file's name, loaded into memory.

    ``result`` carries the volume start as a ``time`` coordinate (scalar or of length 1); its
    other scalar coordinates (the ``site``) become coordinates along ``time``, so that rows of
    different radars concatenate.
    """
    if TIME not in result.coords:
        raise ValueError(f"{path}: the result has no volume time")
    if TIME not in result.dims:
        result = result.expand_dims(TIME)
    if result.sizes[TIME] != 1:
        raise ValueError(f"{path}: expected one volume time, got {result.sizes[TIME]}")
    if np.isnat(result[TIME].values).any():
        raise ValueError(f"{path}: the volume states no start time")
    scalars = {
        name: (TIME, [coord.values]) for name, coord in result.coords.items() if coord.ndim == 0
    }
    name = np.array([source_text(path)], dtype=str)
    return result.assign_coords(scalars).assign({SOURCE: ((TIME,), name)}).load()


def source_text(path: str) -> str:
    """A file's path as the output's ``source`` holds it: the bytes the file system gives,
    read as UTF-8, with any byte that is not UTF-8 written ``\\xNN`` (a NetCDF or Zarr string
    is Unicode; a name that is not would otherwise fail the whole write)."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")
