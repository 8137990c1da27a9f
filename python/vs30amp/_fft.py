"""The real FFTs the measures and the amplification use."""

from __future__ import annotations

import importlib
from collections.abc import Callable
from typing import Any


def real_ffts() -> tuple[Callable[..., Any], Callable[..., Any]]:
    """SciPy's real FFTs when SciPy is usable (the "fft" extra: faster here, and in single
    precision for float32 records), NumPy's otherwise."""
    try:
        fft = importlib.import_module("scipy.fft")
    except ImportError:  # also a SciPy without builds for this interpreter
        import numpy as np
        return np.fft.rfft, np.fft.irfft
    return fft.rfft, fft.irfft
