"""PEER NGA AT2 files: four header lines, then the samples in g in free columns.

Line 4 gives the number of samples and the interval in one of the forms real files carry:
"NPTS=  5590, DT= .0050 SEC", "NPTS= 5590, DT= 0.0050 SEC," or the older "5590 0.0050 NPTS, DT".
Values are written with 17 significant digits ("%.16E"): every float64 reads back to the same bits.
Line 2 names the record (event, date, station, component); an amplified record's line 2 ends in
the note of its amplification, after " | ".
"""

from __future__ import annotations

import math
import re
from pathlib import Path
from typing import Any

import numpy as np

from .._provenance import NOTE_START, RecordProvenance
from ._record import Record, RecordError, RecordFormat, in_g

HEADER_LINES = 4
KEYED_NPTS = re.compile(r"\bNPTS\s*=\s*([^\s,]+)", re.IGNORECASE)
KEYED_DT = re.compile(r"\bDT\s*=\s*([^\s,]+)", re.IGNORECASE)
OLD_FORM = re.compile(r"^\s*(\S+)\s+(\S+)\s+NPTS\s*,\s*DT\b", re.IGNORECASE)
UNITS = re.compile(r"\bUNITS\s+OF\s+([^\s,.]+)", re.IGNORECASE)
# Numbers as Fortran and C read them: ASCII digits, no digit separators, Fortran's D exponent.
WHOLE = re.compile(r"[+-]?[0-9]+")
REAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[EeDd][+-]?[0-9]+)?")
# Separators within a line (C's isspace); lines end at "\n" alone (after universal newlines).
SPACES = re.compile(r"[ \t\v\f\r]+")
MAX_NPTS_DIGITS = 18
SPECIAL = re.compile(r"[+-]?(?:inf|infinity|nan)", re.IGNORECASE)
# What str.split and float read otherwise than C: digit separators, non-ASCII digits and
# spaces, and the separators 0x1C-0x1F.
UNPLAIN = re.compile(r"[_\x1c-\x1f\x80-\xff]")
DEFAULT_LINES = ("vs30amp record", "", "ACCELERATION TIME SERIES IN UNITS OF G")
RECORD_LINE = 1
# A note in full, ending the line, after " | " or alone: a record's own name may hold its words.
NOTE = re.compile(r"(?:\A|\s*\|\s*)" + re.escape(NOTE_START)
                  + r"[^\s|]+ \([^()|]*\): vs30 [^\s|]+ m/s, vs30_sim [^\s|]+ m/s"
                  + r"(?:, (?:pga|y_ref from the records' PSA) carried to [^\s|]+ m/s rock)?"
                  + r"(?:, epsilon [^\s|]+)?\s*\Z")


def npts_and_dt(line: str) -> tuple[str, str] | None:
    """The NPTS and DT fields of a fourth header line as written, or None."""
    npts, dt = KEYED_NPTS.search(line), KEYED_DT.search(line)
    if npts and dt:
        return npts.group(1), dt.group(1)
    old = OLD_FORM.match(line)
    return (old.group(1), old.group(2)) if old else None


def with_note(lines: tuple[str, ...] | list[str], note: str) -> tuple[str, ...]:
    """Header lines whose record line ends in `note` instead of an earlier amplification's note:
    one note, the last amplification's, however often a record is amplified."""
    named = list(lines) or [*DEFAULT_LINES, ""]
    if len(named) == HEADER_LINES and isinstance(named[RECORD_LINE], str):
        name = NOTE.sub("", named[RECORD_LINE], count=1).rstrip()
        named[RECORD_LINE] = f"{name} | {note}" if name else note
    return tuple(named)


def _header(path: Path, lines: list[str]) -> tuple[int, float]:
    units = UNITS.search(lines[2])
    if units and units.group(1).upper() != "G":
        raise RecordError(f"{path}: line 3: units {units.group(1)!r}; AT2 acceleration files are in G")
    fields = npts_and_dt(lines[3])
    if fields is None:
        raise RecordError(f"{path}: line 4: expected 'NPTS= n, DT= dt SEC' or 'n dt NPTS, DT', "
                          f"got {lines[3].strip()!r}")
    if not WHOLE.fullmatch(fields[0]):
        raise RecordError(f"{path}: line 4: NPTS {fields[0]!r} is not a whole number")
    if not REAL.fullmatch(fields[1]):
        raise RecordError(f"{path}: line 4: DT {fields[1]!r} is not a number")
    if len(fields[0].lstrip("+-0")) > MAX_NPTS_DIGITS:
        raise RecordError(f"{path}: line 4: NPTS {fields[0]} is more values than a file holds")
    npts, dt = int(fields[0]), float(fields[1].replace("D", "E").replace("d", "e"))
    if npts < 1:
        raise RecordError(f"{path}: line 4: NPTS is {npts}, expected at least 1")
    if not (math.isfinite(dt) and dt > 0.0):
        raise RecordError(f"{path}: line 4: DT is {fields[1]}, expected a positive interval in s")
    return npts, dt


def _number(path: Path, line: int, token: str) -> float:
    if REAL.fullmatch(token):  # Fortran's double-precision exponent too: 0.1D-02
        value = float(token.replace("D", "E").replace("d", "e"))
        if math.isfinite(value):
            return value
    what = "a finite number" if REAL.fullmatch(token) or SPECIAL.fullmatch(token) else "a number"
    raise RecordError(f"{path}: line {line}: {token!r} is not {what}")


def read(path: Path) -> Record:
    """The record of an AT2 file; RecordError naming the file and line when it is malformed."""
    with path.open(encoding="latin-1", newline=None) as file:
        text = file.read()
    lines = text.split("\n")  # not splitlines: form feeds, 0x1C-0x1E and 0x85 are no line breaks
    if lines[-1] == "":
        lines.pop()
    if len(lines) < HEADER_LINES:
        raise RecordError(f"{path}: line {len(lines)}: the file ends inside its header of {HEADER_LINES} lines")
    npts, dt = _header(path, lines)
    # Every value takes a character and a separator: a file holds at most half its length in
    # values, whatever line 4 claims (the shortfall is then reported against line 4).
    acc = np.empty(min(npts, (len(text) + 1) // 2))
    data = sum(len(line) + 1 for line in lines[:HEADER_LINES])
    split = str.split if UNPLAIN.search(text, data) is None else _split
    count, columns, last = 0, 0, HEADER_LINES
    for number, line in enumerate(lines[HEADER_LINES:], start=HEADER_LINES + 1):
        tokens = split(line)
        if not tokens:
            continue
        if count + len(tokens) > npts:
            raise RecordError(f"{path}: line {number}: more values than NPTS = {npts} (line 4)")
        try:
            if split is not str.split:
                raise ValueError
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


def _split(line: str) -> list[str]:
    return [token for token in SPACES.split(line) if token]


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
    for number, line in enumerate(lines, start=1):
        if not isinstance(line, str) or "\n" in line or "\r" in line or not _latin1(line):
            raise RecordError(f"{path}: header line {number} {line!r} is not one line of Latin-1 text")
    try:
        same = _header(path, lines) == (acc.size, float(record.dt))
    except RecordError:
        same = False
    if not same:
        lines[3] = f"NPTS= {acc.size}, DT= {float(record.dt)!r} SEC"
    _header(path, lines)  # line 3 as read checks it
    columns = header.get("columns", 5)
    if isinstance(columns, bool) or not isinstance(columns, (int, np.integer)) or columns < 1:
        raise RecordError(f"{path}: header 'columns' is {columns!r}, expected a whole number of at least 1")
    columns = int(columns)
    with path.open("w", encoding="latin-1", newline="\n") as file:
        file.write("\n".join(lines) + "\n")
        for start in range(0, acc.size, columns):
            file.write("".join(f" {value: .16E}" for value in acc[start:start + columns].tolist()) + "\n")


def _latin1(text: str) -> bool:
    try:
        text.encode("latin-1")
    except UnicodeEncodeError:
        return False
    return True


def with_provenance(header: dict[str, Any], provenance: RecordProvenance) -> None:
    """The record line (line 2) of `header`'s lines ends in the provenance's note (`with_note`)."""
    header["lines"] = with_note(tuple(header.get("lines", ())), provenance.note())


FORMAT = RecordFormat("at2", ".AT2", read, write, with_provenance)
