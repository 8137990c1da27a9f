"""Records amplified chunk by chunk of sites on a pool of threads: the plan of the FFT length,
the chunks and the threads within a working memory, the chunks' amplification and their run."""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _interp
from ._amplification_warnings import highest_factor
from ._fft import real_ffts
from ._models import Kernel, Model
from ._optional import require
from ._sites import missing_values, site_factors

FloatArray = NDArray[np.floating[Any]]

# Working memory of the chunks in flight together (bytes), beside the output.
CHUNK_BYTES = 32 * 2**20

# Bytes per FFT bin of the interpolation weights and their making (index and weight arrays,
# logarithms and comparisons in float64).
WEIGHT_BYTES = 96

# More threads than a C int counts are more than any machine runs.
MAX_WORKERS = 2**31 - 1


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


def chunk_slices(n: int, size: int) -> Iterator[slice]:
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


def tapered(padded: FloatArray, ramp: NDArray[np.float64] | None, m: int) -> None:
    if ramp is not None:
        k = ramp.size
        padded[:, :k] *= ramp.astype(padded.dtype)
        padded[:, m - k:m] *= ramp[::-1].astype(padded.dtype)


@dataclass(frozen=True)
class Plan:
    """How the sites are worked through: the padded FFT length, sites per chunk, threads, and
    FFT bins per block of interpolation weights (all of them when their weights fit)."""

    length: int
    rows: int
    threads: int
    block: int

    @property
    def bins(self) -> int:
        return self.length // 2 + 1


def plan(n: int, m: int, itemsize: int, grid_size: int, threads: int, chunk_bytes: int) -> Plan:
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
    return Plan(length, rows, threads, block)


class Chunks:
    """The amplification of the records chunk by chunk of sites into `out`, on any thread: each
    chunk's records padded, tapered and transformed (or the one shared record's spectrum, made
    once), multiplied by its sites' factors on the FFT bins and transformed back."""

    def __init__(self, records: FloatArray, step: float, ramp: NDArray[np.float64] | None, found: Model,
                 kernel: Kernel, fmax: float | None, rule: str, sites: list[NDArray[np.float64]], layout: Plan,
                 first_site: int, basin: Callable[..., NDArray[np.float64]] | None = None) -> None:
        # `basin`: the model's kernel of its basin depths, read as sites[4:6] (z1, z1_sim).
        self.records, self.step, self.ramp, self.found, self.kernel = records, step, ramp, found, kernel
        self.basin = basin
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
        tapered(padded, self.ramp, self.m)
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
        vs30, vs30_sim, pga, *rows = (values[part] for values in self.sites)  # rows: an input per period, if any
        y_ref = rows[0] if rows else None
        kernel = self.kernel
        if self.basin is not None:
            basin, depths = self.basin, rows[1:3]
            kernel = lambda site, sim, inputs: basin(site, sim, inputs, *depths)  # noqa: E731
        model_factors = site_factors(kernel, vs30, vs30_sim, pga, model=self.found, y_ref=y_ref)
        _refuse_infinite_factors(model_factors, vs30, vs30_sim, int(part.start) + self.first_site)
        if self.fmax is None:
            self.highest.append(highest_factor(self.found.frequencies, model_factors, 0.5 / self.step))
        with np.errstate(over="ignore", invalid="ignore"):  # an overflow is refused below
            self._multiply(spectrum, model_factors)
            self.out[part] = self.irfft(spectrum, self.layout.length, axis=1)[:, :self.m]
        _refuse_overflow(self.out[part], missing_values(vs30, vs30_sim, pga, self.found, y_ref), int(part.start),
                         self.shared, self.first_site)
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


def run(amplify: Callable[[slice], int], n: int, layout: Plan, progress: bool) -> None:
    """`amplify` of every chunk of `layout.rows` of the `n` sites, on `layout.threads` threads, at
    most one chunk in flight a thread; a progress bar of sites when asked."""
    bar = require("tqdm", "progress", "progress=True").tqdm(total=n, unit="site") if progress else None
    try:
        for count in in_order(amplify, chunk_slices(n, layout.rows), layout.threads):
            if bar is not None:
                bar.update(count)
    finally:
        if bar is not None:
            bar.close()


def in_order(amplify: Callable[[slice], int], parts: Iterator[slice], threads: int) -> Iterator[int]:
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
