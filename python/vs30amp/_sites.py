"""Sites as every entry point takes them: the model and its convention, real arrays broadcast to
one dimension of sites, the checks of their values and the policy for those out of range."""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._models import Kernel, Model, get_model

# Warnings point at the caller's line, outside the package.
PACKAGE_DIRECTORY = os.path.dirname(__file__) + os.sep

RANGE_POLICIES = ("warn", "raise", "ignore")

# Above this PGA (g) a record or PGA given in m/s^2 or cm/s^2 by mistake is the likelier story.
PGA_LIMIT = 5.0

# How many of the sites out of range a refusal names before it counts the rest.
NAMED_SITES = 5

Label = Callable[[int], str]


class RangeWarning(UserWarning):
    """Sites outside a model's range of applicability, or with missing (NaN) values."""


def as_real(name: str, value: object) -> NDArray[np.float64]:
    """`value` as a float64 array; TypeError naming `name` for anything that is not real numbers."""
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name}: cannot be read as an array of numbers ({error})") from None
    kind = array.dtype.kind
    if kind == "c":
        raise TypeError(f"{name}: complex values are not accepted")
    if kind == "b":
        raise TypeError(f"{name}: boolean values are not accepted; give numbers")
    if kind not in "iuf":
        raise TypeError(f"{name}: expected real numbers, got values of dtype {array.dtype}")
    return array.astype(np.float64, copy=False)


def sites_shape(arrays: dict[str, Any]) -> tuple[int]:
    """The one dimension of sites that arrays (NumPy's or Dask's) broadcast to, (1,) for scalars
    everywhere; ValueError naming the input that does not fit."""
    shape: tuple[int, ...] = ()
    seen: list[str] = []
    for name, array in arrays.items():
        try:
            shape = np.broadcast_shapes(shape, array.shape)
        except ValueError:
            others = ", ".join(f"{other} shape {arrays[other].shape}" for other in seen)
            raise ValueError(f"{name}: shape {array.shape} does not broadcast with {others}") from None
        seen.append(name)
    if len(shape) > 1:
        described = ", ".join(f"{name} {array.shape}" for name, array in arrays.items())
        raise ValueError(f"sites must be one-dimensional, but the inputs broadcast to shape {shape} ({described})")
    return (shape[0],) if shape else (1,)


def broadcast_sites(**arrays: NDArray[np.float64]) -> list[NDArray[np.float64]]:
    """The arrays broadcast together to one dimension of sites (scalars everywhere: one site).

    The results may be broadcast views; the kernels accept any stride."""
    shape = sites_shape(arrays)
    return [np.broadcast_to(array, shape) for array in arrays.values()]


def range_policy(ranges: str, check_ranges: bool | None) -> str:
    """The one policy that `ranges` and the older `check_ranges` ask for together."""
    if ranges not in RANGE_POLICIES:
        choices = ", ".join(repr(policy) for policy in RANGE_POLICIES)
        raise ValueError(f"ranges: unknown policy {ranges!r}; choose one of {choices}")
    if check_ranges is None:
        return ranges
    if not isinstance(check_ranges, bool):
        raise TypeError(f"check_ranges: expected True, False or None, got {check_ranges!r}")
    implied = "raise" if check_ranges else "ignore"
    if ranges not in ("warn", implied):
        raise ValueError(f"ranges: {ranges!r} contradicts check_ranges={check_ranges}; give only ranges=")
    return implied


def chosen(model: str, convention: str) -> tuple[Model, Kernel, str]:
    """The model, the kernel of its convention and the convention's own name (both in any case);
    ValueError naming the argument otherwise."""
    found = get_model(model)
    return found, found.kernel_for(convention), convention.lower()


def refuse_impossible(vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64], pga: NDArray[np.float64],
                      label: Label = "site {}".format) -> None:
    """ValueError naming the first site with an infinite value, a non-positive Vs30 or a negative
    PGA: values no model input can mean. NaN passes: it is a missing value."""
    for name, values, unit in (("vs30", vs30, "m/s"), ("vs30_sim", vs30_sim, "m/s"), ("pga", pga, "g")):
        bad = np.isinf(values) | ((values < 0.0) if name == "pga" else (values <= 0.0))
        if bad.any():
            site = int(np.argmax(bad))
            rule = "finite and non-negative" if name == "pga" else "finite and positive"
            raise ValueError(f"{name}: {label(site)} has {float(values[site])!r} {unit}; it must be {rule}")


def out_of_range(model: Model, vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                 pga: NDArray[np.float64], label: Label = "site {}".format) -> tuple[int, str, list[int]]:
    """How many sites are outside the model's ranges or missing a value, what is wrong with the
    first of them and the first NAMED_SITES of them (0, "" and [] when none is)."""
    low, high = model.vs30_range
    checks = (("vs30", vs30, ~((vs30 >= low) & (vs30 <= high))),
              ("vs30_sim", vs30_sim, ~((vs30_sim >= low) & (vs30_sim <= high))),
              ("pga", pga, ~(pga <= PGA_LIMIT)))
    outside = checks[0][2] | checks[1][2] | checks[2][2]
    count = int(np.count_nonzero(outside))
    if count == 0:
        return 0, "", []
    named = [int(site) for site in np.flatnonzero(outside)[:NAMED_SITES]]
    return count, first_wrong(model, checks, named[0], label), named


def first_wrong(model: Model, checks: tuple[tuple[str, NDArray[np.float64], NDArray[np.bool_]], ...], site: int,
                label: Label) -> str:
    """What is wrong with `site`: the first of its values that `checks` (name, values, outside) flag."""
    low, high = model.vs30_range
    name, values, _ = next(check for check in checks if check[2][site])
    value = float(values[site])
    if np.isnan(value):
        unit = "g" if name == "pga" else "m/s"
        return f"{name}: {label(site)} has nan {unit}, a missing value (its factors are NaN)"
    if name == "pga":
        return (f"pga: {label(site)} has {value!r} g, above {PGA_LIMIT:g} g; are the records or the PGA "
                f"in m/s^2 or cm/s^2 rather than g?")
    return (f"{name}: {label(site)} has {value!r} m/s, outside {model.name}'s range of applicability "
            f"{low:g} to {high:g} m/s ({model.range_source})")


def check_sites(model: Model, vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64], pga: NDArray[np.float64],
                policy: str, label: Label = "site {}".format) -> None:
    """Refuses impossible values; then warns about, refuses or ignores sites out of range or
    missing a value, as `policy` says."""
    refuse_impossible(vs30, vs30_sim, pga, label)
    if policy == "ignore":
        return
    count, first, named = out_of_range(model, vs30, vs30_sim, pga, label)
    if count == 0:
        return
    if policy == "raise":
        if count == 1:
            raise ValueError(first)
        more = f" and {count - len(named)} more" if count > len(named) else ""
        raise ValueError(f"{first}; {count} of {vs30.size} sites are outside {model.name}'s range of applicability "
                         f"or missing a value: {', '.join(label(site) for site in named)}{more}")
    verb = "is" if count == 1 else "are"
    warnings.warn(f"{count} of {vs30.size} sites {verb} outside {model.name}'s range of applicability or missing a "
                  f"value; the first: {first}", RangeWarning, skip_file_prefixes=(PACKAGE_DIRECTORY,))


def missing_values(vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                   pga: NDArray[np.float64]) -> NDArray[np.bool_]:
    """Which sites miss a value (NaN): their factors, and what is made of them, are NaN."""
    missing: NDArray[np.bool_] = np.isnan(vs30) | np.isnan(vs30_sim) | np.isnan(pga)
    return missing


def site_factors(kernel: Kernel, vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                 pga: NDArray[np.float64]) -> NDArray[np.float64]:
    """The kernel's factors, with the rows of sites missing a value (NaN) set to NaN: the kernel
    would make believable numbers of them. Valid rows are the kernel's, untouched."""
    factors = kernel(vs30, vs30_sim, pga)
    missing = missing_values(vs30, vs30_sim, pga)
    if missing.any():
        factors[missing] = np.nan
    return factors


def checked_factors(model: Model, kernel: Kernel, vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                    pga: NDArray[np.float64], policy: str, label: Label = "site {}".format) -> NDArray[np.float64]:
    """The sites checked under `policy`, then their factors."""
    check_sites(model, vs30, vs30_sim, pga, policy, label)
    return site_factors(kernel, vs30, vs30_sim, pga)
