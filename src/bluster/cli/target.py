"""The output of a run, checked and locked before any work.

``-o``/``--out`` must name a file in a writable folder, must not be one of the inputs, and
may replace an existing file only when that file is an output of the same command (or with
``--overwrite``): a mistyped ``-o radar/*.h5`` must not replace a radar volume with a time
series. A run that would fail to write its output fails here, before reading any volume,
with a message that names the option and not the temporary file written on the way.
"""

import contextlib
import importlib
import json
import os
from collections.abc import Collection, Iterator
from pathlib import Path

from bluster.cli.lock import OutputBusy, OutputLock
from bluster.cli.output import is_zarr, remove, restore_aside, temporaries_of
from bluster.cli.provenance import COMMAND

OPTION = "-o/--out"


@contextlib.contextmanager
def claimed(
    out: Path, inputs: Collection[Path], *, command: str, overwrite: bool = False
) -> Iterator[None]:
    """Check ``out`` for ``command`` and hold its lock inside the block.

    The temporary files of earlier runs on ``out`` that ended without removing them (killed
    with SIGKILL, or by a power cut) are removed once the lock is held: no other run can be
    writing them then.

    Raises
    ------
    ValueError
        ``out`` cannot be written, is an input, is an existing file of another kind (without
        ``overwrite``), or another run is writing it; the message names ``-o/--out``.
    """
    check_output(out, inputs, command=command, overwrite=overwrite)
    lock = OutputLock(out.absolute())
    try:
        lock.acquire()
    except OutputBusy as err:
        raise ValueError(
            f"{OPTION}: {err}; wait for it to finish, or give another {OPTION}"
        ) from None
    except OSError as err:
        raise ValueError(
            f"{OPTION} {out}: cannot write in {out.absolute().parent}: {err.strerror or err}"
        ) from None
    try:
        restore_aside(out.absolute())
        for stale in temporaries_of(out.absolute()):
            remove(stale)
        yield
    finally:
        lock.release()


def check_output(
    out: Path, inputs: Collection[Path], *, command: str, overwrite: bool = False
) -> None:
    """The checks of :func:`claimed` that need no lock (see there)."""
    folder = out.absolute().parent
    if not folder.is_dir():
        raise ValueError(f"{OPTION} {out}: there is no folder {folder}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise ValueError(f"{OPTION} {out}: the folder {folder} is not writable")
    if Path(os.path.realpath(out)) in inputs:
        raise ValueError(
            f"{OPTION} {out} is one of the input files, which the output would replace; "
            "name a new file"
        )
    if out.is_dir() and not is_zarr(out):
        raise ValueError(f"{OPTION} {out} is a folder; name a file")
    if not (out.exists() or out.is_symlink()) or overwrite:
        return
    written = written_by(out)
    if written != command:
        what = f"an output of bluster {written}, not" if written else "not an output"
        raise ValueError(
            f"{OPTION} {out} exists and is {what} of bluster {command}; name a new file, or "
            "give --overwrite to replace it"
        )


def written_by(path: Path) -> str | None:
    """The bluster command that wrote ``path``, or None for anything else."""
    try:
        if path.is_dir():  # a Zarr store of format 2: its attributes in .zattrs
            value = json.loads((path / ".zattrs").read_text()).get(COMMAND)
        else:
            # imported by name: h5py ships no type information
            h5py = importlib.import_module("h5py")
            with h5py.File(path, "r") as file:
                value = file.attrs.get(COMMAND)
    except Exception:  # unreadable, not HDF5, not JSON: not ours
        return None
    if isinstance(value, bytes):
        value = value.decode(errors="replace")
    return value if isinstance(value, str) else None
