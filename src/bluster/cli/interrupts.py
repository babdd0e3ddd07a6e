"""SIGINT (Ctrl-C) and SIGTERM (what batch schedulers and ``kill`` send) end a run alike.

While a command runs, either signal raises :class:`Interrupted` in the main thread: the run
stops taking new files, writes what is done and says so, and the command exits with
:func:`exit_status` (130 for SIGINT, 143 for SIGTERM, the shell's 128 + signal number). A
second signal during that final write abandons it (the file keeps its last complete write)
and exits with the same status, without a traceback. After the command has returned, while
Python waits for reading threads to finish, a signal ends the process at once.

A signal can arrive while Python runs a finaliser or a weak reference's callback, where an
exception cannot propagate: Python would print it ("Exception ignored in ...") and go on as
if nothing had happened. Inside :func:`handled` such a signal is delivered again, to be
raised where the run can take it.
"""

import _thread
import contextlib
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator
from types import FrameType

SIGNALS: tuple[int, ...] = (signal.SIGINT, signal.SIGTERM)
NAMES: dict[int, str] = {
    signal.SIGINT: "interrupted (SIGINT)",
    signal.SIGTERM: "terminated (SIGTERM)",
}

#: Seconds before a signal that arrived where Python could not raise it is delivered again.
RESEND_DELAY = 0.01

Handler = Callable[[int, FrameType | None], object] | int | None


class Interrupted(KeyboardInterrupt):
    """A run ended by a signal: ``signum`` is the signal's number."""

    def __init__(self, signum: int = signal.SIGINT) -> None:
        super().__init__(NAMES.get(signum, f"signal {signum}"))
        self.signum = signum


def _signum(error: BaseException) -> int:
    return int(getattr(error, "signum", signal.SIGINT))  # a KeyboardInterrupt is SIGINT's


def exit_status(error: BaseException) -> int:
    """The exit status of a run ended by ``error``: 128 + the signal's number."""
    return 128 + _signum(error)


def describe(error: BaseException) -> str:
    """``interrupted (SIGINT)`` or ``terminated (SIGTERM)``, for the run's last message."""
    return NAMES.get(_signum(error), str(error))


def _send(signum: int) -> None:
    """Send ``signum`` to the main thread, as the system would (waking it from a wait)."""
    if hasattr(signal, "pthread_kill"):
        signal.pthread_kill(threading.main_thread().ident or 0, signum)
    else:
        _thread.interrupt_main(signal.Signals(signum))


def _raise(signum: int, frame: FrameType | None) -> None:
    raise Interrupted(signum)


@contextlib.contextmanager
def handled() -> Iterator[None]:
    """Both signals raise :class:`Interrupted` inside the block; the previous handlers are
    restored after it. Outside the main thread (where Python runs no signal handler) the
    block runs as it is."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous: dict[int, Handler] = {s: signal.getsignal(s) for s in SIGNALS}
    previous_hook = sys.unraisablehook

    def deliver_again(unraisable: "sys.UnraisableHookArgs") -> None:
        if isinstance(unraisable.exc_value, Interrupted):
            # from another thread, a moment later: sent from here, it would be raised in here
            later = threading.Timer(RESEND_DELAY, _send, (unraisable.exc_value.signum,))
            later.daemon = True
            later.start()
        else:
            previous_hook(unraisable)

    sys.unraisablehook = deliver_again
    for number in SIGNALS:
        signal.signal(number, _raise)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler if handler is not None else signal.SIG_DFL)
        sys.unraisablehook = previous_hook


def exit_at_once(status: int) -> None:
    """From now on, either signal ends the process with ``status`` (or the signal's own
    status) without Python's shutdown, which would wait for the reading threads and print
    a traceback when interrupted. For the console script, after the command has returned."""

    def leave(signum: int, frame: FrameType | None) -> None:
        with contextlib.suppress(Exception):
            sys.stdout.flush()
            sys.stderr.flush()
        os._exit(status or 128 + signum)

    for number in SIGNALS:
        signal.signal(number, leave)
