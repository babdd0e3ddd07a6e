"""One Dask task per volume file: local threads by default, or an existing ``distributed`` cluster.

Outcomes are handed to ``on_done`` in the order they complete, on the caller's thread; the
caller sorts the rows by volume time, so the output does not depend on the scheduler.
"""

import os
from collections.abc import Callable, Sequence
from functools import partial

from dask.base import compute
from dask.callbacks import Callback
from dask.delayed import delayed

from bluster.cli.tasks import Outcome, VolumeTask, run_task


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
        A picklable function of one path (a module-level function or a ``functools.partial`` of
        one) that returns the file's row; it runs on the workers.
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
        Run on a ``distributed.LocalCluster`` of ``workers`` single-threaded processes
        instead of threads: for reading-bound runs, where a second thread gains little.
    """
    one_file = partial(run_task, task)
    if scheduler is not None:
        _on_cluster(one_file, paths, on_done, scheduler)
    elif processes:
        from distributed import LocalCluster

        with LocalCluster(
            n_workers=workers or os.cpu_count() or 1,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
        ) as cluster:
            _on_cluster(one_file, paths, on_done, cluster.scheduler_address)
    else:
        _on_local_threads(one_file, paths, on_done, workers)


def _on_local_threads(
    one_file: Callable[[str], Outcome],
    paths: Sequence[str],
    on_done: Callable[[Outcome], None],
    workers: int | None,
) -> None:
    tasks = [
        delayed(one_file, pure=False)(path, dask_key_name=f"volume-{index}")
        for index, path in enumerate(paths)
    ]

    # The threaded scheduler calls posttask on the thread that called compute, with the task's
    # result, as each file completes.
    def posttask(key: object, result: object, dsk: object, state: object, worker: object) -> None:
        if isinstance(result, Outcome):
            on_done(result)

    with Callback(posttask=posttask):
        compute(*tasks, scheduler="threads", num_workers=workers)


def _on_cluster(
    one_file: Callable[[str], Outcome],
    paths: Sequence[str],
    on_done: Callable[[Outcome], None],
    address: str,
) -> None:
    from distributed import Client, as_completed  # only needed for a cluster

    with Client(address) as client:
        futures = client.map(one_file, list(paths), pure=False)
        for future in as_completed(futures):
            on_done(future.result())
            future.release()
