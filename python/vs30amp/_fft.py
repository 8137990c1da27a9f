"""The FFTs the measures and the amplification use."""

from __future__ import annotations

import importlib
from collections.abc import Callable
from typing import Any


def _module() -> Any:
    try:
        return importlib.import_module("scipy.fft")
    except ImportError:  # also a SciPy without builds for this interpreter
        import numpy as np
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
