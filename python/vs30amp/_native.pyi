"""Native kernels of the vs30amp package (typed here; built from src/package)."""

from typing import Any

import numpy as np
from numpy.typing import NDArray

def response_spectrum(records: NDArray[np.floating[Any]], dt: float, periods: NDArray[np.float64], damping: float,
                      out: NDArray[np.float64], threads: int, /) -> None: ...
def rotd(h1: NDArray[np.floating[Any]], h2: NDArray[np.floating[Any]], dt: float, periods: NDArray[np.float64],
         damping: float, percentile: float, out: NDArray[np.float64], threads: int, /) -> None: ...
