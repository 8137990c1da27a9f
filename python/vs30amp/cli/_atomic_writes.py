"""Outputs written atomically: through a temporary file or directory beside the target, moved
into place only when complete, and one run at a time in an OUTDIR."""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from pathlib import Path

from ..io._store_paths import STORE_FORMATS, replace_store
from ._errors import UsageError
from ._signals import signals_held

try:
    import fcntl
except ImportError:  # Windows: no flock; a run goes on unlocked, as on a filesystem without locks
    fcntl = None  # type: ignore[assignment]

# The hidden directory in OUTDIR that holds a run's files until all are written, and the file in
# OUTDIR whose lock a run holds while it may write there (both removed when the run ends).
STAGING = ".vs30amp-staging-"
LOCK = ".vs30amp-lock"


def file_mode(target: Path) -> int:
    """An existing target's permission bits, which its replacement keeps; else the umask's."""
    try:
        return target.stat().st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def write_atomically(target: Path, write: Callable[[Path], None]) -> None:
    """Writes through a temporary file beside `target`, renamed over it only when complete; an
    existing target keeps its permission bits. On any failure or signal the temporary file is
    removed and the target left as it was."""
    temporary: Path | None = None
    try:
        mode = file_mode(target)
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
