"""The warnings of records amplified in a way a simulation may not want: factors applied above
its maximum frequency (none given), and records that do not start and end at rest."""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _interp
from ._rock_motion import model_pga
from ._sites import PACKAGE_DIRECTORY, chosen, site_factors

FloatArray = NDArray[np.floating[Any]]

# A record whose first or last sample is above this share of its peak is not at rest.
REST_SHARE = 0.05
NOT_AT_REST = ("warn", "ignore")


class AmplificationWarning(UserWarning):
    """The warning about records amplified in a way a simulation may not want: factors applied
    above its maximum frequency (no `fmax` given), or records that do not start and end at rest."""


def highest_factor(grid: NDArray[np.float64], factors: NDArray[np.float64], nyquist: float) -> tuple[float, float]:
    """The highest of the factors (n x F on the model's `grid`) that reach a record's frequencies
    up to `nyquist` (at the grid's frequencies below it and at `nyquist` itself: interpolation
    lies between them), and its frequency; NaN for sites that all miss a value."""
    inside = grid <= nyquist
    values = np.concatenate([factors[:, inside], _interp.weights(grid, np.array([nyquist])).apply(factors)], axis=1)
    at = np.append(grid[inside], nyquist)
    values = np.where(np.isnan(values), -np.inf, values)
    if values.size == 0 or not np.isfinite(values.max()):
        return np.nan, np.nan
    column = int(np.argmax(values.max(axis=0)))
    return float(values[:, column].max()), float(at[column])


def sites_highest_factor(model: str, convention: str, vs30: ArrayLike, vs30_sim: ArrayLike, pga: ArrayLike,
                         dt: float, records_pga: bool = False, epsilon: float = 0.0,
                         y_ref: NDArray[np.float64] | None = None) -> tuple[float, float]:
    """`highest_factor` of sites (PGA in g) whose records have sample interval `dt`, their factors
    (moved by `epsilon` sigma) made a few thousand sites at a time (a store's stations may be
    millions). `records_pga`: the PGA is the records' own, carried to the model's rock as the
    amplification carries it. `y_ref`: the input per site and period of a model that takes one
    (n, F); such a model is refused without it."""
    found, kernel, convention = chosen(model, convention, epsilon, per_period=y_ref is not None)
    sites = list(np.broadcast_arrays(*(np.atleast_1d(np.asarray(value, dtype=np.float64))
                                       for value in (vs30, vs30_sim, pga))))
    if records_pga:
        sites[2] = model_pga(found, kernel, sites[1], sites[2])
    if y_ref is not None:
        kernel = found.column_kernel_for(convention)
    each = [highest_factor(found.frequencies, site_factors(kernel, *(np.ascontiguousarray(s[start:start + 4096])
                                                                     for s in sites), model=found,
                                                           y_ref=None if y_ref is None else y_ref[start:start + 4096]),
                           0.5 / dt)
            for start in range(0, sites[0].size, 4096)]
    reached = [pair for pair in each if np.isfinite(pair[0])]
    return max(reached) if reached else (np.nan, np.nan)


def unlimited_message(highest: float, at: float, nyquist: float,
                      how: str = "fmax=, --fmax) to taper them to 1 above it, or fmax=inf to apply the model at every "
                                 "frequency") -> str:
    """What the warning of records amplified without an fmax says; `how` names the ways to give one."""
    return (f"fmax not given: factors up to {highest:.4g} (at {at:.4g} Hz) applied up to the records' Nyquist "
            f"frequency {nyquist:.4g} Hz; give the simulation's maximum frequency ({how}")


def warn_unlimited(highest: float, at: float, nyquist: float) -> None:
    """The AmplificationWarning of records amplified without an fmax."""
    warnings.warn(unlimited_message(highest, at, nyquist), AmplificationWarning,
                  skip_file_prefixes=(PACKAGE_DIRECTORY,))


def rest_shares(records: FloatArray, peaks: NDArray[np.float64]) -> NDArray[np.float64]:
    """Each record's first and last sample as shares of its peak, shape (n, 2) (0 for a record of zeros)."""
    ends = np.abs(records[:, [0, -1]].astype(np.float64))
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(peaks[:, None] > 0.0, ends / peaks[:, None], 0.0)


def warn_not_at_rest(shares: NDArray[np.float64], name: Any = lambda record: f"record {record}") -> None:
    """One AmplificationWarning naming how many records do not start and end at rest, and the
    first (`name` of its index), unless all do."""
    moving = (shares > REST_SHARE).any(axis=1)
    if not moving.any():
        return
    first = int(np.argmax(moving))
    start, end = shares[first]
    which = ("the record does not start and end at rest:" if shares.shape[0] == 1 else
             f"{int(moving.sum())} of {shares.shape[0]} records do not start and end at rest; the first, "
             f"{name(first)}:")
    warnings.warn(f"{which} first sample {start:.0%}, last {end:.0%} of its peak; amplified, such ends ring: taper "
                  f"them (taper=SECONDS, --taper SECONDS)", AmplificationWarning,
                  skip_file_prefixes=(PACKAGE_DIRECTORY,))


def check_not_at_rest(not_at_rest: str) -> None:
    """ValueError unless `not_at_rest` is one of NOT_AT_REST."""
    if not_at_rest not in NOT_AT_REST:
        raise ValueError(f"not_at_rest: expected one of {', '.join(map(repr, NOT_AT_REST))}, got {not_at_rest!r}")
