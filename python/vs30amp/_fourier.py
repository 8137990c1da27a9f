"""Smoothed Fourier amplitude spectra of records: FAS of one component, EAS of two.

The effective amplitude spectrum (EAS) is the measure the BA18 model was developed on: the
orientation-independent sqrt((|FAS1|^2 + |FAS2|^2) / 2) of the two horizontal components,
smoothed with the Konno-Ohmachi window of bandwidth b = 188.5 (Goulet et al. 2018, PEER Report
2018/02, whose EAS Bayless and Abrahamson 2018, PEER Report 2018/07, model).
"""

from __future__ import annotations

import functools
import importlib
import textwrap
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._models import MODELS
from ._records import Records, as_dt, as_pairs, as_positive, as_records

# Konno and Ohmachi (1998), BSSA 88(1): w = [sin(b log10(f/fc)) / (b log10(f/fc))]^4.
BANDWIDTH = 188.5
# Smoothing operators up to this size are kept for the next call with the same length, dt and
# frequencies (the last four: at most 128 MiB); larger ones are built in blocks for each call.
CACHED_OPERATOR_BYTES = 32 * 2**20
# Records transformed together: bounds the working memory whatever the number of records.
RECORDS_PER_BLOCK = 128


def _rfft() -> Callable[..., Any]:
    """SciPy's real FFT when SciPy is usable (the "fft" extra), NumPy's otherwise."""
    try:
        return importlib.import_module("scipy.fft").rfft  # type: ignore[no-any-return]
    except ImportError:
        return np.fft.rfft


def padded_length(samples: int) -> int:
    """The FFT length of a record: the next power of two at least its length."""
    return 1 << max(0, (samples - 1).bit_length())


def _window_sums(bins: NDArray[np.float64], centres: NDArray[np.float64]) -> NDArray[np.float64]:
    """The window of each centre (column) at each bin (row), not normalised."""
    x = BANDWIDTH * np.log10(bins[:, None] / centres[None, :])
    with np.errstate(invalid="ignore", divide="ignore"):
        w = (np.sin(x) / x) ** 4
    w[x == 0.0] = 1.0
    return w


def _bins(length: int, dt: float) -> NDArray[np.float64]:
    return np.arange(1, length // 2 + 1) / (length * dt)


@functools.lru_cache(maxsize=4)
def _operator(length: int, dt: float, centres_bytes: bytes) -> NDArray[np.float64]:
    """(bins, centres) weights whose columns sum to one: spectra @ operator smooths them."""
    centres = np.frombuffer(centres_bytes, dtype=np.float64)
    weights = _window_sums(_bins(length, dt), centres)
    weights /= weights.sum(axis=0)
    weights.flags.writeable = False
    return weights


def _smooth(spectra: NDArray[np.float64], length: int, dt: float, centres: NDArray[np.float64]) -> NDArray[np.float64]:
    bins = length // 2
    if bins * centres.size * 8 <= CACHED_OPERATOR_BYTES:
        smoothed: NDArray[np.float64] = spectra @ _operator(length, dt, centres.tobytes())
    else:
        total, norm = np.zeros((spectra.shape[0], centres.size)), np.zeros(centres.size)
        frequencies = _bins(length, dt)
        step = max(1, CACHED_OPERATOR_BYTES // (8 * centres.size))
        for start in range(0, bins, step):
            weights = _window_sums(frequencies[start:start + step], centres)
            total += spectra[:, start:start + step] @ weights
            norm += weights.sum(axis=0)
        smoothed = total / norm
    smoothed[:, centres > 0.5 / dt] = np.nan
    return smoothed


def _amplitudes(records: Records, rows: slice, length: int, dt: float) -> NDArray[np.float64]:
    """dt |DFT| at the positive frequencies (DC dropped) of some records, computed in double."""
    block = records[rows].astype(np.float64, copy=False)
    return np.abs(_rfft()(block, length, axis=1)[:, 1:]) * dt  # type: ignore[no-any-return]


def _centres(frequencies: ArrayLike | None) -> NDArray[np.float64]:
    if frequencies is None:
        return MODELS["ba18"].frequencies
    return as_positive("frequencies", frequencies, "frequencies (Hz)")


_NOTES = """
    Each record is zero-padded to the next power of two N at least its length (records of a
    power-of-two length are not padded) and transformed; the amplitude at the positive
    frequencies k / (N dt), k = 1 ... N/2, is ``dt |DFT|`` (g s for records in g). DC is left out.
    The smoothed value at a centre frequency fc is the mean over all those frequencies weighted
    by the Konno-Ohmachi window w = [sin(b log10(f/fc)) / (b log10(f/fc))]^4 (w = 1 at f = fc),
    b = 188.5 (the bandwidth of the NGA-West2 EAS, Goulet et al. 2018, PEER Report 2018/02, on
    which BA18 was developed). The window is cut at the Nyquist frequency, 1 / (2 dt): the mean
    is over the frequencies that exist, and a centre above the Nyquist frequency gives NaN. The
    smoothing operator of one (N, dt, frequencies) is built once and kept for later calls;
    every record goes through it as one matrix product.
"""


def fas(acc: ArrayLike, dt: float, frequencies: ArrayLike | None = None) -> NDArray[np.float64]:
    """Smoothed Fourier amplitude spectrum of single-component records.
    {notes}
    Parameters
    ----------
    acc : array_like, shape (n, m) or (m,)
        Acceleration records, float32 or float64, finite, at least two samples.
    dt : float
        Sample interval (s), finite and positive.
    frequencies : array_like, shape (F,), optional
        Centre frequencies (Hz), finite and positive; by default BA18's 301 frequencies,
        ``MODELS["ba18"].frequencies``.

    Returns
    -------
    ndarray, shape (n, F) or (F,) for one record
        float64.

    Examples
    --------
    >>> import numpy as np
    >>> import vs30amp
    >>> dt = 0.01
    >>> t = np.arange(2000) * dt
    >>> acc = 0.1 * np.sin(2 * np.pi * t) * np.sin(np.pi * t / t[-1]) ** 2   # 1 Hz, at rest at both ends
    >>> vs30amp.fas(acc, dt, [1.0]).round(4)
    array([0.4282])
    """
    records, one = as_records("acc", acc)
    step, centres = as_dt(dt), _centres(frequencies)
    length = padded_length(records.shape[1])
    out = np.empty((records.shape[0], centres.size))
    for start in range(0, records.shape[0], RECORDS_PER_BLOCK):
        rows = slice(start, start + RECORDS_PER_BLOCK)
        out[rows] = _smooth(_amplitudes(records, rows, length, step), length, step, centres)
    return out[0] if one else out


def eas(h1: ArrayLike, h2: ArrayLike, dt: float, frequencies: ArrayLike | None = None) -> NDArray[np.float64]:
    """Smoothed effective amplitude spectrum of pairs of horizontal records.

    ``EAS = sqrt((|FAS1|^2 + |FAS2|^2) / 2)`` of the two components' unsmoothed spectra, then
    smoothed.
    {notes}
    Parameters
    ----------
    h1, h2 : array_like, shape (n, m) or (m,)
        The two horizontal components, of one shape; float32 or float64.
    dt, frequencies
        As for `fas`.

    Returns
    -------
    ndarray, shape (n, F) or (F,) for one pair
        float64.

    Examples
    --------
    >>> import numpy as np
    >>> import vs30amp
    >>> dt = 0.01
    >>> t = np.arange(2000) * dt
    >>> acc = 0.1 * np.sin(2 * np.pi * t) * np.sin(np.pi * t / t[-1]) ** 2   # 1 Hz, at rest at both ends
    >>> vs30amp.eas(acc, 0.5 * acc, dt, [1.0]).round(4)
    array([0.3385])
    """
    first, second, one = as_pairs(h1, h2)
    step, centres = as_dt(dt), _centres(frequencies)
    length = padded_length(first.shape[1])
    out = np.empty((first.shape[0], centres.size))
    for start in range(0, first.shape[0], RECORDS_PER_BLOCK):
        rows = slice(start, start + RECORDS_PER_BLOCK)
        a1, a2 = _amplitudes(first, rows, length, step), _amplitudes(second, rows, length, step)
        out[rows] = _smooth(np.sqrt((a1 * a1 + a2 * a2) / 2.0), length, step, centres)
    return out[0] if one else out


# Docstrings are dedented when compiled (Python 3.13+): the shared notes are too.
fas.__doc__ = (fas.__doc__ or "").format(notes=textwrap.dedent(_NOTES))
eas.__doc__ = (eas.__doc__ or "").format(notes=textwrap.dedent(_NOTES))
