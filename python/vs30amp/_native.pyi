"""Native kernels of the vs30amp package (typed here; built from src/vs30amp_native)."""

from typing import Any

import numpy as np
from numpy.typing import NDArray

def response_spectrum(records: NDArray[np.floating[Any]], dt: float, periods: NDArray[np.float64], damping: float,
                      out: NDArray[np.float64], threads: int, between_samples: int, /) -> None: ...
def rotd(h1: NDArray[np.floating[Any]], h2: NDArray[np.floating[Any]], dt: float, periods: NDArray[np.float64],
         damping: float, percentile: float, out: NDArray[np.float64], threads: int, between_samples: int,
         /) -> None: ...
def refined_amplitudes(powers: NDArray[np.float64], weights: NDArray[np.float64], dt: float, out: NDArray[np.float64],
                       /) -> None:
    """dt sqrt(max(P, 0)) of rows of powers (n, L/2 + 1), even about both ends, at the bins of a
    grid of steps L into `out` (n, steps L/2 + 1): between bins j and j + 1, at j + q / steps, the
    powers at j - 2 ... j + 3 weighted by the row q - 1 of `weights` (steps - 1, 6)."""
def refined_sums(powers: NDArray[np.float64], weights: NDArray[np.float64], dt: float, starts: NDArray[np.int64],
                 out: NDArray[np.float64], /) -> None:
    """The sums of `refined_amplitudes`' points 1 ... steps L/2 in groups, group g from point
    starts[g] + 1 to the next group's (`starts` int64, ascending from 0), into `out` (n, groups)."""
def model_factors(model: str, convention: str, vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                  pga: NDArray[np.float64], out: NDArray[np.float64], /) -> None:
    """The factors of n sites under the model's named convention, written into `out` (C-contiguous
    float64, shape (n, columns)); the inputs are C-contiguous float64 arrays of length n. ValueError
    naming the native table's models or the model's conventions for an unknown one."""
def model_column_factors(model: str, convention: str, vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                         inputs: NDArray[np.float64], out: NDArray[np.float64], /) -> None:
    """The factors of n sites of a model whose nonlinear input is one value per site and column
    (cy14's y_ref), written into `out` (C-contiguous float64, shape (n, columns)); vs30 and vs30_sim
    are C-contiguous float64 arrays of length n, `inputs` one of out's shape. ValueError for a model
    that takes no input per column."""
def model_basin_factors(model: str, convention: str, vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                        inputs: NDArray[np.float64], z1: NDArray[np.float64], z1_sim: NDArray[np.float64],
                        out: NDArray[np.float64], /) -> None:
    """As `model_column_factors` with the basin depths (m) of the sites and of the simulation
    (cy14's Z1; NaN for one not given, dZ1 = 0), arrays of length n. ValueError for a model that
    takes no basin depth."""
def model_moved_factors(model: str, convention: str, epsilon: float, vs30: NDArray[np.float64],
                        vs30_sim: NDArray[np.float64], pga: NDArray[np.float64], out: NDArray[np.float64], /) -> None:
    """As `model_factors`, the factors of a model with uncertainty moved by `epsilon` times its
    sigma; ValueError for a model without."""
def model_sigma(model: str, convention: str, vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                pga: NDArray[np.float64], out: NDArray[np.float64], /) -> None:
    """|s(vs30) - s(vs30_sim)| of a model with uncertainty (ln units), written as `model_factors`
    writes the factors; ValueError for a model without."""
def model_frequencies(model: str, out: NDArray[np.float64], /) -> None:
    """The model's frequencies (Hz), ascending, written into `out` (float64, the model's columns)."""
def models() -> tuple[tuple[str, int, tuple[str, ...]], ...]:
    """(name, columns, conventions) of every model of the native table, in name order, the
    default convention first."""
