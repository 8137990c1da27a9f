"""Acceleration record files: PEER NGA ``.AT2`` and SAC binary ``.sac``.

`read` returns a `Record` (samples, sample interval, units and the file's header); `write`
writes one back in the same layout. The format follows the file's extension (any case) unless
``format`` names it. Malformed files raise `RecordError`, a `ValueError` naming the file and the
line or header field. `read_store` and `write_store` read and write the records of many
stations in one netCDF or Zarr store, lazily, chunk by chunk (`RecordStore`).
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from pathlib import Path

import numpy as np

from . import _at2, _sac
from .._units import UNITS_IN_G
from ._record import Record, RecordError, in_g
from ._store import RecordStore, read_store, write_store

__all__ = ["FORMATS", "UNITS_IN_G", "Record", "RecordError", "RecordStore", "format_of", "in_g", "read", "read_store",
           "write", "write_store"]

FORMATS = ("at2", "sac")
_READERS: dict[str, Callable[[Path], Record]] = {"at2": _at2.read, "sac": _sac.read}
_WRITERS: dict[str, Callable[[Path, Record], None]] = {"at2": _at2.write, "sac": _sac.write}


def format_of(path: str | os.PathLike[str], format: str | None = None) -> str:
    """The record format of `path`: `format` if given, else its extension's ("at2" or "sac")."""
    name = (format if format is not None else Path(path).suffix.lstrip(".")).lower()
    if name not in FORMATS:
        given = f"format {format!r}" if format is not None else f"extension {Path(path).suffix!r}"
        raise RecordError(f"{path}: unknown record {given}; use .AT2 or .sac (or format='at2' or 'sac')")
    return name


def read(path: str | os.PathLike[str], format: str | None = None) -> Record:
    """Reads the record of an AT2 or SAC file.

    Parameters
    ----------
    path : str or path-like
        The file.
    format : {"at2", "sac"}, optional
        The format; by default from the extension (.AT2 or .sac, any case).

    Returns
    -------
    Record
        AT2: float64 samples in g, the four header lines. SAC: float32 samples, units from IDEP
        ("nm/s2" for IACC, "unknown" for IUNKN or none), every defined header field.

    Raises
    ------
    RecordError
        A malformed file, naming the file and the line or header field.
    OSError
        A file that cannot be opened.
    """
    kind = format_of(path, format)
    return _READERS[kind](Path(path))


def write(path: str | os.PathLike[str], record: Record, format: str | None = None) -> None:
    """Writes `record` to `path` as AT2 (in g, 17 significant digits) or SAC (float32).

    The header of `record` is kept: AT2 header lines (line 4 rewritten if NPTS or DT changed),
    SAC fields with NPTS, DELTA, DEPMIN, DEPMAX, DEPMEN and E updated, in the record's byte order.

    Raises
    ------
    RecordError
        Before anything is written, for a record that `read` could not read back: `acc` not one
        record of real, finite samples (AT2: at least one; SAC: within float32's range), `dt`
        not a finite, positive interval, header lines that are not one line each of Latin-1
        text or whose line 3 names other units than G, ``columns`` below 1, SAC header fields
        unknown or too long.
    """
    kind = format_of(path, format)
    _check(path, record)
    _WRITERS[kind](Path(path), record)


def _check(path: str | os.PathLike[str], record: Record) -> None:
    """RecordError for samples or an interval that no record file holds."""
    acc = np.asarray(record.acc)
    if acc.dtype.kind not in "iuf":
        raise RecordError(f"{path}: acc of dtype {acc.dtype}; expected real samples")
    if acc.ndim != 1:
        raise RecordError(f"{path}: acc of shape {acc.shape}; expected one record, of shape (n_samples,)")
    dt = np.asarray(record.dt)
    if not (dt.ndim == 0 and dt.dtype.kind in "iuf" and math.isfinite(float(dt)) and float(dt) > 0.0):
        raise RecordError(f"{path}: dt is {record.dt!r}, expected a finite, positive sample interval (s)")
