"""What the command writes to the terminal: the report on stdout and warnings on stderr one line
each, and the standard descriptors it may have been started without."""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Iterator
from contextlib import contextmanager

from ._progress import Progress


def keep_standard_descriptors() -> None:
    """Opens /dev/null on each of descriptors 0-2 the process began without (`>&-`), so that
    no file of the run takes one of their numbers and receives what is written to stdout or
    stderr (by the C libraries too)."""
    for descriptor in (0, 1, 2):
        try:
            os.fstat(descriptor)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)  # the lowest free number: this one
            if null != descriptor:
                os.dup2(null, descriptor)
                os.close(null)


@contextmanager
def output_errors_suppressed() -> Iterator[None]:
    try:
        yield
    except (OSError, ValueError, AttributeError):
        silence_stdout()


def silence_stdout() -> None:
    """Sends what stdout still holds, and whatever is printed later, to /dev/null: after a write
    to it failed (a closed pipe, a full disk), so that the interpreter's flush at exit does not
    fail again."""
    try:
        descriptor = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, descriptor)
    finally:
        os.close(null)


@contextmanager
def warnings_as_lines(source: object) -> Iterator[None]:
    """The warnings raised meanwhile, each printed as one line on stderr naming `source`."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield
    for warning in caught:
        print(f"vs30amp: warning: {source}: {warning.message}", file=sys.stderr)


def report(line: str, progress: Progress | None = None) -> str | None:
    """Prints one line of the report on stdout (through the run's progress bar, if any); why it
    could not be, or None."""
    if sys.stdout is None:  # the process began with no stdout (`>&-`)
        return "it is closed"
    try:
        if progress is None:
            print(line, flush=True)
        else:
            progress.write(line, file=sys.stdout)
            sys.stdout.flush()
    except (OSError, ValueError) as error:  # a closed pipe, a full disk, a name it cannot encode
        silence_stdout()
        return (error.strerror if isinstance(error, OSError) else None) or str(error)
    return None
