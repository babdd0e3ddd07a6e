"""The result Datasets: one table of what each variable is, applied in one place.

Every variable gets ``units`` (UDUNITS/CF spelling), ``long_name`` and, where the CF standard
name table has one, ``standard_name``.
"""

from collections.abc import Hashable
from typing import Any

import xarray as xr

Attrs = dict[str, Any]


def _v(units: str, long_name: str, standard_name: str | None = None, **extra: object) -> Attrs:
    attrs: Attrs = {"units": units, "long_name": long_name}
    if standard_name:
        attrs["standard_name"] = standard_name
    return attrs | extra


_FLAG: dict[str, object] = {"flag_values": [0.0, 1.0], "flag_meanings": "top_found top_not_found"}

# Bunkers et al. (2000) storm motions and the mean wind they start from
_MOTION: dict[str, Attrs] = {
    "storm_u_right": _v("m s-1", "eastward motion of a right-moving supercell (Bunkers)"),
    "storm_v_right": _v("m s-1", "northward motion of a right-moving supercell (Bunkers)"),
    "storm_u_left": _v("m s-1", "eastward motion of a left-moving supercell (Bunkers)"),
    "storm_v_left": _v("m s-1", "northward motion of a left-moving supercell (Bunkers)"),
    "u_mean_0_6km": _v("m s-1", "0-6 km mean eastward wind", "eastward_wind"),
    "v_mean_0_6km": _v("m s-1", "0-6 km mean northward wind", "northward_wind"),
}

VARIABLES: dict[str, dict[str, Attrs]] = {
    "thermo": {
        "mixing_ratio": _v("kg kg-1", "water vapour mixing ratio", "humidity_mixing_ratio"),
        "theta": _v("K", "potential temperature", "air_potential_temperature"),
        "theta_v": _v("K", "virtual potential temperature"),
        "theta_e": _v(
            "K", "equivalent potential temperature", "air_equivalent_potential_temperature"
        ),
    },
    "cold_pool": {
        "intensity": _v("m s-1", "cold-pool intensity sqrt(2 * integral of -buoyancy dz)"),
        "depth": _v("m", "cold-pool depth above its start level"),
        "open_top": _v(
            "1", "threshold never reached (layer runs to the last level)", None, **_FLAG
        ),
    },
    "profile": {
        "u_bottom": _v("m s-1", "eastward wind at the bottom of the layer", "eastward_wind"),
        "v_bottom": _v("m s-1", "northward wind at the bottom of the layer", "northward_wind"),
        "u_top": _v("m s-1", "eastward wind at the top of the layer", "eastward_wind"),
        "v_top": _v("m s-1", "northward wind at the top of the layer", "northward_wind"),
        "helicity": _v("m2 s-2", "storm-relative helicity of the layer"),
        "u_mean": _v("m s-1", "layer-mean eastward wind", "eastward_wind"),
        "v_mean": _v("m s-1", "layer-mean northward wind", "northward_wind"),
    },
    "storm_motion": _MOTION,
    "bulk_shear": {
        "u_shear": _v("m s-1", "eastward component of the bulk wind shear of the layer"),
        "v_shear": _v("m s-1", "northward component of the bulk wind shear of the layer"),
        "shear": _v("m s-1", "bulk wind shear of the layer (length of the vector)"),
    },
    "storm_environment": _MOTION
    | {
        f"{name}_0_{depth}km": _v("m s-1", f"{what} of the bulk wind shear over 0-{depth} km")
        for depth in (1, 3, 6)
        for name, what in (
            ("u_shear", "eastward component"),
            ("v_shear", "northward component"),
            ("shear", "length"),
        )
    }
    | {
        "storm_u": _v("m s-1", "eastward storm motion of the helicity"),
        "storm_v": _v("m s-1", "northward storm motion of the helicity"),
        "helicity_0_1km": _v("m2 s-2", "storm-relative helicity over 0-1 km"),
        "helicity_0_3km": _v("m2 s-2", "storm-relative helicity over 0-3 km"),
    },
    "gradient": {
        # units: the field's per the coordinate's, filled in by the call when both are known
        "df_dx": {"long_name": "derivative of the field along x"},
        "df_dy": {"long_name": "derivative of the field along y"},
    },
    "vad": {
        "u": _v("m s-1", "eastward wind", "eastward_wind"),
        "v": _v("m s-1", "northward wind", "northward_wind"),
        "offset": _v("m s-1", "offset of the first-harmonic fit of radial velocity"),
        "rms": _v("m s-1", "rms residual of the first-harmonic fit"),
        "count": _v("1", "number of valid samples"),
        "offset2": _v("m s-1", "offset of the fit with the second harmonic"),
        "sin2": _v("m s-1", "coefficient of sin(2 azimuth) of the fit with the second harmonic"),
        "cos2": _v("m s-1", "coefficient of cos(2 azimuth) of the fit with the second harmonic"),
    },
    "offset_stats": {
        "count": _v("1", "number of samples used"),
        "offset": _v("dB", "ZDR offset: mean of measured minus expected ZDR"),
        "std": _v("dB", "standard deviation of measured minus expected ZDR"),
        "median": _v("dB", "median of measured minus expected ZDR"),
        "expected": _v("dB", "mean expected ZDR of the samples used"),
    },
    "consistency_stats": {
        "count": _v("1", "number of samples in the accepted bins"),
        "bins": _v("1", "number of accepted reflectivity bins"),
        "median": _v("dB", "median of the bin reflectivity biases"),
        "bias": _v("dB", "reflectivity bias: count-weighted mean of the bin biases"),
        "std": _v("dB", "standard deviation of the bin reflectivity biases"),
    },
    "kdp_rays": {
        "kdp": _v("degree km-1", "specific differential phase"),
        "phidp": _v("degree", "fitted differential phase above the system phase, unfolded"),
    },
    "phidp_rays": {
        "system_phase": _v("degree", "system differential phase"),
        "count": _v("1", "number of gates used"),
        "resultant_length": _v("1", "mean resultant length of the gate phases"),
    },
}


def dataset(
    func: str,
    values: dict[str, tuple[tuple[Hashable, ...], Any]],
    coords: xr.Coordinates | None = None,
    overrides: dict[str, Attrs] | None = None,
) -> xr.Dataset:
    """The Dataset of `func`'s result variables, given as (dims, data), over `coords`."""
    table = VARIABLES[func]
    overrides = overrides or {}
    variables = {
        name: xr.Variable(dims, data, table[name] | overrides.get(name, {}))
        for name, (dims, data) in values.items()
    }
    return assemble(variables, coords)


def assemble(variables: dict[str, xr.Variable], coords: xr.Coordinates | None) -> xr.Dataset:
    """``xr.Dataset(variables, coords=coords)`` without its merge and alignment.

    The variables come from one kernel call over the coordinates' dims, so there is nothing
    to merge or align; that work costs a few hundred microseconds, more than the kernel on
    small inputs (bench/bench_package.py). tests/test_package.py checks that the result is
    identical to the public constructor's.
    """
    coord_variables = dict(coords.variables) if coords is not None else {}
    indexes = dict(coords.xindexes) if coords is not None else {}
    return ordered(coord_variables | variables, set(coord_variables), indexes)


def ordered(
    variables: dict[Hashable, xr.Variable],
    coord_names: set[Hashable],
    indexes: dict[Hashable, Any] | None = None,
    attrs: dict[str, Any] | None = None,
) -> xr.Dataset:
    """The Dataset of ``variables`` in their order, those of ``coord_names`` coordinates (the
    indexed ones with their ``indexes``), built without the constructor's merge and alignment
    (see :func:`assemble`): for results assembled from parts known to agree."""
    return xr.Dataset._construct_direct(variables, coord_names, indexes=indexes or {}, attrs=attrs)
