"""ObsPy's traces as records, and MiniSEED files read and written through ObsPy (the "obspy"
extra): a record's header keeps the trace's ``stats`` and its ``processing`` history."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import numpy as np

from .._optional import require
from .._provenance import RecordProvenance
from .._traces import processing_entry
from ._record import Record, RecordError, RecordFormat

# MiniSEED's encodings by the samples' dtype: a record's own encoding is kept when it holds them.
ENCODING_DTYPES = {"ASCII": "S1", "INT16": "int16", "INT32": "int32", "STEIM1": "int32", "STEIM2": "int32",
                   "FLOAT32": "float32", "FLOAT64": "float64"}
DTYPE_ENCODINGS = {"int16": "INT16", "int32": "STEIM2", "float32": "FLOAT32", "float64": "FLOAT64"}


def _obspy(what: str) -> Any:
    return require("obspy", "obspy", what)


def from_trace(trace: Any, units: str = "unknown") -> Record:
    """The record of an ObsPy Trace.

    Parameters
    ----------
    trace : obspy.Trace
        The trace; its samples are the record's (not copied).
    units : str
        The samples' units ("g", "m/s2", "cm/s2", ...): traces carry none.

    Returns
    -------
    Record
        ``acc`` the trace's data, ``dt`` its stats.delta, and in ``header`` its ``"stats"`` and
        its ``"processing"`` history (a tuple), which `to_trace` gives back.

    Examples
    --------
    >>> import numpy as np
    >>> from obspy import Trace  # doctest: +SKIP
    >>> from vs30amp import io
    >>> record = io.from_trace(Trace(np.zeros(4), {"delta": 0.01, "station": "S1"}), "m/s2")  # doctest: +SKIP
    >>> record.dt, record.units, record.header["stats"].station  # doctest: +SKIP
    (0.01, 'm/s2', 'S1')
    """
    stats = trace.stats.copy()
    processing = tuple(stats.pop("processing", ()))
    return Record(trace.data, float(stats.delta), units, {"stats": stats, "processing": processing})


def to_trace(record: Record) -> Any:
    """The ObsPy Trace of a record of one component.

    Parameters
    ----------
    record : Record
        Its samples (shape (n_samples,)) become the trace's data; the stats are its header's
        ``"stats"`` (new ones without), with the record's interval, length and ``"processing"``.

    Returns
    -------
    obspy.Trace

    Raises
    ------
    RecordError
        A record of several components (a .bbp file's).
    ImportError
        Without ObsPy, naming the extra.

    Examples
    --------
    >>> import numpy as np
    >>> from vs30amp import io
    >>> trace = io.to_trace(io.Record(np.array([0.0, 0.5, 0.0]), 0.005, "g"))  # doctest: +SKIP
    >>> trace.stats.delta, trace.stats.npts  # doctest: +SKIP
    (0.005, 3)
    """
    obspy = _obspy("an ObsPy Trace")
    acc = np.asarray(record.acc)
    if acc.ndim != 1:
        raise RecordError(f"a record of shape {acc.shape} is not one trace; expected shape (n_samples,)")
    stats = obspy.core.Stats(record.header.get("stats", {}))
    stats.delta, stats.npts = float(record.dt), acc.size  # Trace takes npts from its stats when they give one
    processing = list(record.header.get("processing", ()))
    trace = obspy.Trace(data=acc, header=stats)
    if processing:
        trace.stats.processing = processing
    return trace


def read_traces(path: str | os.PathLike[str], format: str | None = None, units: str = "unknown") -> list[Record]:
    """The records of every trace of a file that ObsPy reads.

    Parameters
    ----------
    path : str or path-like
        The file: MiniSEED, SAC, SEG-Y, GSE2, ... (every format `obspy.read` reads).
    format : str, optional
        ObsPy's name of the format ("MSEED", "SEGY", ...); by default ObsPy finds it.
    units : str
        The samples' units, as `from_trace` takes them.

    Returns
    -------
    list of Record
        One per trace, in the file's order (`from_trace`).

    Raises
    ------
    RecordError
        A file ObsPy cannot read, with ObsPy's reason.
    ImportError
        Without ObsPy, naming the extra.

    Examples
    --------
    >>> from vs30amp import io
    >>> records = io.read_traces("tests/data/IU.COLA.00.LHZ.half.mseed")  # doctest: +SKIP
    >>> len(records), records[0].dt, records[0].header["stats"].channel  # doctest: +SKIP
    (1, 1.0, 'LHZ')
    """
    obspy = _obspy(f"reading {path} through ObsPy")
    try:
        stream = obspy.read(str(path), format=format)
    except FileNotFoundError:
        raise
    except Exception as error:  # ObsPy's readers raise what they will: TypeError for an unknown format
        raise RecordError(f"{path}: ObsPy cannot read it ({error})") from None
    return [from_trace(trace, units) for trace in stream]


def write_traces(path: str | os.PathLike[str], records: list[Record], format: str) -> None:
    """The records written as one Stream in a format ObsPy writes.

    Parameters
    ----------
    path : str or path-like
        The file.
    records : list of Record
        Records of one component each (`to_trace`).
    format : str
        ObsPy's name of the format ("MSEED", "SAC", "SEGY", ...). MiniSEED is written in the
        records' own encoding where it holds their samples, else in their dtype's.

    Raises
    ------
    RecordError
        Records of several components, or MiniSEED samples of no one encoding.
    ImportError
        Without ObsPy, naming the extra.

    Examples
    --------
    >>> import numpy as np
    >>> from vs30amp import io
    >>> io.write_traces("two.mseed", [io.Record(np.ones(8, np.float32), 0.01, "g")] * 2, "MSEED")  # doctest: +SKIP
    >>> [record.acc.dtype.name for record in io.read_traces("two.mseed")]  # doctest: +SKIP
    ['float32', 'float32']
    """
    obspy = _obspy(f"writing {path} through ObsPy")
    stream = obspy.Stream([to_trace(record) for record in records])
    extra = {"encoding": _encoding(path, records)} if format.upper() == "MSEED" else {}
    stream.write(str(path), format=format, **extra)


def _encoding(path: str | os.PathLike[str], records: list[Record]) -> str | None:
    """The records' one MiniSEED encoding: their own where it holds their samples, else their dtype's."""
    chosen = set()
    for record in records:
        dtype = np.asarray(record.acc).dtype.name
        own = record.header.get("stats", {}).get("mseed", {}).get("encoding")
        chosen.add(own if ENCODING_DTYPES.get(own) == dtype else DTYPE_ENCODINGS.get(dtype))
    if None in chosen or len(chosen) != 1:
        raise RecordError(f"{path}: MiniSEED holds int16, int32, float32 or float64 samples, all of one encoding")
    return chosen.pop()


def read(path: Path) -> Record:
    """The record of a MiniSEED file of one trace; RecordError for another number of traces."""
    records = read_traces(path, format="MSEED")
    if len(records) != 1:
        raise RecordError(f"{path}: {len(records)} traces; a record file holds one (read them with "
                          f"vs30amp.io.read_traces)")
    return records[0]


def write(path: Path, record: Record) -> None:
    """Writes `record` as a MiniSEED file of one trace, in its own encoding where it holds the samples."""
    write_traces(path, [record], "MSEED")


def with_provenance(header: dict[str, Any], provenance: RecordProvenance) -> None:
    """The record's processing history ends in what amplified it, as ObsPy's own methods record theirs."""
    entry = processing_entry(provenance.model, provenance.convention, provenance.vs30, provenance.vs30_sim,
                             None, provenance.epsilon)
    header["processing"] = (*header.get("processing", ()), entry)


FORMAT = RecordFormat("mseed", ".mseed", read, write, with_provenance)
