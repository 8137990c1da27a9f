"""A simulation's ground motion carried to a model's reference rock: the one place every path
that takes a model's rock motion from records (functions, stores, the command,
`vs30amp.distributed`) turns the motion at the simulation's site into the input a model
declares with `Input.rock` — a PGA (BSSA14's PGAr on 760 m/s, NGA-East's on 3000 m/s) at the
model's PGA column, or a PSA per period (CY14's y_ref on 1130 m/s) at every column.

A record's motion is the motion at the simulation's Vs30 (Vs30_sim). The motion on rock y is
the one the model's own factor carries to it:

    motion_sim = y * factor(vs30=Vs30_sim, vs30_sim=rock, input=y)

For soft sites at high motion the right side need not grow with y, so it is solved by bisection
on ln y, which always ends: the bracket [LOWEST, PGA_LIMIT] g, STEPS halvings of every site (and
period) at once, each a call of the model's own kernel (so the answer is the model's, not an
approximation of it). The midpoint of the last bracket is within BRACKET_LN / 2^(STEPS + 1)
(1e-15) of a root in ln y; where the map is not monotone, that root is one of those it has.
Below LOWEST the model is linear, and y is the motion over the factor at LOWEST. A motion that
no rock motion up to PGA_LIMIT reaches is refused (ValueError naming the site and the period):
no rock motion the model accepts explains it. A simulation already on the rock (Vs30_sim ==
rock) keeps its motion exactly, and so do a motion of 0, a missing value (of the motion or of
Vs30_sim) and a motion above PGA_LIMIT (which the range policy names as a likely mistake of
units).
"""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

from ._models import PGA_LIMIT, Kernel, Model

# The bracket of the bisection (g) and its number of halvings.
LOWEST = 1e-12
STEPS = 54
# Sites solved together: the kernel's n x F rows of a block stay a few MiB.
BLOCK = 4096
BRACKET_LN = math.log(PGA_LIMIT / LOWEST)

Label = Callable[[int], str]
# The factor from the rock to the block's Vs30_sim at motions on rock of the block's shape.
Factor = Callable[[NDArray[np.float64]], NDArray[np.float64]]


def rock(model: Model) -> float | None:
    """The Vs30 (m/s) of the rock `model`'s PGA input is taken on, or None for a model that takes
    the PGA at the simulation's site (or no PGA)."""
    return model.input("pga").rock if model.needs("pga") else None


def carried_rock(model: Model) -> float | None:
    """The Vs30 (m/s) of the rock that records' own motion is carried to for `model`: its input
    per period's (cy14's y_ref, always from the records), else its PGA's; None for neither."""
    given = model.per_period_input
    return given.rock if given is not None else rock(model)


def pga_column(model: Model) -> int:
    """The column of `model`'s grid that its PGA is: the highest frequency."""
    return int(np.argmax(model.frequencies))


def model_pga(model: Model, kernel: Kernel, vs30_sim: NDArray[np.float64], pga: NDArray[np.float64],
              label: Label = "site {}".format) -> NDArray[np.float64]:
    """The PGA input of `model` (through `kernel`, its convention's) for records whose own PGA (g)
    is `pga` at the simulation's site: `pga` itself where the model takes that, else the rock PGA
    (module docstring). A new array of the sites' shape; `pga` is not modified."""
    reference = rock(model)
    sim, peak = np.broadcast_arrays(np.asarray(vs30_sim, np.float64), np.asarray(pga, np.float64))
    if reference is None:
        return np.array(peak, dtype=np.float64)
    column = pga_column(model)

    def factor(block: slice) -> Factor:
        sites, on_rock = sim[block], np.full(sim[block].shape, reference)
        return lambda y: kernel(sites, on_rock, y)[:, column]

    return _carried(model, "pga", reference, factor, sim, peak, label)


def rock_rows(model: Model, convention: str, motion: NDArray[np.float64], vs30_sim: NDArray[np.float64],
              label: Label = "site {}".format, z1_sim: NDArray[np.float64] | None = None) -> NDArray[np.float64]:
    """The model's input per site and period (cy14's y_ref, on ``Input.rock`` m/s) whose factor
    from the rock to `vs30_sim` (n,) gives `motion` (n, F: the simulation's motion at the model's
    periods, e.g. its PSA in g), as the module docstring says; a new (n, F) array. With `z1_sim`
    (n,; cy14's basin depth of the simulation's site, NaN not given) the factor has its basin term."""
    given = model.per_period_input
    assert given is not None and given.rock is not None
    kernel = model.column_kernel_for(convention)
    basin = None if z1_sim is None else model.basin_kernel_for(convention)
    reference = given.rock
    sim = np.asarray(vs30_sim, np.float64)
    depth = None if z1_sim is None else np.broadcast_to(np.asarray(z1_sim, np.float64), sim.shape)

    def factor(block: slice) -> Factor:
        sites, on_rock = sim[block], np.full(sim[block].shape, reference)
        if basin is not None and depth is not None:  # the rock at its own reference depth: dZ1 = 0
            at_sim, at_rock = depth[block], np.full(sites.shape, np.nan)
            return lambda y: basin(sites, on_rock, y, at_sim, at_rock)
        return lambda y: kernel(sites, on_rock, y)

    rows = _carried(model, given.name, reference, factor, np.broadcast_to(sim[:, None], motion.shape),
                    np.asarray(motion, np.float64), label)
    if basin is not None and depth is not None and (sim == reference).any():
        # On the rock's own Vs30 only the basin term is left, whatever y_ref: the motion over its exp.
        at = sim == reference
        rows[at] = np.asarray(motion, np.float64)[at] / basin(sim[at], sim[at], rows[at], depth[at],
                                                              np.full(int(at.sum()), np.nan))
    return rows


def _carried(model: Model, name: str, reference: float, factor: Callable[[slice], Factor],
             sim: NDArray[np.float64], motion: NDArray[np.float64], label: Label) -> NDArray[np.float64]:
    """The motion on rock of each site (rows of `sim` and `motion`, of one shape), a block of
    sites at a time; what the bisection does not solve is passed on as it is."""
    out = np.array(motion, dtype=np.float64)
    solved = np.isfinite(sim) & (sim > 0.0) & (sim != reference) & (motion > 0.0) & (motion <= PGA_LIMIT)
    for start in range(0, motion.shape[0], BLOCK):
        block = slice(start, start + BLOCK)
        if not solved[block].any():
            continue
        target = np.where(solved[block], motion[block], 1.0)  # any motion the bisection can run on
        found, unreached = _bisected(factor(block), target)
        unreached &= solved[block]
        if unreached.any():
            site, *column = (int(index) for index in np.argwhere(unreached)[0])
            at = pga_column(model) if not column else column[0]
            raise ValueError(f"{name}: no {name} on {reference:g} m/s rock up to {PGA_LIMIT:g} g gives "
                             f"{label(start + site)}'s motion {float(motion[(start + site, *column)])!r} g at "
                             f"{1.0 / model.frequencies[at]:g} s through {model.name}'s factor from the rock to "
                             f"Vs30_sim {float(sim[(start + site, *column)])!r} m/s")
        out[block] = np.where(solved[block], found, out[block])
    return out


def _bisected(factor: Factor, motion: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.bool_]]:
    """The motion on rock y of each element by bisection on ln y (module docstring), and where no
    y in the bracket reaches the motion."""
    target = np.log(motion)

    def excess(ln_rock: NDArray[np.float64]) -> NDArray[np.float64]:
        """ln motion_sim - ln motion at the motions on rock exp(ln_rock): where the root is."""
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            return ln_rock + np.log(factor(np.exp(ln_rock))) - target

    low = np.full(motion.shape, math.log(LOWEST))
    high = np.full(motion.shape, math.log(PGA_LIMIT))
    below, above = excess(low) >= 0.0, excess(high) < 0.0
    for _ in range(STEPS):
        middle = 0.5 * (low + high)
        past = excess(middle) >= 0.0
        high = np.where(past, middle, high)
        low = np.where(past, low, middle)
    result: NDArray[np.float64] = np.exp(0.5 * (low + high))
    if below.any():  # linear below LOWEST: the motion over the factor there
        result = np.where(below, motion / factor(np.full(motion.shape, LOWEST)), result)
    return result, above & ~below
