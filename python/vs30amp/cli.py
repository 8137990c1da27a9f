"""The ``vs30amp`` command: amplification factors for a table of sites."""

from __future__ import annotations

import argparse
import atexit
import csv
import os
import re
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
from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray

from . import _amplify_command
from ._factors import RANGE_POLICIES, Amplification, check_sites, site_factors
from ._models import MODELS, get_model
from ._optional import require
from ._provenance import attributes
from ._version import __version__

FORMATS = (".csv", ".npz", ".nc")
CONVENTIONS = ("module", "published")
SITE_COLUMNS = ("site", "site_id", "id")
# Numbers as C's strtod and Fortran read them: ASCII digits, no digit separators ("1_000").
NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
NOT_FINITE = re.compile(r"[+-]?(?:inf|infinity|nan)", re.IGNORECASE)
# The signals that stop the command with one line: SIGTERM, SIGHUP (terminated), SIGINT (interrupted).
SIGNALS = (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)

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
    written = text.strip(" \t")
    if not written:
        raise UsageError(f"{where}: missing value")
    if NOT_FINITE.fullmatch(written):
        raise UsageError(f"{where}: {text!r} is not a finite number")
    if not NUMBER.fullmatch(written):
        raise UsageError(f"{where}: {text!r} is not a number")
    value = float(written)
    if value in (float("inf"), float("-inf")):
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
    command = shlex.join(["vs30amp", *sys.argv[1:]])
    return attributes(f"{get_model(result.model).label} amplification factors", command, result.model, result.convention)


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
    try:
        data = dataset.to_netcdf(engine="netcdf4")
    except ValueError:
        # xarray before 2025.07 (Debian 13's, for one) writes netCDF-4 only to a file; a netCDF4
        # dataset kept in memory stands in for it.
        data = netcdf4_in_memory(dataset)
    path.write_bytes(data)


def netcdf4_in_memory(dataset: Any) -> bytes:
    """`dataset` as the bytes of a netCDF-4 file, through a netCDF4 dataset held in memory."""
    netcdf4 = require("netCDF4", "xarray", "writing .nc files")
    xr = require("xarray", "xarray", "writing .nc files")
    target = netcdf4.Dataset("vs30amp.nc", mode="w", format="NETCDF4", memory=0)
    try:
        dataset.dump_to_store(xr.backends.NetCDF4DataStore(target))
    finally:
        data = bytes(target.close())
    return data


WRITERS: dict[str, Callable[[Path, Amplification, list[str] | None], None]] = {
    ".csv": write_csv, ".npz": write_npz, ".nc": write_netcdf}


class Terminated(BaseException):
    """A SIGTERM or SIGHUP: unwinds like Ctrl-C, so that a temporary file is removed."""

    def __init__(self, signum: int) -> None:
        super().__init__(f"terminated by {signal.Signals(signum).name}")
        self.signum = signum


def _stop(signum: int) -> BaseException:
    return KeyboardInterrupt() if signum == signal.SIGINT else Terminated(signum)


def _stop_line(signum: int) -> str:
    how = "interrupted" if signum == signal.SIGINT else "terminated"
    return f"vs30amp: error: {how} by {signal.Signals(signum).name}"


class _Received:
    """The first signal of the run, whether it was raised, and how many blocks hold signals."""

    signum: int | None = None
    raised = False
    held = 0


def _on_signal(signum: int, frame: FrameType | None) -> None:
    if _Received.signum is not None:  # unwinding or reporting already: the first signal counts
        return
    _Received.signum = signum
    if not _Received.held:
        _Received.raised = True
        raise _stop(signum)


@contextmanager
def signals_held() -> Iterator[None]:
    """A signal of the command waits until the block is done, then raises: for steps that must
    not be cut in two, such as creating a temporary file and keeping its name."""
    _Received.held += 1
    try:
        yield
    finally:
        _Received.held -= 1
    if not _Received.held and _Received.signum is not None and not _Received.raised:
        _Received.raised = True
        raise _stop(_Received.signum)


@contextmanager
def terminations_unwind(exiting: bool = False) -> Iterator[None]:
    """SIGTERM and SIGHUP raise `Terminated`, SIGINT KeyboardInterrupt, for as long as the command
    runs (main thread only). `exiting`: the process ends after the command, and a signal that
    arrives meanwhile (while the interpreter exits) is reported at exit, not left to the
    default action."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    _Received.signum, _Received.raised, _Received.held = None, False, 0
    previous = {signum: signal.signal(signum, _on_signal) for signum in SIGNALS}
    try:
        yield
    finally:
        if exiting:
            signal.pthread_sigmask(signal.SIG_BLOCK, SIGNALS)  # pending until the check at exit
            _report_at_exit()
        else:
            for signum, handler in previous.items():
                signal.signal(signum, handler)


def _report_at_exit() -> None:
    if not getattr(_report_at_exit, "registered", False):
        atexit.register(_exit_on_pending_signal)
        setattr(_report_at_exit, "registered", True)


def _exit_on_pending_signal() -> None:
    """At exit: a signal that came after the run ends the process with its line and status."""
    pending = signal.sigpending()
    signum = next((s for s in SIGNALS if s in pending), None)
    if signum is None:
        return
    with _suppress_output_errors():
        sys.stdout.flush()
    os.write(2, (_stop_line(signum) + "\n").encode())
    os._exit(128 + signum)


@contextmanager
def _suppress_output_errors() -> Iterator[None]:
    try:
        yield
    except (OSError, ValueError, AttributeError):
        silence_stdout()


def silence_stdout() -> None:
    """Sends what stdout still holds, and whatever is printed later, to /dev/null: after a write
    to it failed (a closed pipe, a full disk), so that the interpreter's flush at exit does not
    fail again."""
    try:
        descriptor = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, descriptor)
    finally:
        os.close(null)


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
    temporary: Path | None = None
    try:
        try:
            mode = target.stat().st_mode & 0o7777
        except FileNotFoundError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        with signals_held():  # no signal between the file's creation and its name kept
            descriptor, name = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=target.suffix)
            temporary = Path(name)
            os.close(descriptor)
        write(temporary)
        with temporary.open("rb") as file:
            os.fsync(file.fileno())
        temporary.chmod(mode)
        os.replace(temporary, target)
    except OSError as error:
        _remove(temporary)
        raise UsageError(f"{target}: cannot be written ({error.strerror or error}); left as it was") from None
    except BaseException:
        _remove(temporary)
        raise


def _remove(temporary: Path | None) -> None:
    with signals_held():
        if temporary is not None:
            temporary.unlink(missing_ok=True)


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
    written. Without `argv` (the process's own command line) a signal that arrives after the
    run, while the interpreter exits, still ends the process with its line and status."""
    with terminations_unwind(exiting=argv is None):
        status = _run(argv)
        with _suppress_output_errors():
            sys.stdout.flush()
    if _Received.signum is not None and not _Received.raised:  # came while the end was reported
        _Received.raised = True
        print(_stop_line(_Received.signum), file=sys.stderr)
        status = 128 + _Received.signum
    return status


def _run(argv: Sequence[str] | None) -> int:
    """The command and its one line of error; signals are only recorded once it is done."""
    try:
        try:
            args = parser().parse_args(argv)
            (_amplify_command.run if args.command == "amplify" else factors)(args)
        except (UsageError, ImportError, OSError) as error:
            _Received.held += 1
            print(f"vs30amp: error: {error}", file=sys.stderr)
            return 2
        _Received.held += 1
        return 0
    except (KeyboardInterrupt, Terminated) as stop:
        _Received.held += 1
        signum = stop.signum if isinstance(stop, Terminated) else signal.SIGINT
        print(_stop_line(signum), file=sys.stderr)
        return 128 + signum


if __name__ == "__main__":
    sys.exit(main())
