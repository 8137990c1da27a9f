"""Site tables, as every command reads them: a CSV table with a header row, an id column of one
of ID_COLUMNS, the values' columns and numbers read as written."""

from __future__ import annotations

import csv
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from ._errors import UsageError
from ._numbers import number

# One rule for every site table (factors, amplify --sites): an id column of one of these names,
# kept under its name in the outputs, and the values below; any other column is refused.
ID_COLUMNS = ("station", "site", "site_id", "id", "file")
VALUE_COLUMNS = ("vs30", "vs30_sim", "pga")
# Columns only some tables take: amplify's --sites reads each record's fmax (Hz), factors has no use for it.
OWN_COLUMNS = {"fmax": "the simulation's maximum frequency, which only amplify --sites reads",
               "y_ref": "cy14's y_ref (the PSA on 1130 m/s rock, g, one value per site), which only factors "
                        "--model cy14 reads",
               **{name: f"cy14's {name} (Z1 of the {whose}, m), which only factors "
                        "--model cy14 reads" for name, whose in (("z1", "site"), ("z1_sim", "simulation's site"))}}


def unique_columns(path: Path, names: list[str]) -> list[str]:
    """The header's names in lower case; UsageError naming two that are the same in any case."""
    first: dict[str, int] = {}
    for position, name in enumerate(names):
        key = name.strip().lower()
        if key and key in first:
            earlier = names[first[key]].strip()
            twins = "repeats" if earlier == name.strip() else "differs only in case from"
            raise UsageError(f"{path}: column {name.strip()!r} (column {position + 1}) {twins} column {earlier!r} "
                             f"(column {first[key] + 1}); give each column once")
        first.setdefault(key, position)
    return [name.strip().lower() for name in names]


class Sites:
    """The columns vs30, vs30_sim, pga of a table; its site ids (or None), the name of their
    column and the row number (from 1 after the header) of each site."""

    def __init__(self, ids: list[str] | None, rows: list[int], columns: dict[str, NDArray[np.float64]],
                 id_column: str | None = None) -> None:
        self.ids, self.rows, self.columns, self.id_column = ids, rows, columns, id_column
        self.word = "site"  # what a row is, in errors

    def label(self, site: int) -> str:
        """How an error names a site: its row, and its id if the table has ids."""
        named = f" ({self.word} {self.ids[site]!r})" if self.ids is not None else ""
        return f"row {self.rows[site]}{named}"


def refuse_unknown_columns(path: Path, header: list[str], own: tuple[str, ...] = ()) -> None:
    """UsageError naming a column no site table has (or, of OWN_COLUMNS, one this table does not
    take: not in `own`), or a second id column."""
    for position, name in enumerate(header):
        if name in OWN_COLUMNS and name not in own:
            raise UsageError(f"{path}: column {name!r} (column {position + 1}) is {OWN_COLUMNS[name]}; remove it")
        if name and name not in ID_COLUMNS + VALUE_COLUMNS + own:
            raise UsageError(f"{path}: unknown column {name!r} (column {position + 1}); a site table has an id "
                             f"({', '.join(ID_COLUMNS)}) and {', '.join(VALUE_COLUMNS + own)}: remove the others")
    ids = [name for name in header if name in ID_COLUMNS]
    if len(ids) > 1:
        raise UsageError(f"{path}: columns {ids[0]!r} and {ids[1]!r} both name the sites; keep one")


def read_sites(path: Path, given: dict[str, str | None], *, optional: tuple[str, ...] = (),
               id_word: str = "site id") -> Sites:
    """The sites of a CSV table; `given` holds the values given once for every site (or None).
    Columns named in `optional` are read when the table has them; ids come from its id column
    (one of ID_COLUMNS), and are unique. Any other column is refused."""
    try:
        with path.open(newline="", encoding="utf-8-sig") as file:
            rows = list(csv.reader(file))
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise UsageError(f"{path}: cannot be read ({error})") from None
    if not rows:
        raise UsageError(f"{path}: empty file, expected a header row")
    header = unique_columns(path, rows[0])
    refuse_unknown_columns(path, header, tuple(name for name in optional if name in OWN_COLUMNS))
    for name, value in given.items():
        if value is not None and name in header:
            option = "--" + name.replace("_", "-")
            raise UsageError(f"{path}: has a column {name!r} and {option} was given; use one of them")
    needed = [name for name in ("vs30", "pga", "vs30_sim") if given.get(name) is None and name not in optional]
    missing = [name for name in needed if name not in header]
    needed += [name for name in optional if name in header and given.get(name) is None]
    if missing:
        options = [f"--{name.replace('_', '-')}" for name in missing if name in given]
        instead = f" (or give {' and '.join(options)} for every site)" if options else ""
        raise UsageError(f"{path}: missing column {', '.join(repr(name) for name in missing)}{instead}")
    id_column = next((header.index(name) for name in header if name in ID_COLUMNS), None)
    body = [(index, row) for index, row in enumerate(rows[1:], start=1) if any(cell.strip() for cell in row)]
    columns: dict[str, list[float]] = {name: [] for name in needed}
    for index, row in body:
        if len(row) != len(header):
            raise UsageError(f"{path}: row {index} has {len(row)} cells, the header {len(header)}")
        for name in needed:
            columns[name].append(number(row[header.index(name)], f"{path}: row {index}, column {name!r}"))
    for name, value in given.items():
        if value is not None:
            columns[name] = [number(value, "--" + name.replace("_", "-"))] * len(body)
    ids = None
    if id_column is not None:
        ids = [row[id_column].strip() for _, row in body]
        seen: dict[str, int] = {}
        for (index, _), site in zip(body, ids):
            if site in seen:
                raise UsageError(f"{path}: {id_word} {site!r} is in rows {seen[site]} and {index}; ids must be unique")
            seen[site] = index
    return Sites(ids, [index for index, _ in body],
                 {name: np.array(values, dtype=np.float64) for name, values in columns.items()},
                 None if id_column is None else header[id_column])
