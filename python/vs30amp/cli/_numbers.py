"""Numbers of the command's options and tables, read as written: the finite double the text
denotes, correctly rounded."""

from __future__ import annotations

import re

from ._errors import UsageError

# Numbers as C's strtod and Fortran read them: ASCII digits, no digit separators ("1_000").
NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
NOT_FINITE = re.compile(r"[+-]?(?:inf|infinity|nan)", re.IGNORECASE)


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


def positive(text: str, option: str, unit: str) -> float:
    """An option's finite, positive value; UsageError naming the option otherwise."""
    value = number(text, option)
    if value <= 0.0:
        raise UsageError(f"{option}: {text} {unit}; it must be positive")
    return value


def non_negative(text: str, option: str, unit: str) -> float:
    """An option's finite value of at least 0; UsageError naming the option otherwise."""
    value = number(text, option)
    if value < 0.0:
        raise UsageError(f"{option}: {text} {unit}; it must be 0 or more")
    return value


def fmax_option(text: str) -> float:
    """--fmax: a positive frequency (Hz), or inf for the model's factors at every frequency."""
    return float("inf") if text.strip().lower() == "inf" else positive(text, "--fmax", "Hz")
