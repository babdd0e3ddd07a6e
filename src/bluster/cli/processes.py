"""The files of a run on a pool of local worker processes (``--processes``).

Threads of one process take turns holding the GIL, and reading a volume and labelling its
results are mostly Python: two threads do little more than one. Worker processes each have
their own interpreter. They are started by a fork server (a clean process that forks each
worker; fresh interpreters where the system has none), not forked from the run, whose
threads and open files a fork would copy.

Each worker runs one file at a time. A worker that dies (killed for want of memory, a crash
in a reader) breaks the pool, and every file then in flight fails with it. Those files are
each run again alone, on a pool of one process, where a death is that file's own; a file
that kills its worker ``KILLS_PER_FILE`` times alone is reported and skipped, and the run
goes on.
"""

import multiprocessing
import signal
from collections import deque
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool

from bluster.cli.tasks import Outcome

#: Deaths of the worker processes running one file alone before that file is skipped.
KILLS_PER_FILE = 2


def on_local_processes(
    one_file: Callable[[str], Outcome],
    paths: Sequence[str],
    on_done: Callable[[Outcome], None],
    workers: int,
) -> None:
    """Run ``one_file`` on every path on ``workers`` processes, calling ``on_done`` on this
    thread with each outcome as it completes."""
    waiting = deque(paths)
    suspects: deque[str] = deque()
    deaths = dict.fromkeys(paths, 0)
    while waiting or suspects:
        if suspects:  # alone, so that a death is this file's
            path = suspects.popleft()
            if _run(one_file, deque([path]), on_done, 1):
                deaths[path] += 1
                if deaths[path] < KILLS_PER_FILE:
                    suspects.appendleft(path)
                else:
                    on_done(Outcome(path, error=died(deaths[path])))
        else:
            suspects.extend(_run(one_file, waiting, on_done, workers))


def died(deaths: int) -> str:
    """The reason a file that killed its worker ``deaths`` times is skipped."""
    return (
        f"the worker process reading it died {deaths} times (killed for want of memory, "
        "or a crash in a reader)"
    )


def _run(
    one_file: Callable[[str], Outcome],
    waiting: deque[str],
    on_done: Callable[[Outcome], None],
    workers: int,
) -> list[str]:
    """Run the files of ``waiting`` (taken from it as they are handed out, at most one per
    worker at a time) on a new pool of ``workers`` processes until it is empty or a worker
    dies; the files in flight when one died."""
    pool = ProcessPoolExecutor(workers, mp_context=_context(), initializer=_leave_ctrl_c_to_the_run)
    running: dict[Future[Outcome], str] = {}
    try:
        while waiting or running:
            while waiting and len(running) < workers:
                path = waiting.popleft()
                try:
                    running[pool.submit(one_file, path)] = path
                except BrokenProcessPool:
                    waiting.appendleft(path)
                    return _broken(running, on_done)
            finished, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in finished:
                if isinstance(future.exception(), BrokenProcessPool):
                    return _broken(running, on_done)
                on_done(_outcome(future, running.pop(future)))
        return []
    except BaseException:  # an interrupted run writes what is done at once
        _end(pool)
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _context() -> multiprocessing.context.BaseContext:
    """A fork server where the system has one (POSIX), else fresh interpreters (Windows)."""
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


def _broken(running: dict["Future[Outcome]", str], on_done: Callable[[Outcome], None]) -> list[str]:
    """After a worker's death: hand out what finished before it, return the rest."""
    lost = []
    for future, path in running.items():
        if future.done() and not isinstance(future.exception(), BrokenProcessPool):
            on_done(_outcome(future, path))
        else:
            lost.append(path)
    return lost


def _outcome(future: "Future[Outcome]", path: str) -> Outcome:
    error = future.exception()
    if error is None:
        return future.result()
    # the task returns what went wrong in it; this is the transfer of its outcome failing
    return Outcome(path, error=f"{type(error).__name__} in a worker process: {error}")


def _end(pool: ProcessPoolExecutor) -> None:
    """End the pool's workers without waiting for the files they are running."""
    # no public way to end them before Python 3.14 (terminate_workers)
    workers: Iterable[multiprocessing.Process] = list(
        (getattr(pool, "_processes", None) or {}).values()
    )
    pool.shutdown(wait=False, cancel_futures=True)
    for worker in workers:
        if worker.is_alive():
            worker.terminate()
    for worker in workers:
        worker.join()


def _leave_ctrl_c_to_the_run() -> None:
    # Ctrl-C in a terminal reaches every process of the run: the run handles it (writes what
    # is done and ends its workers); a worker that took it too would only print a traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
