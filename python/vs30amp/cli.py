"""The ``vs30amp`` command: amplification factors for a table of sites."""

from __future__ import annotations

import argparse
import csv
import datetime
import os
import shlex
import signal
import sys
import tempfile
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from types import FrameType
from typing import NoReturn

import numpy as np
from numpy.typing import NDArray

from . import _amplify_command
from ._factors import RANGE_POLICIES, Amplification, check_sites, site_factors
from ._models import MODELS, get_model
from ._version import __version__

FORMATS = (".csv", ".npz", ".nc")
CONVENTIONS = ("module", "published")
SITE_COLUMNS = ("site", "site_id", "id")

EPILOG = """\
example:
  vs30amp factors sites.csv --model ba18 --vs30-sim 760 -o factors.nc

  where sites.csv reads
    site,vs30,pga
    A01,250,0.21
    A02,480.5,0.08

SITES is a CSV table with a header row: columns vs30 (m/s), pga (g, unless given with --pga),
vs30_sim (m/s, unless given with --vs30-sim) and optionally a site id (column site, site_id or
id), names in any case. Numbers are read exactly as written; rows count from 1 after the header.
OUT is written by its extension: .csv (one row per site, one column per frequency in Hz), .npz
(NumPy arrays) or .nc (netCDF, needs vs30amp[xarray]); it appears only when complete and is never
the input. Errors exit with status 2, a signal with 128 + its number (130 for Ctrl-C).
"""


class UsageError(Exception):
    """A problem with the command's input, reported in one line with exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def parser() -> argparse.ArgumentParser:
    top = _Parser(prog="vs30amp", description="Vs30 site amplification factors for simulated ground motions.",
                  epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"vs30amp {__version__}")
    commands = top.add_subparsers(dest="command", required=True, parser_class=_Parser)
    factors = commands.add_parser("factors", help="factors for the sites of a CSV table", epilog=EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    factors.add_argument("sites", metavar="SITES.csv", help="the sites: columns vs30, pga, vs30_sim, [site]")
    factors.add_argument("--model", default="ba18", help="ba18 (default) or cb14")
    factors.add_argument("--vs30-sim", metavar="M/S", help="one simulation Vs30 for every site")
    factors.add_argument("--pga", metavar="G", help="one PGA for every site")
    factors.add_argument("--convention", default="module", type=str.lower, choices=CONVENTIONS,
                         help="module (default) or published: see the documentation's models page")
    factors.add_argument("--ranges", choices=RANGE_POLICIES,
                         help="sites outside the model's range of applicability: warn (default), raise, ignore")
    factors.add_argument("--check-ranges", action="store_true", help="the same as --ranges raise")
    factors.add_argument("-o", "--output", required=True, metavar="OUT", help="OUT.csv, OUT.npz or OUT.nc")
    _amplify_command.add_parser(commands)
    return top


def number(text: str, where: str) -> float:
    """`text` as the finite double it denotes (correctly rounded, so written doubles read back exactly)."""
    if not text.strip():
        raise UsageError(f"{where}: missing value")
    try:
        value = float(text)
    except ValueError:
        raise UsageError(f"{where}: {text!r} is not a number") from None
    if value != value or value in (float("inf"), float("-inf")):
        raise UsageError(f"{where}: {text!r} is not a finite number")
    return value


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
    """The columns vs30, vs30_sim, pga of a table; its site ids (or None) and the row number
    (from 1 after the header) of each site."""

    def __init__(self, ids: list[str] | None, rows: list[int], columns: dict[str, NDArray[np.float64]]) -> None:
        self.ids, self.rows, self.columns = ids, rows, columns

    def label(self, site: int) -> str:
        """How an error names a site: its row, and its id if the table has ids."""
        named = f" (site {self.ids[site]!r})" if self.ids is not None else ""
        return f"row {self.rows[site]}{named}"


def read_sites(path: Path, given: dict[str, str | None]) -> Sites:
    """The sites of a CSV table; `given` holds the values given once for every site (or None)."""
    try:
        with path.open(newline="", encoding="utf-8-sig") as file:
            rows = list(csv.reader(file))
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise UsageError(f"{path}: cannot be read ({error})") from None
    if not rows:
        raise UsageError(f"{path}: empty file, expected a header row")
    header = unique_columns(path, rows[0])
    for name, value in given.items():
        if value is not None and name in header:
            option = "--" + name.replace("_", "-")
            raise UsageError(f"{path}: has a column {name!r} and {option} was given; use one of them")
    needed = [name for name in ("vs30", "pga", "vs30_sim") if given.get(name) is None]
    missing = [name for name in needed if name not in header]
    if missing:
        raise UsageError(f"{path}: missing column {', '.join(repr(name) for name in missing)}")
    id_column = next((header.index(name) for name in SITE_COLUMNS if name in header), None)
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
                raise UsageError(f"{path}: site id {site!r} is in rows {seen[site]} and {index}; ids must be unique")
            seen[site] = index
    return Sites(ids, [index for index, _ in body],
                 {name: np.array(values, dtype=np.float64) for name, values in columns.items()})


def provenance(result: Amplification) -> dict[str, str]:
    """What made `result`: CF-style attributes, the model and its convention, the command run."""
    model = get_model(result.model)
    command = shlex.join(["vs30amp", *sys.argv[1:]])
    now = datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")
    return {"Conventions": "CF-1.8", "title": f"{model.label} amplification factors",
            "source": f"vs30amp {__version__}", "history": f"{now}: {command}", "references": model.reference,
            "model": model.name, "convention": result.convention}


def write_csv(path: Path, result: Amplification, ids: list[str] | None) -> None:
    about = provenance(result)
    with path.open("w", newline="", encoding="utf-8") as file:
        # One comment line before the header: read the table with skiprows=1.
        file.write(f"# {about['source']}; model {about['model']}; convention {about['convention']}; "
                   f"{about['history']}\n")
        writer = csv.writer(file)
        writer.writerow((["site"] if ids is not None else []) + ["vs30", "vs30_sim", "pga"]
                        + [repr(float(f)) for f in result.frequencies])
        for i in range(len(result)):
            values = [result.vs30[i], result.vs30_sim[i], result.pga[i], *result.factors[i]]
            writer.writerow(([ids[i]] if ids is not None else []) + [repr(float(v)) for v in values])


def write_npz(path: Path, result: Amplification, ids: list[str] | None) -> None:
    arrays = {"factors": result.factors, "frequencies": result.frequencies, "vs30": result.vs30,
              "vs30_sim": result.vs30_sim, "pga": result.pga}
    arrays |= {name: np.array(value) for name, value in provenance(result).items()}
    if ids is not None:
        arrays["site"] = np.array(ids, dtype=str)
    with path.open("wb") as file:
        np.savez(file, **arrays)  # type: ignore[arg-type]


def write_netcdf(path: Path, result: Amplification, ids: list[str] | None) -> None:
    # Built in memory and written with Python's I/O: the HDF5 library never meets a failing disk,
    # which it answers with an abort at exit.
    dataset = result.to_xarray(site=np.array(ids, dtype=object) if ids is not None else None).to_dataset()
    dataset.attrs.update(provenance(result))
    data = dataset.to_netcdf(engine="netcdf4")
    path.write_bytes(data)


WRITERS: dict[str, Callable[[Path, Amplification, list[str] | None], None]] = {
    ".csv": write_csv, ".npz": write_npz, ".nc": write_netcdf}


class Terminated(BaseException):
    """A SIGTERM or SIGHUP: unwinds like Ctrl-C, so that a temporary file is removed."""

    def __init__(self, signum: int) -> None:
        super().__init__(f"terminated by {signal.Signals(signum).name}")
        self.signum = signum


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise Terminated(signum)


@contextmanager
def terminations_unwind() -> Iterator[None]:
    """SIGTERM and SIGHUP raise `Terminated` for as long as the command runs (main thread only)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {signum: signal.signal(signum, _terminate) for signum in (signal.SIGTERM, signal.SIGHUP)}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


@contextmanager
def warnings_as_lines(source: object) -> Iterator[None]:
    """The warnings raised meanwhile, each printed as one line on stderr naming `source`."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield
    for warning in caught:
        print(f"vs30amp: warning: {source}: {warning.message}", file=sys.stderr)


def refuse_input_as_output(sites: Path, output: Path) -> None:
    """UsageError if `output` is the input table, whatever the spelling or link leading to it."""
    try:
        same = os.path.samefile(sites, output)
    except OSError:  # one of them does not exist
        return
    if same:
        raise UsageError(f"{output}: is the input table {sites}; write the factors to another file")


def write_atomically(target: Path, write: Callable[[Path], None]) -> None:
    """Writes through a temporary file beside `target`, renamed over it only when complete; an
    existing target keeps its permission bits. On any failure or signal the temporary file is
    removed and the target left as it was."""
    try:
        mode = target.stat().st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    handle = tempfile.NamedTemporaryFile(dir=target.parent, prefix=f".{target.name}.", suffix=target.suffix,
                                         delete=False)
    temporary = Path(handle.name)
    try:
        handle.close()
        write(temporary)
        with temporary.open("rb") as file:
            os.fsync(file.fileno())
        temporary.chmod(mode)
        os.replace(temporary, target)
    except OSError as error:
        temporary.unlink(missing_ok=True)
        raise UsageError(f"{target}: cannot be written ({error.strerror or error}); left as it was") from None
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def factors(args: argparse.Namespace) -> None:
    try:
        model = get_model(args.model)
    except ValueError:
        raise UsageError(f"unknown model {args.model!r}; choose one of {', '.join(MODELS)}") from None
    if args.check_ranges and args.ranges not in (None, "raise"):
        raise UsageError(f"--check-ranges contradicts --ranges {args.ranges}; give only --ranges")
    policy = "raise" if args.check_ranges else args.ranges or "warn"
    output = Path(args.output)
    if output.suffix.lower() not in FORMATS:
        raise UsageError(f"{output}: unknown output format {output.suffix!r}; use {', '.join(FORMATS)}")
    if not output.parent.is_dir():
        raise UsageError(f"{output}: directory {output.parent} does not exist")
    refuse_input_as_output(Path(args.sites), output)
    sites = read_sites(Path(args.sites), {"vs30_sim": args.vs30_sim, "pga": args.pga})
    vs30, vs30_sim, pga = (sites.columns[name] for name in ("vs30", "vs30_sim", "pga"))
    with warnings_as_lines(args.sites):
        try:
            check_sites(model, vs30, vs30_sim, pga, policy, sites.label)
        except ValueError as error:
            raise UsageError(f"{args.sites}: {error}") from None
    try:
        kernel = model.kernel_for(args.convention)
    except ValueError as error:
        raise UsageError(str(error)) from None
    result = Amplification(site_factors(kernel, vs30, vs30_sim, pga), model.frequencies, model.name, vs30, vs30_sim,
                           pga, args.convention)
    writer = WRITERS[output.suffix.lower()]
    write_atomically(output, lambda path: writer(path, result, sites.ids))


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status: 0, 2 after a one-line error on stderr, or
    128 + the signal's number after a SIGINT (130), SIGTERM or SIGHUP, with no output left half
    written."""
    try:
        with terminations_unwind():
            args = parser().parse_args(argv)
            (_amplify_command.run if args.command == "amplify" else factors)(args)
    except (UsageError, ImportError, OSError) as error:
        print(f"vs30amp: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("vs30amp: error: interrupted by SIGINT", file=sys.stderr)
        return 128 + signal.SIGINT
    except Terminated as stop:
        print(f"vs30amp: error: {stop}", file=sys.stderr)
        return 128 + stop.signum
    return 0


if __name__ == "__main__":
    sys.exit(main())
