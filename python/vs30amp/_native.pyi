"""Native kernels of the vs30amp package (typed here; built from src/package)."""

import numpy as np
from numpy.typing import NDArray

def ba18_factors(vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64], pga: NDArray[np.float64],
                 out: NDArray[np.float64], convention: str, /) -> None:
    """Bayless-Abrahamson (2018) factors of n sites under `convention` ("module" or "published"),
    written into `out` (C-contiguous float64, shape (n, 301)); the inputs are C-contiguous float64
    arrays of length n."""
