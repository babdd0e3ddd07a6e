"""Lean readers of radar volume files: only the moments a computation needs, decoded in one pass.

:func:`bluster.radar.open_volume` reads the formats most archives hold with the readers of this
package and every other format with xradar. A lean reader returns the DataTree that xradar's
reader of the format gives (the same children, variable names, dimensions, coordinates and
attributes), with two differences: every moment is float64, and it holds only the moments
asked for. The differences of values from xradar are listed by each reader's module (xradar
keeps ODIM's "undetect" gates as values, for one).

Formats are registered by name in ``READERS``, each with a detector over the first bytes
of a file and a reader; :func:`detect` picks the reader of a file, :func:`read` runs it. A
format's engine name for ``open_volume(engine=...)`` is ``"bluster-"`` and its name
(``"bluster-odim"``): the plain names (``"odim"``) name xradar's readers.

Registering a reader: a detector of the first ``HEAD_BYTES`` bytes of a file, and a reader
of a path and the quantities to read (names such as ``"velocity"``, or None for every
moment)::

    from bluster.radar import readers
    readers.register("iris", is_iris, read_iris)  # engine="bluster-iris"

Every reader here is safe to call from several threads at once: the ODIM_H5 reader reads a
file's metadata from its bytes (through h5py when they hold what it does not read) and inflates
its chunks outside the HDF5 library; the CfRadial readers read through h5py, which serialises
each call into the library behind one lock;
the NEXRAD Level II reader decompresses with Python's bz2 and walks its records in its own
module; all decode without the GIL.
"""

import os
from collections.abc import Callable, Collection
from dataclasses import dataclass

import xarray as xr

#: Bytes of a file's start handed to the detectors.
HEAD_BYTES = 512

#: The prefix of the engine names of the lean readers in ``open_volume(engine=...)``.
ENGINE_PREFIX = "bluster-"

Quantities = Collection[str] | None
"""What a reader reads: quantities named as the keys of
``bluster.radar.MOMENT_ALIASES`` (``"velocity"``, ``"zdr"``, ...), each the first
moment of its aliases that a sweep holds; None reads every moment."""

Path = str | os.PathLike[str]


@dataclass(frozen=True)
class Reader:
    """A registered format: how to recognise its files and how to read them."""

    detect: Callable[[bytes], bool]  # over the first HEAD_BYTES bytes of a file
    read: Callable[[Path, Quantities], xr.DataTree]
    # A look inside the file, for containers several formats share (HDF5): called only when
    # detect accepted the first bytes; None when the first bytes decide.
    confirm: Callable[[Path], bool] | None = None
    # Whether the reader refuses, before reading any data, a file whose datasets to be read
    # declare more than MAX_VOLUME_BYTES in all (``bluster.radar.volume.refuse_oversized``);
    # else ``open_volume`` checks what every dataset of an HDF5 file declares first.
    bounded: bool = False


#: The lean readers by format name, tried in this order.
READERS: dict[str, Reader] = {}


def register(
    name: str,
    detect: Callable[[bytes], bool],
    read: Callable[[Path, Quantities], xr.DataTree],
    confirm: Callable[[Path], bool] | None = None,
    *,
    bounded: bool = False,
) -> None:
    """Register the lean reader of a format under ``name`` (engine ``"bluster-" + name``).

    Parameters
    ----------
    name : str
        The format's name, as xradar names its engine where it has one (``"odim"``).
    detect : callable
        ``detect(head) -> bool`` over the first ``HEAD_BYTES`` bytes of a file (fewer for
        a shorter file): True when the reader takes the file.
    read : callable
        ``read(path, quantities) -> xarray.DataTree``; ``quantities`` a collection of
        quantity names or None. Raises ``ValueError`` naming the file for a file it cannot read.
    confirm : callable, optional
        ``confirm(path) -> bool``, a look inside a file whose first bytes ``detect`` accepted,
        for containers that several formats share.
    bounded : bool, optional
        True when the reader refuses, before reading any data, a file whose datasets to be
        read declare more than ``bluster.radar.volume.MAX_VOLUME_BYTES`` uncompressed in all
        (through ``bluster.radar.volume.refuse_oversized``); otherwise ``open_volume`` sums
        what every dataset of an HDF5 file declares before the reader runs.
    """
    READERS[name] = Reader(detect, read, confirm, bounded)


def detect(path: Path) -> str | None:
    """The name of the lean reader that takes the file at ``path``, or None."""
    with open(path, "rb") as f:
        head = f.read(HEAD_BYTES)
    for name, reader in READERS.items():
        if reader.detect(head) and (reader.confirm is None or reader.confirm(path)):
            return name
    return None


def engine_format(engine: str | None) -> str | None:
    """The format a lean reader's engine name forces (``"bluster-odim"``: ``"odim"``), or None
    for any other engine name.

    Raises
    ------
    ValueError
        ``engine`` has the prefix of the lean readers but names none of them.
    """
    if engine is None or not engine.startswith(ENGINE_PREFIX):
        return None
    name = engine.removeprefix(ENGINE_PREFIX)
    if name not in READERS:
        known = ", ".join(ENGINE_PREFIX + n for n in READERS)
        raise ValueError(f"engine={engine!r}: no such lean reader; they are {known}")
    return name


def read(name: str, path: Path, quantities: Quantities = None) -> xr.DataTree:
    """Read the file at ``path`` with the lean reader ``name``."""
    return READERS[name].read(path, quantities)


def moment_names(available: Collection[str], quantities: Quantities) -> list[str]:
    """The moments a reader reads from a sweep holding ``available`` (in their order): each
    quantity's first alias there, or all of them for ``quantities=None``."""
    if quantities is None:
        return list(available)
    from ..volume import MOMENT_ALIASES  # the one alias table (volume imports this lazily)

    wanted = set()
    for quantity in quantities:
        name = next((n for n in MOMENT_ALIASES.get(quantity, ()) if n in available), None)
        if name is not None:
            wanted.add(name)
    return [name for name in available if name in wanted]


def _register_builtin() -> None:
    from . import cfradial, odim
    from ._hdf5 import is_hdf5
    from .nexrad import is_nexrad_level2, read_nexrad_level2

    # HDF5 files, told apart by what is inside. CfRadial1 in NetCDF3 classic (b"CDF\x01"),
    # which the HDF5 library cannot read, is left to xradar.
    register("odim", is_hdf5, odim.read_odim, odim.is_odim, bounded=True)
    register("cfradial2", is_hdf5, cfradial.read_cfradial2, cfradial.is_cfradial2)
    register("cfradial1", is_hdf5, cfradial.read_cfradial1, cfradial.is_cfradial1)
    # NEXRAD Level II message 31 (AR2V0002 and later); legacy message-1 files go to xradar or
    # Py-ART
    register("nexradlevel2", is_nexrad_level2, read_nexrad_level2)


_register_builtin()

__all__ = [
    "ENGINE_PREFIX",
    "HEAD_BYTES",
    "READERS",
    "Quantities",
    "Reader",
    "detect",
    "engine_format",
    "moment_names",
    "read",
    "register",
]
