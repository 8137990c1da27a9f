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


def measure_attributes(name: str, units: str, damping: float = 0.05) -> dict[str, Any]:
    """What the values of measure `name` (as `pair_measures` names them) are: their units (EAS
    in `units` s, the records' units times seconds), a long name, and for PSA and RotDnn the
    damping (fraction of critical), for RotDnn also its percentile.

    Examples
    --------
    >>> from vs30amp._station_measures import measure_attributes
    >>> measure_attributes("rotd50", "g", 0.05)["percentile"], measure_attributes("eas", "g")["units"]
    (50.0, 'g s')
    """
    if name == "eas":
        return {"units": f"{units} s", "long_name": "smoothed effective amplitude spectrum of the pair"}
    if name.startswith("rotd"):
        return {"units": units, "long_name": f"RotD{name[4:]} pseudo-spectral acceleration", "damping": damping,
                "percentile": float(name[4:])}
    return {"units": units, "long_name": f"pseudo-spectral acceleration of {name.removeprefix('psa_')}",
            "damping": damping}


def measures_dataset(measures: dict[str, Any], station: Sequence[Any] | NDArray[Any], periods: ArrayLike,
                     units: str, attrs: dict[str, str], vs30: ArrayLike | None = None, *,
                     vs30_sim: ArrayLike | None = None, damping: float = 0.05) -> Any:
    """The measures as an xarray Dataset: dimensions station, period (s) and frequency (Hz);
    each variable with the attributes of `measure_attributes` (records in `units`, PSA at
    `damping`), `attrs` its global attributes, and `vs30` and `vs30_sim` (m/s, those the records
    were amplified from) optional coordinates along station."""
    xr = require("xarray", "xarray", "a measures table in netCDF or Zarr")
    variables = {name: (("station", "frequency" if name == "eas" else "period"), values,
                        measure_attributes(name, units, damping)) for name, values in measures.items()}
    coords: dict[str, Any] = {"station": np.asarray(station),
                              "period": ("period", np.asarray(periods, dtype=np.float64), {"units": "s"}),
                              "frequency": ("frequency", eas_frequencies(), {"units": "Hz"})}
    for name, values in (("vs30", vs30), ("vs30_sim", vs30_sim)):
        if values is not None:
            coords[name] = ("station", np.asarray(values, dtype=np.float64), {"units": "m/s"})
    return xr.Dataset(variables, coords=coords, attrs=attrs)
