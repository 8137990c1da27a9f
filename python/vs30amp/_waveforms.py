"""Fourier spectra and acceleration records multiplied by the factors."""

from __future__ import annotations

import os
import threading
import warnings
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _interp
from ._fft import real_ffts
from ._models import Kernel, Model
from ._optional import require
from ._record_checks import as_dt, check_shape
from ._sites import (PACKAGE_DIRECTORY, as_real, broadcast_sites, check_sites, chosen, missing_values, range_policy,
                     site_factors)
from ._units import check_units

# Working memory of the chunks in flight together (bytes), beside the output.
CHUNK_BYTES = 32 * 2**20

# Bytes per FFT bin of the interpolation weights and their making (index and weight arrays,
# logarithms and comparisons in float64).
WEIGHT_BYTES = 96

# More threads than a C int counts are more than any machine runs.
MAX_WORKERS = 2**31 - 1

FloatArray = NDArray[np.floating[Any]]

# A record whose first or last sample is above this share of its peak is not at rest.
REST_SHARE = 0.05
NOT_AT_REST = ("warn", "ignore")


class AmplificationWarning(UserWarning):
    """The warning about records amplified in a way a simulation may not want: factors applied
    above its maximum frequency (no `fmax` given), or records that do not start and end at rest."""


def fast_length(minimum: int) -> int:
    """The smallest 2^a 3^b 5^c at least `minimum`: a length the FFTs handle fast."""
    best = 1 << max(0, (minimum - 1).bit_length())
    power5 = 1
    while power5 < best:
        power35 = power5
        while power35 < best:
            length = power35
            while length < minimum:
                length *= 2
            best = min(best, length)
            power35 *= 3
        power5 *= 5
    return best


def _real_output_dtype(dtype: np.dtype[Any]) -> type[np.floating[Any]]:
    return np.float32 if dtype in (np.dtype(np.float32), np.dtype(np.complex64)) else np.float64


def amplify_spectrum(spectrum: ArrayLike, frequencies: ArrayLike, vs30: ArrayLike, vs30_sim: ArrayLike,
                     pga: ArrayLike, model: str = "ba18", *, fmax: float | None = None, above_fmax: str = "hold",
                     ranges: str = "warn", check_ranges: bool | None = None,
                     convention: str = "module") -> NDArray[Any]:
    """Fourier spectra multiplied by the factors interpolated onto their frequencies.

    Parameters
    ----------
    spectrum : array_like, shape (n, K) or (K,)
        Fourier amplitudes (real) or complex spectra: one row per site, or one row shared by
        all sites. It is not modified.
    frequencies : array_like, shape (K,)
        The spectrum's frequencies (Hz), finite and non-negative.
    vs30, vs30_sim, pga, model, ranges, check_ranges, convention
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
    found, kernel, _ = chosen(model, convention)
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
    sites = broadcast_sites(**{"spectrum rows": np.empty(rows)}, vs30=as_real("vs30", vs30),
                            vs30_sim=as_real("vs30_sim", vs30_sim), pga=as_real("pga", pga))[1:]
    site_vs30, site_vs30_sim, site_pga = sites
    check_sites(found, site_vs30, site_vs30_sim, site_pga, policy)
    real = _real_output_dtype(values.dtype)
    if values.dtype.kind != "c":
        values = values.astype(real, copy=False)
    elif values.dtype != np.complex64:
        values = values.astype(np.complex128, copy=False)
    factors = site_factors(kernel, site_vs30, site_vs30_sim, site_pga)
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


def _chunks(n: int, size: int) -> Iterator[slice]:
    for start in range(0, n, size):
        yield slice(start, min(n, start + size))


def thread_count(workers: object) -> int:
    """Threads for `workers`: an int of at least 1, or -1 (or None) for every CPU."""
    if workers is None or (isinstance(workers, (int, np.integer)) and not isinstance(workers, bool)
                           and workers == -1):
        return os.cpu_count() or 1
    if isinstance(workers, bool) or not isinstance(workers, (int, np.integer)):
        raise TypeError(f"workers: expected an int (at least 1, or -1 for every CPU), got {workers!r}")
    if workers < 1:
        raise ValueError(f"workers: expected at least 1, or -1 for every CPU, got {workers}")
    if workers > MAX_WORKERS:
        raise ValueError(f"workers: expected at most {MAX_WORKERS} threads, got {workers}")
    return int(workers)


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


def _refuse_infinite_factors(factors: NDArray[np.float64], vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                             first_site: int) -> None:
    """ValueError naming the first site whose factors overflow float64 (a Vs30 such as 1e-300
    m/s): the site's values are at fault, not the record's."""
    bad = np.isinf(factors).any(axis=1)
    if bad.any():
        site = int(np.argmax(bad))
        raise ValueError(f"vs30, vs30_sim: site {first_site + site} has vs30 {float(vs30[site])!r} m/s and vs30_sim "
                         f"{float(vs30_sim[site])!r} m/s, whose factors overflow float64; give Vs30 values a "
                         f"model can mean")


def _refuse_overflow(amplified: FloatArray, missing: NDArray[np.bool_], start: int, shared: bool,
                     first_site: int) -> None:
    """ValueError naming the first record whose amplified samples are not all finite (beyond the
    dtype's range); the NaN rows of sites missing a value are as they should be."""
    peaks = np.maximum(amplified.max(axis=1), -amplified.min(axis=1))
    bad = ~np.isfinite(peaks) & ~missing
    if bad.any():
        site = start + int(np.argmax(bad))
        record = 0 if shared else first_site + site
        raise ValueError(f"acc: record {record} amplified for site {first_site + site} overflows "
                         f"{amplified.dtype} (samples beyond its range); scale the record down")


def amplify_waveforms(acc: ArrayLike, dt: float, vs30: ArrayLike, vs30_sim: ArrayLike, pga: ArrayLike | None = None,
                      model: str = "ba18", *, units: str = "g", fmax: float | None = None,
                      above_fmax: str = "taper", taper: float | None = None, not_at_rest: str = "warn",
                      ranges: str = "warn", check_ranges: bool | None = None, convention: str = "module",
                      progress: bool = False, workers: int | None = None, chunk_bytes: int = CHUNK_BYTES) -> FloatArray:
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
    acc : array_like, shape (n_sites, n_samples), (1, n_samples) or (n_samples,)
        Records, float32 or float64 (other real input is read as float64), finite. One record
        is amplified for every site. Not modified.
    dt : float
        Sample interval (s), finite and positive.
    vs30, vs30_sim, model, ranges, check_ranges, convention
        As for `amplification`; broadcast to the n sites. A site missing a value (NaN) gets a
        NaN record.
    pga : array_like, optional
        PGA per site, in `units`; by default each record's peak absolute acceleration.
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
    """
    return amplify_records(acc, dt, vs30, vs30_sim, pga, model, units=units, fmax=fmax, above_fmax=above_fmax,
                           taper=taper, not_at_rest=not_at_rest, policy=range_policy(ranges, check_ranges),
                           convention=convention, progress=progress, workers=workers, chunk_bytes=chunk_bytes)


def highest_factor(grid: NDArray[np.float64], factors: NDArray[np.float64], nyquist: float) -> tuple[float, float]:
    """The highest of the factors (n x F on the model's `grid`) that reach a record's frequencies
    up to `nyquist` (at the grid's frequencies below it and at `nyquist` itself: interpolation
    lies between them), and its frequency; NaN for sites that all miss a value."""
    inside = grid <= nyquist
    values = np.concatenate([factors[:, inside], _interp.weights(grid, np.array([nyquist])).apply(factors)], axis=1)
    at = np.append(grid[inside], nyquist)
    values = np.where(np.isnan(values), -np.inf, values)
    if values.size == 0 or not np.isfinite(values.max()):
        return np.nan, np.nan
    column = int(np.argmax(values.max(axis=0)))
    return float(values[:, column].max()), float(at[column])


def sites_highest_factor(model: str, convention: str, vs30: ArrayLike, vs30_sim: ArrayLike, pga: ArrayLike,
                         dt: float) -> tuple[float, float]:
    """`highest_factor` of sites (PGA in g) whose records have sample interval `dt`, their factors
    made a few thousand sites at a time (a store's stations may be millions)."""
    found, kernel, _ = chosen(model, convention)
    sites = np.broadcast_arrays(*(np.atleast_1d(np.asarray(value, dtype=np.float64))
                                  for value in (vs30, vs30_sim, pga)))
    each = [highest_factor(found.frequencies, site_factors(kernel, *(np.ascontiguousarray(s[part]) for s in sites)),
                           0.5 / dt) for part in _chunks(sites[0].size, 4096)]
    reached = [pair for pair in each if np.isfinite(pair[0])]
    return max(reached) if reached else (np.nan, np.nan)


def unlimited_message(highest: float, at: float, nyquist: float,
                      how: str = "fmax=, --fmax) to taper them to 1 above it, or fmax=inf to apply the model at every "
                                 "frequency") -> str:
    """What the warning of records amplified without an fmax says; `how` names the ways to give one."""
    return (f"fmax not given: factors up to {highest:.4g} (at {at:.4g} Hz) applied up to the records' Nyquist "
            f"frequency {nyquist:.4g} Hz; give the simulation's maximum frequency ({how}")


def warn_unlimited(highest: float, at: float, nyquist: float) -> None:
    """The AmplificationWarning of records amplified without an fmax."""
    warnings.warn(unlimited_message(highest, at, nyquist), AmplificationWarning,
                  skip_file_prefixes=(PACKAGE_DIRECTORY,))


def rest_shares(records: FloatArray, peaks: NDArray[np.float64]) -> NDArray[np.float64]:
    """Each record's first and last sample as shares of its peak, shape (n, 2) (0 for a record of zeros)."""
    ends = np.abs(records[:, [0, -1]].astype(np.float64))
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(peaks[:, None] > 0.0, ends / peaks[:, None], 0.0)


def warn_not_at_rest(shares: NDArray[np.float64], name: Any = lambda record: f"record {record}") -> None:
    """One AmplificationWarning naming how many records do not start and end at rest, and the
    first (`name` of its index), unless all do."""
    moving = (shares > REST_SHARE).any(axis=1)
    if not moving.any():
        return
    first = int(np.argmax(moving))
    start, end = shares[first]
    which = ("the record does not start and end at rest:" if shares.shape[0] == 1 else
             f"{int(moving.sum())} of {shares.shape[0]} records do not start and end at rest; the first, "
             f"{name(first)}:")
    warnings.warn(f"{which} first sample {start:.0%}, last {end:.0%} of its peak; amplified, such ends ring: taper "
                  f"them (taper=SECONDS, --taper SECONDS)", AmplificationWarning,
                  skip_file_prefixes=(PACKAGE_DIRECTORY,))


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


def _tapered(padded: FloatArray, ramp: NDArray[np.float64] | None, m: int) -> None:
    if ramp is not None:
        k = ramp.size
        padded[:, :k] *= ramp.astype(padded.dtype)
        padded[:, m - k:m] *= ramp[::-1].astype(padded.dtype)


@dataclass(frozen=True)
class _Plan:
    """How the sites are worked through: the padded FFT length, sites per chunk, threads, and
    FFT bins per block of interpolation weights (all of them when their weights fit)."""

    length: int
    rows: int
    threads: int
    block: int

    @property
    def bins(self) -> int:
        return self.length // 2 + 1


def plan(n: int, m: int, itemsize: int, grid_size: int, threads: int, chunk_bytes: int) -> _Plan:
    """The plan for `n` records (or one shared) of `m` samples on `threads` threads, the working
    memory of the chunks in flight about `chunk_bytes` (see `amplify_waveforms`)."""
    length = fast_length(2 * m)
    # padded record, spectrum, interpolated factors, inverse; the model's factors and their logs
    per_site = 5 * length * itemsize + 3 * grid_size * 8
    if per_site * threads > chunk_bytes:  # records so long that one per thread exceeds chunk_bytes
        threads = max(1, chunk_bytes // per_site)
    rows = int(min(max(1, chunk_bytes // (per_site * threads)), max(1, -(-n // threads))))
    threads = max(1, min(threads, -(-n // rows)))  # never more threads than chunks
    # Interpolation weights take about WEIGHT_BYTES per bin: worked out once for all chunks when
    # they fit in chunk_bytes, else for each chunk a block of bins at a time.
    bins = length // 2 + 1
    block = bins if bins * WEIGHT_BYTES <= chunk_bytes else max(1, chunk_bytes // (4 * WEIGHT_BYTES))
    return _Plan(length, rows, threads, block)


def _as_acc(acc: ArrayLike) -> tuple[FloatArray, bool]:
    """Records (n, m), float32 or float64 (other real input as float64), and whether one record
    (m,) was given."""
    records = check_shape("acc", np.asarray(acc), 1)
    if records.dtype != np.float32:
        records = records.astype(np.float64, copy=False)
    one_dimensional = records.ndim == 1
    return (records.reshape(1, -1) if one_dimensional else records), one_dimensional


def _checked_sites(found: Model, records: FloatArray, vs30: ArrayLike, vs30_sim: ArrayLike, pga: ArrayLike | None,
                   scale: float, policy: str, warn_ends: bool, chunk_bytes: int,
                   first_site: int) -> list[NDArray[np.float64]]:
    """The records' peaks checked (and their ends, when `warn_ends`), then the sites' Vs30s and
    PGA in g (the records' own peaks by default) broadcast to one per site and checked."""
    peaks = _finite_peaks(records, max(1, chunk_bytes // (records.shape[1] * records.itemsize)), first_site)
    if warn_ends:
        warn_not_at_rest(rest_shares(records, peaks), lambda record: f"record {first_site + record}")
    given = peaks if pga is None else as_real("pga", pga)
    pga_g = given if scale == 1.0 else given / scale
    sites = broadcast_sites(**{"acc records": np.empty(records.shape[0])}, vs30=as_real("vs30", vs30),
                            vs30_sim=as_real("vs30_sim", vs30_sim), pga=pga_g)[1:]
    site_vs30, site_vs30_sim, site_pga = sites
    check_sites(found, site_vs30, site_vs30_sim, site_pga, policy, lambda site: f"site {first_site + site}")
    return sites


class _Chunks:
    """The amplification of the records chunk by chunk of sites into `out`, on any thread: each
    chunk's records padded, tapered and transformed (or the one shared record's spectrum, made
    once), multiplied by its sites' factors on the FFT bins and transformed back."""

    def __init__(self, records: FloatArray, step: float, ramp: NDArray[np.float64] | None, found: Model,
                 kernel: Kernel, fmax: float | None, rule: str, sites: list[NDArray[np.float64]], layout: _Plan,
                 first_site: int) -> None:
        self.records, self.step, self.ramp, self.found, self.kernel = records, step, ramp, found, kernel
        self.fmax, self.rule, self.sites, self.layout, self.first_site = fmax, rule, sites, layout, first_site
        self.m = records.shape[1]
        n = sites[0].size
        self.shared = records.shape[0] == 1 and n > 1
        self.out = np.empty((n, self.m), dtype=records.dtype.type)
        self.highest: list[tuple[float, float]] = []  # without an fmax: each chunk's highest factor
        self.weights = self._weights(0, layout.bins) if layout.block == layout.bins else None
        self.rfft, self.irfft = real_ffts()
        self._buffers = threading.local()
        self.shared_spectrum = self._shared_spectrum() if self.shared else None

    def _frequencies(self, start: int, stop: int) -> NDArray[np.float64]:
        # The FFT frequencies k / (N dt) of bins start to stop: each one as it would be in one array.
        return np.arange(start, stop) / (self.layout.length * self.step)

    def _weights(self, start: int, stop: int) -> _interp.Weights:
        return _interp.weights(self.found.frequencies, _interp.held_above(self._frequencies(start, stop), self.fmax))

    def _shared_spectrum(self) -> NDArray[Any]:
        """The spectrum of the one record all sites share, made once."""
        return self._transformed(self._filled(np.zeros((1, self.layout.length), dtype=self.out.dtype), self.records))

    def _chunk_spectrum(self, part: slice, count: int) -> NDArray[Any]:
        """The spectra of the records of the sites `part`, padded in this thread's buffer."""
        if getattr(self._buffers, "padded", None) is None:
            self._buffers.padded = np.zeros((self.layout.rows, self.layout.length), dtype=self.out.dtype)
        return self._transformed(self._filled(self._buffers.padded[:count], self.records[part]))  # the tail stays 0

    def _filled(self, padded: FloatArray, records: FloatArray) -> FloatArray:
        padded[:, :self.m] = records
        _tapered(padded, self.ramp, self.m)
        return padded

    def _transformed(self, padded: FloatArray) -> NDArray[Any]:
        with np.errstate(over="ignore", invalid="ignore"):  # an overflow is refused with the output
            spectrum: NDArray[Any] = self.rfft(padded, axis=1)
        return spectrum

    def __call__(self, part: slice) -> int:
        """Amplifies the records of the sites `part` into `out`; how many sites that is."""
        count = int(part.stop) - int(part.start)
        if self.shared_spectrum is not None:
            spectrum = np.repeat(self.shared_spectrum, count, axis=0)
        else:
            spectrum = self._chunk_spectrum(part, count)
        vs30, vs30_sim, pga = (values[part] for values in self.sites)
        model_factors = site_factors(self.kernel, vs30, vs30_sim, pga)
        _refuse_infinite_factors(model_factors, vs30, vs30_sim, int(part.start) + self.first_site)
        if self.fmax is None:
            self.highest.append(highest_factor(self.found.frequencies, model_factors, 0.5 / self.step))
        with np.errstate(over="ignore", invalid="ignore"):  # an overflow is refused below
            self._multiply(spectrum, model_factors)
            self.out[part] = self.irfft(spectrum, self.layout.length, axis=1)[:, :self.m]
        _refuse_overflow(self.out[part], missing_values(vs30, vs30_sim, pga), int(part.start), self.shared,
                         self.first_site)
        return count

    def _multiply(self, spectrum: NDArray[Any], model_factors: NDArray[np.float64]) -> None:
        """`spectrum` times the factors interpolated onto its bins, a block of bins at a time."""
        bins, block, real = self.layout.bins, self.layout.block, self.out.dtype.type
        for start in range(0, bins, block):
            stop = min(bins, start + block)
            factors = (self.weights or self._weights(start, stop)).apply(model_factors, real)
            if self.rule == "taper":
                _interp.taper_above(factors, self._frequencies(start, stop), self.fmax)
            spectrum.real[:, start:stop] *= factors  # two strided passes: far faster than a broadcast over pairs
            spectrum.imag[:, start:stop] *= factors


def _run(amplify: Callable[[slice], int], n: int, layout: _Plan, progress: bool) -> None:
    """`amplify` of every chunk of `layout.rows` of the `n` sites, on `layout.threads` threads, at
    most one chunk in flight a thread; a progress bar of sites when asked."""
    bar = require("tqdm", "progress", "progress=True").tqdm(total=n, unit="site") if progress else None
    try:
        for count in _in_order(amplify, _chunks(n, layout.rows), layout.threads):
            if bar is not None:
                bar.update(count)
    finally:
        if bar is not None:
            bar.close()


def _in_order(amplify: Callable[[slice], int], parts: Iterator[slice], threads: int) -> Iterator[int]:
    """`amplify` of each part, in order; on a pool of `threads` with at most that many parts in
    flight, which keeps the working memory bounded."""
    if threads == 1:
        yield from map(amplify, parts)
        return
    with ThreadPoolExecutor(threads) as pool:
        futures = [pool.submit(amplify, part) for _, part in zip(range(threads), parts)]
        while futures:
            yield futures.pop(0).result()
            following = next(parts, None)
            if following is not None:
                futures.append(pool.submit(amplify, following))


def amplify_records(acc: ArrayLike, dt: float, vs30: ArrayLike, vs30_sim: ArrayLike, pga: ArrayLike | None,
                    model: str, *, units: str, fmax: float | None, policy: str, above_fmax: str = "taper",
                    taper: float | None = None, not_at_rest: str = "warn", convention: str = "module",
                    progress: bool = False, workers: int | None = None, chunk_bytes: int = CHUNK_BYTES,
                    first_site: int = 0) -> FloatArray:
    """`amplify_waveforms` on one policy; errors and warnings count sites and records from
    `first_site` (a chunk's place among all sites)."""
    found, kernel, _ = chosen(model, convention)
    scale = check_units(units)
    limit, rule = _interp.fmax_limit(fmax), _interp.above_fmax_rule(above_fmax)
    if not_at_rest not in NOT_AT_REST:
        raise ValueError(f"not_at_rest: expected one of {', '.join(map(repr, NOT_AT_REST))}, got {not_at_rest!r}")
    records, one_dimensional = _as_acc(acc)
    step = as_dt(dt)
    threads = thread_count(workers)
    ramp = taper_ramp(taper, step, records.shape[1])
    sites = _checked_sites(found, records, vs30, vs30_sim, pga, scale, policy,
                           taper is None and not_at_rest == "warn", chunk_bytes, first_site)
    n = sites[0].size
    layout = plan(n, records.shape[1], records.itemsize, found.frequencies.size, threads, chunk_bytes)
    chunks = _Chunks(records, step, ramp, found, kernel, limit, rule, sites, layout, first_site)
    _run(chunks, n, layout, progress)
    reached = [pair for pair in chunks.highest if np.isfinite(pair[0])]
    if reached:
        warn_unlimited(*max(reached), 0.5 / step)
    return chunks.out[0] if one_dimensional and n == 1 else chunks.out
