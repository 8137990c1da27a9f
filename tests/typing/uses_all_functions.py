import numpy as np
from numpy.typing import NDArray

import _utils

vs30: NDArray[np.float64] = np.array([200.0, 760.0])
vs30_sim: NDArray[np.float64] = np.array([760.0, 760.0])
pga: NDArray[np.float64] = np.array([0.2, 0.3])

cb14: NDArray[np.float64] = _utils._campbell_bozorgnia_2014(vs30, vs30_sim, pga)
ba18: NDArray[np.float64] = _utils._bayless_abrahamson_2018_eas(vs30_py=vs30, vs30_sim_py=vs30_sim, pga_py=pga)
grids: list[NDArray[np.float64]] = [
    _utils._campbell_bozorgnia_2014_frequencies(),
    _utils._bayless_abrahamson_2018_frequencies(),
]
names: list[str] = _utils.__all__
