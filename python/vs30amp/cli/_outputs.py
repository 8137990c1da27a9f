"""The rule of every output: never an input, never inside or around one, and replacing only
what is of its kind; inputs that are not regular files refused."""

from __future__ import annotations

import os
import stat
from collections.abc import Iterable
from pathlib import Path

from ..io._store_paths import not_a_store
from ._errors import UsageError


def refuse_special_file(path: Path, expected: str = "a regular file") -> None:
    """UsageError for a FIFO, a device or a socket: reading one would block or never end."""
    if path.exists() and not path.is_file() and not path.is_dir():
        raise UsageError(f"{path}: not {expected}")


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
