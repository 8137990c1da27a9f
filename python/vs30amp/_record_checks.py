"""The checks of records' values shared by the measures and the amplification: records, sample
interval, positive values."""

from __future__ import annotations

from typing import Any, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

Records = NDArray[np.floating[Any]]
Shaped = TypeVar("Shaped", bound=Any)


def as_records(name: str, values: ArrayLike, *, minimum: int = 2) -> tuple[Records, bool]:
    """Records as a C-contiguous (n, m) float32 or float64 array (other real input read as
    float64), and whether one record (m,) was given. ValueError or TypeError naming `name` and
    the first offending value otherwise."""
    records = check_shape(name, np.asarray(values), minimum)
    one = records.ndim == 1
    dtype = np.float32 if records.dtype == np.float32 else np.float64
    records = np.require(records.reshape(1, -1) if one else records, dtype, ["C", "A"])
    refuse_non_finite(name, records)
    return records, one


def check_shape(name: str, records: Shaped, minimum: int) -> Shaped:
    """`records` (a NumPy or Dask array) when they are real records (m,) or (n, m) of at least
    `minimum` samples; TypeError or ValueError naming `name` otherwise."""
    if records.dtype.kind not in "iuf":
        raise TypeError(f"{name}: expected real acceleration values, got values of dtype {records.dtype}")
    if records.ndim not in (1, 2) or records.shape[-1] < minimum:
        raise ValueError(f"{name}: expected records of shape (n_records, n_samples) or (n_samples,) with at least "
                         f"{minimum} sample{'s' if minimum != 1 else ''}, got shape {records.shape}")
    return records


def refuse_non_finite(name: str, records: NDArray[Any], first: int = 0) -> None:
    """ValueError naming the first value of (n, m) records that is not finite, by its record's
    place among all (the first of these records is record `first`)."""
    finite = np.isfinite(records)
    if not finite.all():
        row, column = np.argwhere(~finite)[0]
        raise ValueError(f"{name}: expected finite values, got {records[row, column]} in record {first + row} "
                         f"at sample {column}")


def as_pairs(h1: ArrayLike, h2: ArrayLike) -> tuple[Records, Records, bool]:
    """Two horizontal components as `as_records` gives them, of one shape (one dtype: float64
    unless both are float32), and whether one pair was given."""
    first, one = as_records("h1", h1)
    second, _ = as_records("h2", h2)
    if second.shape != first.shape:
        raise ValueError(f"h2: shape {np.shape(h2)} differs from h1's {np.shape(h1)}")
    if second.dtype != first.dtype:
        first, second = first.astype(np.float64), second.astype(np.float64)
    return first, second, one


def real_scalar(value: object) -> float:
    """The value as a float when it is one real number (not a boolean), NaN otherwise."""
    array = np.asarray(value)
    return float(array) if array.ndim == 0 and array.dtype.kind in "iuf" else np.nan


def as_dt(dt: object) -> float:
    """One finite, positive sample interval (s); ValueError naming dt otherwise."""
    step = real_scalar(dt)
    if not (np.isfinite(step) and step > 0.0):
        raise ValueError(f"dt: expected one finite, positive sample interval (s), got {dt!r}")
    return step


def as_positive(name: str, values: ArrayLike, unit: str) -> NDArray[np.float64]:
    """A one-dimensional, non-empty float64 array of finite, positive values; ValueError naming
    `name` and the first offending value otherwise."""
    array = np.asarray(values)
    if array.dtype.kind not in "iuf" or array.ndim > 1 or array.size == 0:
        raise ValueError(f"{name}: expected one or more real {unit}, got {values!r}")
    array = np.require(np.atleast_1d(array), np.float64, ["C", "A"])
    bad = ~(np.isfinite(array) & (array > 0.0))
    if bad.any():
        index = int(np.argmax(bad))
        raise ValueError(f"{name}: expected finite, positive {unit}, got {array[index]} at index {index}")
    return array
