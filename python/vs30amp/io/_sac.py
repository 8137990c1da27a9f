"""SAC binary files (header version 6) of evenly sampled time series, in either byte order.

The 632-byte header holds 70 floats, 40 integers and 23 strings; -12345 marks a field as
undefined. The samples follow as float32. The byte order is the one in which NVHDR reads 6.
"""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

import numpy as np

from .._models import get_model
from .._provenance import RecordProvenance
from .._rock_motion import carried_rock
from .._version import __version__
from ._record import Record, RecordError, RecordFormat

FLOATS = ("DELTA DEPMIN DEPMAX SCALE ODELTA B E O A INTERNAL9 " + " ".join(f"T{i}" for i in range(10))
          + " F " + " ".join(f"RESP{i}" for i in range(10)) + " STLA STLO STEL STDP EVLA EVLO EVEL EVDP MAG "
          + " ".join(f"USER{i}" for i in range(10)) + " DIST AZ BAZ GCARC INTERNAL54 INTERNAL55 DEPMEN CMPAZ "
          "CMPINC XMINIMUM XMAXIMUM YMINIMUM YMAXIMUM " + " ".join(f"UNUSED{i}" for i in range(63, 70))).split()
INTS = ("NZYEAR NZJDAY NZHOUR NZMIN NZSEC NZMSEC NVHDR NORID NEVID NPTS INTERNAL10 NWFID NXSIZE NYSIZE "
        "UNUSED14 IFTYPE IDEP IZTYPE UNUSED18 IINST ISTREG IEVREG IEVTYP IQUAL ISYNTH IMAGTYP IMAGSRC "
        + " ".join(f"UNUSED{i}" for i in range(27, 35)) + " LEVEN LPSPOL LOVROK LCALDA UNUSED39").split()
STRINGS = ["KSTNM", "KEVNM", "KHOLE", "KO", "KA", *(f"KT{i}" for i in range(10)), "KF", "KUSER0", "KUSER1",
           "KUSER2", "KCMPNM", "KNETWK", "KDATRD", "KINST"]
HEADER_BYTES = 632
UNDEFINED = -12345
VERSION = 6
ITIME = 1
IUNKN = 5
# IDEP: the dependent variable, in SAC's units (nm, nm/s, nm/s/s, volts); IUNKN = 5.
IDEP_UNITS = {6: "nm", 7: "nm/s", 8: "nm/s2", 50: "V"}
UNITS_IDEP = {units: idep for idep, units in IDEP_UNITS.items()}
INT32 = np.iinfo(np.int32)
# What the other formats keep in a record's header (AT2's lines, ObsPy's stats, .bbp's comments).
OTHER_FORMATS_FIELDS = ("lines", "columns", "stats", "processing", "comments", "start")
FLOAT32_MAX = float(np.finfo(np.float32).max)


def _width(name: str) -> int:
    return 16 if name == "KEVNM" else 8


def _layout(order: str) -> np.dtype[Any]:
    return np.dtype([*((name, f"{order}f4") for name in FLOATS), *((name, f"{order}i4") for name in INTS),
                     *((name, f"S{_width(name)}") for name in STRINGS)])


def _byte_order(path: Path, raw: bytes) -> str:
    nvhdr = 4 * (len(FLOATS) + INTS.index("NVHDR"))
    little, big = (int.from_bytes(raw[nvhdr:nvhdr + 4], order, signed=True) for order in ("little", "big"))
    if VERSION in (little, big):
        return "<" if little == VERSION else ">"
    raise RecordError(f"{path}: header field NVHDR is {little} (little-endian) or {big} (big-endian); "
                      f"only SAC header version {VERSION} is read")


def _defined(name: str, value: Any) -> Any:
    """The header value as a Python value, or None when undefined."""
    if name in STRINGS:
        text = bytes(value).split(b"\0", 1)[0].decode("latin-1").rstrip()
        return None if text in ("", str(UNDEFINED)) else text
    number = value.item()
    return None if number == UNDEFINED else number


def read(path: Path) -> Record:
    """The record of a SAC binary file; RecordError naming the file and header field when it is
    not an evenly sampled time series of header version 6 or its size does not fit NPTS."""
    raw = path.read_bytes()
    if len(raw) < HEADER_BYTES:
        raise RecordError(f"{path}: {len(raw)} bytes, shorter than the SAC header of {HEADER_BYTES} bytes")
    order = _byte_order(path, raw)
    fields = np.frombuffer(raw, _layout(order), count=1)[0]
    header: dict[str, Any] = {"byteorder": order}
    for name in FLOATS + INTS + STRINGS:
        value = _defined(name, fields[name])
        if value is not None:
            header[name] = value
    if header.get("IFTYPE") != ITIME:
        raise RecordError(f"{path}: header field IFTYPE is {header.get('IFTYPE')}, "
                          f"expected {ITIME} (ITIME, a time series)")
    if header.get("LEVEN") != 1:
        raise RecordError(f"{path}: header field LEVEN is {header.get('LEVEN')}, expected 1 (evenly sampled)")
    npts, dt = header.get("NPTS", -1), header.get("DELTA", math.nan)
    if npts < 0:
        raise RecordError(f"{path}: header field NPTS is {npts}, expected a number of samples")
    if not (math.isfinite(dt) and dt > 0.0):
        raise RecordError(f"{path}: header field DELTA is {dt}, expected a positive sample interval")
    if len(raw) != HEADER_BYTES + 4 * npts:
        raise RecordError(f"{path}: {len(raw)} bytes, but header field NPTS = {npts} needs {HEADER_BYTES + 4 * npts}")
    acc = np.frombuffer(raw, f"{order}f4", count=npts, offset=HEADER_BYTES).astype(np.float32)
    units = IDEP_UNITS.get(header.get("IDEP", IUNKN), "unknown")
    return Record(acc, dt, units, header)


def write(path: Path, record: Record) -> None:
    """Writes `record` as SAC binary in its header's byte order (little-endian without one),
    keeping its header fields and setting NPTS, DELTA, DEPMIN, DEPMAX, DEPMEN and E."""
    with np.errstate(over="ignore"):  # values beyond float32's range are refused below
        acc = np.asarray(record.acc).astype(np.float32)
    finite = np.isfinite(acc)
    if not finite.all():
        sample = int(np.argmin(finite))
        raise RecordError(f"{path}: sample {sample} is {np.asarray(record.acc)[sample].item()!r}, not a finite float32 "
                          f"(SAC samples are float32)")
    if not (np.isfinite(np.float32(record.dt)) and np.float32(record.dt) > 0.0):
        raise RecordError(f"{path}: dt is {record.dt!r}, beyond what header field DELTA (float32) holds")
    header: dict[str, Any] = dict(record.header)
    order = header.pop("byteorder", "<")
    for other in OTHER_FORMATS_FIELDS:
        header.pop(other, None)
    if order not in ("<", ">"):
        raise RecordError(f"{path}: header byteorder {order!r}, expected '<' or '>'")
    unknown = sorted(set(header) - set(FLOATS + INTS + STRINGS))
    if unknown:
        raise RecordError(f"{path}: {', '.join(unknown)} not SAC header fields")
    begin = header.get("B", 0.0)
    header.update(NVHDR=VERSION, IFTYPE=ITIME, LEVEN=1, NPTS=acc.size, DELTA=float(record.dt), B=begin,
                  E=begin + (acc.size - 1) * float(record.dt))
    if record.units in UNITS_IDEP:
        header["IDEP"] = UNITS_IDEP[record.units]
    elif record.units != "unknown":  # g, m/s2: no IDEP of SAC's says so
        header["IDEP"] = IUNKN
    if acc.size:
        header.update(DEPMIN=float(acc.min()), DEPMAX=float(acc.max()), DEPMEN=float(acc.mean(dtype=np.float64)))
    else:  # no samples: no statistics, and none of the record's earlier ones
        for name in ("DEPMIN", "DEPMAX", "DEPMEN", "E"):
            header.pop(name, None)
    fields = np.zeros(1, _layout(order))
    for name in FLOATS + INTS:
        fields[name] = _field_value(path, name, header.get(name, UNDEFINED))
    for name in STRINGS:
        fields[name] = _field_text(path, name, header.get(name, str(UNDEFINED)))
    with path.open("wb") as file:
        file.write(fields.tobytes())
        file.write(acc.astype(f"{order}f4").tobytes())


def _field_value(path: Path, name: str, value: Any) -> Any:
    """A numeric header field's value as the file holds it (int32 or float32), read back the same;
    RecordError naming the field otherwise."""
    if name in INTS:
        whole = isinstance(value, (int, np.integer)) or (isinstance(value, (float, np.floating))
                                                         and float(value).is_integer())
        if not (whole and INT32.min <= value <= INT32.max):
            raise RecordError(f"{path}: header field {name} is {value!r}, expected a whole number of int32's range")
        return int(value)
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = math.nan
    if isinstance(value, (str, bytes)) or not (math.isnan(number) or abs(number) <= FLOAT32_MAX):
        raise RecordError(f"{path}: header field {name} is {value!r}, expected a number of float32's range")
    return number


def _field_text(path: Path, name: str, text: Any) -> bytes:
    """A string header field as the file's bytes, one per character (read decodes Latin-1);
    RecordError naming the field for what would not read back."""
    try:
        encoded = str(text).encode("latin-1")
    except UnicodeEncodeError:
        raise RecordError(f"{path}: header field {name} {text!r} has characters beyond Latin-1, which a SAC "
                          f"header cannot hold") from None
    if len(encoded) > _width(name) or b"\0" in encoded:
        raise RecordError(f"{path}: header field {name} {text!r} is not text of at most {_width(name)} characters")
    return encoded.ljust(_width(name))


def provenance_fields(provenance: RecordProvenance) -> dict[str, str | float]:
    """KUSER0 "vs30amp", KUSER1 the version, KUSER2 the model and the convention's first three
    letters ("ba18-mod", "ba18-pub"), each at most 8 characters; USER0 the site's Vs30, USER1 the
    simulation's, USER2 the rock's when the record's motion was carried to it, USER3 the epsilon by
    which the factors were moved when not 0 (float32 in the file)."""
    named = {"KUSER0": "vs30amp", "KUSER1": __version__, "KUSER2": f"{provenance.model}-{provenance.convention[:3]}"}
    values: dict[str, str | float] = {"USER0": provenance.vs30, "USER1": provenance.vs30_sim}
    if provenance.carried_to_rock:
        values["USER2"] = float(carried_rock(get_model(provenance.model)) or 0.0)
    if provenance.epsilon:
        values["USER3"] = provenance.epsilon
    return {name: text[:_width(name)] for name, text in named.items()} | values


def with_provenance(header: dict[str, Any], provenance: RecordProvenance) -> None:
    """`header`'s user fields say what amplified the record (`provenance_fields`), over what they held."""
    header.update(provenance_fields(provenance))


FORMAT = RecordFormat("sac", ".sac", read, write, with_provenance)
