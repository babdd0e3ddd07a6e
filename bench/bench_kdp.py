"""Benchmark of KDP from PhiDP (bluster.radar.kdp) on a full volume, against reading it.

A synthetic storm volume (bluster.radar.synthetic.storm_volume) of 14 PPI sweeps x 720 rays x
1,000 gates, written as ODIM_H5 with its moments coded in 16 bits as operational files hold
them (gzip, as xradar writes). Side by side in one run:

- reading it through bluster.radar.open_volume (xradar's reader and the decoding);
- the floor of reading: h5py reading every moment's dataset undecoded (decompression only),
  and only the two moments KDP needs (PhiDP and RhoHV);
- bluster.radar.kdp on the opened volume, with the system phase given and computed;
- the same least squares as cumulative sums in NumPy (what the kernel replaced);
- Py-ART's kdp_vulpiani and kdp_maesaka on one of the sweeps (times per sweep).

Run with the built environment (after bash scripts/test): .venv/bin/python bench/bench_kdp.py
"""

import contextlib
import io
import os
import sys
import tempfile
import warnings

import h5py
import numpy as np
import xarray as xr
import xradar

from bluster.radar import kdp, open_volume
from bluster.radar.synthetic import storm_volume

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import best_time, print_table

ELEVATIONS = tuple(np.round(np.linspace(0.5, 19.5, 14), 2))
RAYS, GATES = 720, 1000
REPEAT = 3
# 16-bit codes of each moment: (gain, offset), value = code * gain + offset; 0 is no data
CODING = {
    "DBZH": (0.01, -32.0),
    "ZDR": (0.001, -8.0),
    "PHIDP": (0.01, -0.01),
    "RHOHV": (0.0001, -0.0001),
    "KDP": (0.001, -10.0),
}


def write_volume(path):
    tree = storm_volume(ELEVATIONS, n_rays=RAYS, n_gates=GATES, band="S")
    sweeps = {}
    for name, node in tree.children.items():
        ds = node.to_dataset(inherit=False)
        for moment, (gain, offset) in CODING.items():
            ds[moment].encoding = {
                "dtype": "uint16", "scale_factor": gain, "add_offset": offset,
                "_FillValue": 0, "_Undetect": 0,
            }  # fmt: skip
        sweeps[name] = ds
    coded = xr.DataTree.from_dict({"/": tree.to_dataset(inherit=False), **sweeps})
    xradar.io.to_odim(coded, path, source="NOD:bench")


def read_undecoded(path, quantities=None):
    """Every moment's dataset (or those of ``quantities``) read as stored, undecoded."""
    with h5py.File(path) as file:
        for group in (g for g in file if g.startswith("dataset")):
            for data in (d for d in file[group] if d.startswith("data")):
                quantity = file[group][data]["what"].attrs["quantity"]
                if quantities is None or quantity.decode() in quantities:
                    file[group][data]["data"][()]


def numpy_kdp(volume, system_phase, half=4):
    """The same least squares by cumulative sums in NumPy, every sweep (for the comparison)."""
    for name in volume.children:
        ds = volume[name].ds
        phidp, rhohv = ds["PHIDP"].values, ds["RHOHV"].values
        valid = np.isfinite(phidp) & (rhohv >= 0.9)
        wrapped = np.where(valid, np.mod(phidp - system_phase + 180.0, 360.0) - 180.0, 0.0)
        index = np.where(valid, np.arange(GATES), -1)
        last = np.maximum.accumulate(index, axis=1)
        before = np.concatenate([np.full((RAYS, 1), -1), last[:, :-1]], axis=1)
        previous = np.take_along_axis(wrapped, np.maximum(before, 0), axis=1)
        step = wrapped - previous
        turns = np.where(valid & (before >= 0) & (np.abs(step) > 270.0), np.round(step / 360), 0)
        y = np.where(valid, wrapped - 360.0 * np.cumsum(turns, axis=1), 0.0)
        w = valid.astype(np.float64)
        j = np.arange(GATES, dtype=np.float64)

        def window(a):
            c = np.zeros((RAYS, GATES + 1))
            np.cumsum(a, axis=1, out=c[:, 1:])
            high = np.minimum(np.arange(GATES) + half + 1, GATES)
            low = np.maximum(np.arange(GATES) - half, 0)
            return c[:, high] - c[:, low]

        s0, s1, s2, t0, t1 = (window(a) for a in (w, w * j, w * j * j, y, y * j))
        sx, sxx, sxy = s1 - j * s0, s2 - 2 * j * s1 + j * j * s0, t1 - j * t0
        with np.errstate(invalid="ignore", divide="ignore"):
            np.where(valid & (s0 > half), (s0 * sxy - sx * t0) / (s0 * sxx - sx * sx), np.nan)


def pyart_rows(volume):
    """Py-ART's estimators on the first sweep, as a Radar of that sweep."""
    with contextlib.redirect_stdout(io.StringIO()):
        import pyart
    sweep = volume["sweep_0"].ds
    radar = pyart.testing.make_empty_ppi_radar(GATES, RAYS, 1)
    radar.range["data"] = sweep["range"].values
    radar.azimuth["data"] = sweep["azimuth"].values
    radar.elevation["data"] = sweep["elevation"].values
    relative = np.mod(sweep["PHIDP"].values - 30.0 + 180.0, 360.0) - 180.0
    radar.add_field("psidp", {"data": np.ma.masked_invalid(relative), "units": "degrees"})
    radar.add_field("rhohv", {"data": np.ma.masked_invalid(sweep["RHOHV"].values)})
    gates = pyart.filters.GateFilter(radar)
    gates.exclude_below("rhohv", 0.9)
    options = {"gatefilter": gates, "psidp_field": "psidp"}
    return [
        (
            "Py-ART kdp_vulpiani, 1 sweep",
            best_time(
                lambda: pyart.retrieve.kdp_vulpiani(radar, band="S", windsize=8, **options),
                1,
                0,
            ),
        ),
        (
            "Py-ART kdp_maesaka, 1 sweep",
            best_time(lambda: pyart.retrieve.kdp_maesaka(radar, **options), 1, 0),
        ),
    ]


def main():
    warnings.simplefilter("ignore")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "volume.h5")
        write_volume(path)
        size = os.path.getsize(path) / 1e6
        volume = open_volume(path)
        rows = [
            ("read: open_volume (xradar, decoded)", best_time(lambda: open_volume(path), REPEAT)),
            ("read floor: h5py, every moment undecoded", best_time(lambda: read_undecoded(path))),
            (
                "read floor: h5py, PhiDP and RhoHV undecoded",
                best_time(lambda: read_undecoded(path, {"PHIDP", "RHOHV"})),
            ),
            ("kdp, system phase given", best_time(lambda: kdp(volume, system_phase=30.0))),
            ("kdp, system phase computed", best_time(lambda: kdp(volume))),
            (
                "kdp, 1 thread, system phase given",
                best_time(lambda: kdp(volume, system_phase=30.0, n_threads=1)),
            ),
            (
                "the same in NumPy (cumulative sums)",
                best_time(lambda: numpy_kdp(volume, 30.0), REPEAT),
            ),
        ]
        try:
            rows += pyart_rows(volume)
        except ImportError:
            print("Py-ART not installed: its estimators are not measured")
    print_table(
        f"bluster.radar.kdp: {len(ELEVATIONS)} sweeps x {RAYS} rays x {GATES} gates, ODIM_H5 "
        f"of 16-bit moments ({size:.0f} MB)",
        rows,
        reference="kdp, system phase given",
    )


if __name__ == "__main__":
    main()
