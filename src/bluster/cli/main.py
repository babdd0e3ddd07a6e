"""Entry point of the ``bluster`` console script: parse, dispatch, turn errors into messages."""

import argparse
import sys
import warnings
from collections.abc import Sequence
from pathlib import Path

import numpy as np
import xarray as xr

from bluster.cli import interrupts
from bluster.cli.archive import Sources, expand_sources
from bluster.cli.parser import SCREEN_OPTIONS, build_parser
from bluster.radar import AliasedVelocityWarning
from bluster.radar.quality import FLAGS, WITH_A_NUMBER

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
    with interrupts.handled():
        try:
            return _main(argv)
        except KeyboardInterrupt as interruption:  # a signal before the run or in its last write
            print(
                f"bluster: {interrupts.describe(interruption)}; nothing more written (an "
                "output keeps its last complete write)",
                file=sys.stderr,
            )
            return interrupts.exit_status(interruption)


def console() -> None:
    """The ``bluster`` console script and ``python -m bluster``: :func:`main` with the
    program's arguments, its status the exit status."""
    status = main()
    # Python's exit waits for reading threads still busy after an interruption; a signal
    # meanwhile would print a traceback of that wait
    interrupts.exit_at_once(status)
    sys.exit(status)


def _main(argv: Sequence[str] | None) -> int:
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
            from bluster.cli.info import describe_files

            return describe_files(expand_sources(args.inputs), engine=args.engine)
        return _run(args, expand_sources(args.inputs))
    except (OSError, ValueError) as exc:
        # errors about the arguments or the output (the input files' own errors are reported
        # per file and never get here)
        print(f"bluster {args.command}: error: {message_of(exc)}", file=sys.stderr)
        return 2


def message_of(exc: BaseException) -> str:
    """An error's message for the command line: its remedy in options, not in Python."""
    return str(getattr(exc, "command_line", None) or exc)


def _run(args: argparse.Namespace, sources: Sources) -> int:
    from bluster.cli import volumes
    from bluster.cli.driver import kernel_threads
    from bluster.cli.provenance import run_attributes
    from bluster.cli.run import RunOptions, run_archive
    from bluster.cli.target import claimed

    if args.processes and args.scheduler:
        raise ValueError("--processes runs local worker processes; it does not go with --scheduler")
    if args.overwrite and args.resume:
        raise ValueError("--overwrite replaces --out, --resume adds to it: give one of them")
    moments = _moments(args.moment)
    # the core calls of a run on local threads use the cores its workers leave
    local = args.scheduler is None and not args.processes
    threads = kernel_threads(args.workers) if local else volumes.THREADS_PER_TASK
    if args.command == "calibrate":
        screens = {name: getattr(args, name) for name in SCREEN_OPTIONS}
        task = volumes.calibration_task(
            engine=args.engine, band=args.band, moments=moments, screens=screens, threads=threads
        )
        expected = CALIBRATION_VARIABLES
    else:
        if args.storm_motion is not None and not args.environment:
            raise ValueError("--storm-motion is the storm motion of --environment: give both")
        task = volumes.wind_task(
            engine=args.engine,
            heights=_heights(args),
            moments=moments,
            environment=args.environment,
            storm_motion=args.storm_motion,
            threads=threads,
        )
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
        attrs=run_attributes(args),
    )
    with (
        claimed(options.out, set(sources.files), command=args.command, overwrite=args.overwrite),
        warnings.catch_warnings(),
    ):
        # reported once for the whole run below, with the option that helps
        warnings.simplefilter("ignore", AliasedVelocityWarning)
        status, result = run_archive(task, sources, expected, options)
    if result is not None and "aliasing_suspected" in result:
        _report_aliasing(result)
    if result is not None and args.command == "calibrate":
        _report_partial_rows(result)
    if args.plot and result is not None:
        from bluster.cli import plots

        draw = plots.calibration_figure if args.command == "calibrate" else plots.wind_figure
        plots.save(draw(result), Path(args.plot))
    return status


def _moments(pairs: list[tuple[str, str]]) -> dict[str, str]:
    moments: dict[str, str] = {}
    for quantity, name in pairs:
        if moments.setdefault(quantity, name) != name:
            raise ValueError(f"--moment {quantity}= given twice ({moments[quantity]}, {name})")
    return moments


def _report_aliasing(result: xr.Dataset) -> None:
    flagged = result["source"].values[result["aliasing_suspected"].values == 1]
    if flagged.size:
        shown = ", ".join(map(str, flagged[:5])) + (", ..." if flagged.size > 5 else "")
        print(
            f"bluster: the velocities of {flagged.size} volumes look aliased ({shown}): their "
            "VAD fits leave residuals large against the Nyquist velocity the files state "
            "(aliasing_suspected is 1 in their rows); name a dealiased velocity with "
            "--moment velocity=NAME",
            file=sys.stderr,
        )


def _report_partial_rows(result: xr.Dataset) -> None:
    """The volumes whose rows lack a number (NaN and flagged), with the flags; and a note when
    the numbers were computed without a melting level."""
    flagged: dict[str, list[str]] = {}
    without_melting_level = 0
    for number in CALIBRATION_VARIABLES:
        quality = f"{number}_quality"
        if quality not in result:
            continue
        values = result[quality].values
        for source, value in zip(result["source"].values, values, strict=True):
            flag = FLAGS[int(value)] if 0 <= value < len(FLAGS) else str(value)
            if flag not in WITH_A_NUMBER:
                flagged.setdefault(str(source), []).append(f"{number} {flag}")
        without_melting_level += int(np.sum(values == FLAGS.index("no_melting_level_given")))
    if flagged:
        shown = "; ".join(
            f"{source} ({', '.join(flags)})" for source, flags in list(flagged.items())[:5]
        )
        more = f"; and {len(flagged) - 5} more" if len(flagged) > 5 else ""
        print(
            f"bluster: {len(flagged)} of {result.sizes['time']} volumes have partial rows, numbers "
            f"NaN with their flag in <number>_quality and the reason in <number>_reason: "
            f"{shown}{more}",
            file=sys.stderr,
        )
    if without_melting_level:
        print(
            f"bluster: {without_melting_level} numbers were computed without a melting level "
            "(flagged no_melting_level_given): give --melting-level to keep the melting layer "
            "out of them",
            file=sys.stderr,
        )


def _heights(args: argparse.Namespace) -> np.ndarray | None:
    if args.top is None:
        return None
    return np.arange(0.0, args.top + args.step / 2, args.step)
