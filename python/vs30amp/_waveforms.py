"""Fourier spectra and acceleration records multiplied by the factors."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _interp
from ._amplification_warnings import check_not_at_rest, rest_shares, warn_not_at_rest, warn_unlimited
from ._models import Kernel, Model, get_model
from ._record_checks import as_dt, check_shape
from ._record_chunks import CHUNK_BYTES, Chunks, plan, run, thread_count
from ._response import response_spectrum
from ._rock_motion import model_pga, rock_rows
from ._sites import (as_real, basin_kernel_of, broadcast_sites, check_sites, chosen, kernel_of, optional_values,
                     range_policy, site_factors, sites_and_rows)
from ._traces import amplified_traces, as_records, is_obspy, processing_entry, traces_of
from ._units import G_IN_UNITS, check_units

FloatArray = NDArray[np.floating[Any]]


def _real_output_dtype(dtype: np.dtype[Any]) -> type[np.floating[Any]]:
    return np.float32 if dtype in (np.dtype(np.float32), np.dtype(np.complex64)) else np.float64


def amplify_spectrum(spectrum: ArrayLike, frequencies: ArrayLike, vs30: ArrayLike, vs30_sim: ArrayLike,
                     pga: ArrayLike | None, model: str = "ba18", *, fmax: float | None = None,
                     above_fmax: str = "hold", ranges: str = "warn", check_ranges: bool | None = None,
                     convention: str = "module", y_ref: ArrayLike | None = None,
                     epsilon: float = 0.0, z1: ArrayLike | None = None,
                     z1_sim: ArrayLike | None = None) -> NDArray[Any]:
    """Fourier spectra multiplied by the factors interpolated onto their frequencies.

    Parameters
    ----------
    spectrum : array_like, shape (n, K) or (K,)
        Fourier amplitudes (real) or complex spectra: one row per site, or one row shared by
        all sites. It is not modified.
    frequencies : array_like, shape (K,)
        The spectrum's frequencies (Hz), finite and non-negative.
    vs30, vs30_sim, pga, model, ranges, check_ranges, convention, y_ref, epsilon, z1, z1_sim
        As for `amplification`; broadcast together to the n sites. A site missing a value
        (NaN) gets a NaN row.
    fmax : float, optional
        The simulation's maximum frequency (Hz): above it the factors are held at the factor at
        `fmax` (the default here, `above_fmax="hold"`) or tapered to 1 (`above_fmax="taper"`, as
        `amplify_waveforms` does by default), so that what lies above it (noise, or the
        simulation's filter) is not amplified further. None or inf: the model's factors at
        every frequency.
    above_fmax : {"hold", "taper"}
        What the factors above `fmax` are; "taper" as described in `amplify_waveforms`.

    Returns
    -------
    ndarray, shape (n, K)
        float32 or complex64 for such input, float64 or complex128 otherwise.

    Examples
    --------
    >>> import vs30amp
    >>> vs30amp.amplify_spectrum([1.0, 1.0, 1.0], [0.5, 1.0, 2.0], 300.0, 760.0, 0.1).round(3)
    array([[2.88 , 2.803, 2.166]])
    """
    policy = range_policy(ranges, check_ranges)
    found, kernel, convention = chosen(model, convention, epsilon, per_period=True)
    values = np.asarray(spectrum)
    if values.dtype.kind not in "iufc":
        raise TypeError(f"spectrum: expected real or complex numbers, got values of dtype {values.dtype}")
    limit, rule = _interp.fmax_limit(fmax), _interp.above_fmax_rule(above_fmax)
    asked = _interp.as_frequencies(frequencies)
    wanted = _interp.held_above(asked, limit)
    if values.ndim not in (1, 2) or values.shape[-1] != wanted.size:
        raise ValueError(f"spectrum: shape {values.shape} does not fit {wanted.size} frequencies; "
                         f"expected (n_sites, {wanted.size}) or ({wanted.size},)")
    rows = 1 if values.ndim == 1 else values.shape[0]
    optional = optional_values(found, {"z1": z1, "z1_sim": z1_sim})
    sites, per_period = sites_and_rows(found, y_ref, **{"spectrum rows": np.empty(rows)}, vs30=as_real("vs30", vs30),
                                       vs30_sim=as_real("vs30_sim", vs30_sim),
                                       pga=as_real("pga", np.nan if pga is None else pga), **optional)
    site_vs30, site_vs30_sim, site_pga = sites[1:4]
    optional = dict(zip(optional, sites[4:]))
    check_sites(found, site_vs30, site_vs30_sim, site_pga, policy, y_ref=per_period, optional=optional)
    real = _real_output_dtype(values.dtype)
    if values.dtype.kind != "c":
        values = values.astype(real, copy=False)
    elif values.dtype != np.complex64:
        values = values.astype(np.complex128, copy=False)
    factors = site_factors(basin_kernel_of(found, kernel_of(found, kernel, convention, per_period), convention,
                                           optional), site_vs30, site_vs30_sim, site_pga, model=found, y_ref=per_period)
    interpolated = _interp.weights(found.frequencies, wanted).apply(factors, real)
    if rule == "taper":
        _interp.taper_above(interpolated, asked, limit)
    product: NDArray[Any] = np.multiply(values, interpolated)
    return product


def _peaks(acc: FloatArray, rows: int) -> NDArray[np.float64]:
    """Each record's peak absolute value, a few rows at a time."""
    peaks = np.empty(acc.shape[0])
    for start in range(0, acc.shape[0], rows):
        block = acc[start:start + rows]
        np.maximum(block.max(axis=1), -block.min(axis=1), out=peaks[start:start + rows], casting="unsafe")
    return peaks


def _finite_peaks(records: FloatArray, rows: int, first_site: int) -> NDArray[np.float64]:
    """Each record's peak absolute value; ValueError naming the first record with a sample that
    is not finite (its peak is then NaN or infinite)."""
    peaks = _peaks(records, rows)
    bad = ~np.isfinite(peaks)
    if bad.any():
        record = int(np.argmax(bad))
        sample = int(np.argmax(~np.isfinite(records[record])))
        value = float(records[record, sample])
        raise ValueError(f"acc: record {first_site + record} has a non-finite sample ({value!r} at sample {sample})")
    return peaks


def amplify_waveforms(acc: ArrayLike, dt: float, vs30: ArrayLike, vs30_sim: ArrayLike, pga: ArrayLike | None = None,
                      model: str = "ba18", *, units: str = "g", fmax: float | None = None,
                      above_fmax: str = "taper", taper: float | None = None, not_at_rest: str = "warn",
                      ranges: str = "warn", check_ranges: bool | None = None, convention: str = "module",
                      epsilon: float = 0.0, progress: bool = False, workers: int | None = None, chunk_bytes: int = CHUNK_BYTES,
                      z1: ArrayLike | None = None, z1_sim: ArrayLike | None = None) -> FloatArray:
    """Acceleration records amplified from the simulation's Vs30 to each site's.

    Each record is zero-padded to a fast FFT length of at least twice its length (so that
    nothing wraps around), transformed with a real FFT, multiplied by the site's factors
    interpolated onto the FFT frequencies k / (N dt) as `Amplification.at` does, transformed
    back and trimmed to its own length.

    Simulations are band-limited: give their maximum frequency `fmax`, and the factors are
    tapered to 1 above it, so that their numerical noise is not amplified (BA18's factors for a
    stiffer site than the simulation's grow without bound above 24 Hz: x979 at 100 Hz from 200
    to 1100 m/s). Without `fmax` the model's factors apply at every frequency and an
    `AmplificationWarning` names the highest factor applied. A record that does not start and
    end at rest (its first or last sample above 5 % of its peak) rings at its ends once
    amplified: an `AmplificationWarning` names it, and `taper` tapers its ends first.

    Parameters
    ----------
    acc : array_like, shape (n_sites, n_samples), (1, n_samples) or (n_samples,), or ObsPy Trace or Stream
        Records, float32 or float64 (other real input is read as float64), finite. One record
        is amplified for every site. Not modified. A Trace is one record, a Stream one record
        per trace (of one length and interval): the result is then a copy of it holding the
        amplified samples, the stats kept, each trace's ``stats.processing`` ending in a line
        of the model, convention, Vs30, Vs30_sim and PGA (g) it was amplified with.
    dt : float or None
        Sample interval (s), finite and positive; None for a Trace or Stream (its stats.delta).
    vs30, vs30_sim, model, ranges, check_ranges, convention, epsilon
        As for `amplification`; broadcast to the n sites. A site missing a value (NaN) gets a
        NaN record.
    pga : array_like, optional
        PGA per site, in `units`, taken as the model's PGA input as declared (for bssa14 the
        PGA on 760 m/s rock). By default each record's peak absolute acceleration, the PGA at
        the simulation's site: for a model whose PGA is taken on reference rock
        (``MODELS[model].input("pga").rock``) it is carried to that rock by inverting the
        model's own factor at its PGA column (the documentation's models page, "The PGA on
        rock"). cy14 takes no PGA: its y_ref (the PSA on 1130 m/s rock at each of its periods)
        is each record's own PSA (5 % damped, `response_spectrum`) at those periods carried to
        the rock by inverting the model's factor from 1130 m/s to the site's Vs30_sim (see the
        models page).
    units : {"g", "m/s2", "cm/s2"}
        Units of `acc` and `pga` (g = 9.80665 m/s^2). The models see the PGA in g; the output
        is in these units.
    fmax : float, optional
        The simulation's maximum frequency (Hz). None (the default): the model's factors at
        every frequency, with an `AmplificationWarning` naming the highest factor applied; inf:
        the same, knowingly (no warning).
    above_fmax : {"taper", "hold"}
        The factors above `fmax`. "taper" (the default): a factor A at f becomes A^w(f), where A
        is the factor at `fmax` and w = (1 + cos(pi (f - fmax) / fmax)) / 2 falls from 1 at
        `fmax` to 0 at 2 `fmax` (a half cosine over the octave above it in ln(factor)); 1 above
        2 `fmax`. "hold": A itself at every frequency above `fmax` (earlier versions' `fmax`).
        Below `fmax` the factors are the model's, bit for bit, either way.
    taper : float, optional
        Seconds at each end of every record multiplied by a half cosine (Hann) ramp,
        (1 - cos(pi i / k)) / 2 on the first k = round(taper / dt) samples and its mirror on the
        last k, before the amplification; at most half the record. The PGA the models see (by
        default) is the record's own peak before the taper. 0: no taper, knowingly (no warning
        of records not at rest).
    not_at_rest : {"warn", "ignore"}
        Records that do not start and end at rest (first or last sample above 5 % of the
        record's peak, before any taper): one `AmplificationWarning` naming how many and the
        first, unless `taper` is given; or nothing.
    progress : bool
        Show a progress bar (needs tqdm: the "progress" extra).
    workers : int, optional
        Threads working on chunks of sites: at least 1, or -1 for every CPU (as is the default,
        None); never more than there are chunks, nor than `chunk_bytes` holds records.
    chunk_bytes : int
        Working memory of the chunks in flight: sites are processed a few at a time, factors
        included, so the peak memory is the output plus about this plus 8 bytes per site (the
        records' peaks), whatever n is. A record so long that its own FFT work, about 5 N
        times its item size (N >= 2 n_samples, the padded length), exceeds this is amplified
        alone, one at a time: the working memory is then about that.
    z1, z1_sim : array_like, optional
        For cy14, as for `amplification`: the basin depths Z1 (m) of the sites and of the
        simulation's site, NaN or left out for not given (dZ1 = 0). z1_sim enters the inversion
        of the records' PSA to y_ref too: the factor from the rock (dZ1 = 0 there) to Vs30_sim
        at Z1_sim.

    Returns
    -------
    ndarray
        The amplified records, float32 or float64 like `acc`, of shape (n_sites, n_samples), or
        (n_samples,) for one record and one site.

    Raises
    ------
    ValueError
        Also for a finite record whose amplified samples overflow its dtype, naming it.

    Examples
    --------
    One record of 1 Hz, at rest at both ends, amplified for two sites:

    >>> import numpy as np
    >>> import vs30amp
    >>> dt = 0.01
    >>> t = np.arange(2000) * dt
    >>> acc = 0.1 * np.sin(2 * np.pi * t) * np.sin(np.pi * t / t[-1]) ** 2
    >>> out = vs30amp.amplify_waveforms(acc, dt, [300.0, 1000.0], 760.0, fmax=25.0)
    >>> out.shape, np.abs(out).max(axis=1).round(3)
    ((2, 2000), array([0.28 , 0.073]))

    An ObsPy Stream (the "obspy" extra), one site per trace, its samples in m/s^2:

    >>> from obspy import Stream, Trace  # doctest: +SKIP
    >>> stream = Stream([Trace(acc * 9.80665, {"delta": dt, "channel": "HNE"})])  # doctest: +SKIP
    >>> amplified = vs30amp.amplify_waveforms(stream, None, 300.0, 760.0, units="m/s2", fmax=25.0)  # doctest: +SKIP
    >>> amplified[0].stats.processing[-1][:40]  # doctest: +SKIP
    "vs30amp 0.1.0: amplify_waveforms(model='"
    """
    traces = acc if is_obspy(acc) else None
    if traces is not None:
        acc, dt = as_records("acc", traces, dt)
    out = amplify_records(acc, dt, vs30, vs30_sim, pga, model, units=units, fmax=fmax, above_fmax=above_fmax,
                          taper=taper, not_at_rest=not_at_rest, policy=range_policy(ranges, check_ranges),
                          convention=convention, epsilon=epsilon, progress=progress, workers=workers,
                          chunk_bytes=chunk_bytes, z1=z1, z1_sim=z1_sim)
    if traces is None:
        return out
    # A Trace or Stream, typed as the arrays are: ObsPy ships no type information.
    return amplified_traces(traces, out, _processing(  # type: ignore[no-any-return]
        np.asarray(acc), out, vs30, vs30_sim, pga, model, units, convention, epsilon))


def _processing(acc: NDArray[Any], out: FloatArray, vs30: ArrayLike, vs30_sim: ArrayLike, pga: ArrayLike | None,
                model: str, units: str, convention: str, epsilon: float) -> list[str]:
    """Each amplified trace's line of processing, with the PGA given or else the record's own
    peak; ValueError when the sites are not one per trace."""
    rows = acc.reshape(-1, acc.shape[-1])
    count = len(rows)
    if out.size != count * out.shape[-1]:
        raise ValueError(f"vs30: {out.size // out.shape[-1]} sites for {count} traces; give one site per "
                         f"trace (a Trace is one record)")
    found = get_model(model)
    scale = G_IN_UNITS[units]
    peaks = np.abs(rows).max(axis=1) / scale if pga is None else np.asarray(pga, dtype=np.float64) / scale
    sites = [np.broadcast_to(np.asarray(values, dtype=np.float64), (count,)) for values in (vs30, vs30_sim, peaks)]
    return [processing_entry(found.name, found.convention_named(convention), site, sim, peak, epsilon,
                             own_peak=pga is None)
            for site, sim, peak in zip(*sites, strict=True)]


def taper_ramp(taper: object, step: float, m: int) -> NDArray[np.float64] | None:
    """The rising half cosine of `taper` seconds (k samples) that tapers a record's ends, or None
    without a taper; ValueError naming taper when it is not a length of at most half the record."""
    if taper is None:
        return None
    seconds = np.asarray(taper)
    if seconds.ndim != 0 or seconds.dtype.kind not in "iuf" or not (np.isfinite(seconds) and seconds >= 0.0):
        raise ValueError(f"taper: expected one finite length (s) of at least 0, got {taper!r}")
    k = int(round(float(seconds) / step))
    if 2 * k > m:
        raise ValueError(f"taper: {float(seconds):g} s at each end is more than half of the {m * step:g} s record")
    return 0.5 * (1.0 - np.cos(np.pi * np.arange(k) / k)) if k else None


def _as_acc(acc: ArrayLike) -> tuple[FloatArray, bool]:
    """Records (n, m), float32 or float64 (other real input as float64), and whether one record
    (m,) was given."""
    records = check_shape("acc", np.asarray(acc), 1)
    if records.dtype != np.float32:
        records = records.astype(np.float64, copy=False)
    one_dimensional = records.ndim == 1
    return (records.reshape(1, -1) if one_dimensional else records), one_dimensional


def _records_on_rock(found: Model, convention: str, records: FloatArray, step: float, scale: float,
                     vs30_sim: NDArray[np.float64], workers: int | None,
                     label: Any = "site {}".format, z1_sim: NDArray[np.float64] | None = None
                     ) -> NDArray[np.float64] | None:
    """For a model whose nonlinear input is the motion on rock per period (cy14's y_ref), the
    records' own PSA (g, 5 % damped) at the model's periods carried to the rock by inverting the
    model's factor from the rock to each site's Vs30_sim (`rock_rows`; with the simulation's basin
    depth `z1_sim`, its basin term too); None for other models."""
    if found.per_period_input is None:
        return None
    in_g = records if scale == 1.0 else records / scale
    psa = response_spectrum(in_g, step, 1.0 / found.frequencies, workers=workers)
    return rock_rows(found, convention, np.broadcast_to(psa, (vs30_sim.size, psa.shape[1])), vs30_sim, label, z1_sim)


def records_rock_rows(model: str, convention: str, acc: ArrayLike, dt: float, units: str,
                      vs30_sim: float) -> NDArray[np.float64] | None:
    """The input per period (cy14's y_ref) that `amplify_waveforms` derives from one record
    `acc` (in `units`) simulated for `vs30_sim`, shape (1, F); None for a model without one."""
    found, _, name = chosen(model, convention, per_period=True)
    records, _ = _as_acc(acc)
    return _records_on_rock(found, name, records, as_dt(dt), check_units(units), np.array([float(vs30_sim)]), None)


def _checked_sites(found: Model, kernel: Kernel, records: FloatArray, vs30: ArrayLike, vs30_sim: ArrayLike,
                   pga: ArrayLike | None, scale: float, policy: str, warn_ends: bool, chunk_bytes: int,
                   first_site: int, rock: Any = None, optional: dict[str, Any] | None = None
                   ) -> list[NDArray[np.float64]]:
    """The records' peaks checked (and their ends, when `warn_ends`), then the sites' Vs30s and
    PGA in g (the records' own peaks by default, carried to the model's rock where it takes its
    PGA there) broadcast to one per site and checked; `rock`, given the sites' Vs30_sim (and
    their z1_sim), gives the model's input per period (`_records_on_rock`), checked too and
    appended; then the model's optional inputs `optional` (cy14's z1, z1_sim), broadcast."""
    peaks = _finite_peaks(records, max(1, chunk_bytes // (records.shape[1] * records.itemsize)), first_site)
    if warn_ends:
        warn_not_at_rest(rest_shares(records, peaks), lambda record: f"record {first_site + record}")
    given = peaks if pga is None else as_real("pga", pga)
    pga_g = given if scale == 1.0 else given / scale
    optional = optional or {}
    sites = broadcast_sites(**{"acc records": np.empty(records.shape[0])}, vs30=as_real("vs30", vs30),
                            vs30_sim=as_real("vs30_sim", vs30_sim), pga=pga_g, **optional)[1:]
    site_vs30, site_vs30_sim, site_pga = sites[:3]
    depths = dict(zip(optional, sites[3:]))
    sites = sites[:3]
    label = lambda site: f"site {first_site + site}"  # noqa: E731
    rows = None if rock is None else rock(site_vs30_sim, label, depths.get("z1_sim"))
    # A record's PGA in range is carried to a PGA in range (vs30amp._rock_motion): checked either side.
    check_sites(found, site_vs30, site_vs30_sim, site_pga, policy, label, rows, depths)
    if pga is None:
        sites[2] = model_pga(found, kernel, site_vs30_sim, site_pga, label)
    return sites if rows is None else [*sites, rows, *depths.values()]


def amplify_records(acc: ArrayLike, dt: float, vs30: ArrayLike, vs30_sim: ArrayLike, pga: ArrayLike | None,
                    model: str, *, units: str, fmax: float | None, policy: str, above_fmax: str = "taper",
                    taper: float | None = None, not_at_rest: str = "warn", convention: str = "module",
                    epsilon: float = 0.0, progress: bool = False, workers: int | None = None,
                    chunk_bytes: int = CHUNK_BYTES, first_site: int = 0, z1: ArrayLike | None = None,
                    z1_sim: ArrayLike | None = None) -> FloatArray:
    """`amplify_waveforms` on one policy; errors and warnings count sites and records from
    `first_site` (a chunk's place among all sites)."""
    found, kernel, convention = chosen(model, convention, epsilon, per_period=True)
    optional = optional_values(found, {"z1": z1, "z1_sim": z1_sim})
    scale = check_units(units)
    limit, rule = _interp.fmax_limit(fmax), _interp.above_fmax_rule(above_fmax)
    check_not_at_rest(not_at_rest)
    records, one_dimensional = _as_acc(acc)
    step = as_dt(dt)
    threads = thread_count(workers)
    ramp = taper_ramp(taper, step, records.shape[1])
    sites = _checked_sites(found, kernel, records, vs30, vs30_sim, pga, scale, policy,
                           taper is None and not_at_rest == "warn", chunk_bytes, first_site,
                           lambda site_vs30_sim, label, z1_of_sim: _records_on_rock(
                               found, convention, records, step, scale, site_vs30_sim, workers, label, z1_of_sim),
                           optional)
    kernel = kernel_of(found, kernel, convention, sites[3] if len(sites) > 3 else None)
    n = sites[0].size
    layout = plan(n, records.shape[1], records.itemsize, found.frequencies.size, threads, chunk_bytes)
    chunks = Chunks(records, step, ramp, found, kernel, limit, rule, sites, layout, first_site,
                    basin=found.basin_kernel_for(convention) if optional else None)
    run(chunks, n, layout, progress)
    reached = [pair for pair in chunks.highest if np.isfinite(pair[0])]
    if reached:
        warn_unlimited(*max(reached), 0.5 / step)
    return chunks.out[0] if one_dimensional and n == 1 else chunks.out
