"""``vs30amp measures``: PSA and EAS per station, from pairs of record files or from a store."""

from __future__ import annotations

import argparse
import csv
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .. import io
from .._optional import require
from .._provenance import attributes
from .._station_measures import (default_periods, eas_frequencies, measure_attributes, measures_dataset, pair_measures,
                                 store_measures)
from .._units import AMPLIFIED_UNITS
from ..io._store_paths import STORE_FORMATS
from ._atomic_writes import write_atomically, write_store_atomically
from ._errors import UsageError
from ._netcdf_output import write_netcdf_file
from ._numbers import number
from ._outputs import Inputs, check_output, refuse_special_file
from ._record_files import record_paths
from ._record_units import record_units, takes_declared_units, warn_if_units_unused
from ._terminal import report
from ._pairs import Pair, pairs
from ._progress import Progress, compute
from ._scheduler import MEASURES_BYTES, add_scheduler_option, fitted, scheduler

# Each output format and what an existing OUT must be to be replaced (`check_output`).
FORMATS = {".csv": "file", ".npz": "file", ".nc": "netcdf", ".zarr": "zarr"}

EPILOG = """\
examples:
  vs30amp measures S01.h1.AT2 S01.h2.AT2 S02.h1.AT2 S02.h2.AT2 -o measures.csv
  vs30amp measures records/ --periods 0.2,1 -o measures.nc
  vs30amp measures sims.zarr --variables h1,h2 --rotd50 -o measures.nc

RECORDS are the files (.AT2, .sac, .mseed) of the two horizontal components of each station, or
directories of them, paired by name, not by their order: a name without its extension ends in
the component, an NGA azimuth of three digits (RSN753_LOMAP_CLS000, station RSN753_LOMAP_CLS)
or else what follows the last dot (S01.h1, station S01). H1 is the component whose name sorts
first. Vertical components (Z, HNZ, UP, DWN, ...) are left out with a warning; a file given
twice, a component given twice or a station without two horizontal ones is an error. A SAC
file's dt is float32: beside another file's it is compared at float32 precision. Or RECORDS is
one store (.nc, .zarr) of records with dimensions (station, time), whose two variables
--variables names (default h1,h2); it is read chunk by chunk, on Dask's threads or with
--scheduler on a running cluster. Per station: PSA of each component at --periods (default
CB14's, s), or with --rotd50 the RotD50 of the pair, and EAS of the pair on BA18's frequencies,
in the records' units (AT2: g; SAC files give none usable: --units; EAS in those units times
s). OUT is written by its extension: .csv (one row per station, columns [vs30, vs30_sim of a
store,] psa_h1@T ... eas@f; a comment line first), .npz, .nc (needs vs30amp[xarray]) or .zarr
(vs30amp[zarr]), with the provenance of factors' outputs (a store's history, then this
command), each measure's units, damping and percentile; it appears only when complete, is never
an input, inside one or holding one, and replaces only a file (for .nc a netCDF file, for .zarr
a Zarr store): never a directory of other things. One line on stdout says what was written; a
long run shows its progress on stderr (a bar on a terminal, else a line per station or chunk).
Errors exit with status 2, a signal with 128 + its number.
"""


def add_parser(commands: Any) -> None:
    """Adds the ``measures`` subcommand to the command's subparsers."""
    measures = commands.add_parser("measures", help="PSA and EAS per station of records or a store", epilog=EPILOG,
                                   formatter_class=argparse.RawDescriptionHelpFormatter)
    measures.add_argument("records", nargs="+", metavar="RECORDS",
                          help="the two horizontal components' files of each station (.AT2, .sac, .mseed) or directories of "
                               "them, paired by name; or one store (.nc, .zarr)")
    measures.add_argument("--variables", default="h1,h2", metavar="H1,H2", help="a store's two components")
    measures.add_argument("--periods", metavar="T,...", help="periods in s, comma-separated (default CB14's)")
    measures.add_argument("--damping", default="0.05", metavar="ZETA", help="fraction of critical in [0, 1) (default 0.05)")
    measures.add_argument("--rotd50", action="store_true", help="RotD50 of the pair instead of PSA per component")
    measures.add_argument("--samples-only", action="store_true",
                          help="peaks at the samples only, no sub-steps between them (as the functions' option)")
    measures.add_argument("--units", choices=AMPLIFIED_UNITS, help="units of SAC and MiniSEED records; AT2 files are in g")
    add_scheduler_option(measures)
    measures.add_argument("-o", "--output", required=True, metavar="OUT", help="OUT.csv, .npz, .nc or .zarr")


def _periods(text: str | None) -> NDArray[np.float64]:
    if text is None:
        return default_periods()
    values = [number(part, "--periods") for part in text.split(",")]
    if any(value <= 0.0 for value in values):
        raise UsageError(f"--periods: {text}; every period must be positive")
    twice = next((value for index, value in enumerate(values) if value in values[:index]), None)
    if twice is not None:
        raise UsageError(f"--periods: {text}; {twice!r} s is given twice (the table's columns would repeat)")
    return np.array(values, dtype=np.float64)


def _damping(text: str) -> float:
    """--damping as response_spectrum takes it: a fraction of critical in [0, 1)."""
    value = number(text, "--damping")
    if not 0.0 <= value < 1.0:
        raise UsageError(f"--damping: {text}; a fraction of critical in [0, 1), e.g. 0.05")
    return value


def _read_pair(pair: Pair, given: str | None) -> tuple[io.Record, io.Record, float, str]:
    """The two components of a station, their dt and units; UsageError naming the file at fault."""
    records, units = [], []
    for path in (pair.h1, pair.h2):
        try:
            records.append(io.read(path))
        except (ValueError, OSError) as error:
            raise UsageError(f"{path}: {error}".replace(f"{path}: {path}: ", f"{path}: ")) from None
        if records[-1].acc.ndim != 1:  # a .bbp file: its own pair and vertical, not one component
            raise UsageError(f"{path}: a file of {len(records[-1].acc)} components; vs30amp measures takes one "
                             f"component per file (measure it with vs30amp.rotd or eas)")
        units.append(record_units(path, records[-1], given))
    h1, h2 = records
    dt = _common_dt(h1, h2)
    if dt is None:
        raise UsageError(f"{pair.h1} and {pair.h2}: the two components differ in dt ({h1.dt!r} s and {h2.dt!r} s); "
                         f"give components sampled alike")
    if h1.acc.shape != h2.acc.shape:
        raise UsageError(f"{pair.h1} and {pair.h2}: the two components differ in number of samples "
                         f"({h1.acc.size} and {h2.acc.size})")
    if units[0] != units[1]:
        raise UsageError(f"{pair.h1} and {pair.h2}: in {units[0]} and {units[1]}; give records of one unit")
    return h1, h2, dt, units[0]


def _common_dt(h1: io.Record, h2: io.Record) -> float | None:
    """The pair's dt, or None when the two differ. A SAC file's dt is float32 (0.005 s reads
    0.004999999888 s): beside it another file's dt is compared at float32 precision, and that
    file's dt, the more precise, is the pair's."""
    coarse = [record.acc.dtype == np.float32 for record in (h1, h2)]
    if h1.dt == h2.dt or all(coarse) or not any(coarse):
        return h1.dt if h1.dt == h2.dt else None
    if np.float32(h1.dt) != np.float32(h2.dt):
        return None
    return h2.dt if coarse[0] else h1.dt


# What a route gives: the stations, each measure's values, the records' units, the numbers per
# station (vs30 and vs30_sim of a store) and the attributes of the input.
Measured = tuple[list[Any], dict[str, NDArray[np.float64]], str, dict[str, NDArray[np.float64]], dict[str, Any]]


def _from_files(args: argparse.Namespace, paths: list[Path], periods: NDArray[np.float64], damping: float) -> Measured:
    """The measures of each station's pair of files in turn: one pair's records in memory at a time."""
    stations = pairs(paths)
    rows: dict[str, list[NDArray[np.float64]]] = {}
    units: str | None = None
    units_used = False
    with Progress(len(stations), "station", "measuring") as progress:
        for pair in stations:
            h1, h2, dt, unit = _read_pair(pair, args.units)
            units_used = units_used or takes_declared_units(h1) or takes_declared_units(h2)
            if unit != (units or unit):
                raise UsageError(f"{pair.h1}: in {unit}, the records before it in {units}; give records of one unit")
            units = unit
            try:
                one = pair_measures(h1.acc, h2.acc, dt, periods, damping, rotd50=args.rotd50,
                                    samples_only=args.samples_only)
            except ValueError as error:
                raise UsageError(f"{pair.h1} and {pair.h2}: {error}") from None
            for name, values in one.items():
                rows.setdefault(name, []).append(values)
            progress.advance()
    assert units is not None
    warn_if_units_unused(args.units, units_used)
    return [pair.station for pair in stations], {name: np.stack(values) for name, values in rows.items()}, units, {}, {}


def _from_store(args: argparse.Namespace, path: Path, periods: NDArray[np.float64], damping: float) -> Measured:
    require("dask", "distributed", "measures of a store")
    names = [name.strip() for name in args.variables.split(",")]
    if len(names) != 2:
        raise UsageError(f"--variables: {args.variables!r}; give the two horizontal components, e.g. h1,h2")
    try:
        with scheduler(args.scheduler) as cluster:
            store = fitted(path, names, cluster, MEASURES_BYTES, "the measures of a pair of records")
            units = [store.variable_units[name] for name in names]
            if units[0] != units[1]:  # EAS adds the two: one unit, as for a pair of files
                raise UsageError(f"{path}: {names[0]!r} is in {units[0]} and {names[1]!r} in {units[1]} (attribute "
                                 "'units'); give components of one unit")
            lazy = store_measures(store.components[names[0]], store.components[names[1]], store.dt, periods, damping,
                                  rotd50=args.rotd50, samples_only=args.samples_only)
            chunks = sum(values.numblocks[0] for values in lazy.values())  # of each measure
            with Progress(chunks, "chunk", f"measuring {path}", above=len(lazy)) as progress:
                computed = compute(progress, *lazy.values())
    except ValueError as error:
        raise UsageError(str(error) if str(error).startswith(str(path)) else f"{path}: {error}") from None
    per_station = {name: values for name, values in (("vs30", store.vs30), ("vs30_sim", store.vs30_sim))
                   if values is not None}
    return list(store.station), dict(zip(lazy, computed)), store.units, per_station, store.attrs


def _attributes(args: argparse.Namespace, source: dict[str, Any]) -> dict[str, str]:
    """The table's provenance; the measures of an amplified store keep what amplified it, and
    the table's line follows the store's history."""
    what = "RotD50" if args.rotd50 else "PSA"
    about = attributes(f"{what} and EAS per station", args.command_line, earlier=source.get("history"))
    about |= {key: str(source[key]) for key in ("references", "model", "convention") if key in source}
    return about


class Table:
    """The measures of every station, their axes, units and provenance; `per_station` the
    numbers a store gives each station (vs30, vs30_sim), `damping` the PSA's."""

    def __init__(self, station: list[Any], values: dict[str, NDArray[np.float64]], periods: NDArray[np.float64],
                 units: str, attrs: dict[str, str], per_station: dict[str, NDArray[np.float64]],
                 damping: float) -> None:
        self.station, self.values, self.periods, self.units, self.attrs, self.per_station, self.damping = (
            station, values, periods, units, attrs, per_station, damping)

    def axis(self, name: str) -> NDArray[np.float64]:
        return eas_frequencies() if name == "eas" else self.periods

    def about(self, name: str) -> dict[str, Any]:
        return measure_attributes(name, self.units, self.damping)

    def dataset(self) -> Any:
        return measures_dataset(self.values, self.station, self.periods, self.units, self.attrs,
                                self.per_station.get("vs30"), vs30_sim=self.per_station.get("vs30_sim"),
                                damping=self.damping)


def _described(name: str, about: dict[str, Any]) -> str:
    """A measure's units, damping and percentile in words, e.g. "rotd50 in g, damping 0.05, percentile 50"."""
    said = [f"{name} in {about['units']}"] + [f"{key} {repr(float(about[key])).removesuffix('.0')}"
                                                for key in ("damping", "percentile") if key in about]
    return ", ".join(said)


def _write_csv(path: Path, table: Table) -> None:
    about = table.attrs
    with path.open("w", newline="", encoding="utf-8") as file:
        # One comment line before the header: read the table with skiprows=1.
        measures = "; ".join(_described(name, table.about(name)) for name in table.values)
        history = about["history"].replace("\n", "; ")  # one comment line
        file.write(f"# {about['title']}; {about['source']}; {measures}; {history}\n")
        writer = csv.writer(file)
        header = ["station", *table.per_station]
        for name in table.values:
            header += [f"{name}@{float(x)!r}" for x in table.axis(name)]
        writer.writerow(header)
        for i, station in enumerate(table.station):
            cells = [str(station)] + [repr(float(values[i])) for values in table.per_station.values()]
            for values in table.values.values():
                cells += [repr(float(v)) for v in values[i]]
            writer.writerow(cells)


def _write_npz(path: Path, table: Table) -> None:
    arrays = dict(table.values) | {"station": np.asarray([str(s) for s in table.station], dtype=str),
                                   "period": table.periods, "frequency": eas_frequencies()} | table.per_station
    for name in table.values:  # psa_h1_units, rotd50_damping, rotd50_percentile, eas_units, ...
        arrays |= {f"{name}_{key}": np.array(value) for key, value in table.about(name).items() if key != "long_name"}
    arrays |= {name: np.array(value) for name, value in table.attrs.items()}
    with path.open("wb") as file:
        np.savez(file, **arrays)


def _write_netcdf(path: Path, table: Table) -> None:
    write_netcdf_file(path, table.dataset())


def _write_zarr(target: Path, table: Table) -> None:
    require("zarr", "zarr", "writing .zarr stores")
    write_store_atomically(target, lambda staged: table.dataset().to_zarr(staged, mode="w-", consolidated=False))


WRITERS = {".csv": _write_csv, ".npz": _write_npz, ".nc": _write_netcdf}


def run(args: argparse.Namespace) -> None:
    """Runs ``vs30amp measures``: reads and checks every input, computes, then writes OUT atomically."""
    periods = _periods(args.periods)
    damping = _damping(args.damping)
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
        if not path.exists():
            raise UsageError(f"{path}: no such file or directory")
    if len(paths) == 1 and paths[0].suffix.lower() in STORE_FORMATS:
        check_output(output, Inputs(paths), FORMATS[kind], "measures")
        measured = _from_store(args, paths[0], periods, damping)
    else:
        if args.scheduler is not None:
            raise UsageError("--scheduler: is for a store (.nc, .zarr); RECORDS are record files")
        files = record_paths(args.records)  # a directory of records may also hold the table
        check_output(output, Inputs(files), FORMATS[kind], "measures")
        measured = _from_files(args, files, periods, damping)
    stations, values, units, per_station, source = measured
    table = Table(stations, values, periods, units, _attributes(args, source), per_station, damping)
    if kind == ".zarr":
        _write_zarr(output, table)
    else:
        writer = WRITERS[kind]
        write_atomically(output, lambda target: writer(target, table))
    n = len(stations)
    origin = f"of {paths[0]}" if len(paths) == 1 and paths[0].suffix.lower() in STORE_FORMATS else f"({2 * n} files)"
    unreported = report(f"{output}: {'RotD50' if args.rotd50 else 'PSA'} at {periods.size} periods and EAS at "
                        f"{eas_frequencies().size} frequencies of {n} station{'s' * (n != 1)} {origin}")
    if unreported is not None:
        raise UsageError(f"stdout: cannot be written ({unreported}); {output} was written")
