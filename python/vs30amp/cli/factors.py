"""``vs30amp factors``: amplification factors for a table of sites."""

from __future__ import annotations

import argparse
import csv
import shlex
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .._factors import Amplification
from .. import _models
from .._models import CONVENTIONS, DEFAULT_MODEL, get_model
from .._optional import require
from .._provenance import attributes
from .._sites import RANGE_POLICIES, checked_factors, chosen, range_policy
from ..io._netcdf import netcdf4_in_memory as netcdf4_in_memory  # the netCDF-4 bytes of measures too
from ._files import (UsageError, number, refuse_input_as_output, refuse_special_file, warnings_as_lines,
                     write_atomically)

FORMATS = (".csv", ".npz", ".nc")
# Every command's --model and --convention, from the models' entries (which say that BA18's
# default is not the published model), escaped for argparse.
MODEL_HELP = _models.MODEL_HELP.replace("%", "%%")
CONVENTION_HELP = _models.CONVENTION_HELP.replace("%", "%%")
# One rule for every site table (factors, amplify --sites): an id column of one of these names,
# kept under its name in the outputs, and the values below; any other column is refused.
ID_COLUMNS = ("station", "site", "site_id", "id", "file")
VALUE_COLUMNS = ("vs30", "vs30_sim", "pga")
# Columns only some tables take: amplify's --sites reads each record's fmax (Hz), factors has no use for it.
OWN_COLUMNS = {"fmax": "the simulation's maximum frequency, which only amplify --sites reads"}

EPILOG = """\
example:
  vs30amp factors sites.csv --model ba18 --vs30-sim 760 -o factors.nc

  where sites.csv reads
    site,vs30,pga
    A01,250,0.21
    A02,480.5,0.08

SITES is a CSV table with a header row: columns vs30 (m/s), pga (g, unless given with --pga;
only for a model that takes it), vs30_sim (m/s, unless given with --vs30-sim) and optionally an
id (one column station, site, site_id, id or file), names in any case; any other column is
refused. Numbers are read exactly as written; rows count from 1 after the header. OUT is written
by its extension: .csv (one row per site, one column per frequency in Hz), .npz (NumPy arrays)
or .nc (netCDF, needs vs30amp[xarray]), its rows in the table's order with their ids under the
id column's name; it appears only when complete and is never the input. Errors exit with status
2, a signal with 128 + its number (130 for Ctrl-C).
"""


def add_parser(commands: Any) -> None:
    """Adds the ``factors`` subcommand to the command's subparsers."""
    factors = commands.add_parser("factors", help="factors for the sites of a CSV table", epilog=EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    factors.add_argument("sites", metavar="SITES.csv", help="the sites: columns vs30, pga, vs30_sim, [station]")
    factors.add_argument("--model", default=DEFAULT_MODEL, help=MODEL_HELP)
    factors.add_argument("--vs30-sim", metavar="M/S", help="one simulation Vs30 for every site")
    factors.add_argument("--pga", metavar="G", help="one PGA for every site")
    factors.add_argument("--convention", default="module", type=str.lower, choices=CONVENTIONS,
                         help=CONVENTION_HELP)
    factors.add_argument("--ranges", choices=RANGE_POLICIES,
                         help="sites outside the model's range of applicability: warn (default), raise, ignore")
    factors.add_argument("--check-ranges", action="store_true", help="the same as --ranges raise")
    factors.add_argument("-o", "--output", required=True, metavar="OUT", help="OUT.csv, OUT.npz or OUT.nc")


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


def provenance(result: Amplification) -> dict[str, str]:
    """What made `result`: CF-style attributes, the model and its convention, the command run."""
    command = shlex.join(["vs30amp", *sys.argv[1:]])
    return attributes(f"{get_model(result.model).label} amplification factors", command, result.model, result.convention)


def write_csv(path: Path, result: Amplification, sites: Sites) -> None:
    about = provenance(result)
    with path.open("w", newline="", encoding="utf-8") as file:
        # One comment line before the header: read the table with skiprows=1.
        file.write(f"# {about['source']}; model {about['model']}; convention {about['convention']}; "
                   f"{about['history']}; {about['comment']}\n")
        writer = csv.writer(file)
        ids = sites.ids
        writer.writerow(([sites.id_column] if ids is not None else []) + ["vs30", "vs30_sim", "pga"]
                        + [repr(float(f)) for f in result.frequencies])
        for i in range(len(result)):
            values = [result.vs30[i], result.vs30_sim[i], result.pga[i], *result.factors[i]]
            writer.writerow(([ids[i]] if ids is not None else []) + [repr(float(v)) for v in values])


def write_npz(path: Path, result: Amplification, sites: Sites) -> None:
    arrays = {"factors": result.factors, "frequencies": result.frequencies, "vs30": result.vs30,
              "vs30_sim": result.vs30_sim, "pga": result.pga}
    arrays |= {name: np.array(value) for name, value in provenance(result).items()}
    if sites.ids is not None and sites.id_column is not None:
        arrays[sites.id_column] = np.array(sites.ids, dtype=str)
    with path.open("wb") as file:
        np.savez(file, **arrays)  # type: ignore[arg-type]


def write_netcdf(path: Path, result: Amplification, sites: Sites) -> None:
    # Built in memory and written with Python's I/O: the HDF5 library never meets a failing disk,
    # which it answers with an abort at exit.
    ids = sites.ids
    factors = result.to_xarray(site=np.array(ids, dtype=object) if ids is not None else None)
    if sites.id_column is not None and sites.id_column != "site":  # the dimension named as the table's ids
        factors = factors.rename({"site": sites.id_column})
    dataset = factors.to_dataset()
    dataset.attrs.update(provenance(result))
    try:
        data = dataset.to_netcdf(engine="netcdf4")
    except ValueError:
        # xarray before 2025.07 (Debian 13's, for one) writes netCDF-4 only to a file; a netCDF4
        # dataset kept in memory stands in for it.
        data = netcdf4_in_memory(dataset)
    path.write_bytes(data)


WRITERS: dict[str, Callable[[Path, Amplification, Sites], None]] = {
    ".csv": write_csv, ".npz": write_npz, ".nc": write_netcdf}


def run(args: argparse.Namespace) -> None:
    """Runs ``vs30amp factors``: reads and checks the table, then writes OUT atomically."""
    try:
        model, kernel, convention = chosen(args.model, args.convention)
    except ValueError as error:
        raise UsageError(str(error)) from None
    try:
        policy = range_policy(args.ranges or "warn", True if args.check_ranges else None)
    except ValueError:
        raise UsageError(f"--check-ranges contradicts --ranges {args.ranges}; give only --ranges") from None
    output = Path(args.output)
    if output.suffix.lower() not in FORMATS:
        raise UsageError(f"{output}: unknown output format {output.suffix!r}; use {', '.join(FORMATS)}")
    if not output.parent.is_dir():
        raise UsageError(f"{output}: directory {output.parent} does not exist")
    refuse_special_file(Path(args.sites))
    refuse_input_as_output(Path(args.sites), output)
    unused = tuple(name for name in VALUE_COLUMNS if not model.needs(name))  # read when given, never demanded
    sites = read_sites(Path(args.sites), {"vs30_sim": args.vs30_sim, "pga": args.pga}, optional=unused)
    vs30, vs30_sim, pga = (sites.columns.get(name, np.full(len(sites.rows), np.nan)) for name in VALUE_COLUMNS)
    with warnings_as_lines(args.sites):
        try:
            factors = checked_factors(model, kernel, vs30, vs30_sim, pga, policy, sites.label)
        except ValueError as error:
            raise UsageError(f"{args.sites}: {error}") from None
    result = Amplification(factors, model.frequencies, model.name, vs30, vs30_sim, pga, convention)
    writer = WRITERS[output.suffix.lower()]
    write_atomically(output, lambda path: writer(path, result, sites))
