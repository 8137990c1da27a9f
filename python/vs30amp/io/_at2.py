"""PEER NGA AT2 files: four header lines, then the samples in g in free columns.

Line 4 gives the number of samples and the interval in one of the forms real files carry:
"NPTS=  5590, DT= .0050 SEC", "NPTS= 5590, DT= 0.0050 SEC," or the older "5590 0.0050 NPTS, DT".
Values are written with 17 significant digits ("%.16E"): every float64 reads back to the same bits.
"""

from __future__ import annotations

import math
import re
from pathlib import Path
from typing import Any

import numpy as np

from ._record import Record, RecordError, in_g

HEADER_LINES = 4
KEYED_NPTS = re.compile(r"\bNPTS\s*=\s*([^\s,]+)", re.IGNORECASE)
KEYED_DT = re.compile(r"\bDT\s*=\s*([^\s,]+)", re.IGNORECASE)
OLD_FORM = re.compile(r"^\s*(\S+)\s+(\S+)\s+NPTS\s*,\s*DT\b", re.IGNORECASE)
UNITS = re.compile(r"\bUNITS\s+OF\s+([^\s,.]+)", re.IGNORECASE)
DEFAULT_LINES = ("vs30amp record", "", "ACCELERATION TIME SERIES IN UNITS OF G")


def npts_and_dt(line: str) -> tuple[str, str] | None:
    """The NPTS and DT fields of a fourth header line as written, or None."""
    npts, dt = KEYED_NPTS.search(line), KEYED_DT.search(line)
    if npts and dt:
        return npts.group(1), dt.group(1)
    old = OLD_FORM.match(line)
    return (old.group(1), old.group(2)) if old else None


def _header(path: Path, lines: list[str]) -> tuple[int, float]:
    units = UNITS.search(lines[2])
    if units and units.group(1).upper() != "G":
        raise RecordError(f"{path}: line 3: units {units.group(1)!r}; AT2 acceleration files are in G")
    fields = npts_and_dt(lines[3])
    if fields is None:
        raise RecordError(f"{path}: line 4: expected 'NPTS= n, DT= dt SEC' or 'n dt NPTS, DT', "
                          f"got {lines[3].strip()!r}")
    try:
        npts = int(fields[0])
    except ValueError:
        raise RecordError(f"{path}: line 4: NPTS {fields[0]!r} is not a whole number") from None
    try:
        dt = float(fields[1])
    except ValueError:
        raise RecordError(f"{path}: line 4: DT {fields[1]!r} is not a number") from None
    if npts < 1:
        raise RecordError(f"{path}: line 4: NPTS is {npts}, expected at least 1")
    if not (math.isfinite(dt) and dt > 0.0):
        raise RecordError(f"{path}: line 4: DT is {fields[1]}, expected a positive interval in s")
    return npts, dt


def _number(path: Path, line: int, token: str) -> float:
    try:
        value = float(token)
    except ValueError:
        try:  # Fortran's double-precision exponent, 0.1D-02
            value = float(token.replace("D", "E").replace("d", "e"))
        except ValueError:
            raise RecordError(f"{path}: line {line}: {token!r} is not a number") from None
    if not math.isfinite(value):
        raise RecordError(f"{path}: line {line}: {token!r} is not a finite number")
    return value


def read(path: Path) -> Record:
    """The record of an AT2 file; RecordError naming the file and line when it is malformed."""
    with path.open(encoding="latin-1", newline=None) as file:
        lines = file.read().splitlines()
    if len(lines) < HEADER_LINES:
        raise RecordError(f"{path}: line {len(lines)}: the file ends inside its header of {HEADER_LINES} lines")
    npts, dt = _header(path, lines)
    acc = np.empty(npts)
    count, columns, last = 0, 0, HEADER_LINES
    for number, line in enumerate(lines[HEADER_LINES:], start=HEADER_LINES + 1):
        tokens = line.split()
        if not tokens:
            continue
        if count + len(tokens) > npts:
            raise RecordError(f"{path}: line {number}: more values than NPTS = {npts} (line 4)")
        try:
            acc[count:count + len(tokens)] = [float(token) for token in tokens]
            if not np.isfinite(acc[count:count + len(tokens)]).all():
                raise ValueError
        except ValueError:
            acc[count:count + len(tokens)] = [_number(path, number, token) for token in tokens]
        count += len(tokens)
        columns, last = columns or len(tokens), number
    if count < npts:
        raise RecordError(f"{path}: line {last}: the file ends after {count} of NPTS = {npts} values (line 4)")
    return Record(acc, dt, "g", {"lines": tuple(lines[:HEADER_LINES]), "columns": columns})


def write(path: Path, record: Record) -> None:
    """Writes `record` in g as an AT2 file, keeping its header lines; line 4 is rewritten when it
    does not give the record's NPTS and DT."""
    try:
        acc = np.asarray(record.acc, dtype=np.float64).reshape(-1) * in_g(record.units)
    except RecordError as error:
        raise RecordError(f"{path}: {error}; AT2 files hold accelerations in g") from None
    if acc.size == 0:
        raise RecordError(f"{path}: a record needs at least one sample")
    if not np.isfinite(acc).all():
        raise RecordError(f"{path}: sample {int(np.argmin(np.isfinite(acc)))} is not finite")
    header: dict[str, Any] = dict(record.header)
    lines = list(header.get("lines", ())) or [*DEFAULT_LINES, ""]
    if len(lines) != HEADER_LINES:
        raise RecordError(f"{path}: header 'lines' holds {len(lines)} lines, expected {HEADER_LINES}")
    try:
        fields = npts_and_dt(lines[3])
        same = fields is not None and int(fields[0]) == acc.size and float(fields[1]) == record.dt
    except ValueError:
        same = False
    if not same:
        lines[3] = f"NPTS= {acc.size}, DT= {float(record.dt)!r} SEC"
    columns = int(header.get("columns", 5)) or 5
    with path.open("w", encoding="latin-1", newline="\n") as file:
        file.write("\n".join(lines) + "\n")
        for start in range(0, acc.size, columns):
            file.write("".join(f" {value: .16E}" for value in acc[start:start + columns].tolist()) + "\n")
