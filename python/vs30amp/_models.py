"""The two models: their kernels, frequency grids, references and ranges.

On Python 3.15 and later the "module" convention is `_utils`' own functions; before 3.15, where
`_utils` does not exist, the package's native module computes it on the same kernels, so the
factors are the same bits on every version.
"""

import sys
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Final

import numpy as np
from numpy.typing import NDArray

from . import _native

Kernel = Callable[[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]], NDArray[np.float64]]


def _ba18_under(convention: str) -> Kernel:
    """The Bayless-Abrahamson (2018) factors under `convention`, from the package's native module."""
    def kernel(vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
               pga: NDArray[np.float64]) -> NDArray[np.float64]:
        site, simulation, peak = (np.require(values, np.float64, ["C", "A"]) for values in (vs30, vs30_sim, pga))
        out = np.empty((site.shape[0], 301))
        _native.model_factors("ba18", convention, site, simulation, peak, out)
        return out
    return kernel


def _native_cb14(vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                 pga: NDArray[np.float64]) -> NDArray[np.float64]:
    """The Campbell-Bozorgnia (2014) factors from the package's native module."""
    site, simulation, peak = (np.require(values, np.float64, ["C", "A"]) for values in (vs30, vs30_sim, pga))
    out = np.empty((site.shape[0], 22))
    _native.model_factors("cb14", "module", site, simulation, peak, out)
    return out


def _native_frequencies(model: str, count: int) -> NDArray[np.float64]:
    out = np.empty(count)
    _native.model_frequencies(model, out)
    return out


if sys.version_info >= (3, 15):
    import _utils

    CB14_KERNEL: Kernel = _utils._campbell_bozorgnia_2014
    BA18_KERNEL: Kernel = _utils._bayless_abrahamson_2018_eas
    CB14_FREQUENCIES = _utils._campbell_bozorgnia_2014_frequencies()
    BA18_FREQUENCIES = _utils._bayless_abrahamson_2018_frequencies()
else:
    CB14_KERNEL = _native_cb14
    BA18_KERNEL = _ba18_under("module")
    CB14_FREQUENCIES = _native_frequencies("cb14", 22)
    BA18_FREQUENCIES = _native_frequencies("ba18", 301)


@dataclass(frozen=True)
class Model:
    """One amplification model.

    Attributes
    ----------
    name : str
        The short name used by the package's functions ("ba18" or "cb14").
    label : str
        A readable name for titles and legends.
    reference : str
        The publication the model comes from.
    vs30_range : tuple of float
        The Vs30 range of applicability (m/s) that ``ranges`` checks.
    range_source : str
        Where that range is stated.
    conventions : mapping of str to callable
        The kernel of every convention the model offers, by name; "module" is `kernel`.
    """

    name: str
    label: str
    reference: str
    vs30_range: tuple[float, float]
    range_source: str
    _frequencies: NDArray[np.float64] = field(repr=False)
    conventions: Mapping[str, Kernel] = field(default_factory=dict, repr=False)

    @property
    def kernel(self) -> Kernel:
        """The function computing the n x F factors of the "module" convention: `_utils`' on
        Python 3.15 and later, the package's native module's before."""
        return self.conventions["module"]

    def kernel_for(self, convention: str) -> Kernel:
        """The kernel of `convention`, in any case; ValueError naming the model's conventions otherwise.

        Examples
        --------
        >>> import numpy as np
        >>> import vs30amp
        >>> kernel = vs30amp.MODELS["ba18"].kernel_for("published")
        >>> kernel(np.array([300.0]), np.array([760.0]), np.array([0.1])).shape
        (1, 301)
        """
        try:
            return self.conventions[convention.lower()]
        except (KeyError, TypeError, AttributeError):
            choices = ", ".join(repr(key) for key in self.conventions)
            raise ValueError(f"convention: unknown convention {convention!r} for {self.name}; choose one of "
                             f"{choices}") from None

    @property
    def frequencies(self) -> NDArray[np.float64]:
        """The model's frequencies (Hz), ascending, a fresh read-only-safe copy."""
        return self._frequencies.copy()


def _frozen(values: NDArray[np.float64]) -> NDArray[np.float64]:
    values.flags.writeable = False
    return values


MODELS: Final[dict[str, Model]] = {
    "ba18": Model(
        name="ba18",
        label="Bayless-Abrahamson 2018 EAS",
        reference=("Bayless, J. and Abrahamson, N. A. (2018), An empirical model for Fourier amplitude spectra "
                   "using the NGA-West2 database, PEER Report 2018/07"),
        # The model's stated range of applicability, in the abstracts of the report and the 2019 paper.
        vs30_range=(180.0, 1500.0),
        range_source=("Bayless and Abrahamson (2018), PEER Report 2018/07, and (2019), BSSA 109(5): the model's "
                      "stated range of applicability, not well constrained above 1000 m/s"),
        _frequencies=_frozen(BA18_FREQUENCIES),
        # "module": the intensity of the nonlinear term at the 760 m/s reference, the decay above
        # the power law anchored at 24 Hz. "published": as the published model, at its 1000 m/s
        # reference and anchored at 23.988321 Hz (docs/models.md, "The two conventions of BA18").
        conventions={"module": BA18_KERNEL, "published": _ba18_under("published")},
    ),
    "cb14": Model(
        name="cb14",
        label="Campbell-Bozorgnia 2014",
        reference=("Campbell, K. W. and Bozorgnia, Y. (2014), NGA-West2 ground motion model for the average "
                   "horizontal components of PGA, PGV, and 5% damped linear acceleration response spectra, "
                   "Earthquake Spectra 30(3), 1087-1115, doi:10.1193/062913EQS175M"),
        vs30_range=(150.0, 1500.0),
        range_source="Campbell and Bozorgnia (2014), Earthquake Spectra 30(3): the model's range of applicability",
        _frequencies=_frozen(CB14_FREQUENCIES),
        # One convention: the module's site term is the published one.
        conventions={"module": CB14_KERNEL},
    ),
}


# Every convention of the models, the default first.
CONVENTIONS: Final = tuple(dict.fromkeys(name for model in MODELS.values() for name in model.conventions))


def get_model(name: str) -> Model:
    """The model called `name`, in any case; ValueError naming the choices otherwise."""
    try:
        return MODELS[name.lower()]
    except (KeyError, TypeError, AttributeError):
        choices = ", ".join(repr(key) for key in MODELS)
        raise ValueError(f"model: unknown model {name!r}; choose one of {choices}") from None


# What each result says of its model's convention: BA18's default is not the published model.
CONVENTION_WORDS: Final = {
    ("ba18", "module"): "ba18 in the module convention, not the published BA18 (factors up to 10 % apart within "
                        "the model's ranges; convention 'published' for the published model; see the models page)",
    ("ba18", "published"): "ba18 in the published convention (the published BA18)",
    ("cb14", "module"): "cb14 (its published site term)",
}


def convention_words(model: str, convention: str) -> str:
    """How a result names its model and convention, e.g. "ba18 in the published convention (the
    published BA18)"; the module convention of BA18 says that it is not the published model."""
    chosen = get_model(model)
    chosen.kernel_for(convention)
    return CONVENTION_WORDS[chosen.name, convention.lower()]
