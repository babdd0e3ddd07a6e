"""A lock on an output against a second writer: two runs on one file would each replace the
other's rows.

The lock is an exclusive ``flock`` on a hidden file beside the output (``.monitor.nc.lock``),
holding the process id of the run. The operating system releases it when the process ends,
however it ends (even killed with SIGKILL), so a lock is never left stale; the file itself is
removed by the run that holds it when it finishes. (``flock`` is POSIX: on Windows the
lock file is created, which checks that the folder is writable, but not locked.)
"""

import os
from pathlib import Path
from types import TracebackType


def _lock(fd: int) -> None:
    try:
        import fcntl
    except ImportError:  # pragma: no cover - Windows
        return
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)


class OutputBusy(OSError):
    """Another run holds the lock on the output."""


class OutputLock:
    """The exclusive lock on ``out``'s lock file, taken by :meth:`acquire` (or ``with``)."""

    def __init__(self, out: Path) -> None:
        self.out = out
        self.path = out.with_name(f".{out.name}.lock")
        self._fd: int | None = None

    def acquire(self) -> None:
        """Take the lock without waiting.

        Raises
        ------
        OutputBusy
            Another process holds it.
        OSError
            The lock file cannot be created (a folder that is missing or read-only).
        """
        while True:
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
            try:
                _lock(fd)
            except BlockingIOError:
                holder = os.read(fd, 32).decode(errors="replace").strip() or "unknown"
                os.close(fd)
                raise OutputBusy(
                    f"{self.out} is being written by another bluster run (process {holder})"
                ) from None
            # The holder we raced with may have removed the file after we opened it: the lock
            # is only ours if it is on the file now at that path.
            if self._same_file(fd):
                break
            os.close(fd)
        os.ftruncate(fd, 0)
        os.write(fd, f"{os.getpid()}\n".encode())
        self._fd = fd

    def release(self) -> None:
        """Remove the lock file and release the lock (removed first: a run waiting on this
        file then finds it gone and takes a new one)."""
        if self._fd is None:
            return
        try:
            self.path.unlink(missing_ok=True)
        finally:
            os.close(self._fd)
            self._fd = None

    def _same_file(self, fd: int) -> bool:
        try:
            here = os.stat(self.path)
        except FileNotFoundError:
            return False
        mine = os.fstat(fd)
        return (here.st_dev, here.st_ino) == (mine.st_dev, mine.st_ino)

    def __enter__(self) -> "OutputLock":
        self.acquire()
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.release()
