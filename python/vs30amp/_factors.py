"""Amplification factors for sites given as any real array-likes."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _interp
from ._models import convention_words, get_model, listing_models
from ._optional import require
from ._sites import (as_real, basin_kernel_of, checked_factors, chosen, kernel_of, optional_values, range_policy,
                     site_factors, sites_and_rows)

if TYPE_CHECKING:
    from matplotlib.axes import Axes


@dataclass(frozen=True, eq=False)
class Amplification:
    """Amplification factors of n sites on a model's F frequencies.

    Attributes
    ----------
    factors : ndarray, shape (n, F)
        Multiply the simulated Fourier amplitude of site i at ``frequencies[j]`` by
        ``factors[i, j]``.
    frequencies : ndarray, shape (F,)
        The model's frequencies (Hz), ascending.
    model : str
        The model's name, one of ``vs30amp.MODELS``.
    vs30, vs30_sim, pga : ndarray, shape (n,)
        The inputs as the model saw them (float64, broadcast to one value per site).
    convention : str
        The name of the model's convention the factors follow (``MODELS[model].conventions``).
    y_ref : ndarray, shape (n, F), or None
        For a model whose nonlinear input is given per site and period (cy14's y_ref, the PSA on
        1130 m/s rock in g), that input as the model saw it; None for the other models.
    sigma : ndarray, shape (n, F), or None
        For a model with uncertainty (``MODELS[model].uncertainty``), the epistemic sigma of
        ln(factor), ``|s(vs30) - s(vs30_sim)|``: the site and the simulation are taken on one
        branch of the model, so it is zero where the two Vs30 are equal. None otherwise.
    epsilon : float
        The number of sigma by which the factors are moved from the convention's median: ln
        factors + epsilon (s(vs30) - s(vs30_sim)).
    """

    factors: NDArray[np.float64]
    frequencies: NDArray[np.float64]
    model: str
    vs30: NDArray[np.float64]
    vs30_sim: NDArray[np.float64]
    pga: NDArray[np.float64]
    convention: str = "module"
    y_ref: NDArray[np.float64] | None = None
    sigma: NDArray[np.float64] | None = None
    epsilon: float = 0.0

    def __len__(self) -> int:
        return int(self.factors.shape[0])

    def __repr__(self) -> str:
        """The model and what its convention is, the sites and the frequencies; not the arrays.

        Examples
        --------
        >>> import vs30amp
        >>> vs30amp.amplification([200.0, 400.0], 760.0, 0.1, model="cb14")
        <Amplification: cb14 (its published site term); 2 sites, ... frequencies 0.1-1000 Hz>
        """
        grid = self.frequencies
        moved = f", moved by epsilon {self.epsilon:g} times its sigma" if self.epsilon else ""
        return (f"<Amplification: {convention_words(self.model, self.convention)}{moved}; {len(self)} "
                f"site{'s' if len(self) != 1 else ''}, {grid.size} frequencies {grid[0]:g}-{grid[-1]:g} Hz>")

    def at(self, frequencies: ArrayLike) -> NDArray[np.float64]:
        """The factors on other frequencies, shape (n, K).

        ln(factor) is interpolated linearly in ln(frequency) between the model's frequencies
        and held constant beyond its first and last frequency; a frequency of 0 takes the first
        factor. At the model's own frequencies the model's factors are returned exactly.

        Parameters
        ----------
        frequencies : array_like, shape (K,)
            Finite, non-negative frequencies (Hz) in any order.

        Examples
        --------
        >>> import vs30amp
        >>> result = vs30amp.amplification([200.0, 400.0], 760.0, 0.1, model="cb14")
        >>> result.at([1.0, 5.0]).round(3)
        array([[2.826, 1.408],
               [1.737, 1.25 ]])
        """
        wanted = _interp.as_frequencies(frequencies)
        return _interp.weights(self.frequencies, wanted).apply(self.factors).astype(np.float64, copy=False)

    def to_xarray(self, site: ArrayLike | None = None) -> Any:
        """The factors as an ``xarray.DataArray`` with dims ("site", "frequency").

        Parameters
        ----------
        site : array_like, optional
            Site labels for the "site" coordinate (default 0 to n - 1).

        Examples
        --------
        >>> import vs30amp
        >>> factors = vs30amp.amplification([200.0, 400.0], 760.0, 0.1).to_xarray(site=["A01", "A02"])
        >>> factors.dims, factors.sizes["frequency"] == vs30amp.MODELS["ba18"].frequencies.size
        (('site', 'frequency'), True)
        """
        xr = require("xarray", "xarray", "to_xarray()")
        model = get_model(self.model)
        labels = np.arange(len(self)) if site is None else np.asarray(site)
        if labels.shape != (len(self),):
            raise ValueError(f"site: expected {len(self)} labels, got shape {labels.shape}")
        return xr.DataArray(
            self.factors,
            dims=("site", "frequency"),
            coords={
                "site": labels,
                "frequency": ("frequency", self.frequencies, {"units": "Hz"}),
                "vs30": ("site", self.vs30, {"units": "m/s"}),
                "vs30_sim": ("site", self.vs30_sim, {"units": "m/s", "long_name": "Vs30 of the simulation"}),
                "pga": ("site", self.pga, {"units": "g"}),
                **self._per_period_coordinates(),
            },
            name="amplification",
            attrs={"units": "1", "long_name": f"{model.label} amplification factor", "model": model.name,
                   "convention": self.convention, "references": model.reference,
                   **({"epsilon": self.epsilon} if self.epsilon else {})},
        )

    def _per_period_coordinates(self) -> dict[str, Any]:
        """The coordinates (site, frequency) of what a model gives or takes per site and period:
        the sigma of a model with uncertainty, cy14's y_ref."""
        made = {}
        if self.sigma is not None:
            made["sigma"] = (("site", "frequency"), self.sigma,
                             {"units": "1", "long_name": "epistemic sigma of the ln factors"})
        if self.y_ref is not None:
            made["y_ref"] = (("site", "frequency"), self.y_ref,
                             {"units": "g", "long_name": "PSA on the model's reference rock"})
        return made

    def plot(self, sites: ArrayLike | None = None, *, ax: Axes | None = None,
             labels: list[str] | None = None, **line_options: Any) -> Axes:
        """Factors against frequency on log-log axes, one line per chosen site.

        Parameters
        ----------
        sites : array_like of int, optional
            Indices of the sites to draw (default: all).
        ax : matplotlib Axes, optional
            Where to draw (default: a new figure).
        labels : list of str, optional
            Legend labels, one per drawn site (default: the site's index and inputs).
        **line_options
            Passed to ``Axes.loglog``.

        Returns
        -------
        matplotlib Axes

        Examples
        --------
        >>> import vs30amp
        >>> ax = vs30amp.amplification([200.0, 400.0], 760.0, 0.1).plot()
        >>> ax.get_xscale(), ax.get_yscale(), len(ax.get_lines())
        ('log', 'log', 2)
        """
        ax = factor_axes(ax)
        chosen = np.arange(len(self)) if sites is None else np.atleast_1d(np.asarray(sites, dtype=np.intp))
        if labels is not None and len(labels) != chosen.size:
            raise ValueError(f"labels: expected {chosen.size} labels, got {len(labels)}")
        for k, i in enumerate(chosen.tolist()):
            label = labels[k] if labels is not None else (
                f"site {i}: {self.vs30[i]:g} m/s, sim {self.vs30_sim[i]:g} m/s, {self.pga[i]:g} g")
            ax.loglog(self.frequencies, self.factors[i], label=label, **line_options)
        return labelled(ax, get_model(self.model).label)


def factor_axes(ax: Axes | None) -> Axes:
    """`ax`, or the axes of a new figure of factors (the "plot" extra)."""
    if ax is None:
        plt = require("matplotlib.pyplot", "plot", "plot()")
        ax = plt.subplots(figsize=(6.4, 4.8))[1]
    return ax


def labelled(ax: Axes, title: str, **title_options: Any) -> Axes:
    """`ax` with the title, the axes' labels, the grid and the legend of a plot of factors."""
    ax.set_title(title, **title_options)
    ax.set_xlabel("frequency (Hz)")
    ax.set_ylabel("amplification factor")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7)
    return ax


def amplification(vs30: ArrayLike, vs30_sim: ArrayLike, pga: ArrayLike | None, model: str = "ba18", *,
                  ranges: str = "warn", check_ranges: bool | None = None,
                  convention: str = "module", y_ref: ArrayLike | None = None,
                  epsilon: float = 0.0, z1: ArrayLike | None = None,
                  z1_sim: ArrayLike | None = None) -> Amplification:
    """Amplification factors from the simulation's Vs30 to each site's Vs30.

    Parameters
    ----------
    vs30 : array_like
        The sites' Vs30 (m/s).
    vs30_sim : array_like
        The Vs30 the simulation assumed (m/s); one value for all sites is the common case.
    pga : array_like or None
        The simulation's PGA at each site (g), as ``MODELS[model].inputs`` says of the model (on
        rock for some: for bssa14 the PGA on 760 m/s rock), taken as given; a model that does
        not take it ignores it (None: no PGA).
    model : str
        One of ``vs30amp.MODELS`` (in any case: "BA18" works): {models}.
    ranges : {"warn", "raise", "ignore"}
        What to do with sites whose Vs30 or simulation Vs30 is outside the model's range of
        applicability, whose PGA is above 5 g, or that miss a value (NaN): one `RangeWarning`
        naming how many and the first, a ValueError naming the first, or nothing.
    check_ranges : bool, optional
        The older spelling: True is ``ranges="raise"``, False ``ranges="ignore"``.
    convention : {"module", "published"}
        "module" (the default) gives `_utils`' factors bit for bit. "published" follows the
        published Bayless-Abrahamson (2018) model where the module departs from it: the PGA
        driving the nonlinear term is carried to the model's 1000 m/s reference (the module
        carries it to 760 m/s) and the decay above the power law is anchored at 23.988321 Hz
        (the module's at 24 Hz); see the documentation's models page, "The two conventions of
        BA18". A model with one convention, its published form, names it "module"; "module"
        names the default of any model (nga_east's "median"); any other name raises ValueError.
    y_ref : array_like, optional
        For cy14, required: y_ref, the PSA (g, 5 % damped) on 1130 m/s rock at each of the
        model's periods, shape (n, F) in the order of ``MODELS["cy14"].frequencies``, or one value
        per site (n,) or a scalar for every period. Checked as the PGA is (non-negative, finite,
        above 5 g a likely mistake of units; NaN at any period is a missing site). Refused for
        the models that do not take it.
    epsilon : float
        For a model with uncertainty, the number of its epistemic sigma by which the factors are
        moved from the median (default 0): ln factor + epsilon (s(vs30) - s(vs30_sim)), the site
        and the simulation taken on one branch of the model. Any other epsilon than 0 for a
        model without uncertainty raises ValueError.
    z1, z1_sim : array_like, optional
        For cy14: Z1, the depth (m) to Vs = 1 km/s, of the sites and of the simulation's site,
        for the model's basin term phi5 (1 - exp(-dZ1 / phi6)), dZ1 = Z1 - Z1ref(Vs30) with the
        California reference (the Japan one is not offered). Either may be left out or NaN at a
        site: that velocity's dZ1 is 0, the model's default, and its basin term 0; without both
        the factors are those of the site term alone. Refused for the other models.

    Returns
    -------
    Amplification

    Notes
    -----
    The three inputs may be scalars, sequences or arrays of any real dtype; they are broadcast
    together to one dimension of n sites (scalars everywhere give one site) and the model's
    kernel is called once, on float64 values, so the factors of valid sites equal a direct call
    bit for bit.

    A NaN value is a missing value: that site's factors are NaN at every frequency. Infinite
    values, a Vs30 or simulation Vs30 of zero or less and a negative PGA are refused with a
    ValueError naming the argument and the first such site, whatever `ranges` says.

    Examples
    --------
    >>> import vs30amp
    >>> result = vs30amp.amplification([200.0, 400.0], 760.0, 0.1, model="cb14")
    >>> result.factors.shape == (2, vs30amp.MODELS["cb14"].frequencies.size)
    True
    >>> result.factors[:, [0, -1]].round(3)  # at 0.1 Hz and at 1000 Hz (PGA's column)
    array([[2.158, 1.206],
           [1.447, 1.129]])
    """
    policy = range_policy(ranges, check_ranges)
    found, kernel, convention = chosen(model, convention, epsilon, per_period=True)
    optional = optional_values(found, {"z1": z1, "z1_sim": z1_sim})
    (site_vs30, site_vs30_sim, site_pga, *depths), rows = sites_and_rows(
        found, y_ref, vs30=as_real("vs30", vs30), vs30_sim=as_real("vs30_sim", vs30_sim),
        pga=as_real("pga", np.nan if pga is None else pga), **optional)
    optional = dict(zip(optional, depths))
    factors = checked_factors(found, basin_kernel_of(found, kernel_of(found, kernel, convention, rows), convention,
                                                     optional), site_vs30, site_vs30_sim, site_pga,
                              policy, y_ref=rows, optional=optional)
    sigma_kernel = found.sigma_kernel_for(convention)
    sigma = None if sigma_kernel is None else site_factors(sigma_kernel, site_vs30, site_vs30_sim, site_pga, model=found)
    return Amplification(factors, found.frequencies, found.name, np.array(site_vs30), np.array(site_vs30_sim),
                         np.array(site_pga), convention, None if rows is None else np.array(rows), sigma,
                         float(epsilon))


amplification.__doc__ = listing_models(amplification.__doc__)
