"""``vs30amp amplify STORE -o OUT.zarr``: a store's records amplified chunk by chunk of stations,
each to its station's Vs30, into a new store that appears only when complete."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .. import io
from .._models import convention_words
from .._optional import require
from .._provenance import carried_words
from .._rock_motion import carried_rock, rock
from .._sites import check_sites, chosen
from .._units import AMPLIFIED_UNITS, G_IN_UNITS
from .._amplification_warnings import rest_shares, sites_highest_factor, unlimited_message, warn_not_at_rest
from ..io._store_paths import STORE_FORMATS
from ._atomic_writes import write_store_atomically
from ._errors import UsageError
from ._numbers import positive
from ._outputs import Inputs, check_output, refuse_special_file
from ._terminal import report, warnings_as_lines
from ._progress import Progress, compute, dask_progress
from ._scheduler import AMPLIFY_BYTES, Cluster, fitted, scheduler
from ._stations import match_records, read_stations


def is_store(records: list[str]) -> bool:
    """Whether RECORDS name a store (.nc, .zarr) rather than record files."""
    return any(Path(name).suffix.lower() in STORE_FORMATS for name in records)


class Sites:
    """The stations of a store that are amplified (their indices) and each one's site."""

    def __init__(self, kept: list[int], vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                 pga: NDArray[np.float64] | None, fmax: float | None = None) -> None:
        self.kept, self.vs30, self.vs30_sim, self.pga = np.asarray(kept, dtype=np.intp), vs30, vs30_sim, pga
        self.fmax = fmax  # the simulation's maximum frequency (Hz) from --fmax or --sites, or None


def check_paths(args: argparse.Namespace) -> tuple[Path, Path]:
    """The store and the amplified store's path, refused by the rule of every output
    (`check_output`): never the input, in it or around it, replacing only a store of its kind."""
    source, output = Path(args.records[0]), Path(args.outdir)
    if len(args.records) > 1:
        raise UsageError(f"{source}: a store is amplified on its own; give it as the only RECORDS")
    if not source.exists():
        raise UsageError(f"{source}: no such file or directory")
    refuse_special_file(source, "a store (a .nc file or a .zarr directory)")
    kind = output.suffix.lower()
    if kind not in STORE_FORMATS:
        raise UsageError(f"{output}: the amplified store's name must end in .nc or .zarr")
    if not output.absolute().parent.is_dir():
        raise UsageError(f"{output}: directory {output.parent} does not exist")
    check_output(output, Inputs([source]), STORE_FORMATS[kind], "amplified records")
    if args.units is not None:
        raise UsageError("--units: a store's records are in its variables' 'units' attribute (g when it has "
                         "none); --units is for SAC files")
    return source, output


def station_sites(args: argparse.Namespace, source: Path, store: io.RecordStore) -> Sites:
    """Each station's site: its row of --sites, --vs30 for all, or the store's vs30 coordinate."""
    n = len(store.station)
    if args.sites is not None and args.vs30 is not None:
        raise UsageError("give the site's Vs30 with --vs30, or each record's with --sites (one of them)")
    if args.sites is None:
        if args.vs30_sim is None:
            raise UsageError("the following arguments are required: --vs30-sim")
        vs30_sim = np.full(n, positive(args.vs30_sim, "--vs30-sim", "m/s"))
        if args.vs30 is not None:
            return Sites(list(range(n)), np.full(n, positive(args.vs30, "--vs30", "m/s")), vs30_sim, None)
        if store.vs30 is None:
            raise UsageError(f"{source}: no coordinate 'vs30'; give the site's Vs30 with --vs30, or each station's "
                             "with --sites")
        missing = ~np.isfinite(store.vs30)
        if missing.any():  # as a site table's empty or "nan" cell is refused
            at = int(np.argmax(missing))
            raise UsageError(f"{source}: coordinate 'vs30' of station {str(store.station[at])!r} is "
                             f"{float(store.vs30[at])!r}; give every station a finite Vs30 (or --vs30, --sites)")
        return Sites(list(range(n)), store.vs30, vs30_sim, None)
    table = Path(args.sites)
    sites = read_stations(table, args.vs30_sim, args.fmax)
    if sites.id_column == "file":
        raise UsageError(f"{table}: a store's records are matched by their station; name the column 'station'")
    records = [(str(station), f"{source} (record {index})", None) for index, station in enumerate(store.station)]
    kept, stations = match_records(table, sites, records, args.skip_unmatched)
    pga = None if stations[0].pga is None else np.array([station.pga for station in stations])
    fmax = {station.fmax for station in stations}
    if len(fmax) > 1:
        raise UsageError(f"{table}: column 'fmax' gives {len(fmax)} values; a store's records are one simulation's: "
                         f"give its maximum frequency once (one value, or --fmax)")
    return Sites(kept, np.array([station.vs30 for station in stations]),
                 np.array([station.vs30_sim for station in stations]), pga, fmax.pop())


def store_fmax(source: Path, store: io.RecordStore) -> float | None:
    """The store's attribute fmax (Hz), when it has one; UsageError when it is not a positive number."""
    given = store.attrs.get("fmax")
    if given is None:
        return None
    value = np.asarray(given)
    if value.size != 1 or value.dtype.kind not in "iuf" or not float(value.ravel()[0]) > 0.0 \
            or not np.isfinite(value).all():
        raise UsageError(f"{source}: attribute 'fmax' is {given!r}; expected the simulation's maximum frequency "
                         f"(Hz, one positive number), or give --fmax")
    return float(value.ravel()[0])


def check_units(source: Path, store: io.RecordStore) -> None:
    """Refuses a component in units the records are not amplified in, naming it."""
    for name, units in store.variable_units.items():
        if units not in AMPLIFIED_UNITS:
            raise UsageError(f"{source}: {name!r} is in {units!r} (attribute 'units'); expected one of "
                             f"{', '.join(AMPLIFIED_UNITS)}")


def check_records(source: Path, records: dict[str, Any], sites: Sites, store: io.RecordStore, model: str,
                  convention: str, policy: str, progress: Progress, fmax: float | None = None,
                  taper: float | None = None, epsilon: float = 0.0) -> dict[str, NDArray[np.float64] | None]:
    """Reads every record once for its peak and its ends: refuses a non-finite sample, then
    checks the sites once as the amplification will see them (PGA in g: the row's, else the
    highest of the components' own peaks), warns of records not at rest (unless `taper`) and,
    without `fmax`, of the highest factor applied (of a model whose input per period comes from
    the records' PSA, cy14's, that the factors are applied up to the Nyquist frequency: the
    chunks derive it). Returns the rows' PGA in each component's own
    units (None without)."""
    da = require("dask.array", "distributed", "amplifying a store")
    found, _, _ = chosen(model, convention, epsilon, per_period=True)
    scales = {name: G_IN_UNITS[store.variable_units[name]] for name in records}
    given = {name: None if sites.pga is None else sites.pga * scale for name, scale in scales.items()}
    try:
        # Each record's peak and its first and last samples, from one read of the store; one
        # array of each component's chunks, as the progress counts them.
        summaries = compute(progress, *(da.concatenate([np.maximum(acc.max(axis=1), -acc.min(axis=1))[:, None],
                                                        acc[:, [0, -1]]], axis=1) for acc in records.values()))
    except io.RecordError as error:  # a chunk missing from the store
        raise UsageError(str(error)) from None
    highest = np.zeros(len(sites.kept))  # in g; the sites' once for all components, one warning
    unlimited: list[tuple[float, float]] = []
    for name, summary in zip(records, summaries):
        summary = np.asarray(summary, dtype=np.float64)
        peak, ends = summary[:, 0], summary[:, 1:]
        bad = ~np.isfinite(peak)
        if bad.any():
            station = store.station[sites.kept[int(np.argmax(bad))]]
            raise UsageError(f"{source}: {name!r} of station {str(station)!r} has a non-finite sample")
        if taper is None:
            with warnings_as_lines(f"{source} ({name})"):
                warn_not_at_rest(rest_shares(ends, peak),
                                 lambda site: f"station {str(store.station[sites.kept[site]])!r}")
        own = peak / scales[name]
        highest = np.maximum(highest, own)
        if fmax is None and found.per_period_input is None:
            unlimited.append(sites_highest_factor(model, convention, sites.vs30, sites.vs30_sim,
                                                  own if sites.pga is None else sites.pga, store.dt,
                                                  records_pga=sites.pga is None, epsilon=epsilon))
        elif fmax is None:
            unlimited.append((np.inf, 0.5 / store.dt))
    pga = highest if sites.pga is None else sites.pga
    try:
        with warnings_as_lines(source):
            check_sites(found, sites.vs30, sites.vs30_sim, pga, policy,
                        lambda site: f"station {str(store.station[sites.kept[site]])!r}")
    except ValueError as error:
        raise UsageError(f"{source}: {error}") from None
    reached = [pair for pair in unlimited if not np.isnan(pair[0])]
    if reached and np.isinf(max(reached)[0]):
        print(f"vs30amp: warning: {source}: fmax not given: the model's factors applied up to the records' Nyquist "
              f"frequency {0.5 / store.dt:.4g} Hz; give the simulation's maximum frequency (--fmax, a column fmax "
              "of --sites or the store's attribute fmax) to taper them to 1 above it", file=sys.stderr)
    elif reached:
        said = unlimited_message(*max(reached), 0.5 / store.dt, "--fmax, a column fmax of --sites or the store's "
                                 "attribute fmax) to taper them to 1 above it")
        print(f"vs30amp: warning: {source}: {said}", file=sys.stderr)
    return given


def run(args: argparse.Namespace, options: dict[str, Any]) -> None:
    """Checks the store, its stations' sites and every record, then writes the amplified store
    through a hidden path beside OUT, moved into place only when complete."""
    vd = require("vs30amp.distributed", "distributed", "amplifying a store")
    source, output = check_paths(args)
    with scheduler(args.scheduler) as cluster:
        done = amplify(args, options, vd, source, output, cluster)
    unreported = report(f"{output}: {done}", None)
    if unreported is not None:
        raise UsageError(f"stdout: cannot be written ({unreported}); the report is cut short, {output} was written")


def amplify(args: argparse.Namespace, options: dict[str, Any], vd: Any, source: Path, output: Path,
            cluster: Cluster | None) -> str:
    """The checks and the amplification on the current Dask scheduler (the cluster's, if any);
    what was done, in words."""
    names = None if args.variables is None else [name.strip() for name in args.variables.split(",")]
    try:
        store = fitted(source, names, cluster, AMPLIFY_BYTES, "amplifying a record")
    except io.RecordError as error:
        raise UsageError(str(error)) from None
    check_units(source, store)
    sites = station_sites(args, source, store)
    every = len(sites.kept) == len(store.station)
    records = {name: acc if every else acc[sites.kept] for name, acc in store.components.items()}
    convention = options.get("convention", "module")
    fmax = options.get("fmax", sites.fmax)
    origin = "a column of --sites" if "fmax" not in options and fmax is not None else None
    if fmax is None:
        fmax = store_fmax(source, store)
        origin = None if fmax is None else "the store's attribute"
    # Shown for more than one chunk of each component: a store of one is done in moments.
    chunks = sum(acc.numblocks[0] for acc in records.values())
    progress = Progress(chunks, "chunk", f"checking {source}", above=len(records))
    try:
        policy = options.get("ranges", "warn")
        pga = check_records(source, records, sites, store, args.model, convention, policy, progress, fmax,
                            options.get("taper"), options.get("epsilon", 0.0))
        progress.stage(f"amplifying {source}")
        # Checked above with the run's policy and warned once: the chunks need not warn again.
        # A model's input per period (cy14's y_ref) is derived and checked by the chunks; a refusal
        # of it still refuses the run, a warning would be each chunk's.
        per_period = chosen(args.model, convention, per_period=True)[0].per_period_input is not None
        settings = dict(options, ranges=policy if per_period and policy == "raise" else "ignore",
                        not_at_rest="ignore", fmax=np.inf if fmax is None else fmax)
        # The history names an fmax the command line does not show.
        made_by = args.command_line if origin is None else f"{args.command_line} (fmax {fmax:g} Hz from {origin})"
        found = chosen(args.model, convention, per_period=True)[0]
        if carried_rock(found) is not None and (sites.pga is None or rock(found) is None):
            made_by += f" ({carried_words(args.model)})"
        amplify_into(args, settings, vd, (source, output), store, sites, records, pga, progress, made_by)
    finally:
        progress.close()
    return (f"{len(sites.kept)} stations of {source} ({', '.join(records)}) amplified with "
            f"{convention_words(args.model, convention)}")


def amplify_into(args: argparse.Namespace, settings: dict[str, Any], vd: Any, paths: tuple[Path, Path],
                 store: io.RecordStore, sites: Sites, records: dict[str, Any],
                 pga: dict[str, NDArray[np.float64] | None], progress: Progress, made_by: str) -> None:
    """Amplifies `records` with `settings` (checked and warned of already) and writes them, with
    their sites and provenance (`made_by` ends its history), to the new store."""
    source, output = paths
    convention = settings.get("convention", "module")
    amplified = {name: vd.amplify_waveforms(acc, store.dt, sites.vs30, sites.vs30_sim, pga[name], model=args.model,
                                            units=store.variable_units[name], **settings)
                 for name, acc in records.items()}

    def write(staged: Path) -> None:
        io.write_store(staged, amplified, store.dt, station=store.station[sites.kept], vs30=sites.vs30,
                       vs30_sim=sites.vs30_sim, units=store.variable_units, model=args.model, convention=convention,
                       history=store.attrs.get("history"), made_by=made_by, epsilon=settings.get("epsilon", 0.0))

    try:
        with dask_progress(progress):
            write_store_atomically(output, write)
    except (ValueError, io.RecordError) as error:
        said = str(error) if str(error).startswith(f"{source}: ") else f"{source}: {error}"  # a chunk gone meanwhile
        raise UsageError(f"{said}; {output} left as it was") from None
