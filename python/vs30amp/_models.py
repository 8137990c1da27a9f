"""The models, each declared once in MODELS: its kernel, grid, inputs, conventions, references,
ranges, coefficient data and the independent figures that verify it. Everything else that
names a model (the command's choices, the range checks, the docs' tables, the provenance of
files) is made from these entries.

On Python 3.15 and later a model that `_utils` has takes its default convention and its grid from
`_utils`' own functions; everywhere else the package's native module computes them on the same
kernels, so the factors are the same bits on every version.
"""

from __future__ import annotations

import functools
import sys
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from typing import Final

import numpy as np
from numpy.typing import NDArray

from . import _native

Kernel = Callable[[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]], NDArray[np.float64]]
# The kernel of a model with an input per site and period (cy14's y_ref): vs30, vs30_sim, inputs (n, F).
ColumnKernel = Callable[[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]], NDArray[np.float64]]

# Above this PGA (g) a record or PGA given in m/s^2 or cm/s^2 by mistake is the likelier story.
PGA_LIMIT = 5.0


# ---- the package's one way to its native models -------------------------------------------------

def _rows_of(write: Callable[..., None], columns: int) -> Kernel:
    """A kernel of n sites whose rows (n x `columns`) `write` (a function of `_native`, its model
    and convention bound) fills from the three inputs made C-contiguous float64."""
    def kernel(vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
               given: NDArray[np.float64]) -> NDArray[np.float64]:
        site, simulation, value = (np.require(values, np.float64, ["C", "A"]) for values in (vs30, vs30_sim, given))
        out = np.empty((site.shape[0], columns))
        write(site, simulation, value, out)
        return out
    return kernel


def native_kernel(model: str, convention: str, columns: int) -> Kernel:
    """The factors of `model` under `convention` from the package's native module: every native
    model call of the package is made here or below."""
    return _rows_of(functools.partial(_native.model_factors, model, convention), columns)


def native_column_kernel(model: str, convention: str, columns: int) -> ColumnKernel:
    """The factors of `model` under `convention` with its input per site and period (n, F)."""
    return _rows_of(functools.partial(_native.model_column_factors, model, convention), columns)


def native_basin_kernel(model: str, convention: str, columns: int) -> Callable[..., NDArray[np.float64]]:
    """The factors of `model` under `convention` with its input per site and period (n, F) and the
    basin depths of the sites and of the simulation (m, NaN for one not given):
    kernel(vs30, vs30_sim, inputs, z1, z1_sim)."""
    def kernel(*arrays: NDArray[np.float64]) -> NDArray[np.float64]:
        site, simulation, inputs, z1, z1_sim = (np.require(values, np.float64, ["C", "A"]) for values in arrays)
        out = np.empty((site.shape[0], columns))
        _native.model_basin_factors(model, convention, site, simulation, inputs, z1, z1_sim, out)
        return out
    return kernel


def native_moved_kernel(model: str, convention: str, columns: int, epsilon: float) -> Kernel:
    """The factors of a model with uncertainty moved by `epsilon` times its sigma (the C
    library's exp, as every factor)."""
    return _rows_of(functools.partial(_native.model_moved_factors, model, convention, float(epsilon)), columns)


def native_sigma_kernel(model: str, convention: str, columns: int) -> Kernel:
    """|s(Vs30) - s(Vs30_sim)| (ln units) of a model with uncertainty."""
    return _rows_of(functools.partial(_native.model_sigma, model, convention), columns)


def native_frequencies(model: str, columns: int) -> NDArray[np.float64]:
    out = np.empty(columns)
    _native.model_frequencies(model, out)
    return out


NATIVE: Final = {name: (columns, conventions) for name, columns, conventions in _native.models()}


# ---- what a model declares ------------------------------------------------------------------------

@dataclass(frozen=True)
class Input:
    """One value a model takes per site.

    Attributes
    ----------
    name, units, meaning : str
        The argument's name ("vs30", "vs30_sim", "pga"), its units and what it is.
    rule : str
        What every value must be ("positive", "non-negative"); others are refused whatever the
        range policy says.
    range : tuple of float
        The values the model is meant for; others are warned about or refused by the range policy.
    range_source : str
        Where that range is stated.
    outside : str
        For a range that guards against a mistake rather than states the model's applicability,
        what a value above it most likely means; empty otherwise.
    rock : float or None
        For a ground motion, the Vs30 (m/s) of the reference rock it is taken on (BSSA14's PGAr on
        760 m/s rock); None for the motion at the simulation's site.
    per_period : bool
        Whether the input is one value per site and period of the model's grid, shape (n, F) (cy14's
        y_ref), rather than one per site.
    optional : bool
        Whether the input may be left out (cy14's z1 and z1_sim): absent or NaN, the model takes
        its default (for Z1, dZ1 = 0), and the site is not missing a value.
    """

    name: str
    units: str
    meaning: str
    rule: str
    range: tuple[float, float]
    range_source: str
    outside: str = ""
    rock: float | None = None
    per_period: bool = False
    optional: bool = False


@dataclass(frozen=True)
class Convention:
    """One way a model's factors are computed: its name, what a result says of it (`words`)
    and what the command's help says of it (`summary`)."""

    name: str
    words: str
    summary: str


@dataclass(frozen=True)
class Verification:
    """Figures of a model computed by others, under tests/data, that the model is checked against.

    Attributes
    ----------
    file : str
        The file's name under tests/data; its header states its provenance.
    source : str
        Who computed or published the figures, as the file's header says.
    check : str
        How the tests compare them (tests/test_model_verification.py): "ln_factors", a table of
        sites (vs30, vs30_sim, pga) and the natural logs of their factors on the model's grid;
        "site_ratios", ground motions of one scenario at two sites, whose log ratio is the
        difference of the two sites' site terms; "rock_ln_factors", pairs of rows of a site
        (vs30, vs30_sim and optional inputs such as cy14's z1, z1_sim): its input per period on
        the rock, then the ln factors it gives.
    tolerance : float
        The largest difference in ln(factor) allowed, or for "site_ratios" the multiple of the
        figures' printed precision.
    convention : str
        The model's convention the figures follow.
    epsilon : float
        The number of sigma by which the figures move the model's median (0: the median).
    """

    file: str
    source: str
    check: str
    tolerance: float
    convention: str
    epsilon: float = 0.0


@dataclass(frozen=True)
class Model:
    """One amplification model.

    Attributes
    ----------
    name : str
        The short name used by the package's functions and the command.
    label : str
        A readable name for titles and legends.
    reference : str
        The publication the model comes from.
    measure : str
        What its factors are ratios of: "PSA" (5 %-damped pseudo-spectral acceleration) or "EAS"
        (effective amplitude spectrum, Fourier).
    tabulated : str
        What its coefficients are given at: "periods" or "frequencies".
    inputs : tuple of Input
        The values it takes per site, with their units and ranges.
    conventions : tuple of Convention
        The conventions it offers, the default first.
    coefficients : tuple of str
        Its coefficient table under data/ and the columns the build reads from it.
    verification : tuple of Verification
        Independent figures it is checked against.
    vs30_range : tuple of float
        The Vs30 range of applicability (m/s) that ``ranges`` checks.
    range_source : str
        Where that range is stated.
    uncertainty : bool
        Whether the model gives an epistemic sigma (``Amplification.sigma``) by which ``epsilon``
        moves its factors.
    """

    name: str
    label: str
    reference: str
    measure: str
    tabulated: str
    inputs: tuple[Input, ...]
    conventions: tuple[Convention, ...]
    coefficients: tuple[str, ...]
    verification: tuple[Verification, ...]
    # `_utils`' functions of the default convention's factors and of the grid, where it has them.
    utils: tuple[str, str] | None = field(default=None, repr=False)
    uncertainty: bool = False
    _kernels: dict[str, Kernel] = field(init=False, repr=False, compare=False)
    _column_kernels: dict[str, ColumnKernel] = field(init=False, repr=False, compare=False)
    _frequencies: NDArray[np.float64] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        columns, conventions = NATIVE[self.name]
        declared = tuple(convention.name for convention in self.conventions)
        if declared != conventions:  # the entry and the native table disagree: a developer's error
            raise ImportError(f"{self.name}: conventions {declared} declared, {conventions} in the native module")
        kernels = {convention: native_kernel(self.name, convention, columns) for convention in conventions}
        grid = native_frequencies(self.name, columns)
        if self.utils is not None and sys.version_info >= (3, 15):
            import _utils

            kernels[conventions[0]] = getattr(_utils, self.utils[0])
            grid = getattr(_utils, self.utils[1])()
        grid.flags.writeable = False
        column_kernels = ({convention: native_column_kernel(self.name, convention, columns)
                           for convention in conventions} if self.per_period_input is not None else {})
        object.__setattr__(self, "_column_kernels", column_kernels)
        object.__setattr__(self, "_kernels", kernels)
        object.__setattr__(self, "_frequencies", grid)

    @property
    def kernel(self) -> Kernel:
        """The function computing the n x F factors of the default convention: `_utils`' on
        Python 3.15 and later where it has the model, the package's native module's otherwise."""
        return self._kernels[self.conventions[0].name]

    def kernel_for(self, convention: str) -> Kernel:
        """The kernel of `convention`, in any case; ValueError naming the model's conventions otherwise.

        Examples
        --------
        >>> import numpy as np
        >>> import vs30amp
        >>> model = vs30amp.MODELS["ba18"]
        >>> kernel = model.kernel_for("published")
        >>> kernel(np.array([300.0]), np.array([760.0]), np.array([0.1])).shape == (1, model.frequencies.size)
        True
        """
        return self._kernels[self.convention_named(convention)]

    def convention_named(self, convention: str) -> str:
        """The name of the model's convention `convention`, in any case; "module" names the
        default of a model that has no convention so called. ValueError naming the model's
        conventions otherwise.

        Examples
        --------
        >>> import vs30amp
        >>> vs30amp.MODELS["nga_east"].convention_named("module")
        'median'
        """
        try:
            name = convention.lower()
        except (TypeError, AttributeError):
            name = None
        if name == "module" and name not in self._kernels:
            name = self.conventions[0].name
        if name not in self._kernels:
            choices = ", ".join(repr(key) for key in self._kernels)
            raise ValueError(f"convention: unknown convention {convention!r} for {self.name}; choose one of "
                             f"{choices}")
        return name

    def moved_kernel_for(self, convention: str, epsilon: float) -> Kernel:
        """The kernel of `convention` whose factors are moved by `epsilon` times the model's
        sigma; the convention's own kernel for epsilon 0. ValueError for a model without
        uncertainty and any other epsilon."""
        name = self.convention_named(convention)
        if isinstance(epsilon, bool) or not isinstance(epsilon, (int, float, np.integer, np.floating)):
            raise TypeError(f"epsilon: expected a number, got {epsilon!r}")
        if epsilon == 0.0:
            return self._kernels[name]
        if not self.uncertainty:
            raise ValueError(f"epsilon: {self.name} has no uncertainty; only epsilon 0 is possible")
        if not np.isfinite(epsilon):
            raise ValueError(f"epsilon: expected a finite number, got {epsilon!r}")
        return native_moved_kernel(self.name, name, self.frequencies.size, epsilon)

    def sigma_kernel_for(self, convention: str) -> Kernel | None:
        """The kernel of ``|s(Vs30) - s(Vs30_sim)|`` (ln units) under `convention`; None for a model
        without uncertainty."""
        name = self.convention_named(convention)
        return native_sigma_kernel(self.name, name, self.frequencies.size) if self.uncertainty else None

    def basin_kernel_for(self, convention: str) -> Callable[..., NDArray[np.float64]]:
        """The kernel of `convention` taking the input per site and period and the basin depths
        (z1, z1_sim); ValueError for a model that takes no basin depth."""
        name = self.convention_named(convention)
        if not self.needs("z1"):
            raise ValueError(f"z1: {self.name} takes no basin depth; give z1 and z1_sim only to cy14")
        return native_basin_kernel(self.name, name, self.frequencies.size)

    @property
    def optional_inputs(self) -> tuple[Input, ...]:
        """The inputs the model may go without (cy14's z1, z1_sim)."""
        return tuple(given for given in self.inputs if given.optional)

    def column_kernel_for(self, convention: str) -> ColumnKernel:
        """The kernel of `convention` taking the model's input per site and period (`per_period_input`)."""
        return self._column_kernels[self.convention_named(convention)]

    @property
    def per_period_input(self) -> Input | None:
        """The model's input given per site and period (cy14's y_ref), or None."""
        return next((given for given in self.inputs if given.per_period), None)

    @property
    def frequencies(self) -> NDArray[np.float64]:
        """The model's frequencies (Hz), ascending, a fresh read-only-safe copy."""
        return self._frequencies.copy()

    def needs(self, name: str) -> bool:
        """Whether the model takes the input `name` (a linear model takes no PGA).

        Examples
        --------
        >>> import vs30amp
        >>> vs30amp.MODELS["cb14"].needs("pga")
        True
        """
        return any(given.name == name for given in self.inputs)

    @property
    def vs30_range(self) -> tuple[float, float]:
        return self.input("vs30").range

    @property
    def range_source(self) -> str:
        return self.input("vs30").range_source

    def input(self, name: str) -> Input:
        """The model's input `name`; StopIteration for one it does not take."""
        return next(given for given in self.inputs if given.name == name)


def velocities(low: float, high: float, source: str) -> tuple[Input, Input]:
    """The site's and the simulation's Vs30, in the model's range of applicability."""
    return (Input("vs30", "m/s", "the site's Vs30", "positive", (low, high), source),
            Input("vs30_sim", "m/s", "the Vs30 the simulation assumed", "positive", (low, high), source))


PGA = Input("pga", "g", "the simulation's PGA at the site", "non-negative", (0.0, PGA_LIMIT),
            "a guard against records or a PGA in other units, not a published limit",
            outside="are the records or the PGA in m/s^2 or cm/s^2 rather than g?")

MODELS: Final[dict[str, Model]] = {model.name: model for model in (
    Model(
        name="ba18",
        label="Bayless-Abrahamson 2018 EAS",
        reference=("Bayless, J. and Abrahamson, N. A. (2018), An empirical model for Fourier amplitude spectra "
                   "using the NGA-West2 database, PEER Report 2018/07"),
        measure="EAS",
        tabulated="frequencies",
        # The model's stated range of applicability, in the abstracts of the report and the 2019 paper.
        inputs=(*velocities(180.0, 1500.0, "Bayless and Abrahamson (2018), PEER Report 2018/07, and (2019), BSSA "
                                           "109(5): the model's stated range of applicability, not well constrained "
                                           "above 1000 m/s"), PGA),
        # "module": the intensity of the nonlinear term at the 760 m/s reference, the decay above
        # the power law anchored at 24 Hz. "published": as the published model, at its 1000 m/s
        # reference and anchored at 23.988321 Hz (docs/models.md, "The two conventions of BA18").
        conventions=(
            Convention("module", "ba18 in the module convention, not the published BA18 (factors up to 10 % apart "
                                 "within the model's ranges; convention 'published' for the published model; see the "
                                 "models page)",
                       "not the published BA18, whose factors are up to 10% apart within the model's ranges"),
            Convention("published", "ba18 in the published convention (the published BA18)", "the published model")),
        coefficients=("ba18_site_coefficients.csv", "frequency_hz", "c8", "f4", "f5", "f3"),
        verification=(Verification("ba18_published_pygmm.csv", "pygmm.BaylessAbrahamson2019", "ln_factors", 1e-12,
                                   "published"),),
        utils=("_bayless_abrahamson_2018_eas", "_bayless_abrahamson_2018_frequencies"),
    ),
    Model(
        name="bssa14",
        label="Boore-Stewart-Seyhan-Atkinson 2014",
        reference=("Boore, D. M., Stewart, J. P., Seyhan, E. and Atkinson, G. M. (2014), NGA-West2 equations for "
                   "predicting PGA, PGV, and 5% damped PSA for shallow crustal earthquakes, Earthquake Spectra "
                   "30(3), 1057-1085, doi:10.1193/070113EQS184M; its site term: Seyhan, E. and Stewart, J. P. "
                   "(2014), Earthquake Spectra 30(3), 1241-1256"),
        measure="PSA",
        tabulated="periods",
        inputs=(*velocities(150.0, 1500.0, "Boore et al. (2014), Earthquake Spectra 30(3): the model's range of "
                                           "applicability"),
                replace(PGA, meaning="PGAr, the PGA on 760 m/s rock (the simulation's PGA where it "
                                                 "assumed 760 m/s)", rock=760.0)),
        # One convention: the module's site term is the published one (without the basin term).
        conventions=(Convention("module", "bssa14 (its published site term)", "its published site term"),),
        coefficients=("bssa14_site_coefficients.csv", "period_s", "frequency_hz", "c", "vc", "vref", "f1", "f3",
                      "f4", "f5"),
        verification=(Verification("bssa14_verification_ratios.csv", "the OpenQuake engine's BSSA14 verification table",
                                   "ln_factors", 1.1e-5, "module"),),
    ),
    Model(
        name="cb14",
        label="Campbell-Bozorgnia 2014",
        reference=("Campbell, K. W. and Bozorgnia, Y. (2014), NGA-West2 ground motion model for the average "
                   "horizontal components of PGA, PGV, and 5% damped linear acceleration response spectra, "
                   "Earthquake Spectra 30(3), 1087-1115, doi:10.1193/062913EQS175M"),
        measure="PSA",
        tabulated="periods",
        inputs=(*velocities(150.0, 1500.0, "Campbell and Bozorgnia (2014), Earthquake Spectra 30(3): the model's "
                                           "range of applicability"), PGA),
        # One convention: the module's site term is the published one.
        conventions=(Convention("module", "cb14 (its published site term)", "its published site term"),),
        coefficients=("cb14_site_coefficients.csv", "period_s", "frequency_hz", "k1", "k2", "c11"),
        verification=(Verification("cb14_verification_ratios.csv", "the model developers' verification tables",
                                   "site_ratios", 1.0, "module"),),
        utils=("_campbell_bozorgnia_2014", "_campbell_bozorgnia_2014_frequencies"),
    ),
    Model(
        name="cy14",
        label="Chiou-Youngs 2014",
        reference=("Chiou, B. S.-J. and Youngs, R. R. (2014), Update of the Chiou and Youngs NGA model for the "
                   "average horizontal component of peak ground motion and response spectra, Earthquake Spectra "
                   "30(3), 1117-1153, doi:10.1193/072813EQS219M"),
        measure="PSA",
        tabulated="periods",
        inputs=(*velocities(180.0, 1500.0, "Chiou and Youngs (2014), Earthquake Spectra 30(3): the model's range "
                                           "of applicability"),
                Input("y_ref", "g", "y_ref, the PSA on 1130 m/s rock at each of the model's periods (the simulation's "
                                    "PSA where it assumed 1130 m/s or more)", "non-negative", (0.0, PGA_LIMIT),
                      PGA.range_source, outside=PGA.outside, rock=1130.0, per_period=True),
                *(Input(name, "m", f"Z1, the depth to Vs = 1 km/s, of {whose} (not given: dZ1 = 0, the model's "
                                   "default)", "non-negative", (0.0, 3000.0),
                        "Chiou and Youngs (2014), Earthquake Spectra 30(3): Z1 in m; the range guards against a "
                        "mistake of units", outside="a depth in feet or centimetres is the likelier story",
                        optional=True)
                  for name, whose in (("z1", "the site"), ("z1_sim", "the simulation's site")))),
        # One convention: the published site term, with the basin term where Z1 is given (California).
        conventions=(Convention("module", "cy14 (its published site term; the basin term where Z1 is given)",
                                "its published site term; the basin term where Z1 is given"),),
        coefficients=("cy14_site_coefficients.csv", "period_s", "frequency_hz", "phi1", "phi2", "phi3", "phi4", "phi5",
                      "phi6"),
        verification=(Verification("cy14_verification_ratios.csv", "the OpenQuake engine's CY14 verification table",
                                   "rock_ln_factors", 1e-10, "module"),),
    ),
    Model(
        name="nga_east",
        label="NGA-East Stewart-Hashash 2020",
        reference=("Stewart, J. P., Parker, G. A., Atkinson, G. M., Boore, D. M., Hashash, Y. M. A. and Silva, W. J. "
                   "(2020), Ergodic site amplification model for central and eastern North America, Earthquake "
                   "Spectra 36(1), 42-68, doi:10.1177/8755293019878185; its nonlinear term: Hashash, Y. M. A. et al. "
                   "(2020), Nonlinear site amplification model for ergodic seismic hazard analysis in central and "
                   "eastern North America, Earthquake Spectra 36(1), 69-86, doi:10.1177/8755293019878193"),
        measure="PSA",
        tabulated="periods",
        inputs=(*velocities(200.0, 3000.0, "Stewart et al. (2020), Earthquake Spectra 36(1): the Vs30 scaling is "
                                           "constrained from 200 to 2000 m/s and taken to the 3000 m/s reference "
                                           "in ln Vs30"),
                replace(PGA, meaning="PGAr, the PGA on 3000 m/s hard rock (the simulation's PGA where it "
                                     "assumed 3000 m/s)", rock=3000.0)),
        # "median": the papers' median ln amplification, the default; "collapsed": the USGS hazard
        # model's median, which folds the epistemic sigma in (docs/models.md, "NGA-East").
        conventions=(
            Convention("median", "nga_east in the median convention (the published median)",
                       "the published median amplification"),
            Convention("collapsed", "nga_east in the collapsed convention (the USGS hazard model's median, its "
                                    "epistemic sigma folded in)",
                       "the USGS hazard model's median, its epistemic sigma folded in")),
        coefficients=("nga_east_site_coefficients.csv", "period_s", "frequency_hz", "f760i", "f760g", "f760is",
                      "f760gs", "f760i_smoothed", "f760is_smoothed", "c", "v1", "v2", "vf", "sigma_vc", "sigma_l",
                      "sigma_u", "f3", "f4", "f5", "vc", "sigma_c"),
        verification=tuple(Verification(f"nga_east_verification_{name}.csv",
                                        "the OpenQuake engine's NGA-East site tables", "ln_factors", 1.2e-8,
                                        convention, epsilon)
                           for name, convention, epsilon in (("median", "collapsed", 0.0),
                                                             ("plus1epsilon", "median", 1.0),
                                                             ("minus1epsilon", "median", -1.0))),
        uncertainty=True,
    ),
)}


# Every convention of the models, each default first.
CONVENTIONS: Final = tuple(dict.fromkeys(c.name for model in MODELS.values() for c in model.conventions))

# What each result says of its model's convention: BA18's default is not the published model.
CONVENTION_WORDS: Final = {(model.name, c.name): c.words for model in MODELS.values() for c in model.conventions}


def get_model(name: str) -> Model:
    """The model called `name`, in any case; ValueError naming the choices otherwise."""
    try:
        return MODELS[name.lower()]
    except (KeyError, TypeError, AttributeError):
        choices = ", ".join(repr(key) for key in MODELS)
        raise ValueError(f"model: unknown model {name!r}; choose one of {choices}") from None


def convention_words(model: str, convention: str) -> str:
    """How a result names its model and convention, e.g. "ba18 in the published convention (the
    published BA18)"; the module convention of BA18 says that it is not the published model."""
    chosen = get_model(model)
    return CONVENTION_WORDS[chosen.name, chosen.convention_named(convention)]


def choices(named: list[str]) -> str:
    """"a", "a or b", "a, b or c"."""
    return named[0] if len(named) == 1 else f"{', '.join(named[:-1])} or {named[-1]}"


# The model the command takes when none is named: the first declared, as the functions' default.
DEFAULT_MODEL: Final = next(iter(MODELS))

# The command's help of --model and --convention, made from the models' entries.
def _offered(name: str, default: bool, words: str) -> str:
    return f"{name} ({'default; ' if default else ''}{words})"


# How the package's docstrings list the models: each "{models}" in them becomes this.
MODEL_LIST: Final = choices([f'"{name}" ({model.label})' for name, model in MODELS.items()])


def listing_models(doc: str | None) -> str:
    """`doc` (None under ``python -OO``) with "{models}" replaced by the models' list, so that no
    docstring lists them by hand."""
    return (doc or "").replace("{models}", MODEL_LIST)


MODEL_HELP: Final = choices([_offered(name, name == DEFAULT_MODEL, model.label) for name, model in MODELS.items()])
CONVENTION_HELP: Final = "; ".join(
    f"{model.name}'s convention: " + choices([_offered(c.name, c is model.conventions[0], c.summary)
                                              for c in model.conventions])
    for model in MODELS.values() if len(model.conventions) > 1) + "; see the documentation's models page"
