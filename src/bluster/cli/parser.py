"""The ``bluster`` argument parser: subcommands, options and the help texts users work from."""

import argparse
from collections.abc import Callable
from pathlib import Path

from bluster import __version__
from bluster.radar.volume import MOMENT_ALIASES

#: The output formats, by the suffix of --out: NetCDF-4 or a Zarr store.
NETCDF_SUFFIXES = (".nc", ".nc4", ".h5", ".netcdf")
ZARR_SUFFIX = ".zarr"

DESCRIPTION = """\
Calibration monitoring and wind profiles over weather-radar archives.

Every volume file (ODIM_H5, CfRadial, NEXRAD Level II, IRIS, GAMIC, ... as xradar reads them)
is one task on Dask: local threads by default, or an existing cluster with --scheduler. Rows
are sorted by volume time, so the result does not depend on the scheduler or the number of
workers. Run 'bluster COMMAND --help' for each command's options."""

EPILOG = """\
examples:
  bluster info radar/2026-06-01/T_PAGZ41_C_0001.h5
  bluster calibrate radar/2026-06 --band C --out monitor.nc --plot monitor.png
  bluster vad radar/2026-06-01 --out winds.nc --plot winds.png --workers 2"""

RUN_NOTES = """\
bad files:
  A file that cannot be read, or lacks a moment the command needs in every sweep, is
  reported (path and reason) and skipped; it never ends the run. Sweeps without the moments
  a number needs (the velocity and dual-polarisation sweeps of NEXRAD's split cuts) are left
  out of that number. --moment QUANTITY=NAME names a moment the usual names do not find. A
  file or folder that cannot be read for its permissions is reported and counted the same
  way. With --processes, a file whose worker process dies while reading it (killed for want
  of memory, a crash in a reader) is run again alone, then reported and skipped if it
  kills its worker twice. The summary at the end lists every skipped file.

exit status:
  0    every file processed (with --keep-going: some skipped, something written)
  1    some files skipped; the others are written
  2    a usage error, or an output that cannot be written or resumed (found before any
       work), or another run writing the same output
  3    no file could be processed; nothing is written
  4    the final write failed (a full disk): the output keeps its last complete write
  130  interrupted (Ctrl-C, SIGINT); 143 terminated (SIGTERM, as batch schedulers send):
       what was done is written; finish with --resume
  --keep-going changes only the exit status: skipped files are still reported, and --resume
  tries them again.

output:
  NetCDF-4 when --out ends in .nc, .nc4, .h5 or .netcdf, or a Zarr store with
  consolidated metadata when it ends in .zarr (any other name is a usage error), with one
  row per volume (a site and start time) along 'time', the path of each row's file in
  'source', and the command, bluster version and options of the run as attributes. --out
  must not be an input, and may replace an existing file only when that is an output of
  the same command (else give --overwrite); its folder must be writable. A lock beside it
  keeps a second run off. The file is written to a hidden temporary file in the same folder
  and renamed over --out, every --checkpoint seconds and at the end (spaced so that writing
  takes at most about a tenth of the run), so an interrupted run leaves a complete file; a
  checkpoint that cannot be written (a full disk) is reported and the run goes on.
  --resume skips the files already in --out (by their resolved path; a volume already
  there is not added again), refuses an output written with other options or by another
  bluster version, and rewrites it with the merged result."""

CALIBRATE_EPILOG = f"""\
The row of each volume holds the ZDR offset, the Z bias and the system differential phase
with their spreads and sample counts, the volume's start time and the site, and for each
number a quality flag (<number>_quality, a CF flag variable: ok, too_few_samples,
too_few_categories, no_kdp_estimated, no_melting_level_given, attenuated, missing_moment)
with its reason (<number>_reason). Below its minimums a number is NaN with its flag. A
volume lacking what one number needs (the ZDR of a legacy NEXRAD file) gets a row with the
other numbers and that one NaN, flagged missing_moment: only a file that cannot be read is
skipped. Volumes without KDP (all of NEXRAD Level II) get it estimated from PhiDP for the Z
bias; --moment kdp=NAME names a KDP of another name. The summary at the end lists the
volumes with partial rows.

screens (see the documentation, "Calibration in practice"):
  --melting-level is the height of the 0 degC level (from a sounding or a model; no file
  states it): without it, gates in and above the melting layer may enter the ZDR offset and
  the Z bias, which are then flagged no_melting_level_given. --max-phidp-rise defaults to
  the band's (ZDR offset 25, 3.3 and 2.5 degrees, Z bias 12.5, 6.25 and 1.8 at S, C and X).

examples:
  bluster calibrate radar/2026-06 --band C --out monitor.nc --plot monitor.png
  bluster calibrate radar/2026-06 --band S --melting-level 3200 --max-range 150 -o m.nc

{RUN_NOTES}"""

VAD_EPILOG = f"""\
The row of each volume is its wind profile over height (u, v, wind speed and direction, fit
rms, number of rings), from a VAD fit of every range gate of every PPI sweep with velocity
(dealiased velocity first: VRADDH, corrected_velocity, ...; or --moment velocity=NAME).
Where a file states its Nyquist velocity, velocities that look aliased (fit residuals large
against it) are flagged in 'aliasing_suspected' and reported at the end. With --environment
each row also holds the profile's storm environment, as bluster.radar.storm_environment
gives it: Bunkers right- and left-mover motion and 0-6 km mean wind, 0-1, 0-3 and 0-6 km
bulk shear, 0-1 and 0-3 km storm-relative helicity; NaN for the layers the profile does not
reach (a VAD profile rarely reaches 6 km: give --storm-motion for the helicity).

examples:
  bluster vad radar/2026-06-01 --top 8000 --step 250 --out winds.nc --plot winds.png
  bluster vad radar/2026-06-01 --environment --storm-motion 12,5 --out winds.nc

{RUN_NOTES}"""

INFO_EPILOG = """\
Prints each file's format, site, time, and for every sweep its mode, elevation, rays, gates,
range and moments: the quick check before a long run. A directory is searched recursively
and every file in it described. Exit status 1 when a file cannot be read.

examples:
  bluster info radar/2026-06-01/T_PAGZ41_C_0001.h5
  bluster info radar/2026-06-01"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="bluster",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"bluster {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = _run_options()

    calibrate = commands.add_parser(
        "calibrate",
        parents=[run],
        help="ZDR offset, Z bias and system phase of every volume, as a time series",
        description="Calibration monitoring: one row per volume file, as a time series.",
        epilog=CALIBRATE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    calibrate.add_argument(
        "--band",
        choices=("S", "C", "X"),
        required=True,
        help="radar band, which selects the default tables of light-rain ZDR and of the "
        "self-consistency of Z, ZDR and KDP, and the default --max-phidp-rise",
    )
    _screen_options(calibrate)

    vad = commands.add_parser(
        "vad",
        parents=[run],
        help="VAD wind profile of every volume, as a time-height series",
        description="Wind profiles: the VAD profile of every volume file over time and height.",
        epilog=VAD_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    vad.add_argument(
        "--step",
        type=_positive(float),
        default=100.0,
        metavar="M",
        help="height bin width in metres (default: %(default)s)",
    )
    vad.add_argument(
        "--top",
        type=_positive(float),
        default=None,
        metavar="M",
        help="top of the highest height bin in metres above the radar (default: the highest "
        "ring of each volume; give it for a common height grid over the whole archive)",
    )
    vad.add_argument(
        "--environment",
        action="store_true",
        help="also the storm environment of each profile: Bunkers motion, bulk shear, "
        "storm-relative helicity (plotted below the winds)",
    )
    vad.add_argument(
        "--storm-motion",
        type=_storm_motion,
        metavar="U,V",
        help="with --environment: the storm motion of the helicity, eastward and northward in "
        "m/s, e.g. 12,5 or, with a minus sign first, --storm-motion=-4,10 (default: the "
        "Bunkers right mover, which needs the profile to reach 6 km)",
    )

    info = commands.add_parser(
        "info",
        help="what a volume file holds: format, sweeps, elevations, moments, time",
        description="Describe one volume file.",
        epilog=INFO_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    info.add_argument(
        "inputs",
        nargs="+",
        metavar="FILE_OR_DIR",
        help="volume files, or directories searched recursively (hidden files skipped)",
    )
    _engine_option(info)
    return parser


def _screen_options(calibrate: argparse.ArgumentParser) -> None:
    """The screens of the ZDR offset and the Z bias, and the minimums of their samples."""
    screens = calibrate.add_argument_group("screens and minimums of the ZDR offset and Z bias")
    screens.add_argument(
        "--max-range",
        type=_positive(float),
        metavar="KM",
        help="only gates within this range (default: no limit)",
    )
    screens.add_argument(
        "--melting-level",
        type=_finite,
        metavar="M",
        help="height of the melting level (0 degC), m above sea level: only gates whose beam "
        "top is --melting-margin below it (default: none, and the numbers are flagged "
        "no_melting_level_given)",
    )
    screens.add_argument(
        "--melting-margin",
        type=_non_negative(float),
        default=1000.0,
        metavar="M",
        help="margin below the melting level, m (default: %(default)s)",
    )
    screens.add_argument(
        "--max-phidp-rise",
        type=_positive(float),
        metavar="DEG",
        help="leave out gates whose PhiDP rose more than this above the system phase: the "
        "gates behind strong attenuation (default: the band's, per number)",
    )
    screens.add_argument(
        "--min-category-samples",
        type=_positive(int),
        default=1000,
        metavar="N",
        help="ZDR offset: samples a reflectivity category needs (default: %(default)s)",
    )
    screens.add_argument(
        "--min-categories",
        type=_positive(int),
        default=2,
        metavar="N",
        help="ZDR offset: categories with that many samples it needs (default: %(default)s)",
    )
    screens.add_argument(
        "--min-bias-samples",
        type=_positive(int),
        default=1000,
        metavar="N",
        help="Z bias: samples in accepted reflectivity bins it needs (default: %(default)s)",
    )


#: The calibrate options that are keyword arguments of bluster.radar.calibration.
SCREEN_OPTIONS = (
    "max_range",
    "melting_level",
    "melting_margin",
    "max_phidp_rise",
    "min_category_samples",
    "min_categories",
    "min_bias_samples",
)


def _run_options() -> argparse.ArgumentParser:
    """The options shared by the commands that run over an archive."""
    run = argparse.ArgumentParser(add_help=False)
    run.add_argument(
        "inputs",
        nargs="+",
        metavar="FILE_OR_DIR",
        help="volume files, or directories searched recursively (hidden files skipped)",
    )
    run.add_argument(
        "-o",
        "--out",
        required=True,
        type=_output_path,
        metavar="PATH",
        help=f"output file: NetCDF ({', '.join(NETCDF_SUFFIXES)}) or a Zarr store ({ZARR_SUFFIX})",
    )
    run.add_argument("--plot", metavar="PNG", help="also draw the result into this image file")
    _engine_option(run)
    run.add_argument(
        "--moment",
        action="append",
        type=_moment_name,
        default=[],
        metavar="QUANTITY=NAME",
        help="the file's name of a moment that the usual names do not find, e.g. "
        "--moment velocity=VCOR (repeatable; quantities: " + ", ".join(MOMENT_ALIASES) + ")",
    )
    where = run.add_mutually_exclusive_group()
    where.add_argument(
        "-w",
        "--workers",
        type=_positive(int),
        metavar="N",
        help="files computed at once on local threads (default: one per core); one more "
        "thread reads the next files, and the core calls use the cores the workers leave",
    )
    where.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on an existing dask.distributed cluster, e.g. tcp://10.0.0.5:8786 (its "
        "workers need bluster installed and the files at the same paths)",
    )
    run.add_argument(
        "--processes",
        action="store_true",
        help="run the --workers as single-threaded local processes rather than threads: "
        "faster on long runs (threads take turns holding Python's GIL; processes take a "
        "second or two to start)",
    )
    run.add_argument(
        "--resume",
        action="store_true",
        help="skip the files already in --out and add the rest to it (the same options as "
        "the run that wrote it)",
    )
    run.add_argument(
        "--overwrite",
        action="store_true",
        help="replace --out even if it exists and is not an output of this command",
    )
    run.add_argument(
        "--keep-going",
        action="store_true",
        help="exit 0 even if some files were skipped (they are still reported)",
    )
    run.add_argument(
        "--checkpoint",
        type=_non_negative(float),
        default=60.0,
        metavar="SECONDS",
        help="write the volumes done so far this often (default: %(default)s; 0: as often "
        "as writing takes at most a tenth of the run)",
    )
    run.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no progress bar (skipped files and the summary are still reported)",
    )
    return run


def _engine_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--engine",
        metavar="NAME",
        help="reader of the files: a lean reader (bluster-odim, bluster-cfradial1, "
        "bluster-cfradial2), an xradar engine (odim, cfradial1, cfradial2, nexradlevel2, iris, "
        "gamic, rainbow, furuno, uf, ...) or pyart for files only Py-ART reads (default: "
        "detected from each file; the lean reader of its format where there is one)",
    )


def _output_path(text: str) -> Path:
    path = Path(text)
    if path.suffix.lower() not in (*NETCDF_SUFFIXES, ZARR_SUFFIX):
        raise argparse.ArgumentTypeError(
            f"{text!r} names no output format this command writes: end it in "
            f"{', '.join(NETCDF_SUFFIXES)} (NetCDF) or {ZARR_SUFFIX} (Zarr)"
        )
    return path


def _moment_name(text: str) -> tuple[str, str]:
    quantity, _, name = text.partition("=")
    quantity, name = quantity.strip(), name.strip()
    if quantity not in MOMENT_ALIASES or not name:
        raise argparse.ArgumentTypeError(
            f"expected QUANTITY=NAME with a quantity among {', '.join(MOMENT_ALIASES)} and "
            f"the moment's name in the files, got {text!r}"
        )
    return quantity, name


Converter = Callable[[str], int | float]


def _storm_motion(text: str) -> tuple[float, float]:
    parts = text.split(",")
    try:
        u, v = (float(part) for part in parts)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected the eastward and northward motion in m/s as U,V, got {text!r}"
        ) from None
    if not (abs(u) < float("inf") and abs(v) < float("inf")):
        raise argparse.ArgumentTypeError(f"expected finite numbers as U,V, got {text!r}")
    return u, v


def _finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not abs(value) < float("inf"):
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}")
    return value


def _positive(kind: type[int] | type[float]) -> Converter:
    return _bounded(kind, strict=True)


def _non_negative(kind: type[int] | type[float]) -> Converter:
    return _bounded(kind, strict=False)


def _bounded(kind: type[int] | type[float], *, strict: bool) -> Converter:
    expected = "a positive" if strict else "a non-negative"

    def convert(text: str) -> int | float:
        value: int | float | None
        try:
            value = kind(text)
        except ValueError:
            value = None
        if value is None or value < 0 or (strict and value == 0) or value != value:
            raise argparse.ArgumentTypeError(f"expected {expected} {kind.__name__}, got {text!r}")
        return value

    convert.__name__ = kind.__name__
    return convert
