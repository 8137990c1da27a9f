"""The rules every subcommand keeps with files and the terminal: one-line errors, numbers read
as written, outputs written atomically and never over, in or around an input, one run at a time
in an OUTDIR, signals that leave no half-written file, warnings and the report on stdout one line
each."""

from __future__ import annotations

import argparse
import atexit
import os
import re
import shutil
import signal
import stat
import sys
import tempfile
import threading
import warnings
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager, suppress
from pathlib import Path
from types import FrameType
from typing import Any, NoReturn

from .. import io
from .._units import AMPLIFIED_UNITS, G_IN_UNITS
from ..io._store_paths import STORE_FORMATS, not_a_store, replace_store
from ._progress import Progress

try:
    import fcntl
except ImportError:  # Windows: no flock; a run goes on unlocked, as on a filesystem without locks
    fcntl = None  # type: ignore[assignment]

# Numbers as C's strtod and Fortran read them: ASCII digits, no digit separators ("1_000").
NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
NOT_FINITE = re.compile(r"[+-]?(?:inf|infinity|nan)", re.IGNORECASE)
# The signals that stop the command with one line: SIGTERM, SIGHUP (terminated), SIGINT (interrupted).
SIGNALS = (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)
# The units a file may leave to --units: none given, or SAC's nm/s/s (rarely what it holds).
DECLARABLE_UNITS = (*(units for units in G_IN_UNITS if units not in AMPLIFIED_UNITS), "unknown")
# The hidden directory in OUTDIR that holds a run's files until all are written, and the file in
# OUTDIR whose lock a run holds while it may write there (both removed when the run ends).
STAGING = ".vs30amp-staging-"
LOCK = ".vs30amp-lock"


class UsageError(Exception):
    """A problem with the command's input, reported in one line with exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def number(text: str, where: str) -> float:
    """`text` as the finite double it denotes (correctly rounded, so written doubles read back exactly)."""
    written = text.strip(" \t")
    if not written:
        raise UsageError(f"{where}: missing value")
    if NOT_FINITE.fullmatch(written):
        raise UsageError(f"{where}: {text!r} is not a finite number")
    if not NUMBER.fullmatch(written):
        raise UsageError(f"{where}: {text!r} is not a number")
    value = float(written)
    if value in (float("inf"), float("-inf")):
        raise UsageError(f"{where}: {text!r} is not a finite number")
    return value


def positive(text: str, option: str, unit: str) -> float:
    """An option's finite, positive value; UsageError naming the option otherwise."""
    value = number(text, option)
    if value <= 0.0:
        raise UsageError(f"{option}: {text} {unit}; it must be positive")
    return value


def fmax_option(text: str) -> float:
    """--fmax: a positive frequency (Hz), or inf for the model's factors at every frequency."""
    return float("inf") if text.strip().lower() == "inf" else positive(text, "--fmax", "Hz")


def refuse_special_file(path: Path, expected: str = "a regular file") -> None:
    """UsageError for a FIFO, a device or a socket: reading one would block or never end."""
    if path.exists() and not path.is_file() and not path.is_dir():
        raise UsageError(f"{path}: not {expected}")


class Terminated(BaseException):
    """A SIGTERM or SIGHUP: unwinds like Ctrl-C, so that a temporary file is removed."""

    def __init__(self, signum: int) -> None:
        super().__init__(f"terminated by {signal.Signals(signum).name}")
        self.signum = signum


def _stop(signum: int) -> BaseException:
    return KeyboardInterrupt() if signum == signal.SIGINT else Terminated(signum)


def _stop_line(signum: int) -> str:
    how = "interrupted" if signum == signal.SIGINT else "terminated"
    return f"vs30amp: error: {how} by {signal.Signals(signum).name}"


class _Received:
    """The first signal of the run, whether it was raised, and how many blocks hold signals."""

    signum: int | None = None
    raised = False
    held = 0


def _on_signal(signum: int, frame: FrameType | None) -> None:
    if _Received.signum is not None:  # unwinding or reporting already: the first signal counts
        return
    _Received.signum = signum
    if not _Received.held:
        _Received.raised = True
        raise _stop(signum)


@contextmanager
def signals_held() -> Iterator[None]:
    """A signal of the command waits until the block is done, then raises: for steps that must
    not be cut in two, such as creating a temporary file and keeping its name."""
    _Received.held += 1
    try:
        yield
    finally:
        _Received.held -= 1
    if not _Received.held and _Received.signum is not None and not _Received.raised:
        _Received.raised = True
        raise _stop(_Received.signum)


@contextmanager
def terminations_unwind(exiting: bool = False) -> Iterator[None]:
    """SIGTERM and SIGHUP raise `Terminated`, SIGINT KeyboardInterrupt, for as long as the command
    runs (main thread only). `exiting`: the process ends after the command, and a signal that
    arrives meanwhile (while the interpreter exits) is reported at exit, not left to the
    default action."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    _Received.signum, _Received.raised, _Received.held = None, False, 0
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
    with _suppress_output_errors():
        sys.stdout.flush()
    os.write(2, (_stop_line(signum) + "\n").encode())
    os._exit(128 + signum)


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
def _suppress_output_errors() -> Iterator[None]:
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


def refuse_input_as_output(source: Path, output: Path, what: str = "input table", made: str = "factors") -> None:
    """UsageError if `output` is the input `source`, whatever the spelling or link leading to it."""
    try:
        same = os.path.samefile(source, output)
    except OSError:  # one of them does not exist
        return
    if same:
        raise UsageError(f"{output}: is the {what} {source}; write the {made} to another file")


class Inputs:
    """A run's inputs as the output rule compares them: each one's identity (device, inode), and
    its resolved path, found once however many outputs are checked."""

    def __init__(self, paths: Iterable[Path]) -> None:
        self.paths = list(paths)
        self.identities: dict[tuple[int, int], Path] = {}
        self.directories: list[tuple[Path, Path]] = []
        for path in self.paths:
            status = path.stat()
            self.identities.setdefault((status.st_dev, status.st_ino), path)
            if stat.S_ISDIR(status.st_mode):  # a store: nothing may be written inside it
                self.directories.append((path.resolve(), path))
        self._resolved: list[tuple[Path, Path]] | None = None

    def within(self, directory: Path) -> Path | None:
        """The first input that is `directory` or lies under it (resolved), or None."""
        if self._resolved is None:
            self._resolved = [(path.resolve(), path) for path in self.paths]
        return next((path for resolved, path in self._resolved if resolved.is_relative_to(directory)), None)


def check_output(output: Path, inputs: Inputs, kind: str, made: str) -> None:
    """The one rule of every output of amplify and measures: it is never an input (however
    spelled or linked), never inside an input store, never holds an input (replacing it would
    delete the input), and replaces only what is of its `kind`: for "file" a file (never a
    directory), for "netcdf" a netCDF file, for "zarr" a Zarr store. UsageError otherwise."""
    try:
        status = output.stat()
    except OSError:  # nothing there (or a dangling link, which a file replaces)
        status = None
    if status is not None and (status.st_dev, status.st_ino) in inputs.identities:
        raise UsageError(f"{output}: is the input {inputs.identities[status.st_dev, status.st_ino]}; "
                         f"write the {made} elsewhere")
    for directory, path in inputs.directories:
        if output.resolve().is_relative_to(directory):
            raise UsageError(f"{output}: is inside the input {path}; write the {made} elsewhere")
    if status is not None and stat.S_ISDIR(status.st_mode):
        held = inputs.within(output.resolve())
        if held is not None:
            raise UsageError(f"{output}: holds the input {held}, which replacing it would delete; write the "
                             f"{made} elsewhere")
    if kind != "file":
        reason = not_a_store(output, kind)
    elif status is None or stat.S_ISREG(status.st_mode):
        reason = None
    else:
        reason = "a directory" if stat.S_ISDIR(status.st_mode) else "not a regular file"
    if reason is not None:
        raise UsageError(f"{output}: exists and is {reason}; it is not replaced")


def write_atomically(target: Path, write: Callable[[Path], None]) -> None:
    """Writes through a temporary file beside `target`, renamed over it only when complete; an
    existing target keeps its permission bits. On any failure or signal the temporary file is
    removed and the target left as it was."""
    temporary: Path | None = None
    try:
        try:
            mode = target.stat().st_mode & 0o7777
        except FileNotFoundError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        with signals_held():  # no signal between the file's creation and its name kept
            descriptor, name = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=target.suffix)
            temporary = Path(name)
            os.close(descriptor)
        write(temporary)
        with temporary.open("rb") as file:
            os.fsync(file.fileno())
        temporary.chmod(mode)
        os.replace(temporary, target)
    except OSError as error:
        _remove(temporary)
        raise UsageError(f"{target}: cannot be written ({error.strerror or error}); left as it was") from None
    except BaseException:
        _remove(temporary)
        raise


def write_store_atomically(target: Path, write: Callable[[Path], None]) -> None:
    """Writes a store (a Zarr directory or a netCDF file) into a hidden directory beside `target`
    and moves it over `target` only when complete, signals held for the move. On any failure or
    signal the hidden directory is removed and `target` is as it was."""
    staging: Path | None = None
    try:
        with signals_held():
            staging = Path(tempfile.mkdtemp(dir=target.parent, prefix=f".{target.name}."))
        write(staging / target.name)
        with signals_held():
            replace_store(staging / target.name, target, True, STORE_FORMATS[target.suffix.lower()])
    except FileExistsError as error:  # made something else meanwhile
        raise UsageError(f"{error}; the new store is not written") from None
    except OSError as error:
        raise UsageError(f"{target}: cannot be written ({error.strerror or error}); left as it was") from None
    finally:
        with signals_held():
            if staging is not None:
                shutil.rmtree(staging, ignore_errors=True)


@contextmanager
def outdir_held(outdir: Path) -> Iterator[None]:
    """OUTDIR for the run: created when missing (and removed again when nothing was moved into
    it), locked so that a second run into it is refused, and cleared of the staging directories
    of runs that were killed (each one said on stderr). Every other file in it is left alone."""
    created = False
    try:
        with signals_held():  # no signal between the directory's creation and `created` set
            try:
                outdir.mkdir()
                created = True
            except FileExistsError:
                pass
            except OSError as error:
                raise UsageError(f"{outdir}: cannot be created ({error.strerror or error}); nothing written") from None
        with _locked(outdir) as locked:
            _clear_stale_staging(outdir, locked)
            yield
    finally:
        if created:
            with signals_held(), suppress(OSError):
                outdir.rmdir()  # only when empty: nothing was moved into place


@contextmanager
def _locked(outdir: Path) -> Iterator[bool]:
    """An exclusive advisory lock on OUTDIR/.vs30amp-lock, held until the block ends, then the
    file removed; whether the lock is held (False: a filesystem or a system without locks). The
    file is unlinked before it is unlocked, so a run that opened it meanwhile finds another file
    at its name once it has the lock, and takes the lock of that one instead."""
    if fcntl is None:
        yield False
        return
    path = outdir / LOCK
    descriptor, locked = -1, False
    try:
        while not locked:
            with signals_held():
                try:
                    descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
                except OSError as error:
                    reason = error.strerror or error
                    raise UsageError(f"{outdir}: cannot be written ({reason}); nothing written") from None
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                with signals_held():  # the other run's file: closed, not removed
                    os.close(descriptor)
                    descriptor = -1
                raise UsageError(f"{outdir}: another vs30amp run is writing into it; wait until it ends or choose "
                                 "another OUTDIR") from None
            except OSError:  # a filesystem without locks: the run goes on, stale directories only reported
                break
            if _same_file(descriptor, path):
                locked = True
            else:
                with signals_held():
                    os.close(descriptor)
                    descriptor = -1
        yield locked
    finally:
        with signals_held():
            if descriptor >= 0:
                path.unlink(missing_ok=True)
                os.close(descriptor)


def _same_file(descriptor: int, path: Path) -> bool:
    try:
        named = path.stat(follow_symlinks=False)
    except FileNotFoundError:
        return False
    held = os.fstat(descriptor)
    return (held.st_dev, held.st_ino) == (named.st_dev, named.st_ino)


def _clear_stale_staging(outdir: Path, locked: bool) -> None:
    """Removes the staging directories in OUTDIR, with the lock held: each was left by a run
    that was killed (a live run holds the lock), and is said on stderr. Without the lock they
    are only reported."""
    for stale in sorted(outdir.glob(f"{STAGING}*")):
        if not stale.is_dir() or stale.is_symlink():
            continue
        if not locked:
            print(f"vs30amp: warning: {stale}: the staging directory of another run, or of one that was killed "
                  "(this filesystem has no locks to tell); not removed", file=sys.stderr)
            continue
        shutil.rmtree(stale, ignore_errors=True)
        print(f"vs30amp: warning: {stale}: the staging directory of a run that was killed; removed", file=sys.stderr)


def _remove(temporary: Path | None) -> None:
    with signals_held():
        if temporary is not None:
            temporary.unlink(missing_ok=True)



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


def takes_declared_units(record: io.Record) -> bool:
    """Whether `record`'s file gives no units of acceleration, so that --units says them."""
    return record.units not in AMPLIFIED_UNITS


def warn_if_units_unused(given: str | None, used: bool) -> None:
    """A warning line when --units was given and no record took it: every file gave its own units."""
    if given is not None and not used:
        print(f"vs30amp: warning: --units {given} is not used: every record gives its own units (AT2 files are "
              f"in g); --units is for files that give none (SAC)", file=sys.stderr)


def record_units(path: Path, record: io.Record, given: str | None) -> str:
    """The units of `record`'s samples: a file's own units (AT2: g) are kept, --units declares
    those of files that give none (SAC), so one --units serves a directory of both formats."""
    if record.units in AMPLIFIED_UNITS:
        return record.units
    if record.units not in DECLARABLE_UNITS:
        raise UsageError(f"{path}: the samples are in {record.units} (header field IDEP), not an acceleration")
    if given is None:
        what = "nm/s/s by SAC's IDEP = IACC" if record.units == "nm/s2" else "not given by the file"
        raise UsageError(f"{path}: units {what}; give the records' units with --units {'|'.join(AMPLIFIED_UNITS)}")
    return given
