"""A simulation's ground motion carried to a model's reference rock by inverting the model's own
factor: for a model whose nonlinear input is the motion on rock (cy14's y_ref, the PSA on 1130 m/s
rock), what records give is the motion at the simulation's Vs30."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from ._models import Model

# Bisection steps in ln y: the bracket starts at most a few units wide, so 64 halvings reach the
# spacing of doubles.
STEPS = 64
# Widenings of the bracket's upper end (doubling from 1 in ln y) before a motion is declared out of
# the factor's reach.
WIDENINGS = 12


def rock_rows(found: Model, convention: str, motion: NDArray[np.float64],
              vs30_sim: NDArray[np.float64]) -> NDArray[np.float64]:
    """y (n, F) on the model's rock (``Input.rock`` m/s) whose factor from the rock to `vs30_sim`
    gives `motion` (n, F, the simulation's motion at the model's periods, e.g. its PSA in g):
    the root in u = ln y of u + ln factor(vs30_sim <- rock, e^u) = ln motion, by bisection.

    The bracket's lower end is the root without the nonlinear term (u = ln motion - ln factor at
    y = 0), where the term, never positive, leaves the left side at most ln motion; its upper
    end is widened until the left side reaches ln motion. The left side grows with u at the rate
    1 + f2 y / (y + phi4) (CY14's symbols), positive for every y where f2 > -1: the root is then
    the only one, as it is for CY14 from about 160 m/s on (f2 is -0.89 at most at 180 m/s). A
    motion of 0 is 0 on rock, NaN stays NaN. ValueError naming the site and period of a motion the
    factor cannot reach (a nonlinear term that saturates, f2 <= -1, below the model's range).
    """
    given = found.per_period_input
    assert given is not None and given.rock is not None
    kernel = found.column_kernel_for(convention)
    n = motion.shape[0]
    rock = np.full(n, given.rock)

    def ln_factor(u: NDArray[np.float64]) -> NDArray[np.float64]:
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            return np.log(kernel(vs30_sim, rock, np.exp(u)))

    with np.errstate(divide="ignore", invalid="ignore"):
        target = np.log(motion)
    solvable = np.isfinite(target) & np.isfinite(vs30_sim)[:, None]
    low = np.where(solvable, target - ln_factor(np.full(motion.shape, -np.inf)), 0.0)
    high = low.copy()
    width = np.ones(motion.shape)
    for _ in range(WIDENINGS):
        short = solvable & (high + ln_factor(high) < target)
        if not short.any():
            break
        high = np.where(short, high + width, high)
        width = np.where(short, 2.0 * width, width)
    unreached = solvable & (high + ln_factor(high) < target)
    if unreached.any():
        site, column = (int(index) for index in np.argwhere(unreached)[0])
        raise ValueError(f"{given.name}: no {given.name} on {given.rock:g} m/s rock gives site {site}'s motion "
                         f"{float(motion[site, column])!r} {given.units} at {1.0 / found.frequencies[column]:g} s "
                         f"through {found.name}'s factor at Vs30_sim {float(vs30_sim[site])!r} m/s")
    for _ in range(STEPS):
        middle = 0.5 * (low + high)
        below = middle + ln_factor(middle) < target
        low, high = np.where(below, middle, low), np.where(below, high, middle)
    with np.errstate(over="ignore"):
        return np.where(solvable, np.exp(0.5 * (low + high)), np.where(motion == 0.0, 0.0, np.nan))
