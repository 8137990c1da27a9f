"""A record's PGA carried to a model's reference rock: the one place every path that takes the PGA
from records (functions, stores, the command, `vs30amp.distributed`) turns it into the input a
model declares with `Input.rock`.

A record's PGA is the motion at the simulation's site (Vs30_sim). A model whose PGA input is
taken on reference rock (BSSA14's PGAr on 760 m/s) is given the rock PGA that its own factor
carries to the record's PGA:

    PGA_sim = PGAr * factor(vs30=Vs30_sim, vs30_sim=rock, pga=PGAr)

at the model's PGA column (its highest frequency: PGA's own column where the grid has one, else
its shortest period, whose PSA the model's PGA is). For soft sites at high PGA the right side
need not grow with PGAr, so it is solved by bisection on ln PGAr, which always ends: the bracket
[LOWEST, PGA_LIMIT] g, STEPS halvings of every site at once, each a call of the model's own
kernel (so the answer is the model's, not an approximation of it). The midpoint of the last
bracket is within BRACKET_LN / 2^(STEPS + 1) (1e-15) of a root in ln PGAr; where the map is not
monotone, that root is one of those it has. Below LOWEST the model is linear, and PGAr is the
record's PGA over the factor at LOWEST; a record's PGA the model reaches from no rock PGA up to
PGA_LIMIT gives PGA_LIMIT. A simulation already on the rock (Vs30_sim == rock) keeps the record's
PGA exactly, and so do a PGA of 0, a missing value and a PGA above PGA_LIMIT (which the range
policy names as a likely mistake of units).
"""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import NDArray

from ._models import PGA_LIMIT, Kernel, Model

# The bracket of the bisection (g) and its number of halvings.
LOWEST = 1e-12
STEPS = 54
# Sites solved together: the kernel's n x F rows of a block stay a few MiB.
BLOCK = 4096
BRACKET_LN = math.log(PGA_LIMIT / LOWEST)


def rock(model: Model) -> float | None:
    """The Vs30 (m/s) of the rock `model`'s PGA input is taken on, or None for a model that takes
    the PGA at the simulation's site (or no PGA)."""
    return model.input("pga").rock if model.needs("pga") else None


def pga_column(model: Model) -> int:
    """The column of `model`'s grid that its PGA is: the highest frequency."""
    return int(np.argmax(model.frequencies))


def model_pga(model: Model, kernel: Kernel, vs30_sim: NDArray[np.float64],
              pga: NDArray[np.float64]) -> NDArray[np.float64]:
    """The PGA input of `model` (through `kernel`, its convention's) for records whose own PGA (g)
    is `pga` at the simulation's site: `pga` itself where the model takes that, else the rock PGA
    (module docstring). A new array of the sites' shape; `pga` is not modified."""
    reference = rock(model)
    sim, peak = np.broadcast_arrays(np.asarray(vs30_sim, np.float64), np.asarray(pga, np.float64))
    out = np.array(peak, dtype=np.float64)
    if reference is None:
        return out
    solved = np.isfinite(sim) & (sim > 0.0) & (sim != reference) & (peak > 0.0) & (peak <= PGA_LIMIT)
    where = np.flatnonzero(solved)
    for start in range(0, where.size, BLOCK):
        block = where[start:start + BLOCK]
        out[block] = _rock_pga(kernel, pga_column(model), sim[block], peak[block], reference)
    return out


def _rock_pga(kernel: Kernel, column: int, vs30_sim: NDArray[np.float64], pga: NDArray[np.float64],
              reference: float) -> NDArray[np.float64]:
    """PGAr of each site by bisection on ln PGAr (module docstring)."""
    on_rock = np.full(vs30_sim.shape, reference)
    target = np.log(pga)

    def excess(ln_rock: NDArray[np.float64]) -> NDArray[np.float64]:
        """ln PGA_sim - ln(record's PGA) at the rock PGAs exp(ln_rock): where the root is."""
        rock_pga = np.exp(ln_rock)
        with np.errstate(divide="ignore", invalid="ignore"):
            return ln_rock + np.log(kernel(vs30_sim, on_rock, rock_pga)[:, column]) - target

    low = np.full(vs30_sim.shape, math.log(LOWEST))
    high = np.full(vs30_sim.shape, math.log(PGA_LIMIT))
    below, above = excess(low) >= 0.0, excess(high) < 0.0
    for _ in range(STEPS):
        middle = 0.5 * (low + high)
        past = excess(middle) >= 0.0
        high = np.where(past, middle, high)
        low = np.where(past, low, middle)
    result: NDArray[np.float64] = np.exp(0.5 * (low + high))
    if below.any():  # linear below LOWEST: the record's PGA over the factor there
        linear = kernel(vs30_sim[below], on_rock[below], np.full(int(below.sum()), LOWEST))[:, column]
        result[below] = pga[below] / linear
    result[above] = PGA_LIMIT
    return result
