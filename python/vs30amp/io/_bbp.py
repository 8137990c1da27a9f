"""The Broadband Platform's time series (.bbp): comment lines (starting with "#" or "%"), then
one line per sample of four columns: the time (s) and the N/S, E/W and U/D components, in the
units the comments name ("units= cm/s/s", or a column title's "(cm/s)"): cm/s/s for
acceleration, cm/s and cm for velocity and displacement files.

A record of this format holds the three components as rows, shape (3, n_samples). Values are
written as Python's repr (the shortest text that reads back to the same float64), the interval
in a comment line "NPTS, DT: n dt", so that a file written here reads back bit for bit; a file
without that line takes DT from its time column. Only the horizontals are amplified: the U/D
column is written as read, and the file's note says so.
"""

from __future__ import annotations

import math
import re
from pathlib import Path
from typing import Any

import numpy as np

from .._provenance import NOTE_START, RecordProvenance
from .._units import UNITS_IN_G
from ._record import Record, RecordError, RecordFormat

COMPONENTS = ("N/S", "E/W", "U/D")
VERTICAL = 2
COMMENT = ("#", "%")
NPTS_DT = re.compile(r"NPTS\s*,\s*DT\s*[:=]?\s*(\S+)\s+(\S+)", re.IGNORECASE)
STATED_UNITS = re.compile(r"\bunits\s*[=:]\s*(\S+)", re.IGNORECASE)
TITLED_UNITS = re.compile(r"\((cm[^)]*)\)", re.IGNORECASE)
COLUMN_TITLES = re.compile(r"^\W*(column\s+\d|time\s*\(s\))", re.IGNORECASE)
# The units files write, as the package names them; "cm/s/s" is the platform's acceleration.
UNITS = {"cm/s/s": "cm/s2", "cm/s^2": "cm/s2", "cm/s2": "cm/s2", "cm/s**2": "cm/s2", "cm/sec/sec": "cm/s2",
         "cm/s": "cm/s", "cm/sec": "cm/s", "cm": "cm"}
WRITTEN = {"cm/s2": "cm/s/s", "cm/s": "cm/s", "cm": "cm"}
QUANTITY = {"cm/s2": "acceleration", "cm/s": "velocity", "cm": "displacement"}
# The platform's own file names: STATION.acc.bbp, .vel.bbp, .dis.bbp.
NAMED_UNITS = {".acc": "cm/s2", ".vel": "cm/s", ".dis": "cm"}


def _units(path: Path, comments: list[str]) -> str:
    for line in comments:
        found = STATED_UNITS.search(line) or TITLED_UNITS.search(line)
        if found:
            return UNITS.get(found.group(1).lower().rstrip(",;"), found.group(1))
    return NAMED_UNITS.get(Path(path.stem).suffix.lower(), "unknown")


def _dt(path: Path, comments: list[str], time: np.ndarray[Any, Any], lines: list[int]) -> float:
    """DT of the "NPTS, DT" comment, else of the time column; RecordError for uneven times."""
    stated = next((NPTS_DT.search(line) for line in comments if NPTS_DT.search(line)), None)
    if stated:
        try:
            npts, dt = int(stated.group(1).rstrip(",")), float(stated.group(2))
        except ValueError:
            raise RecordError(f"{path}: comment '{stated.group(0)}': expected 'NPTS, DT: n dt'") from None
        if npts != time.size:
            raise RecordError(f"{path}: {time.size} samples, but the comment says NPTS = {npts}")
    elif time.size > 1:  # the times' printed digits: no more than 10 significant ones are trusted
        dt = float(f"{(time[-1] - time[0]) / (time.size - 1):.10g}")
    else:
        raise RecordError(f"{path}: one sample and no 'NPTS, DT' comment: no sample interval")
    if not (math.isfinite(dt) and dt > 0.0):
        raise RecordError(f"{path}: DT is {dt!r}, expected a positive interval in s")
    uneven = np.abs(time - (time[0] + np.arange(time.size) * dt)) > 0.25 * dt  # beyond the printed digits
    if uneven.any():
        at = int(np.argmax(uneven))
        raise RecordError(f"{path}: line {lines[at]}: time {float(time[at])!r} is not {float(time[0])!r} + {at} DT (DT = {dt!r}); "
                          f"the samples must be evenly spaced")
    return dt


def read(path: Path) -> Record:
    """The three components of a .bbp file as the rows of a record, in the file's units."""
    comments: list[str] = []
    rows: list[list[float]] = []
    lines: list[int] = []
    with path.open(encoding="latin-1") as file:
        for number, line in enumerate(file, start=1):
            text = line.strip()
            if not text:
                continue
            if text.startswith(COMMENT):
                if rows:
                    raise RecordError(f"{path}: line {number}: a comment after the samples")
                comments.append(line.rstrip("\r\n"))
                continue
            values = text.split()
            try:
                numbers = [float(value) for value in values]
            except ValueError:
                numbers = []
            if len(numbers) != 4 or not all(map(math.isfinite, numbers)):
                raise RecordError(f"{path}: line {number}: expected four finite numbers (time, N/S, E/W, U/D), "
                                  f"got {text[:80]!r}")
            rows.append(numbers)
            lines.append(number)
    if not rows:
        raise RecordError(f"{path}: no samples after the comment lines")
    table = np.array(rows).T
    dt = _dt(path, comments, table[0], lines)
    return Record(np.ascontiguousarray(table[1:]), dt, _units(path, comments),
                  {"comments": tuple(comments), "start": float(table[0, 0])})


def _kept(line: str) -> bool:
    """A comment line kept as written: not one of those `write` writes anew."""
    return not (NPTS_DT.search(line) or STATED_UNITS.search(line) or COLUMN_TITLES.search(line)
                or TITLED_UNITS.search(line))


def write(path: Path, record: Record) -> None:
    """Writes the record's three rows as a .bbp file, acceleration in cm/s/s (other acceleration
    units converted), velocity in cm/s, displacement in cm; its comment lines kept, those of
    NPTS and DT, units and the columns' titles written anew."""
    acc = np.asarray(record.acc, dtype=np.float64)
    if acc.ndim != 2 or acc.shape[0] != len(COMPONENTS):
        raise RecordError(f"{path}: acc of shape {acc.shape}; a .bbp file holds three components "
                          f"({', '.join(COMPONENTS)}), shape (3, n_samples)")
    units = record.units
    if units in UNITS_IN_G and units != "cm/s2":
        acc, units = acc * (UNITS_IN_G[units] / UNITS_IN_G["cm/s2"]), "cm/s2"
    if units not in WRITTEN:
        raise RecordError(f"{path}: units {units!r}; .bbp files hold cm/s/s, cm/s or cm")
    if acc.shape[1] == 0 or not np.isfinite(acc).all():
        raise RecordError(f"{path}: a .bbp file needs at least one sample, all finite")
    dt, start = float(record.dt), float(record.header.get("start", 0.0))
    lines = [line for line in record.header.get("comments", ()) if _kept(str(line))]
    for line in lines:
        if not isinstance(line, str) or not line.startswith(COMMENT) or "\n" in line or "\r" in line:
            raise RecordError(f"{path}: header line {line!r} is not one comment line (starting with # or %)")
    quantity = QUANTITY[units]
    lines += [f"# NPTS, DT: {acc.shape[1]} {dt!r}", f"#   units= {WRITTEN[units]}", "# Column 1: Time (s)",
              *(f"# Column {column}: {name} component ground {quantity}"
                for column, name in enumerate(COMPONENTS, start=2))]
    time = start + np.arange(acc.shape[1]) * dt
    with path.open("w", encoding="latin-1", newline="\n") as file:
        file.write("\n".join(lines) + "\n")
        for row in zip(time.tolist(), *acc.tolist(), strict=True):
            file.write("\t".join(map(repr, row)) + "\n")


def with_provenance(header: dict[str, Any], provenance: RecordProvenance) -> None:
    """A comment line of the amplification's note, over an earlier one: the horizontals amplified."""
    kept = [line for line in header.get("comments", ()) if NOTE_START not in str(line)]
    header["comments"] = (*kept, f"# {provenance.note()}; N/S and E/W amplified, U/D as it was")


FORMAT = RecordFormat("bbp", ".bbp", read, write, with_provenance, len(COMPONENTS), VERTICAL)
