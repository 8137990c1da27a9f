"""``vs30amp amplify``: record files amplified to a site's Vs30, written in their own format."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import os
import sys
from pathlib import Path
from typing import Any


from .. import io
from .._models import CONVENTIONS
from .._optional import require
from .._sites import RANGE_POLICIES, chosen
from .._units import AMPLIFIED_UNITS, G_IN_UNITS, peak_in_g
from .._waveforms import amplify_waveforms
from ._files import UsageError, positive, refuse_special_file, report, warnings_as_lines, write_atomically
from .stations import Station, match, read_stations

EXTENSIONS = (".at2", ".sac")
# Units amplify_waveforms knows; SAC's IACC (nm/s/s) and unknown units are declared with --units.
UNITS = AMPLIFIED_UNITS
DECLARABLE = (*(units for units in G_IN_UNITS if units not in AMPLIFIED_UNITS), "unknown")
PROGRESS_ABOVE = 10

EPILOG = """\
example:
  vs30amp amplify records/ extra/RSN753_LOMAP_CLS000.AT2 --vs30 300 --vs30-sim 760 -o amplified/

RECORDS are PEER NGA .AT2 files (in g), SAC binary .sac files, or directories holding such
files (any case of the extension; not searched recursively). Each record is amplified from
--vs30-sim to --vs30 and written to OUTDIR under its own name, in its own format, with its
header; one line per file on stdout gives its PGA before and after, in g. SAC files give no
usable units (IDEP is nm/s/s by SAC's definition, or unknown): say what they hold with --units
(AT2 files keep their g).

All or none: every record is read and checked, and every amplified record computed, before the
first file is written, so a bad file (exit status 2) leaves OUTDIR as it was. Each file appears
only when complete (a temporary file in OUTDIR, renamed). Should writing fail (a full disk),
the command stops and names the files it has written. An OUTDIR in which an output would be the
same file as an input (such as the records' own directory) is refused. OUTDIR is created when
its parent exists. The lines on stdout decide nothing: should stdout fail (a closed pipe, a full
disk), every record is still written and the command ends with one error line (status 2).

Each record its own site: --sites stations.csv, a CSV table with a header row naming each
record in a column station (its file's name without the extension) or file (its file's name),
its site's vs30 (m/s), vs30_sim (m/s, unless given for all with --vs30-sim) and optionally pga
(g; by default the record's own peak). A record without a row, a row without a record and two
records of one station are errors; --skip-unmatched leaves out records without a row.
"""


def add_parser(commands: Any) -> None:
    """Adds the ``amplify`` subcommand to the command's subparsers."""
    amplify = commands.add_parser("amplify", help="amplify record files (.AT2, .sac) to a site's Vs30",
                                  epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    amplify.add_argument("records", nargs="+", metavar="RECORDS", help=".AT2 or .sac files, or directories of them")
    amplify.add_argument("--vs30", metavar="M/S", help="the site's Vs30")
    amplify.add_argument("--vs30-sim", metavar="M/S", help="the Vs30 the records were simulated for")
    amplify.add_argument("--sites", metavar="STATIONS.csv",
                         help="each record's site instead of --vs30: columns station or file, vs30, [vs30_sim], [pga]")
    amplify.add_argument("--skip-unmatched", action="store_true",
                         help="leave out the records that have no row in --sites (saying how many)")
    amplify.add_argument("--model", default="ba18", help="ba18 (default) or cb14")
    amplify.add_argument("--convention", type=str.lower, choices=CONVENTIONS,
                         help="module (default) or published: see the documentation's models page")
    amplify.add_argument("--units", choices=UNITS,
                         help="units of the records whose files give none (SAC); AT2 files are in g")
    amplify.add_argument("--fmax", metavar="HZ", help="factors above this frequency are held at its factor")
    amplify.add_argument("--ranges", choices=RANGE_POLICIES, help="sites outside the model's ranges")
    amplify.add_argument("-o", "--outdir", required=True, metavar="OUTDIR", help="directory of the amplified records")


def record_paths(arguments: list[str]) -> list[Path]:
    """The files named, and the .AT2/.sac files of the directories named, in the order given."""
    paths: list[Path] = []
    for argument in map(Path, arguments):
        if argument.is_dir():
            found = sorted(p for p in argument.iterdir() if p.suffix.lower() in EXTENSIONS and p.is_file())
            if not found:
                raise UsageError(f"{argument}: no .AT2 or .sac files in this directory")
            paths += found
        elif argument.is_file():
            paths.append(argument)
        elif argument.exists():
            refuse_special_file(argument, "a regular file or directory")
        else:
            raise UsageError(f"{argument}: no such file or directory")
    return paths


def check_targets(paths: list[Path], outdir: Path) -> list[Path]:
    """The output of each input; refuses two inputs of one name and an output that is an input."""
    if outdir.is_symlink() and not outdir.exists():
        raise UsageError(f"{outdir}: a symbolic link to {os.readlink(outdir)}, which does not exist")
    if outdir.exists() and not outdir.is_dir():
        raise UsageError(f"{outdir}: not a directory")
    if not outdir.exists() and not outdir.absolute().parent.is_dir():
        raise UsageError(f"{outdir}: its parent directory does not exist")
    targets = [outdir / path.name for path in paths]
    inputs = {_identity(path) for path in paths}  # samefile's test, each file stat'ed once
    first: dict[Path, Path] = {}
    for path, target in zip(paths, targets):
        if target in first:
            raise UsageError(f"{first[target]} and {path} would both be written to {target}")
        first[target] = path
        if target.is_dir():
            raise UsageError(f"{target}: is a directory, which an output cannot replace")
        if target.exists() and _identity(target) in inputs:
            raise UsageError(f"{target}: would be written over an input; choose another OUTDIR")
    return targets


def _identity(path: Path) -> tuple[int, int]:
    status = path.stat()
    return status.st_dev, status.st_ino


def record_units(path: Path, record: io.Record, given: str | None) -> str:
    """The units of `record`'s samples: a file's own units (AT2: g) are kept, --units declares
    those of files that give none (SAC)."""
    if record.units in UNITS:
        return record.units
    if record.units not in DECLARABLE:
        raise UsageError(f"{path}: the samples are in {record.units} (header field IDEP), not an acceleration")
    if given is None:
        what = "nm/s/s by SAC's IDEP = IACC" if record.units == "nm/s2" else "not given by the file"
        raise UsageError(f"{path}: units {what}; give the records' units with --units {'|'.join(UNITS)}")
    return given


def run(args: argparse.Namespace) -> None:
    """Runs ``vs30amp amplify``: reads and checks everything, then writes (see EPILOG)."""
    try:
        chosen(args.model, args.convention or "module")
    except ValueError as error:
        raise UsageError(str(error)) from None
    site = one_site(args)
    options: dict[str, Any] = {name: getattr(args, name) for name in ("convention", "ranges")
                               if getattr(args, name) is not None}
    if args.fmax is not None:
        options["fmax"] = positive(args.fmax, "--fmax", "Hz")
    paths, sites = sited_records(args, site)
    outdir = Path(args.outdir)
    targets = check_targets(paths, outdir)
    bar = progress_bar(len(paths))
    try:
        results = amplified(args, paths, targets, sites, options, bar)
        write_all(results, outdir, bar)
    finally:
        if bar is not None:
            bar.close()


def progress_bar(files: int) -> Any:
    """A tqdm bar on stderr when there are many files and stderr is a terminal (and tqdm is there)."""
    if files <= PROGRESS_ABOVE or not sys.stderr.isatty():
        return None
    try:
        return require("tqdm", "progress", "the progress bar").tqdm(total=files, unit="file", desc="reading")
    except ImportError:
        return None


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
    return Station(positive(args.vs30, "--vs30", "m/s"), vs30_sim, None)


def sited_records(args: argparse.Namespace, site: Station | None) -> tuple[list[Path], list[Station]]:
    """The records to amplify and the site of each: `site` for all, or each record's row of --sites."""
    if site is not None:
        paths = record_paths(args.records)
        return paths, [site] * len(paths)
    table = Path(args.sites)
    sites = read_stations(table, args.vs30_sim)
    return match(table, sites, record_paths(args.records), args.skip_unmatched)


def amplified(args: argparse.Namespace, paths: list[Path], targets: list[Path], sites: list[Station],
              options: dict[str, Any], bar: Any) -> list[tuple[Path, io.Record, float, float]]:
    """Every record read, checked and amplified: (output, amplified record, PGA before, after)."""
    results: list[tuple[Path, io.Record, float, float]] = []
    for path, target, site in zip(paths, targets, sites):
        try:
            record = io.read(path)
        except io.RecordError as error:
            raise UsageError(str(error)) from None
        units = record_units(path, record, args.units)
        before = peak_in_g(record.acc, units)
        try:
            with warnings_as_lines(path):
                # The models see the record's own peak, converted to g from the record's units,
                # unless the site's row gives the PGA (in g).
                pga = None if site.pga is None else site.pga * G_IN_UNITS[units]
                acc = amplify_waveforms(record.acc, record.dt, site.vs30, site.vs30_sim, pga, model=args.model,
                                        units=units, **options)
        except ValueError as error:
            raise UsageError(f"{path}: {error}") from None
        provenance = io.RecordProvenance(args.model, site.vs30, site.vs30_sim, args.convention or "module")
        results.append((target, io.amplified(dataclasses.replace(record, acc=acc), provenance), before,
                        peak_in_g(acc, units)))
        if bar is not None:
            bar.update(1)
    return results


def write_all(results: list[tuple[Path, io.Record, float, float]], outdir: Path, bar: Any) -> None:
    """Writes the records one by one, each atomically; stops at the first failure naming the
    files written. The report on stdout decides nothing: should it fail, every record is still
    written, and the failure is the command's error."""
    created = not outdir.exists()
    try:
        outdir.mkdir(exist_ok=True)
    except OSError as error:
        raise UsageError(f"{outdir}: cannot be created ({error.strerror or error}); nothing written") from None
    if bar is not None:
        bar.reset(total=len(results))
        bar.set_description("writing")
    written: list[str] = []
    unreported: str | None = None
    try:
        for target, record, before, after in results:
            try:
                write_atomically(target, lambda temporary: io.write(temporary, record, io.format_of(target)))
            except (UsageError, io.RecordError) as error:
                done = f"written before: {', '.join(written)}" if written else "nothing written"
                message = str(error) if isinstance(error, UsageError) else f"{target}: cannot be written ({error})"
                raise UsageError(f"{message}; {done}") from None
            written.append(target.name)
            if unreported is None:
                unreported = report(f"{target}: PGA {before:.6g} g -> {after:.6g} g", bar)
            if bar is not None:
                bar.update(1)
    finally:
        if created and not written:
            with contextlib.suppress(OSError):
                outdir.rmdir()
    if unreported is not None:
        raise UsageError(f"stdout: cannot be written ({unreported}); the report is cut short, "
                             f"all {len(written)} records were written to {outdir}")
