"""Site amplification factors for simulated ground motions (Vs30 in m/s, PGA in g)."""

from typing import Final

import numpy
from numpy.typing import NDArray

__all__: Final[list[str]]

def _bayless_abrahamson_2018_eas(
    vs30_py: NDArray[numpy.float64],
    vs30_sim_py: NDArray[numpy.float64],
    pga_py: NDArray[numpy.float64],
) -> NDArray[numpy.float64]:
    """n x 301 Bayless-Abrahamson (2018) EAS factors, one row per site."""

def _bayless_abrahamson_2018_frequencies() -> NDArray[numpy.float64]:
    """The 301 frequencies (Hz) of the Bayless-Abrahamson (2018) EAS grid."""

def _campbell_bozorgnia_2014_frequencies() -> NDArray[numpy.float64]:
    """The 22 frequencies (Hz) of the Campbell-Bozorgnia (2014) grid."""

def _campbell_bozorgnia_2014(
    vs30_py: NDArray[numpy.float64],
    vs30_sim_py: NDArray[numpy.float64],
    pga_py: NDArray[numpy.float64],
) -> NDArray[numpy.float64]:
    """n x 22 Campbell-Bozorgnia (2014) factors, one row per site."""
