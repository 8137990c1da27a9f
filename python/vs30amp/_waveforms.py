"""Fourier spectra and acceleration records multiplied by the factors."""

from __future__ import annotations

import importlib
import os
import threading
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _interp
from ._factors import amplification, as_real, broadcast_sites
from ._optional import require

# Working memory of the chunks in flight together (bytes), beside the output.
CHUNK_BYTES = 32 * 2**20

FloatArray = NDArray[np.floating[Any]]


def _fft() -> tuple[Callable[..., Any], Callable[..., Any]]:
    """SciPy's real FFTs when SciPy is usable (faster here, and in single precision for float32
    records), NumPy's otherwise."""
    try:
        fft = importlib.import_module("scipy.fft")
    except ImportError:  # also a SciPy without builds for this interpreter
        return np.fft.rfft, np.fft.irfft
    return fft.rfft, fft.irfft


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
                     pga: ArrayLike, model: str = "ba18", *, check_ranges: bool = False) -> NDArray[Any]:
    """Fourier spectra multiplied by the factors interpolated onto their frequencies.

    Parameters
    ----------
    spectrum : array_like, shape (n, K) or (K,)
        Fourier amplitudes (real) or complex spectra: one row per site, or one row shared by
        all sites. It is not modified.
    frequencies : array_like, shape (K,)
        The spectrum's frequencies (Hz), finite and non-negative.
    vs30, vs30_sim, pga, model, check_ranges
        As for `amplification`; broadcast together to the n sites.

    Returns
    -------
    ndarray, shape (n, K)
        float32 or complex64 for such input, float64 or complex128 otherwise.
    """
    values = np.asarray(spectrum)
    if values.dtype.kind not in "iufc":
        raise TypeError(f"spectrum: expected real or complex numbers, got values of dtype {values.dtype}")
    wanted = _interp.as_frequencies(frequencies)
    if values.ndim not in (1, 2) or values.shape[-1] != wanted.size:
        raise ValueError(f"spectrum: shape {values.shape} does not fit {wanted.size} frequencies; "
                         f"expected (n_sites, {wanted.size}) or ({wanted.size},)")
    rows = 1 if values.ndim == 1 else values.shape[0]
    sites = broadcast_sites(**{"spectrum rows": np.empty(rows)}, vs30=as_real("vs30", vs30),
                            vs30_sim=as_real("vs30_sim", vs30_sim), pga=as_real("pga", pga))
    result = amplification(sites[1], sites[2], sites[3], model, check_ranges=check_ranges)
    real = _real_output_dtype(values.dtype)
    if values.dtype.kind != "c":
        values = values.astype(real, copy=False)
    elif values.dtype != np.complex64:
        values = values.astype(np.complex128, copy=False)
    factors = _interp.weights(result.frequencies, wanted).apply(result.factors, real)
    product: NDArray[Any] = np.multiply(values, factors)
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


def amplify_waveforms(acc: ArrayLike, dt: float, vs30: ArrayLike, vs30_sim: ArrayLike, pga: ArrayLike | None = None,
                      model: str = "ba18", *, check_ranges: bool = False, progress: bool = False,
                      workers: int | None = None, chunk_bytes: int = CHUNK_BYTES) -> FloatArray:
    """Acceleration records amplified from the simulation's Vs30 to each site's.

    Each record is zero-padded to a fast FFT length of at least twice its length (so that
    nothing wraps around), transformed with a real FFT, multiplied by the site's factors
    interpolated onto the FFT frequencies k / (N dt) as `Amplification.at` does, transformed
    back and trimmed to its own length.

    Parameters
    ----------
    acc : array_like, shape (n_sites, n_samples) or (n_samples,)
        Records in g, float32 or float64 (other real input is read as float64). Not modified.
    dt : float
        Sample interval (s).
    vs30, vs30_sim, model, check_ranges
        As for `amplification`; broadcast to the n sites.
    pga : array_like, optional
        PGA (g) per site; by default each record's peak absolute acceleration.
    progress : bool
        Show a progress bar (needs tqdm: the "progress" extra).
    workers : int, optional
        Threads working on chunks of sites (default: the number of CPUs).
    chunk_bytes : int
        Working memory of the chunks in flight, beside the output: sites are processed a few
        at a time, so the peak memory is the output plus this, whatever n is.

    Returns
    -------
    ndarray
        The amplified records, with the shape and dtype (float32 or float64) of `acc`.
    """
    records = np.asarray(acc)
    if records.dtype.kind not in "iuf":
        raise TypeError(f"acc: expected real acceleration values, got values of dtype {records.dtype}")
    if records.dtype != np.float32:
        records = records.astype(np.float64, copy=False)
    if records.ndim not in (1, 2) or records.shape[-1] == 0:
        raise ValueError(f"acc: expected records of shape (n_sites, n_samples) or (n_samples,), got {records.shape}")
    one_record = records.ndim == 1
    records = records.reshape(1, -1) if one_record else records
    step = float(as_real("dt", dt)) if np.ndim(dt) == 0 else np.nan
    if not (np.isfinite(step) and step > 0.0):
        raise ValueError(f"dt: expected one finite, positive sample interval (s), got {dt!r}")
    n, m = records.shape
    threads = max(1, workers if workers is not None else os.cpu_count() or 1)
    length = fast_length(2 * m)
    real = records.dtype.type
    per_site = 5 * length * records.itemsize  # padded record, spectrum, factors, inverse
    rows = int(min(max(1, chunk_bytes // (per_site * threads)), max(1, -(-n // threads))))

    peaks = _peaks(records, rows) if pga is None else pga
    sites = broadcast_sites(**{"acc records": np.empty(n)}, vs30=as_real("vs30", vs30),
                            vs30_sim=as_real("vs30_sim", vs30_sim), pga=as_real("pga", peaks))
    result = amplification(sites[1], sites[2], sites[3], model, check_ranges=check_ranges)
    fft_frequencies = np.arange(length // 2 + 1) / (length * step)
    weights = _interp.weights(result.frequencies, fft_frequencies)
    rfft, irfft = _fft()
    out = np.empty((n, m), dtype=real)

    buffers = threading.local()

    def amplify(part: slice) -> int:
        count = int(part.stop) - int(part.start)
        if getattr(buffers, "padded", None) is None:
            buffers.padded = np.zeros((rows, length), dtype=real)  # the tail stays zero
        padded = buffers.padded[:count]
        padded[:, :m] = records[part]
        spectrum = rfft(padded, axis=1)
        factors = weights.apply(result.factors[part], real)
        spectrum.real *= factors  # two strided passes: far faster than a broadcast over pairs
        spectrum.imag *= factors
        out[part] = irfft(spectrum, length, axis=1)[:, :m]
        return count

    bar = require("tqdm", "progress", "progress=True").tqdm(total=n, unit="site") if progress else None
    try:
        if threads == 1 or n <= rows:
            done: Iterator[int] = map(amplify, _chunks(n, rows))
            for count in done:
                if bar is not None:
                    bar.update(count)
        else:
            with ThreadPoolExecutor(threads) as pool:
                # At most `threads` chunks in flight keeps the working memory bounded.
                pending = _chunks(n, rows)
                futures = [pool.submit(amplify, part) for _, part in zip(range(threads), pending)]
                while futures:
                    count = futures.pop(0).result()
                    if bar is not None:
                        bar.update(count)
                    following = next(pending, None)
                    if following is not None:
                        futures.append(pool.submit(amplify, following))
    finally:
        if bar is not None:
            bar.close()
    return out[0] if one_record else out
