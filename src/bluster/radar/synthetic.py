"""Synthetic radar volumes with known truths, for tests, benchmarks and tutorials.

The volume is an xarray DataTree in xradar's form, ready for ``xradar.io.to_odim`` and
``xradar.io.to_cfradial2``. Each PPI sweep holds, gate by gate:

- ``VRADH``: the radial velocity of a wind given as a function of height, by default varying
  linearly with it (the beam height of the gate by the 4/3 effective-Earth-radius model);
- ``PHIDP``: the system phase plus a symmetric pattern of offsets (up to +-4.5 degrees),
  wrapped to [0, 360), so that its circular mean is the system phase;
- the first half of the gates light rain: ``DBZH`` 20 to 30 dBZ and ``ZDR`` the light-rain
  table of ``band`` at that reflectivity, converted to the sweep's elevation, plus the ZDR
  offset;
- the second half rain of 30.5 to 49.5 dBZ in steps of 1 dB: ``ZDR`` rising from 0.3 dB,
  ``KDP`` from the self-consistency table of ``band``, ``DBZH`` the true reflectivity plus
  the reflectivity bias, ``ZDR`` plus the ZDR offset;
- ``RHOHV`` 0.99.

Examples
--------
>>> from bluster.radar.synthetic import synthetic_volume
>>> tree = synthetic_volume(elevations=(0.5, 1.5), n_rays=360, n_gates=40)
>>> list(tree.children), sorted(tree["sweep_0"].data_vars)[:3]
(['sweep_0', 'sweep_1'], ['DBZH', 'KDP', 'PHIDP'])
"""

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
import xarray as xr

from .geometry import beam_height
from .tables import ATTENUATION_PER_DEGREE, light_rain_zdr_table, self_consistency_table

START = np.datetime64("2024-05-01T12:00:00", "ns")


Wind = Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]


def sheared_wind(height: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The default wind of :func:`synthetic_volume`: (u, v) in m s-1 at ``height`` m."""
    return 2.0 + 0.004 * height, -3.0 + 0.002 * height


# The veering wind: a quarter circle of the hodograph over 0-3 km, then a straight line
VEERING_CENTRE = (12.0, 2.0)  # m s-1, the centre of the circle
VEERING_RADIUS = 12.0  # m s-1
VEERING_DEPTH = 3000.0  # m


def veering_wind(height: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """A wind veering with height, for storm-environment truths: (u, v) in m s-1 at ``height``
    m above the antenna.

    The hodograph turns clockwise through a quarter circle of radius ``VEERING_RADIUS``
    around ``VEERING_CENTRE``, from (0, 2) m s-1 at the antenna to (12, 14) m s-1 at 3 km,
    then goes on along the tangent: an eastward shear of the same 6.3 m s-1 per km. The
    helicity of a layer from 0 m to ``z`` <= 3 km about the circle's centre is
    ``VEERING_RADIUS**2 * pi/2 * z / 3000`` m2 s-2.
    """
    z = np.asarray(height, dtype=np.float64)
    rate = 0.5 * np.pi / VEERING_DEPTH  # radians of turn per m
    turn = rate * np.clip(z, 0.0, VEERING_DEPTH)
    above = np.maximum(z - VEERING_DEPTH, 0.0)
    u = VEERING_CENTRE[0] - VEERING_RADIUS * np.cos(turn) + VEERING_RADIUS * rate * above
    v = VEERING_CENTRE[1] + VEERING_RADIUS * np.sin(turn)
    return u, v


def light_rain_zdr(dbz: np.ndarray, elevation: float, band: str) -> np.ndarray:
    """The table's light-rain ZDR at ``dbz`` seen at ``elevation`` degrees (dB)."""
    return _at_elevation(np.interp(dbz, *light_rain_zdr_table(band)), elevation)


def synthetic_volume(
    elevations: Sequence[float] = (0.5, 1.5, 3.0, 6.0),
    *,
    n_rays: int = 360,
    n_gates: int = 160,
    gate_spacing: float = 250.0,
    system_phase: float = 357.0,
    zdr_offset: float = 0.3,
    z_bias: float = 1.7,
    band: str = "S",
    site: str = "synth",
    wind: Wind = sheared_wind,
) -> xr.DataTree:
    """A volume of PPI sweeps with a known wind, system phase, ZDR offset and Z bias.

    Parameters
    ----------
    elevations : sequence of float
        Elevation of each sweep, degrees.
    n_rays, n_gates : int
        Rays per sweep (evenly spaced in azimuth) and gates per ray.
    gate_spacing : float
        m; the first gate is centred at half of it.
    system_phase : float
        degrees.
    zdr_offset, z_bias : float
        dB, added to ZDR and to the reflectivity of the rain gates.
    band : str
        Band of the default tables the rain follows.
    site : str
        The root's ``instrument_name``.
    wind : callable
        ``wind(height)``: the wind (u, v), m s-1, at heights in m above the antenna. Default
        :func:`sheared_wind`; :func:`veering_wind` turns with height.

    Returns
    -------
    xarray.DataTree
    """
    sweeps = {
        f"sweep_{i}": _sweep(
            i, el, n_rays, n_gates, gate_spacing, system_phase, zdr_offset, z_bias, band, wind
        )
        for i, el in enumerate(elevations)
    }
    return xr.DataTree.from_dict({"/": _root(sweeps, elevations, site), **sweeps})


def _root(
    sweeps: dict[str, xr.Dataset], elevations: Sequence[float], site: str, altitude: float = 100.0
) -> xr.Dataset:
    """The root of a synthetic volume: what xradar's writers need, and the radar's site."""
    return xr.Dataset(
        {
            "time_coverage_start": str(np.datetime_as_string(START, "s")) + "Z",
            "time_coverage_end": str(np.datetime_as_string(START + np.timedelta64(5, "m"), "s"))
            + "Z",
            "latitude": 50.0,
            "longitude": 8.0,
            "altitude": altitude,
            "volume_number": 0,
            "platform_type": "fixed",
            "instrument_type": "radar",
            "sweep_group_name": ("sweep", list(sweeps)),
            "sweep_fixed_angle": ("sweep", np.asarray(elevations, dtype=np.float64)),
        },
        attrs={"instrument_name": site, "history": "bluster.radar.synthetic"},
    )


def _sweep(
    number: int,
    elevation: float,
    n_rays: int,
    n_gates: int,
    gate_spacing: float,
    system_phase: float,
    zdr_offset: float,
    z_bias: float,
    band: str,
    wind: Wind,
) -> xr.Dataset:
    azimuth = (np.arange(n_rays) + 0.5) * 360.0 / n_rays
    rng = (np.arange(n_gates) + 0.5) * gate_spacing
    a = np.deg2rad(azimuth)[:, None]
    u, v = wind(beam_height(rng, elevation))
    velocity = (u * np.sin(a) + v * np.cos(a)) * np.cos(np.deg2rad(elevation))

    pattern = (np.arange(n_gates) % 10 - 4.5) * np.where(np.arange(n_gates) % 20 < 10, 1, -1)
    phidp = np.mod(system_phase + pattern, 360.0) * np.ones((n_rays, 1))

    light = n_gates // 2
    dbz_light = np.linspace(20.0, 30.0, light)
    z_true = 30.5 + np.arange(n_gates - light) % 20
    zdr_true = 0.3 + 0.08 * (z_true - 30.0)
    kdp = 10.0 ** (np.interp(zdr_true, *self_consistency_table(band)) + z_true / 10.0)
    dbz = np.concatenate([dbz_light, z_true + z_bias])
    zdr = np.concatenate([light_rain_zdr(dbz_light, elevation, band), zdr_true]) + zdr_offset
    kdp = np.concatenate([np.full(light, np.nan), kdp])

    def field(values: np.ndarray, units: str) -> tuple[tuple[str, str], np.ndarray, dict[str, str]]:
        return (
            ("azimuth", "range"),
            np.broadcast_to(values, (n_rays, n_gates)).copy(),
            {"units": units},
        )

    times = START + np.round(np.arange(n_rays) * 20e6 / n_rays).astype("timedelta64[ns]")
    return xr.Dataset(
        {
            "VRADH": field(velocity, "m/s"),
            "PHIDP": field(phidp, "degrees"),
            "DBZH": field(dbz, "dBZ"),
            "ZDR": field(zdr, "dB"),
            "KDP": field(kdp, "degrees/km"),
            "RHOHV": field(np.full(n_gates, 0.99), "unitless"),
            "sweep_mode": "azimuth_surveillance",
            "sweep_number": number,
            "sweep_fixed_angle": elevation,
        },
        coords={
            "azimuth": ("azimuth", azimuth, {"units": "degrees"}),
            "elevation": ("azimuth", np.full(n_rays, float(elevation)), {"units": "degrees"}),
            "range": ("range", rng, {"units": "meters"}),
            "time": ("azimuth", times),
            "latitude": 50.0,
            "longitude": 8.0,
            "altitude": 100.0,
        },
    )


# A storm volume for the calibration screens: light rain, a storm core that attenuates the
# gates behind it, and a melting layer with snow above it.
LIGHT_RAIN_PERIOD = 7.3  # km, of the light rain's reflectivity, 20 to 30 dBZ
CORE_START, CORE_END = 15.0, 30.0  # km, the storm core along every ray
CORE_PEAK = 50.0  # dBZ
MELTING_DEPTH = 600.0  # m, the melting layer below the melting level (the bright band)
SNOW_ZDR = 0.15  # dB, dry snow above the melting level


def storm_volume(
    elevations: Sequence[float] = (0.5, 1.5, 2.5, 4.0),
    *,
    n_rays: int = 180,
    n_gates: int = 400,
    gate_spacing: float = 250.0,
    band: str = "C",
    system_phase: float = 30.0,
    zdr_offset: float = 0.4,
    z_bias: float = -2.0,
    core: bool = True,
    melting_level: float | None = None,
    altitude: float = 100.0,
    with_kdp: bool = True,
    phidp_noise: float = 2.0,
    zdr_noise: float = 0.1,
    seed: int = 0,
    site: str = "storm",
) -> xr.DataTree:
    """A volume of PPI sweeps of rain with known calibration errors, attenuation and a
    melting layer, for the screens of :mod:`bluster.radar.calibration`.

    Along every ray: light rain whose reflectivity swings between 20 and 30 dBZ
    (``LIGHT_RAIN_PERIOD``); with ``core``, a storm core from ``CORE_START`` to ``CORE_END``
    km peaking at ``CORE_PEAK`` dBZ. ZDR is the light-rain table's (converted to the
    elevation) in light rain, ``0.3 + 0.08 (Z - 30)`` dB in the core; KDP follows the band's
    self-consistency table, and PhiDP is the system phase plus twice the range integral of
    KDP. Z and ZDR are attenuated by the band's ``ATTENUATION_PER_DEGREE`` times the rise of
    PhiDP (so the gates behind the core lose dB), then biased by ``z_bias`` and
    ``zdr_offset``. With ``melting_level`` (m above sea level), gates whose beam centre lies
    within ``MELTING_DEPTH`` below it are the bright band (Z + 6 dB, ZDR + 1 dB, RhoHV 0.96)
    and gates above it dry snow (Z - 3 dB, ZDR ``SNOW_ZDR``, RhoHV 0.99, no KDP). Gaussian
    noise of ``phidp_noise`` degrees and ``zdr_noise`` dB (seeded). Without ``with_kdp`` the
    sweeps hold no KDP, as NEXRAD Level II files.

    Returns
    -------
    xarray.DataTree
        In xradar's form, ready for ``xradar.io.to_odim``; the root states ``altitude``.
    """
    storm = _Storm(
        n_rays, n_gates, gate_spacing, band, system_phase, zdr_offset, z_bias, core,
        melting_level, altitude, with_kdp, phidp_noise, zdr_noise,
    )  # fmt: skip
    rng = np.random.default_rng(seed)
    sweeps = {f"sweep_{i}": storm.sweep(i, el, rng) for i, el in enumerate(elevations)}
    return xr.DataTree.from_dict({"/": _root(sweeps, elevations, site, altitude), **sweeps})


def storm_truth(
    n_gates: int = 400, gate_spacing: float = 250.0, band: str = "C", core: bool = True
) -> dict[str, np.ndarray]:
    """The rain of :func:`storm_volume` along a ray without melting layer, before calibration
    errors, attenuation and noise: ``range`` (km), ``z`` (dBZ), ``zdr`` (dB at horizontal
    incidence), ``kdp`` (deg/km) and ``phidp`` (degrees above the system phase)."""
    r = (np.arange(n_gates) + 0.5) * gate_spacing / 1000.0
    light = 25.0 + 5.0 * np.sin(2.0 * np.pi * r / LIGHT_RAIN_PERIOD)
    z = light.copy()
    zdr = np.interp(light, *light_rain_zdr_table(band))
    if core:
        inside = (r > CORE_START) & (r < CORE_END)
        shape = np.sin(np.pi * (r - CORE_START) / (CORE_END - CORE_START))
        heavy = 30.0 + (CORE_PEAK - 30.0) * shape
        stormy = inside & (heavy > light)
        z = np.where(stormy, heavy, z)
        zdr = np.where(stormy, 0.3 + 0.08 * (heavy - 30.0), zdr)
    kdp = 10.0 ** (np.interp(zdr, *self_consistency_table(band)) + z / 10.0)
    phidp = 2.0 * np.cumsum(kdp) * gate_spacing / 1000.0 - kdp * gate_spacing / 1000.0
    return {"range": r, "z": z, "zdr": zdr, "kdp": kdp, "phidp": phidp}


@dataclass(frozen=True)
class _Storm:
    """The settings of :func:`storm_volume`, which every sweep shares."""

    n_rays: int
    n_gates: int
    gate_spacing: float
    band: str
    system_phase: float
    zdr_offset: float
    z_bias: float
    core: bool
    melting_level: float | None
    altitude: float
    with_kdp: bool
    phidp_noise: float
    zdr_noise: float

    def sweep(self, number: int, elevation: float, rng: np.random.Generator) -> xr.Dataset:
        return _storm_sweep(self, number, elevation, rng)


def _storm_sweep(
    storm: _Storm, number: int, elevation: float, rng: np.random.Generator
) -> xr.Dataset:
    n_rays, n_gates, gate_spacing, band = (
        storm.n_rays,
        storm.n_gates,
        storm.gate_spacing,
        storm.band,
    )
    melting_level, altitude = storm.melting_level, storm.altitude
    truth = storm_truth(n_gates, gate_spacing, band, storm.core)
    shape = (n_rays, n_gates)
    z, kdp = truth["z"].copy(), truth["kdp"].copy()
    zdr = _at_elevation(truth["zdr"], elevation)
    rhohv = np.full(n_gates, 0.99)
    if melting_level is not None:
        centre = altitude + beam_height(truth["range"] * 1000.0, elevation)
        melting = (centre > melting_level - MELTING_DEPTH) & (centre <= melting_level)
        snow = centre > melting_level
        z = np.where(melting, z + 6.0, np.where(snow, z - 3.0, z))
        zdr = np.where(melting, zdr + 1.0, np.where(snow, SNOW_ZDR, zdr))
        rhohv = np.where(melting, 0.96, rhohv)
        kdp = np.where(snow, 0.0, kdp)
    rise = 2.0 * np.cumsum(kdp) * gate_spacing / 1000.0 - kdp * gate_spacing / 1000.0
    alpha, beta = ATTENUATION_PER_DEGREE[band.strip().upper()]
    dbz = z - alpha * rise + storm.z_bias
    zdr = zdr - beta * rise + storm.zdr_offset + rng.normal(0.0, storm.zdr_noise, shape)
    phidp = storm.system_phase + rise + rng.normal(0.0, storm.phidp_noise, shape)
    phidp = np.mod(phidp, 360.0)

    def field(values: np.ndarray, units: str) -> tuple[tuple[str, str], np.ndarray, dict[str, str]]:
        return (("azimuth", "range"), np.broadcast_to(values, shape).copy(), {"units": units})

    moments = {
        "DBZH": field(dbz, "dBZ"),
        "ZDR": field(zdr, "dB"),
        "PHIDP": field(phidp, "degrees"),
        "RHOHV": field(rhohv, "unitless"),
    }
    if storm.with_kdp:
        moments["KDP"] = field(kdp, "degrees/km")
    azimuth = (np.arange(n_rays) + 0.5) * 360.0 / n_rays
    times = START + np.round(np.arange(n_rays) * 20e6 / n_rays).astype("timedelta64[ns]")
    return xr.Dataset(
        moments
        | {
            "sweep_mode": "azimuth_surveillance",
            "sweep_number": number,
            "sweep_fixed_angle": elevation,
        },
        coords={
            "azimuth": ("azimuth", azimuth, {"units": "degrees"}),
            "elevation": ("azimuth", np.full(n_rays, float(elevation)), {"units": "degrees"}),
            "range": ("range", (np.arange(n_gates) + 0.5) * gate_spacing, {"units": "meters"}),
            "time": ("azimuth", times),
            "latitude": 50.0,
            "longitude": 8.0,
            "altitude": altitude,
        },
    )


def _at_elevation(zdr: np.ndarray, elevation: float) -> np.ndarray:
    """ZDR at horizontal incidence (dB) as seen at ``elevation`` degrees."""
    s2 = np.sin(np.deg2rad(elevation)) ** 2
    return np.asarray(zdr - 20.0 * np.log10(10.0 ** (0.05 * zdr) * s2 + (1.0 - s2)))
