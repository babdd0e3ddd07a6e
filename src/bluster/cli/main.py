"""Entry point of the ``bluster`` console script: parse, dispatch, turn errors into messages."""

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from bluster.cli.archive import expand_sources
from bluster.cli.parser import build_parser

# variables every row of each command has: an earlier output must hold them to be resumed
CALIBRATION_VARIABLES: tuple[str, ...] = ("zdr_offset", "z_bias", "system_phase")
WIND_VARIABLES: tuple[str, ...] = ("u", "v", "wind_speed", "wind_direction")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``bluster`` command line with ``argv`` (default: ``sys.argv[1:]``).

    Returns the exit status (see ``bluster calibrate --help``).

    Examples
    --------
    >>> from bluster.cli import main
    >>> main(["--version"])  # doctest: +SKIP
    bluster 0.1.0
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return _command(args)
    except ImportError as exc:
        # the console script is installed with the package; its libraries come with [cli]
        print(
            f"bluster {args.command}: needs the command line's libraries ({exc.name} is "
            "missing): pip install 'bluster[cli]'",
            file=sys.stderr,
        )
        return 2


def _command(args: argparse.Namespace) -> int:
    try:
        if args.command == "info":
            from bluster.cli.info import describe_file

            return describe_file(args.file, engine=args.engine)
        return _run(args)
    except (OSError, ValueError) as exc:
        # errors about the arguments or the output (the input files' own errors are reported
        # per file and never get here)
        print(f"bluster {args.command}: error: {exc}", file=sys.stderr)
        return 2


def _run(args: argparse.Namespace) -> int:
    from bluster.cli import volumes
    from bluster.cli.run import RunOptions, run_archive

    if args.processes and args.scheduler:
        raise ValueError("--processes starts a local cluster; it does not go with --scheduler")
    paths = expand_sources(args.inputs)
    if args.command == "calibrate":
        task = volumes.calibration_task(engine=args.engine, band=args.band)
        expected = CALIBRATION_VARIABLES
    else:
        task = volumes.wind_task(engine=args.engine, heights=_heights(args))
        expected = WIND_VARIABLES
    options = RunOptions(
        out=Path(args.out),
        workers=args.workers,
        scheduler=args.scheduler,
        processes=args.processes,
        resume=args.resume,
        keep_going=args.keep_going,
        quiet=args.quiet,
        checkpoint=args.checkpoint,
    )
    status, result = run_archive(task, paths, expected, options)
    if args.plot and result is not None:
        from bluster.cli import plots

        draw = plots.calibration_figure if args.command == "calibrate" else plots.wind_figure
        plots.save(draw(result), Path(args.plot))
    return status


def _heights(args: argparse.Namespace) -> np.ndarray | None:
    if args.top is None:
        return None
    return np.arange(0.0, args.top + args.step / 2, args.step)
