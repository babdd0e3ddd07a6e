"""A whole archive run: skip what is done, process the rest, checkpoint, summarise.

Shared by ``bluster calibrate`` and ``bluster vad``, which differ only in the task applied to
each file and the variables of their rows.
"""

import time
from dataclasses import dataclass, field
from pathlib import Path

import xarray as xr

from bluster.cli.driver import process_files
from bluster.cli.output import done_sources, merge_rows, read_previous, write_atomic
from bluster.cli.progress import Progress
from bluster.cli.tasks import Outcome, VolumeTask

# Exit statuses: 0 all files processed; 1 some skipped (the rest written); 2 usage error
# (argparse); 3 nothing to write; 130 interrupted (what was done is written).
EXIT_OK, EXIT_SKIPPED, EXIT_NOTHING, EXIT_INTERRUPTED = 0, 1, 3, 130


@dataclass
class RunOptions:
    out: Path
    workers: int | None = None
    scheduler: str | None = None
    processes: bool = False
    resume: bool = False
    keep_going: bool = False
    quiet: bool = False
    checkpoint: float = 60.0  # seconds between two writes of the rows done so far


@dataclass
class Run:
    """The rows and failures of one run, written out as they accumulate."""

    options: RunOptions
    previous: xr.Dataset | None
    progress: Progress
    rows: list[xr.Dataset] = field(default_factory=list)
    failed: list[Outcome] = field(default_factory=list)
    written: int = 0  # new rows in the file
    result: xr.Dataset | None = None  # what the file holds
    last_write: float = field(default_factory=time.monotonic)

    def __post_init__(self) -> None:
        self.result = self.previous

    def add(self, outcome: Outcome) -> None:
        if outcome.row is not None:
            self.rows.append(outcome.row)
        else:
            self.failed.append(outcome)
            self.progress.message(f"bluster: skipped {outcome.path}: {outcome.error}")
        self.progress.advance()
        if time.monotonic() - self.last_write >= self.options.checkpoint:
            self.write()

    def write(self) -> None:
        """Write the previous rows and every new one, if there is anything new."""
        self.last_write = time.monotonic()
        if len(self.rows) == self.written:
            return
        merged = merge_rows(self.previous, self.rows)
        write_atomic(merged, self.options.out)
        self.written = len(self.rows)
        self.result = merged


def run_archive(
    task: VolumeTask, paths: list[Path], expected: tuple[str, ...], options: RunOptions
) -> tuple[int, xr.Dataset | None]:
    """Process ``paths`` with ``task`` into ``options.out``; the exit status and the result.

    ``expected`` names variables every row has (to recognise an earlier output on resume).
    The result is None when nothing was written.
    """
    previous = read_previous(options.out, expected) if options.resume else None
    done = done_sources(previous)
    todo = [str(path) for path in paths if path.name not in done]
    progress = Progress(len(todo), quiet=options.quiet)
    if done:
        progress.message(
            f"bluster: --resume: {len(paths) - len(todo)} of {len(paths)} files already in "
            f"{options.out}"
        )
    run = Run(options, previous, progress)
    try:
        process_files(
            task,
            todo,
            run.add,
            workers=options.workers,
            scheduler=options.scheduler,
            processes=options.processes,
        )
    except KeyboardInterrupt:
        progress.close()
        run.write()
        progress.message(
            f"bluster: interrupted after {len(run.rows) + len(run.failed)} of {len(todo)} files; "
            f"{len(run.rows)} written to {options.out}; rerun with --resume to finish"
        )
        return EXIT_INTERRUPTED, None
    progress.close()
    run.write()
    return _summarise(run, len(todo)), run.result


def _summarise(run: Run, attempted: int) -> int:
    message = run.progress.message
    total = run.result
    rows = 0 if total is None else total.sizes["time"]
    message(
        f"bluster: {len(run.rows)} of {attempted} volumes processed, {len(run.failed)} skipped; "
        f"{run.options.out} holds {rows} volumes"
    )
    for outcome in sorted(run.failed, key=lambda outcome: outcome.path):
        message(f"  skipped {outcome.path}: {outcome.error}")
    before = 0 if run.previous is None else run.previous.sizes["time"]
    if total is not None and rows - before < len(run.rows):
        message(
            f"bluster: {len(run.rows) - (rows - before)} volumes not added: their volume time "
            "is already in the output (the same volume under another file name)"
        )
    if total is None:
        message("bluster: nothing written: no volume could be processed")
        return EXIT_NOTHING
    if run.failed and not run.options.keep_going:
        return EXIT_SKIPPED
    return EXIT_OK
