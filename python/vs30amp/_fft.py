"""The FFTs the measures and the amplification use."""

from __future__ import annotations

import importlib
from collections.abc import Callable
from typing import Any

import numpy as np


def _module() -> Any:
    try:
        return importlib.import_module("scipy.fft")
    except ImportError:  # also a SciPy without builds for this interpreter
        return np.fft


def real_ffts() -> tuple[Callable[..., Any], Callable[..., Any]]:
    """SciPy's real FFTs when SciPy is usable (the "fft" extra: faster here, and in single
    precision for float32 records), NumPy's otherwise."""
    fft = _module()
    return fft.rfft, fft.irfft


def complex_ffts() -> tuple[Callable[..., Any], Callable[..., Any]]:
    """The complex FFTs of the same library as `real_ffts`."""
    fft = _module()
    return fft.fft, fft.ifft


def cosine_sums(lags: Any, length: int) -> Any:
    """c_0 + sum_n c_n cos(2 pi n k / length), k = 0 ... length / 2, of rows c (shorter than
    length / 2): the real part of their transform of length `length`, by SciPy's DCT-I where
    SciPy is usable (a third faster here), else by the real FFT."""
    fft = _module()
    if fft.__name__ == "numpy.fft":
        return fft.rfft(lags, length, axis=1).real
    # The DCT-I doubles the inner terms and adds c_last (-1)^k: halve the rows, end them with 0.
    padded = np.zeros((lags.shape[0], length // 2 + 1))
    padded[:, :lags.shape[1]] = lags / 2.0
    padded[:, 0] = lags[:, 0]
    return fft.dct(padded, type=1, axis=1)
