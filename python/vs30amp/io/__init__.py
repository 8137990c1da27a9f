"""Acceleration record files: PEER NGA ``.AT2``, SAC binary ``.sac``, MiniSEED ``.mseed``
(through ObsPy, the "obspy" extra) and the Broadband Platform's ``.bbp`` (three components).

`read` returns a `Record` (samples, sample interval, units and the file's header); `write`
writes one back in the same layout. The format follows the file's extension (any case) unless
``format`` names it. Malformed files raise `RecordError`, a `ValueError` naming the file and the
line or header field. `read_store` and `write_store` read and write the records of many
stations in one netCDF or Zarr store, lazily, chunk by chunk (`RecordStore`). `amplified` marks
a record as amplified in the header any format writes (`RecordProvenance`). `from_trace` and
`to_trace` turn ObsPy traces into records and back, `read_traces` and `write_traces` read and
write every format ObsPy does.
"""

from __future__ import annotations

import dataclasses
import math
import os
from pathlib import Path

import numpy as np

from .._provenance import RecordProvenance
from .._units import UNITS_IN_G
from . import _formats
from ._obspy import from_trace, read_traces, to_trace, write_traces
from ._record import Record, RecordError, in_g
from ._store import RecordStore, read_store
from ._store_write import write_store

__all__ = ["FORMATS", "UNITS_IN_G", "Record", "RecordError", "RecordProvenance", "RecordStore", "amplified",
           "format_of", "from_trace", "in_g", "read", "read_store", "read_traces", "to_trace", "write", "write_store",
           "write_traces"]

FORMATS = tuple(_formats.FORMATS)


def format_of(path: str | os.PathLike[str], format: str | None = None) -> str:
    """The record format of `path`: `format` if given, else its extension's ("at2", "sac", "mseed", "bbp").

    Examples
    --------
    >>> from vs30amp import io
    >>> io.format_of("RSN753.AT2"), io.format_of("station.dat", format="SAC")
    ('at2', 'sac')
    """
    return _formats.format_named(path, format).name


def read(path: str | os.PathLike[str], format: str | None = None) -> Record:
    """Reads the record of an AT2, SAC, MiniSEED or .bbp file.

    Parameters
    ----------
    path : str or path-like
        The file.
    format : {"at2", "sac", "mseed", "bbp"}, optional
        The format; by default from the extension (.AT2, .sac, .mseed or .bbp, any case).

    Returns
    -------
    Record
        AT2: float64 samples in g, the four header lines. SAC: float32 samples, units from IDEP
        ("nm/s2" for IACC, "unknown" for IUNKN or none), every defined header field. MiniSEED
        (one trace, through ObsPy: the "obspy" extra): its samples as ObsPy reads them, units
        "unknown", its ``stats`` and ``processing``. .bbp: float64 rows N/S, E/W and U/D
        (shape (3, n_samples)) in the units the comments name ("cm/s2" for cm/s/s), the
        comment lines (``comments``) and the first sample's time (``start``).

    Raises
    ------
    RecordError
        A malformed file, naming the file and the line or header field.
    OSError
        A file that cannot be opened.
    ImportError
        A MiniSEED file without ObsPy, naming the extra.

    Examples
    --------
    A record written and read back (`write`):

    >>> import tempfile
    >>> from pathlib import Path
    >>> import numpy as np
    >>> from vs30amp import io
    >>> path = Path(tempfile.mkdtemp()) / "example.AT2"
    >>> io.write(path, io.Record(np.array([0.0, 0.1, -0.2, 0.0]), 0.01, "g"))
    >>> record = io.read(path)
    >>> record.acc.tolist(), record.dt, record.units, record.pga
    ([0.0, 0.1, -0.2, 0.0], 0.01, 'g', 0.2)
    >>> print(record.header["lines"][3])
    NPTS= 4, DT= 0.01 SEC
    """
    return _formats.format_named(path, format).read(Path(path))


def write(path: str | os.PathLike[str], record: Record, format: str | None = None) -> None:
    """Writes `record` to `path` as AT2 (in g, 17 significant digits), SAC (float32), MiniSEED
    (through ObsPy, in the record's encoding where it holds the samples, else its dtype's) or
    .bbp (three rows, acceleration in cm/s/s, each value's repr: read back bit for bit).

    The header of `record` is kept: AT2 header lines (line 4 rewritten if NPTS or DT changed),
    SAC fields with NPTS, DELTA, DEPMIN, DEPMAX, DEPMEN and E updated, in the record's byte order.

    Raises
    ------
    RecordError
        Before anything is written, for a record that `read` could not read back: `acc` not one
        record of real, finite samples (AT2: at least one; SAC: within float32's range), `dt`
        not a finite, positive interval, header lines that are not one line each of Latin-1
        text or whose line 3 names other units than G, ``columns`` below 1, SAC header fields
        unknown or that their type does not hold as given (NZYEAR 2.5, a float beyond float32's
        range, a string beyond Latin-1 or too long), naming the field.

    Examples
    --------
    >>> import tempfile
    >>> from pathlib import Path
    >>> import numpy as np
    >>> from vs30amp import io
    >>> path = Path(tempfile.mkdtemp()) / "example.sac"
    >>> io.write(path, io.Record(np.array([0.0, 0.5, -0.25], dtype=np.float32), 0.005, "m/s2"))
    >>> io.read(path).acc.tolist(), io.read(path).header["NPTS"]
    ([0.0, 0.5, -0.25], 3)
    """
    found = _formats.format_named(path, format)
    _check(path, record, found.components)
    found.write(Path(path), record)


def amplified(record: Record, provenance: RecordProvenance) -> Record:
    """`record` with a header that says it was amplified, in whichever format it is written.

    AT2: line 2 of ``header["lines"]``, which names the record, ends in ``" | "`` and
    `provenance`'s note, e.g. "KOBE 01/16/95 2046, NISHI-AKASHI, 090 (CUE) | amplified by vs30amp
    0.1.0 (ba18, module): vs30 300 m/s, vs30_sim 760 m/s" (a record without header lines gets
    the default ones). A record amplified again keeps one note, the last amplification's, as
    SAC's fields can: the line stays the record's name and one note of about 80 ASCII
    characters, however often the record is amplified.

    SAC: the user fields, over whatever they held: KUSER0 "vs30amp", KUSER1 the package's
    version, KUSER2 the model and the convention's first three letters ("ba18-mod",
    "ba18-pub", "cb14-mod"), USER0 the site's Vs30 and USER1 the simulation's (m/s, float32).

    The samples are `record`'s own.

    Parameters
    ----------
    record : Record
        The amplified samples, with the header of the record they were amplified from.
    provenance : RecordProvenance
        The model, convention, site Vs30 and simulation Vs30 of the amplification.

    Returns
    -------
    Record
        A new record; `record` is not changed.
    """
    header = dict(record.header)
    for marked in _formats.FORMATS.values():  # the header of any format the record is written in
        marked.with_provenance(header, provenance)
    return dataclasses.replace(record, header=header)


def _check(path: str | os.PathLike[str], record: Record, components: int = 1) -> None:
    """RecordError for samples or an interval that no record file (of `components`) holds."""
    acc = np.asarray(record.acc)
    if acc.dtype.kind not in "iuf":
        raise RecordError(f"{path}: acc of dtype {acc.dtype}; expected real samples")
    if components == 1 and acc.ndim != 1:
        raise RecordError(f"{path}: acc of shape {acc.shape}; expected one record, of shape (n_samples,)")
    if components > 1 and acc.shape[:1] != (components,):
        raise RecordError(f"{path}: acc of shape {acc.shape}; expected {components} components, of shape "
                          f"({components}, n_samples)")
    dt = np.asarray(record.dt)
    if not (dt.ndim == 0 and dt.dtype.kind in "iuf" and math.isfinite(float(dt)) and float(dt) > 0.0):
        raise RecordError(f"{path}: dt is {record.dt!r}, expected a finite, positive sample interval (s)")
