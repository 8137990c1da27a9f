"""Several models' factors of the same sites on common frequencies, to compare them."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _interp
from ._factors import Amplification, amplification, factor_axes, labelled
from ._models import MODELS, Model, choices, get_model, listing_models
from ._optional import require
from ._rock_motion import model_pga
from ._sites import as_real, broadcast_sites

if TYPE_CHECKING:
    from matplotlib.axes import Axes

# The inputs `side_by_side` gives every model itself; a model's others come through `inputs`.
SHARED_INPUTS = ("vs30", "vs30_sim", "pga")
MARKS = ("own", "common", None)


@dataclass(frozen=True, eq=False)
class SideBySide:
    """Several models' factors of the same n sites on K common frequencies.

    Attributes
    ----------
    frequencies : ndarray, shape (K,)
        The common frequencies (Hz), as given or every model's own together, ascending.
    factors : dict of str to ndarray, shape (n, K)
        Each model's factors on the common frequencies (`Amplification.at`).
    amplifications : dict of str to Amplification
        Each model's factors on its own frequencies, with the inputs it saw.
    vs30, vs30_sim, pga : ndarray, shape (n,)
        The sites as given (float64, broadcast to one value per site); the PGA is the
        simulation's at the site.
    """

    frequencies: NDArray[np.float64]
    factors: dict[str, NDArray[np.float64]]
    amplifications: dict[str, Amplification]
    vs30: NDArray[np.float64]
    vs30_sim: NDArray[np.float64]
    pga: NDArray[np.float64]

    def __len__(self) -> int:
        return int(self.vs30.size)

    def __repr__(self) -> str:
        """The models, the sites and the frequencies; not the arrays.

        Examples
        --------
        >>> import vs30amp
        >>> vs30amp.side_by_side([200.0, 400.0], 760.0, 0.1, models=["cb14", "bssa14"])
        <SideBySide: cb14, bssa14; 2 sites, 106 frequencies 0.1-1000 Hz>
        """
        grid = self.frequencies
        return (f"<SideBySide: {', '.join(self.factors)}; {len(self)} site{'s' if len(self) != 1 else ''}, "
                f"{grid.size} frequencies {grid[0]:g}-{grid[-1]:g} Hz>")

    def plot(self, site: int = 0, *, ax: Axes | None = None, marks: str | None = "own",
             **line_options: Any) -> Axes:
        """One site's factors of every model against frequency on log-log axes, one line per model,
        each over its own model's frequencies (beyond them the factors are held, not the model's).

        Parameters
        ----------
        site : int
            The index of the site to draw.
        ax : matplotlib Axes, optional
            Where to draw (default: a new figure).
        marks : {"own", "common", None}
            Marks on each line at the model's own frequencies (where its factors are the model's,
            not interpolated; the default), at the common frequencies, or none.
        **line_options
            Passed to ``Axes.loglog`` for every line.

        Returns
        -------
        matplotlib Axes

        Examples
        --------
        >>> import vs30amp
        >>> compared = vs30amp.side_by_side([200.0, 400.0], 760.0, 0.1, models=["cb14", "bssa14"])
        >>> ax = compared.plot(site=1)
        >>> ax.get_xscale(), ax.get_yscale(), [text.get_text() for text in ax.get_legend().get_texts()]
        ('log', 'log', ['Campbell-Bozorgnia 2014', 'Boore-Stewart-Seyhan-Atkinson 2014'])
        """
        if marks not in MARKS:
            raise ValueError(f"marks: expected 'own', 'common' or None, got {marks!r}")
        if not isinstance(site, (int, np.integer)) or isinstance(site, bool) or not -len(self) <= site < len(self):
            raise ValueError(f"site: expected the index of one of the {len(self)} sites, got {site!r}")
        ax = factor_axes(ax)
        for name, factors in self.factors.items():
            own = self.amplifications[name]
            # Beyond its own frequencies a model's factors are held, not the model's: not drawn.
            inside = (self.frequencies >= own.frequencies[0]) & (self.frequencies <= own.frequencies[-1])
            x, y = self.frequencies[inside], factors[site, inside]
            line = ax.loglog(x, y, label=get_model(name).label, **line_options)[0]
            if marks == "own":
                x, y = own.frequencies, own.factors[site]
            if marks is not None:
                ax.loglog(x, y, ".", color=line.get_color(), markersize=3, label="_nolegend_")
        return labelled(ax, f"Vs30 {self.vs30[site]:g} m/s from {self.vs30_sim[site]:g} m/s, PGA {self.pga[site]:g} g",
                        fontsize=9)

    def to_xarray(self, site: ArrayLike | None = None) -> Any:
        """The factors as an ``xarray.DataArray`` with dims ("model", "site", "frequency").

        Parameters
        ----------
        site : array_like, optional
            Site labels for the "site" coordinate (default 0 to n - 1).

        Examples
        --------
        >>> import vs30amp
        >>> compared = vs30amp.side_by_side([200.0, 400.0], 760.0, 0.1, models=["cb14", "bssa14"])
        >>> factors = compared.to_xarray(site=["A01", "A02"])
        >>> factors.dims, factors["model"].values.tolist()
        (('model', 'site', 'frequency'), ['cb14', 'bssa14'])
        """
        xr = require("xarray", "xarray", "to_xarray()")
        labels = np.arange(len(self)) if site is None else np.asarray(site)
        if labels.shape != (len(self),):
            raise ValueError(f"site: expected {len(self)} labels, got shape {labels.shape}")
        names = list(self.factors)
        return xr.DataArray(
            np.stack([self.factors[name] for name in names]),
            dims=("model", "site", "frequency"),
            coords={
                "model": names,
                "site": labels,
                "frequency": ("frequency", self.frequencies, {"units": "Hz"}),
                "vs30": ("site", self.vs30, {"units": "m/s"}),
                "vs30_sim": ("site", self.vs30_sim, {"units": "m/s", "long_name": "Vs30 of the simulation"}),
                "pga": ("site", self.pga, {"units": "g", "long_name": "PGA of the simulation at the site"}),
                "model_pga": (("model", "site"), np.stack([self.amplifications[name].pga for name in names]),
                              {"units": "g", "long_name": "the PGA each model took (on its rock where it takes "
                                                          "it there)"}),
                "convention": ("model", [self.amplifications[name].convention for name in names]),
            },
            name="amplification",
            attrs={"units": "1", "long_name": "amplification factor",
                   "references": "\n".join(get_model(name).reference for name in names)},
        )


def side_by_side(vs30: ArrayLike, vs30_sim: ArrayLike, pga: ArrayLike, models: Iterable[str] | None = None,
                 frequencies: ArrayLike | None = None, *, ranges: str = "warn",
                 inputs: Mapping[str, Mapping[str, Any]] | None = None, carry_pga: bool = True) -> SideBySide:
    """Several models' factors of the same sites on common frequencies.

    Parameters
    ----------
    vs30, vs30_sim : array_like
        The sites' Vs30 and the Vs30 the simulation assumed (m/s), as for `amplification`.
    pga : array_like
        The simulation's PGA at each site (g). With `carry_pga` (the default) it is carried to
        the rock of each model that takes its PGA on rock (for bssa14 the PGA on 760 m/s
        rock), as a record's own PGA is (the documentation's models page, "The PGA on rock"),
        so that every model sees the same motion; False gives it to every model as it is.
    models : iterable of str, optional
        The models, in any case, in the order wanted: {models}. Default: every model of
        ``MODELS`` whose inputs are given (those beyond vs30, vs30_sim and pga through
        `inputs`).
    frequencies : array_like, shape (K,), optional
        The common frequencies (Hz), finite and non-negative; default: every model's own
        frequencies together, so that each model's own factors are among the results.
    ranges : {"warn", "raise", "ignore"}
        As for `amplification`, for each model's own ranges.
    inputs : mapping of str to mapping, optional
        Per model, more keyword arguments of `amplification`: the inputs it takes beyond vs30,
        vs30_sim and pga (a model that takes one is refused without it), or its convention,
        e.g. ``{"ba18": {"convention": "published"}}``.
    carry_pga : bool
        Whether `pga` is carried to each model's rock (above).

    Returns
    -------
    SideBySide

    Examples
    --------
    >>> import vs30amp
    >>> compared = vs30amp.side_by_side([200.0, 400.0], 760.0, 0.1, models=["cb14", "bssa14"],
    ...                                 frequencies=[1.0, 10.0])
    >>> {name: factors.round(3).tolist() for name, factors in compared.factors.items()}
    {'cb14': [[2.826, 1.016], [1.737, 1.05]], 'bssa14': [[3.074, 1.279], [1.867, 1.213]]}
    """
    if not isinstance(carry_pga, bool):
        raise TypeError(f"carry_pga: expected True or False, got {carry_pga!r}")
    extra = _checked_inputs(inputs)
    chosen = _chosen_models(models, extra)
    site_vs30, site_vs30_sim, site_pga = (np.array(values) for values in broadcast_sites(
        vs30=as_real("vs30", vs30), vs30_sim=as_real("vs30_sim", vs30_sim), pga=as_real("pga", pga)))
    amplifications = {}
    for model in chosen:
        options = dict(extra.get(model.name, {}))
        model_input = site_pga
        if carry_pga:
            kernel = model.kernel_for(str(options.get("convention", "module")))
            model_input = model_pga(model, kernel, site_vs30_sim, site_pga)
        amplifications[model.name] = amplification(site_vs30, site_vs30_sim, model_input, model.name, ranges=ranges,
                                                   **options)
    common = (np.unique(np.concatenate([model.frequencies for model in chosen])) if frequencies is None
              else _interp.as_frequencies(frequencies))
    return SideBySide(common, {name: result.at(common) for name, result in amplifications.items()}, amplifications,
                      site_vs30, site_vs30_sim, site_pga)


def _checked_inputs(inputs: Mapping[str, Mapping[str, Any]] | None) -> dict[str, dict[str, Any]]:
    """`inputs` by the models' own names; ValueError naming an unknown model or a value that is
    not a mapping of keyword arguments."""
    checked: dict[str, dict[str, Any]] = {}
    for name, given in (inputs or {}).items():
        if not isinstance(given, Mapping):
            raise TypeError(f"inputs: {name!r} maps to {given!r}; expected a mapping of keyword arguments, e.g. "
                            f"{{{name!r}: {{'convention': 'module'}}}}")
        checked[get_model(name).name] = dict(given)
    return checked


def _missing(model: Model, given: Mapping[str, Any]) -> list[str]:
    """The inputs `model` takes beyond SHARED_INPUTS that `given` lacks."""
    return [taken.name for taken in model.inputs if not taken.optional and taken.name not in SHARED_INPUTS and taken.name not in given]


def _chosen_models(models: Iterable[str] | None, extra: dict[str, dict[str, Any]]) -> list[Model]:
    """The models asked for (every model whose inputs are given, by default), each once; ValueError
    naming a model asked for without an input it takes, or an `inputs` entry for a model not asked for."""
    if models is None:  # a model given no inputs of its own and lacking one is left out
        chosen = [model for name, model in MODELS.items() if name in extra or not _missing(model, {})]
    else:
        if isinstance(models, str):
            models = [models]
        chosen = list({model.name: model for model in map(get_model, models)}.values())
        if not chosen:
            raise ValueError("models: no model named; give at least one, or None for every model")
    for model in chosen:
        lacking = _missing(model, extra.get(model.name, {}))
        if lacking:
            described = choices([f"{name} ({model.input(name).meaning}, {model.input(name).units})"
                                 for name in lacking])
            example = ", ".join(f"{name!r}: ..." for name in lacking)
            raise ValueError(f"inputs: {model.name} takes {described} beyond vs30, vs30_sim and pga; give it as "
                             f"inputs={{{model.name!r}: {{{example}}}}}")
    unused = sorted(set(extra) - {model.name for model in chosen})
    if unused:
        raise ValueError(f"inputs: given for {', '.join(unused)}, not among the models compared")
    return chosen


side_by_side.__doc__ = listing_models(side_by_side.__doc__)
