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

import numpy as np
import xarray as xr

from .geometry import beam_height
from .tables import light_rain_zdr_table, self_consistency_table

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
    e = np.interp(dbz, *light_rain_zdr_table(band))
    s2 = np.sin(np.deg2rad(elevation)) ** 2
    return np.asarray(e - 20.0 * np.log10(10.0 ** (0.05 * e) * s2 + (1.0 - s2)))


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
    root = xr.Dataset(
        {
            "time_coverage_start": str(np.datetime_as_string(START, "s")) + "Z",
            "time_coverage_end": str(np.datetime_as_string(START + np.timedelta64(5, "m"), "s"))
            + "Z",
            "latitude": 50.0,
            "longitude": 8.0,
            "altitude": 100.0,
            "volume_number": 0,
            "platform_type": "fixed",
            "instrument_type": "radar",
            "sweep_group_name": ("sweep", list(sweeps)),
            "sweep_fixed_angle": ("sweep", np.asarray(elevations, dtype=np.float64)),
        },
        attrs={"instrument_name": site, "history": "bluster.radar.synthetic"},
    )
    return xr.DataTree.from_dict({"/": root, **sweeps})


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
