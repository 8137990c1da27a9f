"""Native kernels of the vs30amp package (typed here; built from src/vs30amp_native)."""

from typing import Any

import numpy as np
from numpy.typing import NDArray

def response_spectrum(records: NDArray[np.floating[Any]], dt: float, periods: NDArray[np.float64], damping: float,
                      out: NDArray[np.float64], threads: int, between_samples: int, /) -> None: ...
def rotd(h1: NDArray[np.floating[Any]], h2: NDArray[np.floating[Any]], dt: float, periods: NDArray[np.float64],
         damping: float, percentile: float, out: NDArray[np.float64], threads: int, between_samples: int,
         /) -> None: ...
def ba18_factors(vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64], pga: NDArray[np.float64],
                 out: NDArray[np.float64], convention: str, /) -> None:
    """Bayless-Abrahamson (2018) factors of n sites under `convention` ("module" or "published"),
    written into `out` (C-contiguous float64, shape (n, 301)); the inputs are C-contiguous float64
    arrays of length n."""
def cb14_factors(vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64], pga: NDArray[np.float64],
                 out: NDArray[np.float64], /) -> None:
    """Campbell-Bozorgnia (2014) factors of n sites, written into `out` (C-contiguous float64,
    shape (n, 22)); the inputs are C-contiguous float64 arrays of length n."""
def model_frequencies(model: str, out: NDArray[np.float64], /) -> None:
    """The frequencies (Hz) of "cb14" (22) or "ba18" (301), written into `out`."""
