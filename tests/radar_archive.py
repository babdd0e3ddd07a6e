"""A synthetic archive of small ODIM_H5 volumes whose calibration errors drift over time.

Each volume is ``bluster.radar.synthetic.synthetic_volume`` (known wind, system phase, ZDR
offset and Z bias; rain that follows the band's default tables) moved to its own start time
and written by xradar's own ODIM_H5 writer. Used by the command-line tests and by
``bench/bench_cli.py``.
"""

from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import xarray as xr

from bluster.radar import synthetic

START = np.datetime64("2026-06-01T12:00:00", "ns")
EVERY = np.timedelta64(5, "m")
BAND = "C"


@dataclass(frozen=True)
class Truth:
    """The errors of one volume: what ``bluster calibrate`` must recover."""

    time: np.datetime64
    zdr_offset: float  # dB
    z_bias: float  # dB
    system_phase: float  # degrees


def drift(index: int, count: int) -> Truth:
    """Volume ``index`` of ``count``: ZDR offset 0.1 -> 0.5 dB, Z bias -0.4 -> +2 dB, system
    phase 350 -> 10 degrees (across the wrap).

    The Z bias stays above -0.5 dB: the synthetic volume's heavier rain starts at 30.5 dBZ,
    and a lower bias would move it into the light-rain window (20 to 30 dBZ) of the ZDR offset.
    """
    share = index / max(count - 1, 1)
    return Truth(
        time=START + index * EVERY,
        zdr_offset=0.1 + 0.4 * share,
        z_bias=-0.4 + 2.4 * share,
        system_phase=float(np.mod(350.0 + 20.0 * share, 360.0)),
    )


def volume(
    truth: Truth,
    elevations: Sequence[float] = (0.5, 1.5, 3.0),
    n_rays: int = 90,
    n_gates: int = 100,
) -> xr.DataTree:
    """The synthetic volume with ``truth``'s errors, starting at ``truth.time``."""
    tree = synthetic.synthetic_volume(
        elevations,
        n_rays=n_rays,
        n_gates=n_gates,
        system_phase=truth.system_phase,
        zdr_offset=truth.zdr_offset,
        z_bias=truth.z_bias,
        band=BAND,
    )
    shift = truth.time - synthetic.START
    root = tree.to_dataset(inherit=False)
    for name in ("time_coverage_start", "time_coverage_end"):
        moved = np.datetime64(str(root[name].values).rstrip("Z"), "ns") + shift
        root[name] = np.datetime_as_string(moved, "s") + "Z"
    sweeps = {
        name: node.to_dataset(inherit=False).assign_coords(
            time=_ray_times(truth.time, index, n_rays)
        )
        for index, (name, node) in enumerate(tree.children.items())
    }
    return xr.DataTree.from_dict({"/": root.assign_attrs(tree.attrs), **sweeps})


def _ray_times(start: np.datetime64, sweep: int, n_rays: int) -> np.ndarray:
    # one sweep a minute, its rays over 30 s (ODIM stores whole seconds: sweeps shorter than a
    # second make xradar warn that it cannot tell the ray times)
    step = np.timedelta64(30_000_000_000 // n_rays, "ns")
    return start + sweep * np.timedelta64(60, "s") + np.arange(n_rays) * step


# How operational ODIM_H5 volumes store the moments: 16-bit codes with a gain and an offset,
# 0 for "undetect" and 65535 for "nodata" (gain, offset of each quantity).
PACKING = {
    "VRADH": (0.01, -327.68),
    "DBZH": (0.01, -327.68),
    "ZDR": (0.001, -32.768),
    "PHIDP": (0.01, 0.0),
    "RHOHV": (0.0001, 0.0),
    "KDP": (0.001, -32.768),
}


def packed(tree: xr.DataTree) -> xr.DataTree:
    """The tree with every moment of PACKING encoded for xradar's writer as 16-bit codes."""
    sweeps = {}
    for name, node in tree.children.items():
        ds = node.to_dataset(inherit=False)
        for moment, (gain, offset) in PACKING.items():
            if moment in ds:
                ds[moment].encoding = {
                    "dtype": "uint16",
                    "scale_factor": gain,
                    "add_offset": offset,
                    "_FillValue": 65535.0,
                    "_Undetect": 0.0,
                }
        sweeps[name] = ds
    root = tree.to_dataset(inherit=False).assign_attrs(tree.attrs)
    return xr.DataTree.from_dict({"/": root, **sweeps})


def write_volume(path: Path, tree: xr.DataTree, *, pack: bool = False, site: str = "detst") -> None:
    """The volume as ODIM_H5 by xradar's writer, of the radar ``site``: float64 moments, or
    packed to 16-bit codes with the rays' angles and times (``how`` group), as operational
    volumes are."""
    from xradar.io import to_odim

    if pack:
        to_odim(packed(tree), str(path), source=f"WMO:10999,NOD:{site}", optional_how=True)
    else:
        to_odim(tree, str(path), source=f"NOD:{site}")


def write_archive(
    directory: Path,
    count: int,
    *,
    pack: bool = False,
    site: str = "detst",
    first: int = 0,
    **geometry: object,
) -> list[Truth]:
    """``count`` volumes ``vol_000.h5``, ... five minutes apart, with drifting errors, of the
    radar ``site``; the first one is the archive's volume ``first``."""
    truths = [drift(first + index, first + count) for index in range(count)]
    for index, truth in enumerate(truths):
        path = directory / f"vol_{index:03d}.h5"
        write_volume(path, volume(truth, **geometry), pack=pack, site=site)
    return truths


def write_bomb(path: Path, volume: Path) -> None:
    """``volume`` with the moments of its first sweep declared 30 GiB and never written: a
    file of the same size on disk whose chunks read as 30 GiB of fill values."""
    import h5py

    path.write_bytes(volume.read_bytes())
    with h5py.File(path, "r+") as file:
        sweep = file["dataset1"]
        moments = [name for name in sweep if name.startswith("data")]
        rays = int(sweep["where"].attrs["nrays"])
        gates = 30 * 2**30 // (len(moments) * rays * 8)
        for name in moments:
            del sweep[name]["data"]
            sweep[name].create_dataset(
                "data", (rays, gates), "f8", chunks=(1, 2**20), compression="gzip"
            )
        sweep["where"].attrs["nbins"] = gates
