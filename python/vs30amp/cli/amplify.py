"""``vs30amp amplify``: record files amplified to a site's Vs30, written in their own format."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import os
import shutil
import sys
import tempfile
import warnings
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np

from .. import io
from ..io._formats import FORMATS, extensions
from .._interp import ABOVE_FMAX
from .._models import CONVENTIONS, DEFAULT_MODEL
from .._sites import RANGE_POLICIES, chosen
from .._units import AMPLIFIED_UNITS, G_IN_UNITS, peak_in_g
from .._amplification_warnings import sites_highest_factor, unlimited_message
from .._waveforms import amplify_waveforms, records_rock_rows
from . import _amplify_store
from ._atomic_writes import STAGING, file_mode, outdir_held
from ._errors import UsageError
from ._numbers import fmax_option, non_negative, positive
from ._outputs import Inputs, check_output
from ._record_files import record_paths
from ._record_units import record_units, takes_declared_units, warn_if_units_unused
from ._signals import signals_held
from ._terminal import report, warnings_as_lines
from ._progress import Progress
from ._scheduler import add_scheduler_option
from .factors import CONVENTION_HELP, EPSILON_HELP, MODEL_HELP
from ._stations import Station, match, read_stations

# Units amplify_waveforms knows; SAC's IACC (nm/s/s) and unknown units are declared with --units.
UNITS = AMPLIFIED_UNITS

EPILOG = """\
examples:
  vs30amp amplify records/ extra/RSN753_LOMAP_CLS000.AT2 --vs30 300 --vs30-sim 760 -o amplified/
  vs30amp amplify sims.nc --sites stations.csv --vs30-sim 760 -o amplified.zarr

RECORDS are PEER NGA .AT2 files (in g), SAC binary .sac files, MiniSEED .mseed files (one
trace each; with ObsPy installed, the obspy extra), the Broadband Platform's .bbp files (N/S,
E/W and U/D in cm/s/s), or directories holding such files (any case of the extension; not
searched recursively). Each record is amplified from --vs30-sim to --vs30 and written to OUTDIR
under its own name, in its own format, with its header; one line per file on stdout gives its
PGA before and after, in g. Of a .bbp file the horizontals are amplified, and the vertical is
left out with a warning (written as it was). SAC and MiniSEED files give no usable units (IDEP
is nm/s/s by SAC's definition, or unknown): say what they hold with --units (AT2 files keep
their g, .bbp files their cm/s/s).

All or none: every record is read, checked and amplified before the first file is written,
so a bad file (exit status 2) leaves OUTDIR as it was. Then each record is read and amplified
again, one at a time (memory does not grow with the number of files), and written into a hidden
directory .vs30amp-staging-* in OUTDIR; only when all are written are they renamed into place.
A failed write (a full disk) or a signal removes that directory and leaves OUTDIR as it was.
One run at a time: a run holds a lock on OUTDIR (.vs30amp-lock), and a second is refused; the
staging directories of killed runs are removed, each said on stderr. An OUTDIR in which an
output would be the same file as an input (such as the records' own directory) is refused.
OUTDIR is created when its parent exists. The lines on stdout, printed once all files are in
place, decide nothing: should stdout fail (a closed pipe, a full disk, closed with >&-), the
command ends with one error line (status 2).

Each record its own site: --sites stations.csv, a CSV table with a header row naming each
record in a column station (its file's name without the extension; or site, site_id, id) or
file (its file's name), its site's vs30 (m/s), vs30_sim (m/s, unless given for all with
--vs30-sim) and optionally pga (g, the model's input: for bssa14 on 760 m/s rock; by default the
record's own peak, carried to the model's rock where it takes its PGA there); names in any case, any
other column refused, as factors reads its table. A record without a row, a row without a record and two
records of one station are errors; --skip-unmatched leaves out records without a row.

A store: RECORDS is one netCDF (.nc) or Zarr (.zarr) store of records with dimensions (station,
time) (all such variables, or those --variables names; dt from a 'dt' attribute or the 'time'
coordinate; units from the 'units' attribute, g when none), and -o names the amplified store
(.nc or .zarr). Each station takes its row of --sites (column station: the store's station
coordinate), --vs30 for all, or else the store's vs30 coordinate. The store is read chunk by
chunk of stations, twice (the checks, then the amplification), so memory does not grow with its
size; the amplified store, with each station's vs30 and vs30_sim and the provenance in its
attributes (its history the input's, then this command), is written beside OUT and appears only
when complete. An existing OUT is replaced only when it is a store of its kind, and never when
it holds the input. The chunks run on Dask's threads, or with --scheduler on a running cluster
(whose workers must see the store's and OUT's paths). A long run shows its progress on stderr:
a bar on a terminal, else a line per file or chunk (at most 20 a pass).
"""


def add_parser(commands: Any) -> None:
    """Adds the ``amplify`` subcommand to the command's subparsers."""
    amplify = commands.add_parser("amplify",
                                  help=f"amplify record files ({extensions(', ')}) or a store to each site's Vs30",
                                  epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    amplify.add_argument("records", nargs="+", metavar="RECORDS",
                         help=f"{extensions()} files, or directories of them; or one store (.nc, .zarr)")
    amplify.add_argument("--vs30", metavar="M/S", help="the site's Vs30")
    amplify.add_argument("--vs30-sim", metavar="M/S", help="the Vs30 the records were simulated for")
    amplify.add_argument("--sites", metavar="STATIONS.csv",
                         help="each record's site instead of --vs30: columns station (or file), vs30, [vs30_sim], [pga]")
    amplify.add_argument("--skip-unmatched", action="store_true",
                         help="leave out the records that have no row in --sites (saying how many)")
    amplify.add_argument("--variables", metavar="NAME,...",
                         help="a store's variables to amplify (default: all with dimensions station and time)")
    amplify.add_argument("--model", default=DEFAULT_MODEL, help=MODEL_HELP)
    amplify.add_argument("--convention", type=str.lower, choices=CONVENTIONS,
                         help=CONVENTION_HELP)
    amplify.add_argument("--epsilon", type=float, default=0.0, help=EPSILON_HELP)
    amplify.add_argument("--units", choices=UNITS,
                         help="units of the records whose files give none (SAC, MiniSEED); AT2 files are in g")
    amplify.add_argument("--fmax", metavar="HZ",
                         help="the simulation's maximum frequency: the factors are tapered to 1 above it (default: a "
                              "column fmax of --sites, a store's attribute fmax; else a warning); inf: none")
    amplify.add_argument("--above-fmax", choices=ABOVE_FMAX, default="taper",
                         help="factors above fmax: taper (default: to 1 over the octave above it) or hold (at fmax's)")
    amplify.add_argument("--taper", metavar="SECONDS",
                         help="taper this many seconds at each end of every record with a half cosine first (0: no "
                              "taper, and no warning of records not at rest)")
    amplify.add_argument("--ranges", choices=RANGE_POLICIES, help="sites outside the model's ranges")
    add_scheduler_option(amplify)
    amplify.add_argument("-o", "--outdir", required=True, metavar="OUTDIR",
                         help="directory of the amplified records (for a store: the amplified store, .nc or .zarr)")


def check_targets(paths: list[Path], outdir: Path) -> list[Path]:
    """The output of each input; refuses two inputs of one name and an output that is an input."""
    if outdir.is_symlink() and not outdir.exists():
        raise UsageError(f"{outdir}: a symbolic link to {os.readlink(outdir)}, which does not exist")
    if outdir.exists() and not outdir.is_dir():
        raise UsageError(f"{outdir}: not a directory")
    if not outdir.exists() and not outdir.absolute().parent.is_dir():
        raise UsageError(f"{outdir}: its parent directory does not exist")
    targets = [outdir / path.name for path in paths]
    inputs = Inputs(paths)  # each file stat'ed once
    first: dict[Path, Path] = {}
    for path, target in zip(paths, targets):
        if target in first:
            raise UsageError(f"{first[target]} and {path} would both be written to {target}")
        first[target] = path
        check_output(target, inputs, "file", "amplified records")
    return targets


def run(args: argparse.Namespace) -> None:
    """Runs ``vs30amp amplify``: checks everything, then writes through a staging directory (see EPILOG)."""
    try:
        chosen(args.model, args.convention or "module", args.epsilon, per_period=True)
    except ValueError as error:
        raise UsageError(str(error)) from None
    options: dict[str, Any] = {name: getattr(args, name) for name in ("convention", "ranges")
                               if getattr(args, name) is not None}
    if args.epsilon:
        options["epsilon"] = args.epsilon
    options["above_fmax"] = args.above_fmax
    if args.fmax is not None:
        options["fmax"] = fmax_option(args.fmax)
    if args.taper is not None:
        options["taper"] = non_negative(args.taper, "--taper", "s")
    if _amplify_store.is_store(args.records):
        _amplify_store.run(args, options)
        return
    for given, option in ((args.variables, "--variables"), (args.scheduler, "--scheduler")):
        if given is not None:
            raise UsageError(f"{option}: is for a store (.nc, .zarr); RECORDS are record files")
    site = one_site(args)
    paths, sites = sited_records(args, site)
    outdir = Path(args.outdir)
    targets = check_targets(paths, outdir)
    progress = Progress(len(paths), "file", "reading")
    try:
        with outdir_held(outdir):
            jobs = [Job(path, target, site_) for path, target, site_ in zip(paths, targets, sites)]
            units_used = False
            for job in jobs:
                checked = amplify_one(args, job, options)  # the check: the amplified record is dropped
                units_used = units_used or takes_declared_units(checked)
                del checked
                progress.advance()
            warn_if_units_unused(args.units, units_used)
            warn_unlimited(jobs)
            write_all(args, jobs, options, outdir, progress)
    finally:
        progress.close()


def one_site(args: argparse.Namespace) -> Station | None:
    """The site of every record given by --vs30 and --vs30-sim, or None for --sites."""
    if (args.vs30 is None) == (args.sites is None):
        raise UsageError("give the site's Vs30 with --vs30, or each record's with --sites (one of them)")
    if args.sites is None and args.vs30_sim is None:
        raise UsageError("the following arguments are required: --vs30-sim")
    vs30_sim = None if args.vs30_sim is None else positive(args.vs30_sim, "--vs30-sim", "m/s")
    if args.sites is not None:
        return None
    assert vs30_sim is not None
    fmax = None if args.fmax is None else fmax_option(args.fmax)
    return Station(positive(args.vs30, "--vs30", "m/s"), vs30_sim, None, fmax)


def sited_records(args: argparse.Namespace, site: Station | None) -> tuple[list[Path], list[Station]]:
    """The records to amplify and the site of each: `site` for all, or each record's row of --sites."""
    if site is not None:
        paths = record_paths(args.records)
        return paths, [site] * len(paths)
    table = Path(args.sites)
    sites = read_stations(table, args.vs30_sim, args.fmax)
    return match(table, sites, record_paths(args.records), args.skip_unmatched)


@dataclasses.dataclass
class Job:
    """One record to amplify: what the checks keep of it (never its samples), so that memory
    does not grow with the records' sizes."""

    path: Path
    target: Path
    site: Station
    before: float = 0.0
    after: float = 0.0
    # Without an fmax: the highest factor applied, its frequency and the record's Nyquist frequency.
    unlimited: tuple[float, float, float] | None = None


def warn_unlimited(jobs: list[Job]) -> None:
    """One warning line for the records amplified without an fmax: how many and the highest factor."""
    unlimited = [job.unlimited for job in jobs if job.unlimited is not None]
    if unlimited:
        highest, at, nyquist = max(unlimited)
        said = unlimited_message(highest, at, nyquist,
                                 "--fmax, or a column fmax of --sites) to taper them to 1 above it")
        print(f"vs30amp: warning: {len(unlimited)} of {len(jobs)} records: {said}", file=sys.stderr)


def amplify_one(args: argparse.Namespace, job: Job, options: dict[str, Any], quiet: bool = False) -> io.Record:
    """`job`'s record read, checked and amplified, with its provenance; sets its PGA before and
    after. Warnings are lines on stderr, or dropped when `quiet` (the second pass, already warned)."""
    path, site = job.path, job.site
    try:
        record = io.read(path)
    except (io.RecordError, ImportError) as error:
        raise UsageError(str(error)) from None
    units = record_units(path, record, args.units)
    rows = horizontal_rows(path, record, quiet)
    horizontal = record.acc if rows is None else record.acc[rows]
    try:
        with _silenced() if quiet else warnings_as_lines(path):
            # The models see the record's own peak, converted to g from the record's units,
            # unless the site's row gives the PGA (in g).
            pga = None if site.pga is None else site.pga * G_IN_UNITS[units]
            # Without an fmax the run warns once for all records (warn_unlimited), not per file.
            fmax = site.fmax if site.fmax is not None else np.inf
            acc = amplify_waveforms(horizontal, record.dt, site.vs30, site.vs30_sim, pga, model=args.model,
                                    units=units, **dict(options, fmax=fmax))
    except ValueError as error:
        raise UsageError(f"{path}: {error}") from None
    job.before, job.after = peak_in_g(horizontal, units), peak_in_g(acc, units)
    if site.fmax is None:
        pga_g = None if site.pga is None else site.pga
        highest = max(highest_factor(args, site, row, record.dt, units, pga_g) for row in np.atleast_2d(horizontal))
        job.unlimited = (*highest, 0.5 / record.dt)
    if rows is not None:  # the vertical as it was, beside the amplified horizontals
        amplified, acc = acc, np.array(record.acc, dtype=acc.dtype)
        acc[rows] = amplified
    provenance = io.RecordProvenance(args.model, site.vs30, site.vs30_sim, args.convention or "module",
                                     carried_to_rock=site.pga is None, epsilon=args.epsilon)
    return io.amplified(dataclasses.replace(record, acc=acc), provenance)


def horizontal_rows(path: Path, record: io.Record, quiet: bool) -> list[int] | None:
    """The rows amplified of a file of several components (.bbp): all but the vertical, which is
    left out with a warning line; None for a file of one record."""
    found = FORMATS[io.format_of(path)]
    if found.components == 1:
        return None
    if found.vertical is not None and not quiet:
        print(f"vs30amp: warning: {path}: component {found.vertical + 1} of {found.components} is vertical; left "
              f"out (written as it was)", file=sys.stderr)
    return [row for row in range(found.components) if row != found.vertical]


def highest_factor(args: argparse.Namespace, site: Station, row: Any, dt: float, units: str,
                   pga_g: float | None) -> tuple[float, float]:
    """The highest factor applied to one record without an fmax, and its frequency."""
    convention = args.convention or "module"
    y_ref = records_rock_rows(args.model, convention, row, dt, units, site.vs30_sim)
    return tuple(sites_highest_factor(args.model, convention, site.vs30, site.vs30_sim,  # type: ignore[return-value]
                                      peak_in_g(row, units) if pga_g is None else pga_g, dt,
                                      records_pga=pga_g is None, epsilon=args.epsilon, y_ref=y_ref))


def write_all(args: argparse.Namespace, jobs: list[Job], options: dict[str, Any], outdir: Path,
              progress: Progress) -> None:
    """Amplifies the records again one at a time (the same doubles as the check), writes each into
    a hidden staging directory in OUTDIR, and moves them all into place only when every one is
    written. On any failure or signal before the moves the staging directory is removed and OUTDIR
    is as it was. The report on stdout decides nothing: should it fail, the failure is the
    command's error after every record is in place."""
    created = not outdir.exists()
    try:
        outdir.mkdir(exist_ok=True)
    except OSError as error:
        raise UsageError(f"{outdir}: cannot be created ({error.strerror or error}); nothing written") from None
    progress.stage("writing")
    staging: Path | None = None
    moved: list[str] = []
    try:
        try:
            with signals_held():  # no signal between the directory's creation and its name kept
                staging = Path(tempfile.mkdtemp(dir=outdir, prefix=STAGING))
        except OSError as error:
            raise UsageError(f"{outdir}: cannot be written ({error.strerror or error}); nothing written") from None
        for job in jobs:
            record = amplify_one(args, job, options, quiet=True)
            staged = staging / job.target.name
            try:
                io.write(staged, record, io.format_of(job.target))
                with staged.open("rb") as file:
                    os.fsync(file.fileno())
                staged.chmod(file_mode(job.target))
            except (OSError, io.RecordError) as error:
                reason = error.strerror if isinstance(error, OSError) and error.strerror else error
                raise UsageError(f"{job.target}: cannot be written ({reason}); OUTDIR left as it was") from None
            del record
            progress.advance()
        move_into_place(jobs, staging)
    finally:
        with signals_held():
            if staging is not None:
                shutil.rmtree(staging, ignore_errors=True)
    unreported: str | None = None
    for job in jobs:
        unreported = report(f"{job.target}: PGA {job.before:.6g} g -> {job.after:.6g} g", progress)
        if unreported is not None:
            raise UsageError(f"stdout: cannot be written ({unreported}); the report is cut short, "
                             f"all {len(jobs)} records were written to {outdir}")


def move_into_place(jobs: list[Job], staging: Path) -> None:
    """Renames every staged file over its target (one filesystem: each rename is atomic), signals
    held so that the moves are not cut in two. A rename that fails (a target made a directory
    meanwhile) stops the moves: the error names the files already moved, the rest are removed
    with the staging directory."""
    moved: list[str] = []
    with signals_held():
        for job in jobs:
            try:
                os.replace(staging / job.target.name, job.target)
            except OSError as error:
                done = f"moved into place before: {', '.join(moved)}" if moved else "OUTDIR left as it was"
                raise UsageError(f"{job.target}: cannot be moved into place ({error.strerror or error}); "
                                 f"{done}") from None
            moved.append(job.target.name)


@contextlib.contextmanager
def _silenced() -> Iterator[None]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield
