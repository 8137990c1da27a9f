import numpy as np
from numpy.typing import NDArray

import vs30amp

result: vs30amp.Amplification = vs30amp.amplification([250.0, 400.0], 760.0, 0.2, model="cb14")
factors: NDArray[np.float64] = result.at(np.geomspace(0.1, 10.0, 5))
spectra = vs30amp.amplify_spectrum(np.ones(3), [1.0, 2.0, 3.0], 300, 760, 0.1)
waves = vs30amp.amplify_waveforms(np.zeros((2, 10)), 0.01, 300, 760, check_ranges=True)
frequencies: NDArray[np.float64] = vs30amp.MODELS["ba18"].frequencies
