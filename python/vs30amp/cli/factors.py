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

from .._factors import Amplification
from .. import _models
from .._models import CONVENTIONS, DEFAULT_MODEL, get_model
from .._optional import require
from .._provenance import attributes
from .._sites import (RANGE_POLICIES, basin_kernel_of, broadcast_rows, checked_factors, chosen, kernel_of, range_policy,
                      site_factors)
from ._atomic_writes import write_atomically
from ._errors import UsageError
from ._netcdf_output import write_netcdf_file
from ._outputs import refuse_input_as_output, refuse_special_file
from ._site_table import VALUE_COLUMNS, Sites, read_sites
from ._terminal import warnings_as_lines

FORMATS = (".csv", ".npz", ".nc")
# Every command's --model and --convention, from the models' entries (which say that BA18's
# default is not the published model), escaped for argparse.
MODEL_HELP = _models.MODEL_HELP.replace("%", "%%")
CONVENTION_HELP = _models.CONVENTION_HELP.replace("%", "%%")
EPILOG = """\
example:
  vs30amp factors sites.csv --model ba18 --vs30-sim 760 -o factors.nc

  where sites.csv reads
    site,vs30,pga
    A01,250,0.21
    A02,480.5,0.08

SITES is a CSV table with a header row: columns vs30 (m/s), pga (g, unless given with --pga;
only for a model that takes it), vs30_sim (m/s, unless given with --vs30-sim), for cy14 y_ref (g,
the PSA on 1130 m/s rock: one value per site, used at every period; optionally z1 and z1_sim, the
basin depths Z1 in m of the site and of the simulation's site: a column left out is not given) and optionally an
id (one column station, site, site_id, id or file), names in any case; any other column is
refused. Numbers are read exactly as written; rows count from 1 after the header. OUT is written
by its extension: .csv (one row per site, one column per frequency in Hz), .npz (NumPy arrays)
or .nc (netCDF, needs vs30amp[xarray]), its rows in the table's order with their ids under the
id column's name; it appears only when complete and is never the input. Errors exit with status
2, a signal with 128 + its number (130 for Ctrl-C).
"""


EPSILON_HELP = ("for a model with uncertainty: move the factors by EPSILON times its epistemic sigma (default 0, "
                "the median)")


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
    factors.add_argument("--epsilon", type=float, default=0.0, help=EPSILON_HELP)
    factors.add_argument("--ranges", choices=RANGE_POLICIES,
                         help="sites outside the model's range of applicability: warn (default), raise, ignore")
    factors.add_argument("--check-ranges", action="store_true", help="the same as --ranges raise")
    factors.add_argument("-o", "--output", required=True, metavar="OUT", help="OUT.csv, OUT.npz or OUT.nc")


def provenance(result: Amplification) -> dict[str, str]:
    """What made `result`: CF-style attributes, the model and its convention, the command run."""
    command = shlex.join(["vs30amp", *sys.argv[1:]])
    return attributes(f"{get_model(result.model).label} amplification factors", command, result.model, result.convention,
                      epsilon=result.epsilon)


def write_csv(path: Path, result: Amplification, sites: Sites) -> None:
    about = provenance(result)
    with path.open("w", newline="", encoding="utf-8") as file:
        # One comment line before the header: read the table with skiprows=1.
        file.write(f"# {about['source']}; model {about['model']}; convention {about['convention']}; "
                   f"{about['history']}; {about['comment']}\n")
        writer = csv.writer(file)
        ids = sites.ids
        y_ref = [] if result.y_ref is None else ["y_ref"]  # one value per site, read so
        writer.writerow(([sites.id_column] if ids is not None else []) + ["vs30", "vs30_sim", "pga", *y_ref]
                        + [repr(float(f)) for f in result.frequencies])
        for i in range(len(result)):
            site_y_ref = [] if result.y_ref is None else [result.y_ref[i, 0]]
            values = [result.vs30[i], result.vs30_sim[i], result.pga[i], *site_y_ref, *result.factors[i]]
            writer.writerow(([ids[i]] if ids is not None else []) + [repr(float(v)) for v in values])


def write_npz(path: Path, result: Amplification, sites: Sites) -> None:
    arrays = {"factors": result.factors, "frequencies": result.frequencies, "vs30": result.vs30,
              "vs30_sim": result.vs30_sim, "pga": result.pga}
    if result.y_ref is not None:
        arrays["y_ref"] = result.y_ref
    if result.sigma is not None:
        arrays["sigma"] = result.sigma
    arrays |= {name: np.array(value) for name, value in provenance(result).items()}
    if sites.ids is not None and sites.id_column is not None:
        arrays[sites.id_column] = np.array(sites.ids, dtype=str)
    with path.open("wb") as file:
        np.savez(file, **arrays)  # type: ignore[arg-type]


def write_netcdf(path: Path, result: Amplification, sites: Sites) -> None:
    ids = sites.ids
    factors = result.to_xarray(site=np.array(ids, dtype=object) if ids is not None else None)
    if sites.id_column is not None and sites.id_column != "site":  # the dimension named as the table's ids
        factors = factors.rename({"site": sites.id_column})
    dataset = factors.to_dataset()
    dataset.attrs.update(provenance(result))
    write_netcdf_file(path, dataset)


WRITERS: dict[str, Callable[[Path, Amplification, Sites], None]] = {
    ".csv": write_csv, ".npz": write_npz, ".nc": write_netcdf}


def run(args: argparse.Namespace) -> None:
    """Runs ``vs30amp factors``: reads and checks the table, then writes OUT atomically."""
    try:
        model, kernel, convention = chosen(args.model, args.convention, args.epsilon, per_period=True)
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
    given = model.per_period_input
    own = (() if given is None else (given.name,)) + tuple(optional.name for optional in model.optional_inputs)
    sites = read_sites(Path(args.sites), {"vs30_sim": args.vs30_sim, "pga": args.pga}, optional=unused + own)
    if given is not None and given.name not in sites.columns:
        raise UsageError(f"{args.sites}: missing column {given.name!r}: {model.name} needs {given.meaning} "
                         f"({given.units}), one value per site, used at every period")
    vs30, vs30_sim, pga = (sites.columns.get(name, np.full(len(sites.rows), np.nan)) for name in VALUE_COLUMNS)
    rows = None if given is None else broadcast_rows(model, sites.columns[given.name], vs30.size)
    depths = {optional.name: sites.columns.get(optional.name, np.full(vs30.size, np.nan))
              for optional in model.optional_inputs} if any(
        optional.name in sites.columns for optional in model.optional_inputs) else {}
    with warnings_as_lines(args.sites):
        try:
            factors = checked_factors(model, basin_kernel_of(model, kernel_of(model, kernel, convention, rows),
                                                             convention, depths), vs30, vs30_sim, pga,
                                      policy, sites.label, rows, depths)
        except ValueError as error:
            raise UsageError(f"{args.sites}: {error}") from None
    sigma_kernel = model.sigma_kernel_for(convention)
    sigma = None if sigma_kernel is None else site_factors(sigma_kernel, vs30, vs30_sim, pga, model=model)
    result = Amplification(factors, model.frequencies, model.name, vs30, vs30_sim, pga, convention,
                           y_ref=None if rows is None else np.array(rows), sigma=sigma, epsilon=args.epsilon)
    writer = WRITERS[output.suffix.lower()]
    write_atomically(output, lambda path: writer(path, result, sites))
