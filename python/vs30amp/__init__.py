"""Vs30 site amplification for simulated ground motions.

Simulations are computed for one reference velocity model, the simulation's Vs30; these
functions move their motions to sites of other Vs30 with the amplification factors of the
published models of `MODELS`: {models}.

- `amplification`: the factors of n sites on the model's frequencies, as an `Amplification`
  (with ``at`` for any other frequencies, ``to_xarray`` and ``plot``).
- `side_by_side`: several models' factors of the same sites on common frequencies, as a
  `SideBySide` (with ``plot`` and ``to_xarray``).
- `amplify_spectrum`: Fourier spectra multiplied by the factors.
- `amplify_waveforms`: acceleration records amplified through the FFT.
- `fas`, `eas`: smoothed Fourier and effective amplitude spectra of records (BA18's measure).
- `response_spectrum`, `rotd`: PSA of records and RotDnn of pairs (CB14's measure).
- `MODELS`: the models, their frequencies, references and ranges of applicability.
- `RangeWarning`: the warning about sites outside a model's range or missing a value (NaN).
- `AmplificationWarning`: the warning about records amplified above a simulation's maximum
  frequency unknowingly (no `fmax`) or not at rest at their ends.

Velocities are in m/s, PGA in g, frequencies in Hz. `vs30amp.io` reads and writes record files
(PEER NGA .AT2, SAC) and stores of many stations' records (netCDF, Zarr);
`vs30amp.distributed` computes factors, amplified records and measures on Dask arrays, bit for
bit as one call. The ``vs30amp`` command amplifies record files and stores (``amplify``), tables
their measures per station (``measures``) and the factors of a table of sites (``factors``).
"""

import pkgutil
import sys

# The Python versions of the scientific ecosystem's support window (docs/guide.md, "Supported versions").
_SUPPORTED_PYTHONS = "CPython 3.13, 3.14 and 3.15"
if sys.version_info < (3, 13):
    raise ImportError(f"vs30amp supports {_SUPPORTED_PYTHONS} (and later); this is Python "
                      f"{sys.version_info.major}.{sys.version_info.minor}")

# A build tree keeps the native module in its own vs30amp/ folder; an installed package has it here.
__path__ = pkgutil.extend_path(__path__, __name__)

try:
    from . import _native
except ImportError as error:
    raise ImportError(f"vs30amp: its native module is missing or was built for another Python than "
                      f"{sys.version_info.major}.{sys.version_info.minor} ({_SUPPORTED_PYTHONS} are supported); "
                      f"reinstall vs30amp for this Python ({error})") from error
from . import io
from ._factors import Amplification, amplification
from ._fourier import eas, fas
from ._models import MODELS, Model, listing_models
from ._response import response_spectrum, rotd
from ._side_by_side import SideBySide, side_by_side
from ._sites import RangeWarning
from ._amplification_warnings import AmplificationWarning
from ._waveforms import amplify_spectrum, amplify_waveforms

__all__ = ["MODELS", "Amplification", "AmplificationWarning", "Model", "RangeWarning", "SideBySide", "amplification",
           "amplify_spectrum",
           "amplify_waveforms", "eas", "fas", "response_spectrum", "rotd", "side_by_side"]
from ._version import __version__

__doc__ = listing_models(__doc__)
del pkgutil, sys, listing_models  # the package's names are those of __all__
