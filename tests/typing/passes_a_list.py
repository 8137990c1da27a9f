import numpy as np

import _utils

_utils._campbell_bozorgnia_2014([200.0], np.array([760.0]), np.array([0.2]))
