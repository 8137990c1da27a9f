"""Response spectra of acceleration records: PSA of single components and RotDnn of pairs."""

from __future__ import annotations

import functools

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native
from ._models import MODELS
from ._record_checks import as_dt, as_pairs, as_positive, as_records, real_scalar
from ._traces import taking_traces
from ._record_chunks import thread_count


def _periods(periods: ArrayLike | None) -> NDArray[np.float64]:
    if periods is None:
        return 1.0 / MODELS["cb14"].frequencies
    return as_positive("periods", periods, "periods (s)")


def _damping(damping: float) -> float:
    value = real_scalar(damping)
    if not 0.0 <= value < 1.0:
        raise ValueError(f"damping: expected a damping ratio in [0, 1), got {damping!r}")
    return value


@taking_traces
def response_spectrum(acc: ArrayLike, dt: float, periods: ArrayLike | None = None, damping: float = 0.05, *,
                      workers: int | None = None, samples_only: bool = False) -> NDArray[np.float64]:
    """Pseudo-spectral acceleration of each record at each period.

    The record is the polygon through its samples (acceleration linear between them), and the
    damped linear oscillator is stepped exactly under it (Nigam and Jennings 1969), from rest at
    the first sample; PSA is (2 pi / T)^2 times the largest absolute relative displacement.
    The peak is taken over sub-steps of dt / k between the samples, k = ceil(10 dt / T): a
    step of at most T / 10, the usual rule of time-stepping response-spectrum codes, with which
    these spectra equal the NGA-West2 database's published ones to their printed digits. The sub-steps are evaluated
    exactly (no resampling) and only where a bound on the response shows the peak could be
    there, so they cost little even at T = 0.001 s (k = 50 at dt = 0.005 s). Below
    T = 5.7e-12 dt the oscillator follows the ground and PSA is the record's peak (its value in
    the limit T -> 0; the difference there is below 1e-12).

    Parameters
    ----------
    acc : array_like, shape (n, m) or (m,), or ObsPy Trace or Stream
        Acceleration records (g gives PSA in g), float32 or float64 (read as float, computed in
        double), finite, at least two samples.
    dt : float or None
        Sample interval (s), finite and positive; None for ObsPy Trace or Stream records (their
        stats.delta; the "obspy" extra).
    periods : array_like, shape (P,), optional
        Oscillator periods (s), finite and positive. By default CB14's periods,
        ``1 / MODELS["cb14"].frequencies`` in that model's column order (10 s to 0.001 s, the
        last being PGA's column).
    damping : float
        Damping ratio in [0, 1); 0.05 by default.
    workers : int, optional
        Threads working on records: at least 1, or -1 (the default, None, too) for every CPU.
    samples_only : bool
        Take the peak at the samples only (k = 1 at every period): PSA up to a few percent
        lower at periods below 10 dt, which does not match published spectra. False by default.

    Returns
    -------
    ndarray, shape (n, P) or (P,) for one record
        float64.

    Examples
    --------
    >>> import numpy as np
    >>> import vs30amp
    >>> dt = 0.01
    >>> t = np.arange(2000) * dt
    >>> acc = 0.1 * np.sin(2 * np.pi * t) * np.sin(np.pi * t / t[-1]) ** 2   # 1 Hz, at rest at both ends
    >>> vs30amp.response_spectrum(acc, dt, [0.1, 1.0]).round(3)   # PSA (g) at 0.1 s and 1 s
    array([0.101, 0.849])
    """
    records, one = as_records("acc", acc)
    step, chosen = as_dt(dt), _periods(periods)
    out = np.empty((records.shape[0], chosen.size))
    _native.response_spectrum(records, step, chosen, _damping(damping), out, thread_count(workers),
                              not samples_only)
    return out[0] if one else out


@functools.partial(taking_traces, inputs=2)
def rotd(h1: ArrayLike, h2: ArrayLike, dt: float, periods: ArrayLike | None = None, percentile: float = 50.0,
         damping: float = 0.05, *, workers: int | None = None, samples_only: bool = False) -> NDArray[np.float64]:
    """RotDnn pseudo-spectral acceleration of pairs of horizontal records (Boore 2010).

    For each period the two components' displacement histories are computed once (as in
    `response_spectrum`, sub-steps between samples included); the oscillator being linear, the
    response of the record rotated by theta is u1 cos(theta) + u2 sin(theta). Its peak is taken
    for the 180 angles 0, 1, ..., 179 degrees, and the `percentile` of those 180 peaks, interpolated linearly between ranks as
    NumPy's default: RotD50 is the mean of the 90th and 91st smallest peak, RotD100 the largest,
    RotD0 the smallest.

    Parameters
    ----------
    h1, h2 : array_like, shape (n, m) or (m,), or ObsPy Trace or Stream
        The two horizontal components, of one shape; float32 or float64 (computed in double).
    dt, periods, damping, workers, samples_only
        As for `response_spectrum`.
    percentile : float
        In [0, 100]; 50 by default (RotD50).

    Returns
    -------
    ndarray, shape (n, P) or (P,) for one pair
        float64.

    Examples
    --------
    >>> import numpy as np
    >>> import vs30amp
    >>> dt = 0.01
    >>> t = np.arange(2000) * dt
    >>> acc = 0.1 * np.sin(2 * np.pi * t) * np.sin(np.pi * t / t[-1]) ** 2   # 1 Hz, at rest at both ends
    >>> vs30amp.rotd(acc, 0.5 * acc, dt, [0.1, 1.0]).round(3)   # RotD50
    array([0.08 , 0.671])
    >>> vs30amp.rotd(acc, 0.5 * acc, dt, [0.1, 1.0], percentile=100).round(3)
    array([0.113, 0.949])
    """
    first, second, one = as_pairs(h1, h2)
    step, chosen = as_dt(dt), _periods(periods)
    rank = real_scalar(percentile)
    if not 0.0 <= rank <= 100.0:
        raise ValueError(f"percentile: expected a value in [0, 100], got {percentile!r}")
    out = np.empty((first.shape[0], chosen.size))
    _native.rotd(first, second, step, chosen, _damping(damping), rank, out, thread_count(workers), not samples_only)
    return out[0] if one else out
