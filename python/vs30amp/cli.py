"""The ``vs30amp`` command: amplification factors for a table of sites."""

from __future__ import annotations

import argparse
import csv
import os
import sys
import tempfile
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import NoReturn

import numpy as np
from numpy.typing import NDArray

from . import _amplify_command
from ._factors import Amplification, amplification
from ._models import MODELS

FORMATS = (".csv", ".npz", ".nc")
SITE_COLUMNS = ("site", "site_id", "id")

EPILOG = """\
example:
  vs30amp factors sites.csv --model ba18 --vs30-sim 760 -o factors.nc

  where sites.csv reads
    site,vs30,pga
    A01,250,0.21
    A02,480.5,0.08

SITES is a CSV table with a header row: columns vs30 (m/s), pga (g), vs30_sim (m/s, unless
given with --vs30-sim) and optionally a site id (column site, site_id or id). Numbers are read
exactly as written. OUT is written by its extension: .csv (one row per site, one column per
frequency in Hz), .npz (NumPy arrays) or .nc (netCDF, needs vs30amp[xarray]); it appears only
when complete. Errors exit with status 2.
"""


class UsageError(Exception):
    """A problem with the command's input, reported in one line with exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def parser() -> argparse.ArgumentParser:
    top = _Parser(prog="vs30amp", description="Vs30 site amplification factors for simulated ground motions.",
                  epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", required=True, parser_class=_Parser)
    factors = commands.add_parser("factors", help="factors for the sites of a CSV table", epilog=EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    factors.add_argument("sites", metavar="SITES.csv", help="the sites: columns vs30, pga, vs30_sim, [site]")
    factors.add_argument("--model", default="ba18", help="ba18 (default) or cb14")
    factors.add_argument("--vs30-sim", metavar="M/S", help="one simulation Vs30 for every site")
    factors.add_argument("--check-ranges", action="store_true",
                         help="refuse sites outside the model's range of applicability")
    factors.add_argument("-o", "--output", required=True, metavar="OUT", help="OUT.csv, OUT.npz or OUT.nc")
    _amplify_command.add_parser(commands)
    return top


def number(text: str, where: str) -> float:
    """`text` as the double it denotes (correctly rounded, so written doubles read back exactly)."""
    try:
        return float(text)
    except ValueError:
        raise UsageError(f"{where}: {text!r} is not a number") from None


def read_sites(path: Path, vs30_sim: str | None) -> tuple[list[str] | None, dict[str, NDArray[np.float64]]]:
    """Site ids (or None) and the columns vs30, vs30_sim, pga of a CSV table."""
    try:
        with path.open(newline="", encoding="utf-8-sig") as file:
            rows = list(csv.reader(file))
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise UsageError(f"{path}: cannot be read ({error})") from None
    if not rows:
        raise UsageError(f"{path}: empty file, expected a header row")
    header = [name.strip().lower() for name in rows[0]]
    needed = ["vs30", "pga"] + (["vs30_sim"] if vs30_sim is None else [])
    missing = [name for name in needed if name not in header]
    if missing:
        raise UsageError(f"{path}: missing column {', '.join(repr(name) for name in missing)}")
    if vs30_sim is not None and "vs30_sim" in header:
        raise UsageError(f"{path}: has a column 'vs30_sim' and --vs30-sim was given; use one of them")
    id_column = next((header.index(name) for name in SITE_COLUMNS if name in header), None)
    body = [row for row in rows[1:] if any(cell.strip() for cell in row)]
    columns: dict[str, list[float]] = {name: [] for name in needed}
    for index, row in enumerate(body, start=1):
        if len(row) != len(header):
            raise UsageError(f"{path}: row {index} has {len(row)} cells, the header {len(header)}")
        for name in needed:
            columns[name].append(number(row[header.index(name)], f"{path}: row {index}, column {name!r}"))
    if vs30_sim is not None:
        columns["vs30_sim"] = [number(vs30_sim, "--vs30-sim")] * len(body)
    ids = [row[id_column].strip() for row in body] if id_column is not None else None
    return ids, {name: np.array(values, dtype=np.float64) for name, values in columns.items()}


def write_csv(path: Path, result: Amplification, ids: list[str] | None) -> None:
    with path.open("w", newline="", encoding="utf-8") as file:
        writer = csv.writer(file)
        writer.writerow((["site"] if ids is not None else []) + ["vs30", "vs30_sim", "pga"]
                        + [repr(float(f)) for f in result.frequencies])
        for i in range(len(result)):
            values = [result.vs30[i], result.vs30_sim[i], result.pga[i], *result.factors[i]]
            writer.writerow(([ids[i]] if ids is not None else []) + [repr(float(v)) for v in values])


def write_npz(path: Path, result: Amplification, ids: list[str] | None) -> None:
    arrays = {"factors": result.factors, "frequencies": result.frequencies, "vs30": result.vs30,
              "vs30_sim": result.vs30_sim, "pga": result.pga, "model": np.array(result.model)}
    if ids is not None:
        arrays["site"] = np.array(ids, dtype=str)
    with path.open("wb") as file:
        np.savez(file, **arrays)  # type: ignore[arg-type]


def write_netcdf(path: Path, result: Amplification, ids: list[str] | None) -> None:
    result.to_xarray(site=np.array(ids, dtype=object) if ids is not None else None).to_netcdf(path, engine="netcdf4")


WRITERS: dict[str, Callable[[Path, Amplification, list[str] | None], None]] = {
    ".csv": write_csv, ".npz": write_npz, ".nc": write_netcdf}


def write_atomically(target: Path, write: Callable[[Path], None]) -> None:
    """Writes through a temporary file beside `target`, renamed over it only when complete."""
    handle = tempfile.NamedTemporaryFile(dir=target.parent, prefix=f".{target.name}.", suffix=target.suffix,
                                         delete=False)
    temporary = Path(handle.name)
    handle.close()
    try:
        write(temporary)
        with temporary.open("rb") as file:
            os.fsync(file.fileno())
        umask = os.umask(0)
        os.umask(umask)
        temporary.chmod(0o666 & ~umask)
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def factors(args: argparse.Namespace) -> None:
    if args.model not in MODELS:
        raise UsageError(f"unknown model {args.model!r}; choose one of {', '.join(MODELS)}")
    output = Path(args.output)
    if output.suffix.lower() not in FORMATS:
        raise UsageError(f"{output}: unknown output format {output.suffix!r}; use {', '.join(FORMATS)}")
    if not output.parent.is_dir():
        raise UsageError(f"{output}: directory {output.parent} does not exist")
    ids, columns = read_sites(Path(args.sites), args.vs30_sim)
    try:
        result = amplification(columns["vs30"], columns["vs30_sim"], columns["pga"], args.model,
                               check_ranges=args.check_ranges)
    except ValueError as error:
        raise UsageError(f"{args.sites}: {error}") from None
    writer = WRITERS[output.suffix.lower()]
    write_atomically(output, lambda path: writer(path, result, ids))


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status (0, or 2 after a one-line error on stderr)."""
    try:
        args = parser().parse_args(argv)
        (_amplify_command.run if args.command == "amplify" else factors)(args)
    except (UsageError, ImportError, OSError) as error:
        print(f"vs30amp: error: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
