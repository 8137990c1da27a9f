"""Interpolation of factors onto other frequencies.

ln(factor) is linear in ln(frequency) between neighbouring model frequencies and held at the
first and last factor beyond the model's grid; a frequency of 0 takes the first factor. A
requested frequency equal to a model frequency gets that factor exactly, without a round trip
through log and exp.
"""

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray


def as_frequencies(frequencies: object, name: str = "frequencies") -> NDArray[np.float64]:
    """Requested frequencies as a 1-D float64 array, checked to be finite and non-negative."""
    values = np.asarray(frequencies)
    if values.dtype.kind not in "iuf":
        raise TypeError(f"{name}: expected real numbers (Hz), got dtype {values.dtype}")
    values = np.atleast_1d(values.astype(np.float64, copy=False))
    if values.ndim != 1:
        raise ValueError(f"{name}: expected a one-dimensional array, got shape {values.shape}")
    bad = ~(np.isfinite(values) & (values >= 0.0))
    if bad.any():
        index = int(np.argmax(bad))
        raise ValueError(f"{name}: frequency {float(values[index])!r} at index {index} is not finite and non-negative")
    return values


@dataclass(frozen=True)
class Weights:
    """Where each requested frequency falls in a grid: between columns lo and lo + 1, at w; the
    requested columns `exact` take grid column `source` as it stands."""

    lo: NDArray[np.intp]
    w: NDArray[np.float64]
    exact: NDArray[np.intp]
    source: NDArray[np.intp]

    def apply(self, factors: NDArray[np.floating], out_dtype: type[np.floating] = np.float64) -> NDArray[np.floating]:
        """The factors (n x F) interpolated onto the requested frequencies (n x K)."""
        dtype = np.dtype(out_dtype)
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            logs = np.log(factors.astype(dtype, copy=False))
            slopes = np.diff(logs, axis=1)
            # Between two equal infinite logs (factors both 0 or both inf) the line is flat; any
            # other NaN slope comes from a NaN factor and must reach the result.
            slopes[logs[:, 1:] == logs[:, :-1]] = 0.0
            result: NDArray[np.floating] = np.take(slopes, self.lo, axis=1)
            result *= self.w.astype(dtype, copy=False)
            result += np.take(logs, self.lo, axis=1)
            np.exp(result, out=result)
        result[:, self.exact] = factors[:, self.source]
        return result


def weights(grid: NDArray[np.float64], frequencies: NDArray[np.float64]) -> Weights:
    """Interpolation weights of `frequencies` (checked, ascending or not) in `grid` (ascending)."""
    last = grid.size - 2
    lo = np.clip(np.searchsorted(grid, frequencies, side="right") - 1, 0, last)
    with np.errstate(divide="ignore", invalid="ignore"):
        w = (np.log(frequencies) - np.log(grid[lo])) / (np.log(grid[lo + 1]) - np.log(grid[lo]))
    w = np.clip(np.nan_to_num(w, nan=0.0, neginf=0.0), 0.0, 1.0)
    # Index arrays worked out once: the same weights serve every chunk of sites.
    exact = np.flatnonzero((w == 0.0) | (w == 1.0))
    return Weights(lo=lo, w=w, exact=exact, source=lo[exact] + (w[exact] == 1.0))


ABOVE_FMAX = ("taper", "hold")


def fmax_limit(fmax: object) -> float | None:
    """`fmax` as a float (inf: no limit), or None when not given. It must be one positive
    frequency; ValueError or TypeError naming fmax otherwise."""
    if fmax is None:
        return None
    value = np.asarray(fmax)
    if value.ndim != 0 or value.dtype.kind not in "iuf":
        raise TypeError(f"fmax: expected one frequency (Hz) or None, got {fmax!r}")
    limit = float(value)
    if not limit > 0.0:
        raise ValueError(f"fmax: expected a positive frequency (Hz), or inf for no limit, got {fmax!r}")
    return limit


def above_fmax_rule(above_fmax: object) -> str:
    """`above_fmax` checked to be one of ABOVE_FMAX."""
    if above_fmax not in ABOVE_FMAX:
        raise ValueError(f"above_fmax: expected one of {', '.join(map(repr, ABOVE_FMAX))}, got {above_fmax!r}")
    return str(above_fmax)


def held_above(frequencies: NDArray[np.float64], fmax: object) -> NDArray[np.float64]:
    """`frequencies` with those above `fmax` brought down to it, so that their factors are held at
    the factor at `fmax` (None or inf: unchanged). `fmax` as `fmax_limit` takes it."""
    limit = fmax_limit(fmax)
    if limit is None or limit == np.inf:
        return frequencies
    return np.minimum(frequencies, limit)


def taper_above(factors: NDArray[np.floating], frequencies: NDArray[np.float64],
                fmax: float | None) -> NDArray[np.floating]:
    """Factors (n x K) held above `fmax` (by `held_above`) brought to 1 in place: a factor A at
    frequency f becomes A^w(f), w = (1 + cos(pi (f - fmax) / fmax)) / 2 from fmax to 2 fmax and 0
    beyond, so that ln(A) falls to 0 along a half cosine over the octave above fmax. Below fmax
    the factors are as they were, bit for bit."""
    if fmax is None or fmax == np.inf:
        return factors
    above = frequencies > fmax
    if above.any():
        over = frequencies[above]
        exponent = np.where(over < 2.0 * fmax, 0.5 * (1.0 + np.cos(np.pi * (over - fmax) / fmax)), 0.0)
        factors[:, above] **= exponent.astype(factors.dtype)
    return factors
