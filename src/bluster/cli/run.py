"""A whole archive run: skip what is done, process the rest, checkpoint, summarise.

Shared by ``bluster calibrate`` and ``bluster vad``, which differ only in the task applied to
each file and the variables of their rows.
"""

import time
from dataclasses import dataclass, field
from pathlib import Path

import xarray as xr

from bluster.cli import interrupts
from bluster.cli.archive import Sources
from bluster.cli.driver import process_files
from bluster.cli.output import done_sources, merge_rows, read_previous, write_atomic
from bluster.cli.progress import Progress
from bluster.cli.provenance import check_resumable
from bluster.cli.tasks import Outcome, VolumeTask, source_text

# Exit statuses: 0 all files processed; 1 some skipped (the rest written); 2 usage error or
# an output that cannot be written (found before any work); 3 nothing to write; 4 the
# final write failed (the file keeps its last complete write); 130 interrupted (SIGINT) and
# 143 terminated (SIGTERM): what was done is written.
EXIT_OK, EXIT_SKIPPED, EXIT_NOTHING, EXIT_WRITE_FAILED = 0, 1, 3, 4

#: Writing takes a small share of a run (about a tenth): after a write, the next one waits at
#: least this many times as long as that write took, even with ``--checkpoint 0``. A write
#: replaces the whole file, so writing after every volume would cost the square of the
#: archive's size; spaced so, the writes cost a bounded share of the run, linear in its size.
WRITE_SHARE = 9.0

#: Seconds before the final write is tried a second time, when the first one failed.
RETRY_PAUSE = 1.0


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
    attrs: dict[str, str] = field(default_factory=dict)  # recorded in the output


@dataclass
class Run:
    """The rows and failures of one run, written out as they accumulate."""

    options: RunOptions
    previous: xr.Dataset | None
    progress: Progress
    rows: list[xr.Dataset] = field(default_factory=list)
    failed: list[Outcome] = field(default_factory=list)
    unsearched: int = 0  # folders and files that could not be examined
    series: xr.Dataset | None = None  # the previous rows and the new ones merged so far
    merged: int = 0  # new rows in the series
    written: int = 0  # new rows in the file
    result: xr.Dataset | None = None  # what the file holds
    last_write: float = field(default_factory=time.monotonic)  # when the last write ended
    write_cost: float = 0.0  # seconds the last write took
    failed_writes: int = 0  # writes that failed since the last one that did not

    def __post_init__(self) -> None:
        self.series = self.result = self.previous

    def add(self, outcome: Outcome) -> None:
        if outcome.row is not None:
            self.rows.append(outcome.row)
        else:
            self.failed.append(outcome)
            self.progress.message(f"bluster: skipped {_shown(outcome.path)}: {outcome.error}")
        self.progress.advance()
        if self.checkpoint_due(time.monotonic()):
            self.write()

    def checkpoint_due(self, now: float) -> bool:
        waited = now - self.last_write
        return waited >= max(self.options.checkpoint, WRITE_SHARE * self.write_cost)

    def write(self, then: str = "the run goes on and writes again at the next checkpoint") -> bool:
        """Write the previous rows and every new one, if there is anything new; False when
        the write failed (reported once, with ``then``, what happens next; the file keeps
        its last complete write)."""
        start = time.monotonic()
        if len(self.rows) == self.written:
            self.last_write = start
            return True
        # only the rows new since the last merge are merged in: merging every row at every
        # write would cost the square of the archive
        merged = merge_rows(self.series, self.rows[self.merged :]).assign_attrs(self.options.attrs)
        self.series, self.merged = merged, len(self.rows)
        try:
            write_atomic(merged, self.options.out)
        except Exception as err:  # a full disk, a quota, h5py's RuntimeError: not the run's end
            if not self.failed_writes:
                self.progress.message(
                    f"bluster: could not write {self.options.out}: {_error_text(err)}; it "
                    f"keeps its last complete write ({self.held()} volumes); {then}"
                )
            self.failed_writes += 1
            return False
        finally:
            self.last_write = time.monotonic()
            self.write_cost = self.last_write - start
        if self.failed_writes:
            self.progress.message(f"bluster: {self.options.out} written again")
        self.failed_writes = 0
        self.written = len(self.rows)
        self.result = merged
        return True

    def final_write(self) -> bool:
        """The last write, tried twice; False when both failed (reported)."""
        if self.write(then=f"trying once more in {RETRY_PAUSE:g} s"):
            return True
        time.sleep(RETRY_PAUSE)
        return self.write()

    def held(self) -> int:
        """The volumes the file holds."""
        return 0 if self.result is None else self.result.sizes["time"]


def run_archive(
    task: VolumeTask, sources: Sources, expected: tuple[str, ...], options: RunOptions
) -> tuple[int, xr.Dataset | None]:
    """Process the files of ``sources`` with ``task`` into ``options.out``; the exit status
    and the result.

    ``expected`` names variables every row has (to recognise an earlier output on resume).
    The result is None when nothing was written. The caller has checked and locked the
    output (:func:`bluster.cli.target.claimed`).
    """
    previous = read_previous(options.out, expected) if options.resume else None
    if previous is not None:
        check_resumable(previous.attrs, options.attrs, options.out)
    done = done_sources(previous)
    todo = [str(path) for path in sources.files if source_text(str(path)) not in done]
    progress = Progress(len(todo), quiet=options.quiet)
    if done:
        progress.message(
            f"bluster: --resume: {len(sources.files) - len(todo)} of {len(sources.files)} "
            f"files already in {options.out}"
        )
    run = Run(options, previous, progress)
    for path, reason in sources.unreadable.items():
        run.failed.append(Outcome(str(path), error=reason))
        run.unsearched += 1
        progress.message(f"bluster: skipped {_shown(str(path))}: {reason}")
    try:
        process_files(
            task,
            todo,
            run.add,
            workers=options.workers,
            scheduler=options.scheduler,
            processes=options.processes,
        )
    except KeyboardInterrupt as interruption:  # SIGINT or SIGTERM: write what is done
        progress.close()
        written = run.final_write()
        done_now = len(run.rows) + len(run.failed) - run.unsearched
        progress.message(
            f"bluster: {interrupts.describe(interruption)} after {done_now} of {len(todo)} "
            f"files; {options.out} holds {run.held()} volumes"
            + ("" if written else " (the volumes done since its last write are lost)")
            + "; rerun with --resume to finish"
        )
        return interrupts.exit_status(interruption), None
    progress.close()
    if not run.final_write():
        run.progress.message(
            f"bluster: {options.out} could not be written: it holds the {run.held()} "
            f"volumes of its last complete write, and the {len(run.rows) - run.written} "
            "processed since are lost; make room and rerun with --resume"
        )
        return EXIT_WRITE_FAILED, run.result
    return _summarise(run, len(todo)), run.result


def _summarise(run: Run, attempted: int) -> int:
    message = run.progress.message
    total = run.result
    rows = run.held()
    skipped = len(run.failed) - run.unsearched
    unsearched = f", {run.unsearched} not searched" if run.unsearched else ""
    message(
        f"bluster: {len(run.rows)} of {attempted} volumes processed, {skipped} skipped"
        f"{unsearched}; {run.options.out} holds {rows} volumes"
    )
    for outcome in sorted(run.failed, key=lambda outcome: outcome.path):
        message(f"  skipped {_shown(outcome.path)}: {outcome.error}")
    before = 0 if run.previous is None else run.previous.sizes["time"]
    if total is not None and rows - before < len(run.rows):
        message(
            f"bluster: {len(run.rows) - (rows - before)} volumes not added: their volume (site "
            "and start time) is already in the output, from another file"
        )
    if total is None:
        message("bluster: nothing written: no volume could be processed")
        return EXIT_NOTHING
    if run.failed and not run.options.keep_going:
        return EXIT_SKIPPED
    return EXIT_OK


def _shown(path: str) -> str:
    """A path for a message: as the output's ``source`` writes it (bytes that are not UTF-8
    as ``\\xNN``, so that the message can be printed and compared with the output)."""
    return source_text(path)


def _error_text(err: BaseException) -> str:
    text = str(err).strip() or "no message"
    return text if isinstance(err, OSError) else f"{type(err).__name__}: {text}"
