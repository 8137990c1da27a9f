"""``vs30amp amplify --sites``: each record matched to its station's row of a site table."""

from __future__ import annotations

import sys
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .._sites import refuse_impossible
from ._errors import UsageError
from ._numbers import fmax_option, positive
from ._outputs import refuse_special_file
from ._pairs import station_and_component
from ._site_table import ID_COLUMNS, Sites, read_sites


@dataclass(frozen=True)
class Station:
    """The site of one record: Vs30 and simulation Vs30 (m/s), PGA (g) or None for the record's own,
    the simulation's maximum frequency (Hz) or None when not known."""

    vs30: float
    vs30_sim: float
    pga: float | None
    fmax: float | None = None


def read_stations(path: Path, vs30_sim: str | None, fmax: str | None = None) -> Sites:
    """The stations of a CSV table: an id column (station, or any of ID_COLUMNS; file matches the
    file's whole name), vs30, vs30_sim (unless given once for all with --vs30-sim) and optionally
    pga and fmax (unless given with --fmax)."""
    refuse_special_file(path)
    if vs30_sim is not None:
        positive(vs30_sim, "--vs30-sim", "m/s")  # before the table's rows, which it fills
    limit = None if fmax is None else fmax_option(fmax)
    sites = read_sites(path, {"vs30_sim": vs30_sim}, optional=("pga", "fmax"), id_word="station")
    if sites.ids is None:
        raise UsageError(f"{path}: missing column 'station', which names each record (or one of "
                         f"{', '.join(ID_COLUMNS[1:])})")
    sites.word = "station"
    columns = sites.columns
    if limit is not None:
        if "fmax" in columns:
            raise UsageError(f"{path}: has a column 'fmax' and --fmax was given; use one of them")
        columns["fmax"] = np.full(len(sites.ids), limit)
    if "fmax" in columns and not (columns["fmax"] > 0.0).all():
        row = int(np.argmax(~(columns["fmax"] > 0.0)))
        raise UsageError(f"{path}: {sites.label(row)}: fmax {columns['fmax'][row]:g} Hz; it must be positive")
    try:  # refused here, against the table's row, before any record is read
        refuse_impossible(columns["vs30"], columns["vs30_sim"], columns.get("pga", np.zeros(len(sites.ids))),
                          sites.label)
    except ValueError as error:
        raise UsageError(f"{path}: {error}") from None
    return sites


def match(table: Path, sites: Sites, paths: list[Path], skip: bool) -> tuple[list[Path], list[Station]]:
    """The record files that have a row and their stations, in the files' order: matched by the
    file's name (column file), or by its name without extension (column station and its kin),
    else by the station that name gives as measures pairs it (S01.h1.AT2 and S01.h2.AT2 are
    both station S01; RSN753_LOMAP_CLS000.AT2 is RSN753_LOMAP_CLS), one row for all its
    components."""
    if sites.id_column == "file":
        return _kept(paths, match_records(table, sites, [(p.name, str(p), None) for p in paths], skip))
    ids = set(sites.ids or ())
    records: list[tuple[str, str, str | None]] = []
    for path in paths:
        named = _named(path)
        if path.stem not in ids and named is not None and named[0] in ids:
            records.append((named[0], str(path), named[1]))
        else:
            records.append((path.stem, str(path), None))
    return _kept(paths, match_records(table, sites, records, skip))


def _named(path: Path) -> tuple[str, str] | None:
    """The station and component `path`'s name gives, or None."""
    try:
        return station_and_component(path)
    except UsageError:
        return None


def _kept(paths: list[Path], matched: tuple[list[int], list[Station]]) -> tuple[list[Path], list[Station]]:
    kept, stations = matched
    return [paths[index] for index in kept], stations


def match_records(table: Path, sites: Sites, records: Sequence[tuple[str, str, str | None]],
                  skip: bool) -> tuple[list[int], list[Station]]:
    """The records, given as (key, how an error names it, component or None), that have a row:
    their indices and stations, in the records' order. A record without a row is an error (or,
    with `skip`, left out: how many is said on stderr), and so are a row without a record and two
    records of one station, but for its components, which share its row."""
    assert sites.ids is not None
    row_of = {site: index for index, site in enumerate(sites.ids)}
    columns = sites.columns
    matched: dict[int, int] = {}
    components: dict[int, dict[str | None, int]] = {}
    kept: list[int] = []
    stations: list[Station] = []
    skipped = 0
    for index, (key, label, component) in enumerate(records):
        row = row_of.get(key)
        if row is None:
            if skip:
                skipped += 1
                continue
            raise UsageError(f"{label}: no row of {table} has {sites.id_column} {key!r}; give --skip-unmatched to "
                             f"leave out records without a row")
        seen = components.setdefault(row, {})
        if row in matched and (component is None or None in seen or component in seen):
            raise UsageError(f"{records[matched[row]][1]} and {label} are both {sites.id_column} {key!r} ({table}, "
                             f"{sites.label(row)})")
        matched.setdefault(row, index)
        seen[component] = index
        kept.append(index)
        pga = float(columns["pga"][row]) if "pga" in columns else None
        fmax = float(columns["fmax"][row]) if "fmax" in columns else None
        stations.append(Station(float(columns["vs30"][row]), float(columns["vs30_sim"][row]), pga, fmax))
    if records and not matched:  # with `skip` only: nothing would be amplified
        raise UsageError(f"{table}: none of the {len(records)} records has a row; nothing was amplified")
    unmatched = [row for row in range(len(sites.ids)) if row not in matched]
    if unmatched:
        more = f" and {len(unmatched) - 1} more" if len(unmatched) > 1 else ""
        raise UsageError(f"{table}: {sites.label(unmatched[0])}{more} {'match' if more else 'matches'} no record")
    if skipped:
        print(f"vs30amp: warning: {table}: {skipped} of {len(records)} records have no row and are left out",
              file=sys.stderr)
    return kept, stations
