"""A synthetic archive of small ODIM_H5 volumes with known winds and calibration errors.

Each volume holds PPI sweeps with DBZH, ZDR, KDP, RHOHV, PHIDP and VRADH, written by xradar's
own ODIM_H5 writer. Truths: a linearly sheared wind; a ZDR offset, a Z bias and a system phase
that drift linearly over the archive; the rain behind DBZH/ZDR/KDP follows the C-band default
tables of ``bluster.radar``. Used by the command-line tests and by ``bench/bench_cli.py``.
"""

from dataclasses import dataclass
from pathlib import Path

import numpy as np
import xarray as xr

EARTH_RADIUS = 6371000.0  # m; 4/3 effective radius in beam_height
START = np.datetime64("2026-06-01T12:00:00", "ns")
EVERY = np.timedelta64(5, "m")
SITE = {"latitude": 50.0, "longitude": 8.0, "altitude": 100.0}


@dataclass(frozen=True)
class Truth:
    """The errors of one volume: what ``bluster calibrate`` must recover."""

    time: np.datetime64
    zdr_offset: float  # dB
    z_bias: float  # dB
    system_phase: float  # degrees


def wind(height: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The wind of every volume (m s-1) at ``height`` above the radar (m)."""
    return 5.0 + 2e-3 * height, -3.0 + 1e-3 * height


def drift(index: int, count: int) -> Truth:
    """Volume ``index`` of ``count``: ZDR offset 0.1 -> 0.5 dB, Z bias -1 -> +2 dB."""
    share = index / max(count - 1, 1)
    return Truth(
        time=START + index * EVERY,
        zdr_offset=0.1 + 0.4 * share,
        z_bias=-1.0 + 3.0 * share,
        system_phase=350.0 + 20.0 * share - 360.0 * (share > 0.5),
    )


def beam_height(range_m: np.ndarray, elevation_deg: float) -> np.ndarray:
    """Height above the radar by the 4/3 effective-Earth-radius model (Doviak and Zrnic)."""
    radius = 4.0 / 3.0 * EARTH_RADIUS
    sin_el = np.sin(np.deg2rad(elevation_deg))
    return np.sqrt(range_m**2 + radius**2 + 2 * range_m * radius * sin_el) - radius


@dataclass(frozen=True)
class Geometry:
    """Sweeps of a synthetic volume: small by default, to keep the tests fast."""

    elevations: tuple[float, ...] = (0.5, 1.5, 3.0)
    rays: int = 90
    gates: int = 100
    gate_spacing: float = 250.0  # m


def volume(truth: Truth, geometry: Geometry, rain: "RainModel", seed: int) -> xr.DataTree:
    """One volume as an xradar DataTree, ready for ``xradar.io.to_odim``."""
    rng = np.random.default_rng(seed)
    sweeps = {
        f"sweep_{index}": _sweep(index, elevation, truth, geometry, rain, rng)
        for index, elevation in enumerate(geometry.elevations)
    }
    end = truth.time + np.timedelta64(60 * len(sweeps), "s")
    root = xr.Dataset(
        {
            "time_coverage_start": truth.time.astype("datetime64[s]").astype(str) + "Z",
            "time_coverage_end": end.astype("datetime64[s]").astype(str) + "Z",
            **{name: float(value) for name, value in SITE.items()},
        }
    )
    return xr.DataTree.from_dict({"/": root, **sweeps})


def _sweep(
    index: int,
    elevation: float,
    truth: Truth,
    geometry: Geometry,
    rain: "RainModel",
    rng: np.random.Generator,
) -> xr.Dataset:
    azimuth = (np.arange(geometry.rays) + 0.5) * 360.0 / geometry.rays
    ranges = (np.arange(geometry.gates) + 0.5) * geometry.gate_spacing
    az = np.deg2rad(azimuth)[:, None]
    u, v = wind(beam_height(ranges, elevation))
    cos_el = np.cos(np.deg2rad(elevation))
    velocity = (u * np.sin(az) + v * np.cos(az)) * cos_el + rng.normal(
        0.0, 0.5, (az.size, ranges.size)
    )

    dbz, zdr, kdp, kdp_phase = rain.gates(truth, (geometry.rays, geometry.gates), rng)
    phidp = truth.system_phase + 2.0 * np.cumsum(kdp_phase, axis=1) * geometry.gate_spacing / 1e3
    time = (
        truth.time
        + np.timedelta64(60 * index, "s")
        + (np.arange(geometry.rays) * np.timedelta64(60_000_000_000 // geometry.rays, "ns"))
    )
    dims = ("azimuth", "range")
    return xr.Dataset(
        {
            "DBZH": (dims, dbz),
            "ZDR": (dims, zdr),
            "KDP": (dims, kdp),
            "RHOHV": (dims, np.full(dbz.shape, 0.99)),
            "PHIDP": (dims, np.mod(phidp, 360.0)),
            "VRADH": (dims, velocity),
            "sweep_mode": "azimuth_surveillance",
            "sweep_number": index,
            "sweep_fixed_angle": elevation,
        },
        coords={
            "azimuth": azimuth,
            "elevation": ("azimuth", np.full(geometry.rays, elevation)),
            "range": ranges,
            "time": ("azimuth", time),
            **SITE,
        },
    )


@dataclass(frozen=True)
class RainModel:
    """Rain that follows a band's default tables exactly, as measured with known errors.

    Gates are light rain (measured 18 to 32 dBZ, ZDR from the light-rain table at the measured
    reflectivity, which the ZDR-offset estimate uses; KDP below 0.1 deg/km) or, beyond the
    first ``clear_gates`` of each ray, heavier rain with probability ``heavy_share`` (35 to 50
    dBZ true, ZDR rising with Z, KDP from the self-consistency relation, which the Z-bias
    estimate uses). Only the heavy rain adds to PHIDP (light rain's share is below the noise of
    a real PHIDP), so the first ``clear_gates`` of every ray show the system phase alone.
    """

    ref_z: np.ndarray  # dBZ
    ref_zdr: np.ndarray  # dB, expected ZDR of light rain at each ref_z
    gz: np.ndarray  # dB, ZDR nodes
    glg: np.ndarray  # log10(KDP / linear Z) at each node
    heavy_share: float = 0.5
    clear_gates: int = 40

    def gates(
        self, truth: Truth, shape: tuple[int, int], rng: np.random.Generator
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """Measured DBZH, ZDR (dB), KDP (deg/km) and the KDP that adds to PHIDP."""
        heavy = rng.random(shape) < self.heavy_share
        heavy[:, : self.clear_gates] = False
        light_dbz = rng.uniform(18.0, 32.0, shape)
        heavy_dbz_true = rng.uniform(35.0, 50.0, shape)
        dbz_true = np.where(heavy, heavy_dbz_true, light_dbz - truth.z_bias)
        zdr_true = np.where(
            heavy,
            0.5 + 0.1 * (heavy_dbz_true - 35.0),
            np.interp(light_dbz, self.ref_z, self.ref_zdr),
        )
        kdp = 10.0 ** (0.1 * dbz_true) * 10.0 ** np.interp(zdr_true, self.gz, self.glg)
        return dbz_true + truth.z_bias, zdr_true + truth.zdr_offset, kdp, np.where(heavy, kdp, 0.0)


def write_volume(path: Path, tree: xr.DataTree) -> None:
    from xradar.io import to_odim

    to_odim(tree, str(path), source="NOD:detst")


def write_archive(
    directory: Path, count: int, rain: RainModel, geometry: Geometry | None = None
) -> list[Truth]:
    """``count`` volumes ``vol_000.h5``, ... five minutes apart, with drifting errors."""
    geometry = geometry or Geometry()
    truths = [drift(index, count) for index in range(count)]
    for index, truth in enumerate(truths):
        write_volume(directory / f"vol_{index:03d}.h5", volume(truth, geometry, rain, seed=index))
    return truths
