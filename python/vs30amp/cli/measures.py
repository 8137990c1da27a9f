"""``vs30amp measures``: PSA and EAS per station, from pairs of record files or from a store."""

from __future__ import annotations

import argparse
import csv
import shlex
import sys
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .. import io
from .._optional import require
from .._provenance import attributes
from .._station_measures import default_periods, eas_frequencies, measures_dataset, pair_measures, store_measures
from .._units import AMPLIFIED_UNITS
from ..io._store import STORE_FORMATS
from ._files import (UsageError, number, positive, record_units, refuse_input_as_output, refuse_special_file,
                     takes_declared_units, warn_if_units_unused, write_atomically, write_store_atomically)
from ._scheduler import MEASURES_BYTES, add_scheduler_option, fitted, scheduler
from .factors import netcdf4_in_memory

FORMATS = (".csv", ".npz", ".nc", ".zarr")

EPILOG = """\
examples:
  vs30amp measures S01.h1.AT2 S01.h2.AT2 S02.h1.AT2 S02.h2.AT2 -o measures.csv
  vs30amp measures sims.zarr --variables h1,h2 --rotd50 -o measures.nc

RECORDS are pairs of files of the two horizontal components, H1 then H2, one pair per station in
turn; the station is named by its H1 file's name without extension. Or one store (.nc, .zarr) of
records with dimensions (station, time), whose two variables --variables names (default h1,h2);
it is read chunk by chunk, on Dask's threads or with --scheduler on a running cluster. Per
station: PSA of each component at --periods (default CB14's, s), or with --rotd50 the RotD50 of
the pair, and EAS of the pair on BA18's frequencies, in the records' units (AT2: g; SAC files
give none usable: --units). OUT is written by its extension: .csv (one row per station, columns
psa_h1@T ... eas@f; a comment line first), .npz, .nc (needs vs30amp[xarray]) or .zarr
(vs30amp[zarr]), with the provenance of factors' outputs; it appears only when complete and is
never an input. Errors exit with status 2, a signal with 128 + its number.
"""


def add_parser(commands: Any) -> None:
    """Adds the ``measures`` subcommand to the command's subparsers."""
    measures = commands.add_parser("measures", help="PSA and EAS per station of records or a store", epilog=EPILOG,
                                   formatter_class=argparse.RawDescriptionHelpFormatter)
    measures.add_argument("records", nargs="+", metavar="RECORDS",
                          help="H1 and H2 files of each station in turn (.AT2, .sac), or one store (.nc, .zarr)")
    measures.add_argument("--variables", default="h1,h2", metavar="H1,H2", help="a store's two components")
    measures.add_argument("--periods", metavar="T,...", help="periods in s, comma-separated (default CB14's)")
    measures.add_argument("--damping", default="0.05", metavar="ZETA", help="fraction of critical (default 0.05)")
    measures.add_argument("--rotd50", action="store_true", help="RotD50 of the pair instead of PSA per component")
    measures.add_argument("--samples-only", action="store_true",
                          help="peaks at the samples only, no sub-steps between them (as the functions' option)")
    measures.add_argument("--units", choices=AMPLIFIED_UNITS, help="units of SAC records; AT2 files are in g")
    add_scheduler_option(measures)
    measures.add_argument("-o", "--output", required=True, metavar="OUT", help="OUT.csv, .npz, .nc or .zarr")


def _periods(text: str | None) -> NDArray[np.float64]:
    if text is None:
        return default_periods()
    values = [number(part, "--periods") for part in text.split(",")]
    if any(value <= 0.0 for value in values):
        raise UsageError(f"--periods: {text}; every period must be positive")
    return np.array(values, dtype=np.float64)


def _read_pair(first: Path, second: Path, given: str | None) -> tuple[io.Record, io.Record, str]:
    """The two components of a station and their units; UsageError naming the file at fault."""
    records, units = [], []
    for path in (first, second):
        try:
            records.append(io.read(path))
        except (ValueError, OSError) as error:
            raise UsageError(f"{path}: {error}".replace(f"{path}: {path}: ", f"{path}: ")) from None
        units.append(record_units(path, records[-1], given))
    h1, h2 = records
    if h1.dt != h2.dt or h1.acc.shape != h2.acc.shape:
        raise UsageError(f"{first} and {second}: the two components differ in dt or number of samples")
    if units[0] != units[1]:
        raise UsageError(f"{first} and {second}: in {units[0]} and {units[1]}; give records of one unit")
    return h1, h2, units[0]


def _from_files(args: argparse.Namespace, paths: list[Path], periods: NDArray[np.float64],
                damping: float) -> tuple[list[str], dict[str, NDArray[np.float64]], str, Any, dict[str, Any]]:
    """The measures of each pair of files in turn: one pair's records in memory at a time."""
    if len(paths) % 2:
        raise UsageError(f"{paths[-1]}: has no H2 file; give the two components of each station, H1 then H2")
    stations: dict[str, Path] = {}
    rows: dict[str, list[NDArray[np.float64]]] = {}
    units: str | None = None
    units_used = False
    for first, second in zip(paths[::2], paths[1::2]):
        if first.stem in stations:
            raise UsageError(f"{first}: station {first.stem!r} is also {stations[first.stem]}")
        stations[first.stem] = first
        h1, h2, unit = _read_pair(first, second, args.units)
        units_used = units_used or takes_declared_units(h1) or takes_declared_units(h2)
        if unit != (units or unit):
            raise UsageError(f"{first}: in {unit}, the records before it in {units}; give records of one unit")
        units = unit
        try:
            one = pair_measures(h1.acc, h2.acc, h1.dt, periods, damping, rotd50=args.rotd50,
                                samples_only=args.samples_only)
        except ValueError as error:
            raise UsageError(f"{first}: {error}") from None
        for name, values in one.items():
            rows.setdefault(name, []).append(values)
    assert units is not None
    warn_if_units_unused(args.units, units_used)
    return list(stations), {name: np.stack(values) for name, values in rows.items()}, units, None, {}


def _from_store(args: argparse.Namespace, path: Path, periods: NDArray[np.float64],
                damping: float) -> tuple[list[str], dict[str, NDArray[np.float64]], str, Any, dict[str, Any]]:
    dask = require("dask", "distributed", "measures of a store")
    names = [name.strip() for name in args.variables.split(",")]
    if len(names) != 2:
        raise UsageError(f"--variables: {args.variables!r}; give the two horizontal components, e.g. h1,h2")
    try:
        with scheduler(args.scheduler) as cluster:
            store = fitted(path, names, cluster, MEASURES_BYTES, "the measures of a pair of records")
            lazy = store_measures(store.components[names[0]], store.components[names[1]], store.dt, periods, damping,
                                  rotd50=args.rotd50, samples_only=args.samples_only)
            computed = dask.compute(*lazy.values())
    except ValueError as error:
        raise UsageError(str(error) if str(error).startswith(str(path)) else f"{path}: {error}") from None
    return list(store.station), dict(zip(lazy, computed)), store.units, store.vs30, store.attrs


def _attributes(args: argparse.Namespace, source: dict[str, Any]) -> dict[str, str]:
    """The table's provenance; the measures of an amplified store keep what amplified it, and
    the store's history follows the table's line."""
    what = "RotD50" if args.rotd50 else "PSA"
    about = attributes(f"{what} and EAS per station", shlex.join(["vs30amp", *sys.argv[1:]]))
    about |= {key: str(source[key]) for key in ("references", "model", "convention") if key in source}
    if "history" in source:
        about["history"] += "\n" + str(source["history"])
    return about


class Table:
    """The measures of every station, their axes, units and provenance."""

    def __init__(self, station: list[Any], values: dict[str, NDArray[np.float64]], periods: NDArray[np.float64],
                 units: str, attrs: dict[str, str], vs30: NDArray[np.float64] | None) -> None:
        self.station, self.values, self.periods, self.units, self.attrs, self.vs30 = (
            station, values, periods, units, attrs, vs30)

    def axis(self, name: str) -> NDArray[np.float64]:
        return eas_frequencies() if name == "eas" else self.periods

    def dataset(self) -> Any:
        return measures_dataset(self.values, self.station, self.periods, self.units, self.attrs, self.vs30)


def _write_csv(path: Path, table: Table) -> None:
    about = table.attrs
    with path.open("w", newline="", encoding="utf-8") as file:
        # One comment line before the header: read the table with skiprows=1.
        history = about["history"].replace("\n", "; ")  # one comment line
        file.write(f"# {about['title']}; {about['source']}; units {table.units}; {history}\n")
        writer = csv.writer(file)
        header = ["station"] + (["vs30"] if table.vs30 is not None else [])
        for name in table.values:
            header += [f"{name}@{float(x)!r}" for x in table.axis(name)]
        writer.writerow(header)
        for i, station in enumerate(table.station):
            cells = [str(station)] + ([repr(float(table.vs30[i]))] if table.vs30 is not None else [])
            for values in table.values.values():
                cells += [repr(float(v)) for v in values[i]]
            writer.writerow(cells)


def _write_npz(path: Path, table: Table) -> None:
    arrays = dict(table.values) | {"station": np.asarray([str(s) for s in table.station], dtype=str),
                                   "period": table.periods, "frequency": eas_frequencies(),
                                   "units": np.array(table.units)}
    if table.vs30 is not None:
        arrays["vs30"] = table.vs30
    arrays |= {name: np.array(value) for name, value in table.attrs.items()}
    with path.open("wb") as file:
        np.savez(file, **arrays)


def _write_netcdf(path: Path, table: Table) -> None:
    dataset = table.dataset()
    try:
        data = dataset.to_netcdf(engine="netcdf4")
    except ValueError:  # xarray before 2025.07 writes netCDF-4 only to a file
        data = netcdf4_in_memory(dataset)
    path.write_bytes(data)


def _write_zarr(target: Path, table: Table) -> None:
    require("zarr", "zarr", "writing .zarr stores")
    write_store_atomically(target, lambda staged: table.dataset().to_zarr(staged, mode="w-", consolidated=False))


WRITERS = {".csv": _write_csv, ".npz": _write_npz, ".nc": _write_netcdf}


def run(args: argparse.Namespace) -> None:
    """Runs ``vs30amp measures``: reads and checks every input, computes, then writes OUT atomically."""
    periods = _periods(args.periods)
    damping = positive(args.damping, "--damping", "of critical")
    output = Path(args.output)
    kind = output.suffix.lower()
    if kind not in FORMATS:
        raise UsageError(f"{output}: unknown output format {output.suffix!r}; use {', '.join(FORMATS)}")
    if not output.parent.is_dir():
        raise UsageError(f"{output}: directory {output.parent} does not exist")
    if kind in (".nc", ".zarr"):
        require("xarray", "xarray" if kind == ".nc" else "zarr", f"writing {kind} files")
    paths = [Path(name) for name in args.records]
    for path in paths:
        refuse_special_file(path, "a record file or a store")
        refuse_input_as_output(path, output, "input", "measures")
        if not path.exists():
            raise UsageError(f"{path}: no such file or directory")
    if len(paths) == 1 and paths[0].suffix.lower() in STORE_FORMATS:
        stations, values, units, vs30, source = _from_store(args, paths[0], periods, damping)
    else:
        if args.scheduler is not None:
            raise UsageError("--scheduler: is for a store (.nc, .zarr); RECORDS are record files")
        stations, values, units, vs30, source = _from_files(args, paths, periods, damping)
    table = Table(stations, values, periods, units, _attributes(args, source), vs30)
    if kind == ".zarr":
        _write_zarr(output, table)
    else:
        writer = WRITERS[kind]
        write_atomically(output, lambda target: writer(target, table))
