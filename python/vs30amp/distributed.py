"""Factors, amplified records and measures over Dask arrays, for any Dask scheduler.

`amplification` and `amplify_waveforms` take sites (and records) chunked by site; `fas`, `eas`,
`response_spectrum` and `rotd` take records chunked by station. Each chunk is one call of the
in-process function on that chunk, so a chunk's rows are those of one direct call, bit for
bit. The functions build lazy Dask arrays; compute them
with a ``dask.distributed`` Client to spread the chunks over the processes and machines of a
cluster (the workers need vs30amp installed)::

    from dask.distributed import Client
    import dask.array as da
    import vs30amp.distributed as vd

    client = Client("tcp://scheduler:8786")                       # a running cluster's scheduler
    vs30 = da.from_array(site_vs30, chunks=100_000)
    factors = vd.amplification(vs30, 760.0, pga, model="ba18")   # lazy (n, F)
    values = factors.compute()                                   # or factors.store(...)

Needs the "distributed" extra (dask and distributed).
"""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _amplification_warnings, _interp, _sites, _waveforms
from ._distributed_measures import eas as eas, fas as fas, response_spectrum as response_spectrum, rotd as rotd
from ._station_measures import measures_dataset as measures_dataset, store_measures as store_measures
from ._optional import require
from ._record_checks import as_dt
from ._units import check_units

__all__ = ["amplification", "amplify_waveforms", "eas", "fas", "measures_dataset", "response_spectrum", "rotd",
           "store_measures"]


def _dask_array() -> Any:
    return require("dask.array", "distributed", "vs30amp.distributed")


def _dask_sites(da: Any, chunks: Any, **inputs: Any) -> list[Any]:
    """The inputs as 1-D Dask arrays of one length, on common chunks of sites."""
    arrays = {}
    for name, value in inputs.items():
        array = value if isinstance(value, da.Array) else da.asarray(_sites.as_real(name, value))
        if array.dtype.kind not in "iuf":
            raise TypeError(f"{name}: expected real numbers, got values of dtype {array.dtype}")
        arrays[name] = array.astype(np.float64)
    shape = _sites.sites_shape(arrays)
    if chunks is None:
        chunks = next((a.chunks for a in arrays.values() if a.shape == shape and a.numblocks[0] > 1), "auto")
    return [da.broadcast_to(array, shape).rechunk(chunks) for array in arrays.values()]


def _checked_now(da: Any, model: str, policy: str, n: int | None = None, **inputs: Any) -> bool:
    """Checks the sites now, at the call, when none of them is a Dask array: one warning (at the
    caller's line) or refusal for the call, rather than one per chunk wherever it runs. Whether
    it did; `n` is the number of sites the inputs broadcast to when they do not say it."""
    if any(isinstance(value, da.Array) for value in inputs.values()):
        return False
    arrays = {name: _sites.as_real(name, value) for name, value in inputs.items()}
    if n is not None:
        arrays = {"sites": np.empty(n), **arrays}
    vs30, vs30_sim, pga = _sites.broadcast_sites(**arrays)[-3:]
    found, _, _ = _sites.chosen(model, "module", per_period=True)
    _sites.check_sites(found, vs30, vs30_sim, pga, policy)
    return True


def _warned_now(da: Any, acc: Any, dt: float, model: str, convention: str, units: str, vs30: Any, vs30_sim: Any,
                pga: Any, fmax: float | None, at_rest: bool, epsilon: float = 0.0) -> None:
    """The call's warnings, once at the caller's line rather than per chunk wherever it runs: of
    records not at rest (when `at_rest` asks and they are a NumPy array), and without `fmax` of
    the highest factor applied (when the sites and their PGAs are known now)."""
    records = None if isinstance(acc, da.Array) else np.asarray(acc)
    if records is not None and (records.ndim not in (1, 2) or records.dtype.kind not in "iuf" or records.size == 0):
        records = None  # refused below, or by the chunks
    peaks = None
    if records is not None:
        rows = records.reshape(-1, records.shape[-1]).astype(np.float64)
        with np.errstate(invalid="ignore"):  # a non-finite sample is refused by its chunk
            peaks = np.nanmax(np.abs(rows), axis=1)
        if at_rest:
            _amplification_warnings.warn_not_at_rest(_amplification_warnings.rest_shares(rows, peaks))
    if fmax is not None:
        return
    nyquist = 0.5 / dt
    known = not any(isinstance(value, da.Array) for value in (vs30, vs30_sim, pga))
    given = peaks if pga is None else pga
    if known and given is not None and np.isfinite(np.asarray(given, dtype=np.float64)).all():
        try:
            scale = check_units(units)
            highest, at = _amplification_warnings.sites_highest_factor(model, convention, vs30, vs30_sim,
                                                          np.asarray(given, dtype=np.float64) / scale, dt,
                                                          records_pga=pga is None, epsilon=epsilon)
        except (ValueError, TypeError):  # sites that do not broadcast, or out of the model's reach: refused below
            highest, at = np.nan, np.nan
        if np.isfinite(highest):
            _amplification_warnings.warn_unlimited(highest, at, nyquist)
            return
    warnings.warn(f"fmax not given: the model's factors applied up to the records' Nyquist frequency {nyquist:.4g} Hz; "
                  "give the simulation's maximum frequency (fmax=) to taper them to 1 above it, or fmax=inf to apply "
                  "the model at every frequency", _amplification_warnings.AmplificationWarning,
                  skip_file_prefixes=(_sites.PACKAGE_DIRECTORY,))


def _factors_block(vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64], pga: NDArray[np.float64],
                   sites: NDArray[np.float64], *, model: str, ranges: str, convention: str,
                   epsilon: float = 0.0) -> NDArray[np.float64]:
    """One chunk's factors; `sites` are the chunk's site numbers, for what its checks report."""
    found, kernel, _ = _sites.chosen(model, convention, epsilon)
    first = int(sites[0]) if sites.size else 0
    return _sites.checked_factors(found, kernel, vs30, vs30_sim, pga, ranges, lambda i: f"site {first + i}")


def amplification(vs30: Any, vs30_sim: Any, pga: Any, model: str = "ba18", *, ranges: str = "warn",
                  check_ranges: bool | None = None, convention: str = "module", epsilon: float = 0.0,
                  chunks: Any = None) -> Any:
    """Lazy factors (n, F) of `vs30amp.amplification`, one call per chunk of sites.

    Parameters
    ----------
    vs30, vs30_sim, pga : dask array or array_like
        Broadcast together to n sites (one dimension).
    model, ranges, check_ranges, convention, epsilon
        As for `vs30amp.amplification` (cy14, whose y_ref is per site and period, is refused).
        Sites given as NumPy arrays or numbers are checked now: one warning for the call, or a
        refusal raised here. Dask arrays' values are checked within each chunk when it is
        computed: a refusal raises from the computation, and warnings are issued where the
        chunk runs (a worker's log on a cluster).
    chunks : optional
        Chunks of sites (default: those of the first chunked input, else Dask's "auto").

    Returns
    -------
    dask.array.Array, shape (n, F), float64

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> import vs30amp
    >>> import vs30amp.distributed as vd
    >>> vs30 = da.from_array(np.array([200.0, 300.0, 400.0, 500.0]), chunks=2)
    >>> factors = vd.amplification(vs30, 760.0, 0.1, model="cb14")
    >>> factors.shape == (4, vs30amp.MODELS["cb14"].frequencies.size), factors.chunks[0]
    (True, (2, 2))
    >>> direct = vs30amp.amplification([200.0, 300.0, 400.0, 500.0], 760.0, 0.1, model="cb14")
    >>> bool((factors.compute() == direct.factors).all())   # bit for bit
    True
    """
    policy = _sites.range_policy(ranges, check_ranges)
    found, _, convention = _sites.chosen(model, convention, epsilon)  # refused now, not when computed
    da = _dask_array()
    if policy != "ignore" and _checked_now(da, found.name, policy, vs30=vs30, vs30_sim=vs30_sim, pga=pga):
        policy = "ignore"  # checked: the chunks need not warn again
    sites = _dask_sites(da, chunks, vs30=vs30, vs30_sim=vs30_sim, pga=pga)
    numbers = da.arange(sites[0].shape[0], chunks=sites[0].chunks, dtype=np.float64)
    return da.map_blocks(_factors_block, *sites, numbers, model=found.name, ranges=policy,
                         convention=convention, epsilon=epsilon, new_axis=1,
                         chunks=(sites[0].chunks[0], (found.frequencies.size,)), dtype=np.float64,
                         meta=np.empty((0, 0)))


def _waveforms_block(acc: NDArray[Any], sites: NDArray[np.float64], vs30: NDArray[np.float64],
                     vs30_sim: NDArray[np.float64], pga: NDArray[np.float64] | None = None, *, dt: float, model: str,
                     units: str, fmax: float | None, ranges: str, convention: str, above_fmax: str = "taper",
                     taper: float | None = None, peaks_only: bool = False, epsilon: float = 0.0) -> NDArray[Any]:
    """One chunk's records; `sites` are the chunk's site numbers, for what its checks report.
    With `peaks_only` the sites were checked at the call: only the records' own PGA is, here.
    The warnings of a missing fmax and of records not at rest were the call's: none here."""
    first = int(sites[0]) if sites.size else 0
    if peaks_only and ranges != "ignore" and acc.size:
        found, _, _ = _sites.chosen(model, convention, per_period=True)
        peaks = _waveforms._finite_peaks(acc, acc.shape[0], first) / check_units(units)
        low = np.full(peaks.shape, found.vs30_range[0])  # Vs30s in range: only the peaks can be out
        _sites.check_sites(found, low, low, peaks, ranges, lambda site: f"site {first + site}")
        ranges = "ignore"
    return _waveforms.amplify_records(acc, dt, vs30, vs30_sim, pga, model, units=units, fmax=fmax, policy=ranges,
                                      above_fmax=above_fmax, taper=taper, not_at_rest="ignore",
                                      convention=convention, epsilon=epsilon, workers=1, first_site=first)


def amplify_waveforms(acc: Any, dt: float, vs30: Any, vs30_sim: Any, pga: Any = None, model: str = "ba18", *,
                      units: str = "g", fmax: float | None = None, above_fmax: str = "taper",
                      taper: float | None = None, not_at_rest: str = "warn", ranges: str = "warn",
                      check_ranges: bool | None = None, convention: str = "module", epsilon: float = 0.0) -> Any:
    """Lazy amplified records of `vs30amp.amplify_waveforms`, one call per chunk of sites.

    Parameters
    ----------
    acc : dask array or array_like, shape (n_sites, n_samples), (1, n_samples) or (n_samples,)
        float32 or float64 records; rechunked to whole records (chunks only along sites). One
        record is amplified for every site.
    dt, vs30, vs30_sim, pga, model, units, fmax, above_fmax, taper, not_at_rest, ranges, check_ranges, convention
        As for `vs30amp.amplify_waveforms` (cy14's y_ref from each chunk's records' own PSA, as
        there; its sites are then checked within the chunks); the site inputs are broadcast to
        n and chunked like `acc`'s rows. `dt`, `units`, `fmax`, `above_fmax` and the policies are checked
        now, and so are sites given as NumPy arrays or numbers (one warning for the call); the
        values of records (their PGA when `pga` is None) and of Dask arrays' sites (and `taper`
        against the records' length) within each chunk when it is computed. Without `fmax` one
        `AmplificationWarning` for the call names the highest factor applied when the sites
        and PGAs are known now (not Dask arrays), else says the factors are applied up to the
        Nyquist frequency. Records given as a NumPy array are checked for being at rest now
        (one warning for the call); a Dask array's records are not (give `taper` if they may
        not start and end at rest).
    epsilon : float
        As for `vs30amp.amplify_waveforms`: the factors of a model with uncertainty moved by
        that many sigma.

    Returns
    -------
    dask.array.Array, shape (n_sites, n_samples), float32 for float32 records, float64 otherwise

    Examples
    --------
    One record amplified for four sites, two per chunk:

    >>> import dask.array as da
    >>> import numpy as np
    >>> import vs30amp
    >>> import vs30amp.distributed as vd
    >>> t = np.arange(2000) * 0.01
    >>> acc = 0.1 * np.sin(2 * np.pi * t) * np.sin(np.pi * t / t[-1]) ** 2
    >>> vs30 = da.from_array(np.array([200.0, 300.0, 400.0, 500.0]), chunks=2)
    >>> records = vd.amplify_waveforms(acc, 0.01, vs30, 760.0, fmax=25.0)
    >>> records.shape, records.chunks[0]
    ((4, 2000), (2, 2))
    >>> direct = vs30amp.amplify_waveforms(acc, 0.01, [200.0, 300.0, 400.0, 500.0], 760.0, fmax=25.0)
    >>> bool((records.compute() == direct).all())   # bit for bit
    True
    """
    # What does not depend on the values is refused now, as the in-process function does.
    policy = _sites.range_policy(ranges, check_ranges)
    found, _, convention = _sites.chosen(model, convention, epsilon, per_period=True)
    check_units(units)
    _interp.fmax_limit(fmax)
    _interp.above_fmax_rule(above_fmax)
    _amplification_warnings.check_not_at_rest(not_at_rest)
    step = as_dt(dt)
    _waveforms.taper_ramp(taper, step, 2**62)  # a bad taper now; too long for the records, when computed
    da = _dask_array()
    _warned_now(da, acc, step, found.name, convention, units, vs30, vs30_sim, pga, fmax,
                taper is None and not_at_rest == "warn", epsilon)
    records = acc if isinstance(acc, da.Array) else da.asarray(np.asarray(acc))
    if records.ndim == 1:
        records = records.reshape(1, -1)
    if records.ndim != 2 or records.dtype.kind not in "iuf":
        raise TypeError(f"acc: expected real records of shape (n_sites, n_samples) or (n_samples,), "
                        f"got {records.dtype} of shape {records.shape}")
    # float32 stays float32 (in this machine's byte order), any other real input is read as float64.
    records = records.astype(np.float32 if records.dtype == np.float32 else np.float64)
    inputs = {"acc records": da.zeros(records.shape[0], chunks=records.chunks[0]), "vs30": vs30,
              "vs30_sim": vs30_sim}
    if pga is not None:
        inputs["pga"] = pga
    sites = _dask_sites(da, None, **inputs)
    n = sites[0].shape[0]
    scale = check_units(units)  # a PGA is given in the records' units, checked in g
    given = 0.0 if pga is None or isinstance(pga, da.Array) else _sites.as_real("pga", pga) / scale
    # A model's input per period comes from the records' PSA: the chunks check it as they derive it.
    checked = policy != "ignore" and found.per_period_input is None and _checked_now(
        da, found.name, policy, n, vs30=vs30, vs30_sim=vs30_sim, pga=pga if isinstance(pga, da.Array) else given)
    if records.shape[0] != n:  # one record for every site
        records = da.broadcast_to(records, (n, records.shape[1]), chunks=(sites[0].chunks[0], records.shape[1]))
    records = records.rechunk({1: -1})
    numbers = da.arange(n, chunks=(records.chunks[0],), dtype=np.float64)
    sites = [numbers] + [site.rechunk((records.chunks[0],)) for site in sites[1:]]
    pairs = [item for site in sites for item in (site, "i")]
    return da.blockwise(_waveforms_block, "ij", records, "ij", *pairs, dt=step, model=found.name, units=units,
                        fmax=np.inf if fmax is None else fmax, above_fmax=above_fmax, taper=taper,
                        ranges="ignore" if checked and pga is not None else policy, convention=convention,
                        peaks_only=checked and pga is None, epsilon=epsilon, dtype=records.dtype,
                        meta=np.empty((0, 0), records.dtype))
