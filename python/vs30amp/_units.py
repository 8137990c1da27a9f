"""Units of acceleration: standard gravity, the one table of units and a record's peak in g."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike

# Standard gravity (m/s2): the "g" of strong-motion files.
STANDARD_GRAVITY = 9.80665

# Each unit of acceleration records come in, in m/s2.
UNITS_IN_MS2: dict[str, float] = {"g": STANDARD_GRAVITY, "m/s2": 1.0, "cm/s2": 0.01, "nm/s2": 1e-9}

# Accelerations in these units times the factor are in g.
UNITS_IN_G: dict[str, float] = {units: size / STANDARD_GRAVITY for units, size in UNITS_IN_MS2.items()}

# One g in each unit: accelerations divided by it are in g, as the models see them.
G_IN_UNITS: dict[str, float] = {units: STANDARD_GRAVITY / size for units, size in UNITS_IN_MS2.items()}

# The units records are amplified in; nm/s2 (SAC's IACC) is declared as one of these.
AMPLIFIED_UNITS = ("g", "m/s2", "cm/s2")


def check_units(units: str) -> float:
    """One g in `units`, units records are amplified in; ValueError naming the choices otherwise."""
    if units not in AMPLIFIED_UNITS:
        raise ValueError(f"units: unknown units {units!r}; choose one of {', '.join(map(repr, AMPLIFIED_UNITS))}")
    return G_IN_UNITS[units]


def peak_in_g(acc: ArrayLike, units: str) -> float:
    """The record's peak absolute acceleration in g, as the models see it; KeyError for units
    not in the table."""
    peak: Any = np.max(np.abs(acc), initial=0.0)
    return float(peak) / G_IN_UNITS[units]
