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


def held_above(frequencies: NDArray[np.float64], fmax: object) -> NDArray[np.float64]:
    """`frequencies` with those above `fmax` brought down to it, so that their factors are held at
    the factor at `fmax` (None: unchanged). `fmax` must be one finite, positive frequency."""
    if fmax is None:
        return frequencies
    value = np.asarray(fmax)
    if value.ndim != 0 or value.dtype.kind not in "iuf":
        raise TypeError(f"fmax: expected one frequency (Hz) or None, got {fmax!r}")
    limit = float(value)
    if not (np.isfinite(limit) and limit > 0.0):
        raise ValueError(f"fmax: expected a finite, positive frequency (Hz), got {fmax!r}")
    return np.minimum(frequencies, limit)
