"""What is at a store's path: its format by extension, whether a new store may replace it, the
move of a complete store into place and the room a netCDF store needs."""

from __future__ import annotations

import errno
import os
import shutil
import tempfile
from pathlib import Path

from .._optional import require
from ._record import RecordError

STORE_FORMATS = {".nc": "netcdf", ".nc4": "netcdf", ".zarr": "zarr"}
# What a Zarr store holds at its top (version 3; version 2 group or array): only such a
# directory is replaced by a new store.
ZARR_MARKS = ("zarr.json", ".zgroup", ".zattrs", ".zarray")
# The first bytes of a netCDF file: classic, 64-bit offset, 64-bit data, netCDF-4 (HDF5).
NETCDF_SIGNATURES = (b"CDF\x01", b"CDF\x02", b"CDF\x05", b"\x89HDF\r\n\x1a\n")


def store_format(path: Path, format: str | None) -> str:
    """"netcdf" or "zarr": `format` if given, else from the extension (a directory is Zarr)."""
    name = (format or STORE_FORMATS.get(path.suffix.lower()) or ("zarr" if path.is_dir() else "")).lower()
    if name not in ("netcdf", "zarr"):
        raise RecordError(f"{path}: unknown store {f'format {format!r}' if format else f'extension {path.suffix!r}'}; "
                          "use .nc or .zarr (or format='netcdf' or 'zarr')")
    if name == "zarr":
        require("zarr", "zarr", "a Zarr store")
    else:
        require("netCDF4", "xarray", "a netCDF store")
    return name


def not_a_store(path: Path, kind: str) -> str | None:
    """Why what is at `path` is not a `kind` ("netcdf" or "zarr") store a new one may replace,
    in words; None when it is, or when nothing is there. A symbolic link is not followed."""
    if not (path.exists() or path.is_symlink()):
        return None
    if path.is_symlink():
        return "a symbolic link"
    if kind == "zarr":
        if not path.is_dir():
            return "not a directory"
        return None if any((path / mark).is_file() for mark in ZARR_MARKS) else "a directory that is not a Zarr store"
    if path.is_dir():
        return "a directory"
    if not path.is_file():
        return "not a regular file"
    try:
        with path.open("rb") as file:
            head = file.read(8)
    except OSError as error:
        return f"a file that cannot be read ({error.strerror or error})"
    return None if head.startswith(NETCDF_SIGNATURES) else "a file that is not netCDF"


def refuse_unless_a_store(path: Path, kind: str) -> None:
    """FileExistsError unless what is at `path` is nothing or a `kind` store (see `not_a_store`)."""
    reason = not_a_store(path, kind)
    if reason is not None:
        raise FileExistsError(f"{path}: exists and is {reason}; it is not replaced")


def replace_store(staged: Path, target: Path, overwrite: bool, kind: str) -> None:
    """Moves the complete `staged` store to `target`, over an existing store of its `kind` only
    (checked again here: the target may have changed while the store was written). A directory
    store is swapped by two renames; should the second fail, the old store is put back."""
    if target.exists() or target.is_symlink():
        if not overwrite:
            raise FileExistsError(f"{target}: exists; remove it or pass overwrite=True")
        refuse_unless_a_store(target, kind)
        if target.is_dir():
            old = Path(tempfile.mkdtemp(dir=target.parent, prefix=f".{target.name}.old-"))
            os.replace(target, old / target.name)
            try:
                os.replace(staged, target)
            except OSError:
                os.replace(old / target.name, target)
                raise
            shutil.rmtree(old)
            return
    os.replace(staged, target)


def room_for(directory: Path, size: int) -> None:
    """OSError (ENOSPC) unless `directory`'s filesystem has the `size` bytes of records a netCDF
    store takes uncompressed: a store that cannot fit is not begun (one that fills the disk
    all the same fails in its writing process, `_netcdf`)."""
    free = shutil.disk_usage(directory).free
    if free < size:
        raise OSError(errno.ENOSPC, f"No space left on device: the store needs {size:,} bytes, {free:,} are free")
