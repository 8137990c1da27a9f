"""Signals that stop the command with one line and leave no half-written file: SIGTERM and
SIGHUP unwind as Ctrl-C does, and steps that must not be cut in two hold them."""

from __future__ import annotations

import atexit
import os
import signal
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType

from ._terminal import output_errors_suppressed

# The signals that stop the command with one line: SIGTERM, SIGHUP (terminated), SIGINT (interrupted).
SIGNALS = (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)


class Terminated(BaseException):
    """A SIGTERM or SIGHUP: unwinds like Ctrl-C, so that a temporary file is removed."""

    def __init__(self, signum: int) -> None:
        super().__init__(f"terminated by {signal.Signals(signum).name}")
        self.signum = signum


def _stop(signum: int) -> BaseException:
    return KeyboardInterrupt() if signum == signal.SIGINT else Terminated(signum)


def stop_line(signum: int) -> str:
    """The command's last line for a signal that stopped it."""
    how = "interrupted" if signum == signal.SIGINT else "terminated"
    return f"vs30amp: error: {how} by {signal.Signals(signum).name}"


class Received:
    """The first signal of the run, whether it was raised, and how many blocks hold signals."""

    signum: int | None = None
    raised = False
    held = 0


def _on_signal(signum: int, frame: FrameType | None) -> None:
    if Received.signum is not None:  # unwinding or reporting already: the first signal counts
        return
    Received.signum = signum
    if not Received.held:
        Received.raised = True
        raise _stop(signum)


@contextmanager
def signals_held() -> Iterator[None]:
    """A signal of the command waits until the block is done, then raises: for steps that must
    not be cut in two, such as creating a temporary file and keeping its name."""
    Received.held += 1
    try:
        yield
    finally:
        Received.held -= 1
    if not Received.held and Received.signum is not None and not Received.raised:
        Received.raised = True
        raise _stop(Received.signum)


@contextmanager
def terminations_unwind(exiting: bool = False) -> Iterator[None]:
    """SIGTERM and SIGHUP raise `Terminated`, SIGINT KeyboardInterrupt, for as long as the command
    runs (main thread only). `exiting`: the process ends after the command, and a signal that
    arrives meanwhile (while the interpreter exits) is reported at exit, not left to the
    default action."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    Received.signum, Received.raised, Received.held = None, False, 0
    previous = {signum: signal.signal(signum, _on_signal) for signum in SIGNALS}
    try:
        yield
    finally:
        if exiting:
            signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)  # pending until the check at exit
            _report_at_exit()
        else:
            for signum, handler in previous.items():
                signal.signal(signum, handler)


def _report_at_exit() -> None:
    if not getattr(_report_at_exit, "registered", False):
        atexit.register(_exit_on_pending_signal)
        setattr(_report_at_exit, "registered", True)


def _exit_on_pending_signal() -> None:
    """At exit: a signal that came after the run ends the process with its line and status."""
    pending = signal.sigpending()
    signum = next((s for s in SIGNALS if s in pending), None)
    if signum is None:
        return
    with output_errors_suppressed():
        sys.stdout.flush()
    os.write(2, (stop_line(signum) + "\n").encode())
    os._exit(128 + signum)
