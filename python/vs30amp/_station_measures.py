"""The measures of a study, per station: PSA (each component, or RotD50 of the pair) at periods
and EAS of the pair on BA18's frequencies, from pairs of records in memory or from a store."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._fourier import eas
from ._models import MODELS
from ._optional import require
from ._response import response_spectrum, rotd


def default_periods() -> NDArray[np.float64]:
    """CB14's periods (s), in its frequencies' order."""
    return 1.0 / MODELS["cb14"].frequencies


def eas_frequencies() -> NDArray[np.float64]:
    """BA18's frequencies (Hz): the grid EAS is given on."""
    return MODELS["ba18"].frequencies


def pair_measures(h1: ArrayLike, h2: ArrayLike, dt: float, periods: ArrayLike, damping: float = 0.05, *,
                  rotd50: bool = False, samples_only: bool = False) -> dict[str, NDArray[np.float64]]:
    """The measures of pairs of horizontal records, shape (m,) or (n, m), in memory: ``psa_h1``
    and ``psa_h2`` (or ``rotd50``) and ``eas``, each the package's function's own result."""
    if rotd50:
        out = {"rotd50": rotd(h1, h2, dt, periods, 50.0, damping, samples_only=samples_only)}
    else:
        out = {name: response_spectrum(acc, dt, periods, damping, samples_only=samples_only)
               for name, acc in (("psa_h1", h1), ("psa_h2", h2))}
    return out | {"eas": eas(h1, h2, dt, eas_frequencies())}


def store_measures(h1: Any, h2: Any, dt: float, periods: ArrayLike, damping: float = 0.05, *,
                   rotd50: bool = False, samples_only: bool = False) -> dict[str, Any]:
    """The measures of pairs of records chunked by station, lazily: one call per chunk, so bit
    for bit the in-memory functions' values.

    Parameters
    ----------
    h1, h2 : dask array or array_like, shape (n, m)
        The two horizontal components of each station.
    dt, periods, damping, samples_only
        As for `vs30amp.response_spectrum`.
    rotd50 : bool
        RotD50 of the pair (``rotd50``) instead of PSA per component (``psa_h1``, ``psa_h2``).

    Returns
    -------
    dict of str to dask.array.Array
        The PSA (n, P) and ``eas`` (n, F), the smoothed EAS of the pair on BA18's frequencies.
    """
    from . import _distributed_measures as vd

    if rotd50:
        out = {"rotd50": vd.rotd(h1, h2, dt, periods, 50.0, damping, samples_only=samples_only)}
    else:
        out = {name: vd.response_spectrum(acc, dt, periods, damping, samples_only=samples_only)
               for name, acc in (("psa_h1", h1), ("psa_h2", h2))}
    return out | {"eas": vd.eas(h1, h2, dt, eas_frequencies())}


def measures_dataset(measures: dict[str, Any], station: Sequence[Any] | NDArray[Any], periods: ArrayLike,
                     units: str, attrs: dict[str, str], vs30: ArrayLike | None = None) -> Any:
    """The measures as an xarray Dataset: dimensions station, period (s) and frequency (Hz);
    each variable in `units` (EAS in `units` s), `attrs` its global attributes and `vs30` (m/s)
    an optional coordinate along station."""
    xr = require("xarray", "xarray", "a measures table in netCDF or Zarr")
    variables = {name: (("station", "frequency" if name == "eas" else "period"), values,
                        {"units": f"{units} s" if name == "eas" else units}) for name, values in measures.items()}
    coords: dict[str, Any] = {"station": np.asarray(station),
                              "period": ("period", np.asarray(periods, dtype=np.float64), {"units": "s"}),
                              "frequency": ("frequency", eas_frequencies(), {"units": "Hz"})}
    if vs30 is not None:
        coords["vs30"] = ("station", np.asarray(vs30, dtype=np.float64), {"units": "m/s"})
    return xr.Dataset(variables, coords=coords, attrs=attrs)
