"""The volume files of a run: Dask tasks on local threads by default, local worker processes
(:mod:`bluster.cli.processes`), or an existing ``distributed`` cluster.

On local threads each file is two tasks, reading and computing, on a pool of one thread per
worker and one more for reading. The reads form a chain: one file is read at a time, in order
(the HDF5 library reads one file at a time anyway, behind h5py's lock), while the workers
compute the files read before, at most one file each at a time; no read runs more than one
file per worker ahead of the computing. So even one worker computes one file while the next
is read (the core calls and the decompression run without the GIL). On a cluster each file is
one task, so that a volume is never shipped between workers. Outcomes are handed to
``on_done`` in the order they complete, on the caller's thread; the caller sorts the rows by
volume time, so the output does not depend on the scheduler.
"""

import os
from collections.abc import Callable, Sequence
from functools import partial
from typing import Any

from dask.base import compute
from dask.callbacks import Callback
from dask.delayed import delayed

from bluster.cli.processes import KILLS_PER_FILE, died, on_local_processes
from bluster.cli.tasks import Outcome, VolumeTask, compute_step, read_step, run_task


def process_files(
    task: VolumeTask,
    paths: Sequence[str],
    on_done: Callable[[Outcome], None],
    *,
    workers: int | None = None,
    scheduler: str | None = None,
    processes: bool = False,
) -> None:
    """Run ``task`` on every file of ``paths`` in parallel, calling ``on_done`` for each outcome.

    Parameters
    ----------
    task
        The reading and computing of one file (picklable); it runs on the workers.
    paths
        The volume files.
    on_done
        Called on this thread with each :class:`~bluster.cli.tasks.Outcome` as it completes.
    workers
        Threads of the local scheduler, or processes with ``processes`` (None: one per
        core). Ignored with ``scheduler``.
    scheduler
        Address of a ``distributed`` scheduler (e.g. ``tcp://10.0.0.5:8786``) to run on.
    processes
        Run on ``workers`` single-threaded local processes instead of threads (see
        :mod:`bluster.cli.processes`): threads take turns holding the GIL, processes do not.
    """
    one_file = partial(run_task, task)
    if scheduler is not None:
        _on_cluster(one_file, paths, on_done, scheduler)
    elif processes:
        on_local_processes(one_file, paths, on_done, local_workers(workers))
    else:
        _on_local_threads(task, paths, on_done, workers)


def _on_local_threads(
    task: VolumeTask,
    paths: Sequence[str],
    on_done: Callable[[Outcome], None],
    workers: int | None,
) -> None:
    count = local_workers(workers)
    reads: list[object] = []
    tasks: list[object] = []
    for index, path in enumerate(paths):
        # after the previous read, and once the file `count` places back has been computed
        after = reads[-1:] + (tasks[index - count - 1 : index - count] if index > count else [])
        reads.append(
            delayed(read_step, pure=False)(task, path, *after, dask_key_name=f"read-{index}")
        )
        # after the file computed `count` places back: at most `count` files computed at once
        before = tasks[index - count : index - count + 1] if index >= count else []
        tasks.append(
            delayed(compute_step, pure=False)(
                task, reads[-1], *before, dask_key_name=f"volume-{index}"
            )
        )

    # The threaded scheduler calls posttask on the thread that called compute, with the task's
    # result, as each file completes.
    def posttask(key: object, result: object, dsk: object, state: object, worker: object) -> None:
        if isinstance(result, Outcome):
            on_done(result)

    with Callback(posttask=posttask):
        compute(*tasks, scheduler="threads", num_workers=count + 1)  # + the reading thread


def local_workers(workers: int | None) -> int:
    """The computing workers of a run on local threads or processes (None: one per core)."""
    return workers or os.cpu_count() or 1


def kernel_threads(workers: int | None) -> int:
    """Threads of each core call on local threads: the cores that the workers leave (one per
    worker, at least one)."""
    return max(1, (os.cpu_count() or 1) // local_workers(workers))


def _on_cluster(
    one_file: Callable[[str], Outcome],
    paths: Sequence[str],
    on_done: Callable[[Outcome], None],
    address: str,
) -> None:
    from distributed import Client, as_completed  # only needed for a cluster

    with Client(address) as client:
        futures = client.map(one_file, list(paths), pure=False)
        path_of = {future.key: path for future, path in zip(futures, paths, strict=True)}
        for future in as_completed(futures):
            on_done(_outcome(future, path_of[future.key]))
            future.release()


def _outcome(future: Any, path: str) -> Outcome:
    """The outcome of a file's task on a cluster; a task that could not complete (its
    worker died while reading the file, again and again) is that file's failure alone."""
    from distributed import KilledWorker

    try:
        result: Outcome = future.result()
    except KilledWorker as err:
        return Outcome(path, error=died(getattr(err, "allowed_failures", KILLS_PER_FILE - 1) + 1))
    except Exception as err:  # the cluster lost the task: this file's failure, not the run's
        return Outcome(path, error=f"{type(err).__name__} on the cluster: {err}")
    return result
