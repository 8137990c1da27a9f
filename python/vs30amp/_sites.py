"""Sites as every entry point takes them: the model and its convention, real arrays broadcast to
one dimension of sites, the checks of their values and the policy for those out of range."""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._models import PGA, Input, Kernel, Model, get_model, velocities

# Warnings point at the caller's line, outside the package.
PACKAGE_DIRECTORY = os.path.dirname(__file__) + os.sep

RANGE_POLICIES = ("warn", "raise", "ignore")

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


def chosen(model: str, convention: str, epsilon: float = 0.0, per_period: bool = False
           ) -> tuple[Model, Kernel, str]:
    """The model, the kernel of its convention (its factors moved by `epsilon` sigma) and the
    convention's own name (both in any case; "module" the default's); ValueError naming the
    argument otherwise. A model with an input per site and period (cy14's y_ref) is refused unless
    the caller takes one (`per_period`)."""
    found = get_model(model)
    name = found.convention_named(convention)
    kernel = found.moved_kernel_for(name, epsilon)
    given = found.per_period_input
    if given is not None and not per_period:
        raise ValueError(f"{given.name}: {found.name} needs {given.meaning}, per site and period, which this entry "
                         f"point does not take; compute the factors with vs30amp.amplification(..., {given.name}=...) "
                         f"and apply them with vs30amp.amplify_spectrum(..., {given.name}=...), or amplify records "
                         f"with vs30amp.amplify_waveforms, which takes it from their own PSA")
    return found, kernel, name


def per_period_rows(found: Model, value: object) -> NDArray[np.float64] | None:
    """The model's input per site and period (cy14's y_ref) as given: a scalar, one value per site
    (n,) or one per site and period (n, F); None for a model without one. ValueError when the
    model needs it and it is missing, or when it is given to a model that takes none."""
    given = found.per_period_input
    if given is None:
        if value is not None:
            raise ValueError(f"y_ref: {found.name} takes no input per period; give y_ref only to a model that "
                             f"declares one")
        return None
    if value is None:
        raise ValueError(f"{given.name}: {found.name} needs {given.meaning} (units {given.units}), per site and "
                         f"period or one value per site; pass {given.name}=")
    rows = as_real(given.name, value)
    columns = found.frequencies.size
    if rows.ndim > 2 or (rows.ndim == 2 and rows.shape[1] != columns):
        raise ValueError(f"{given.name}: shape {rows.shape}; expected a scalar, (n,) or (n, {columns}), one column "
                         f"per period of {found.name}")
    return rows


def sites_of_rows(rows: NDArray[np.float64] | None) -> dict[str, NDArray[np.float64]]:
    """What an input per site and period says of the sites' shape: its first column."""
    if rows is None:
        return {}
    return {"y_ref": rows[:, 0] if rows.ndim == 2 else rows}


def broadcast_rows(found: Model, rows: NDArray[np.float64] | None, n: int) -> NDArray[np.float64] | None:
    """The input per site and period broadcast to (n, F)."""
    if rows is None:
        return None
    return np.broadcast_to(rows if rows.ndim == 2 else rows[..., None], (n, found.frequencies.size))


def sites_and_rows(found: Model, y_ref: object, **arrays: NDArray[np.float64]
                   ) -> tuple[list[NDArray[np.float64]], NDArray[np.float64] | None]:
    """The arrays broadcast to one dimension of n sites together with the model's input per site
    and period (`per_period_rows`), and that input as (n, F), None for a model without one."""
    rows = per_period_rows(found, y_ref)
    sites = broadcast_sites(**arrays, **sites_of_rows(rows))[:len(arrays)]
    return sites, broadcast_rows(found, rows, sites[0].shape[0])


def kernel_of(found: Model, kernel: Kernel, convention: str, rows: NDArray[np.float64] | None) -> Kernel:
    """The kernel that takes `rows` (the model's input per site and period), or `kernel` without."""
    return kernel if rows is None else found.column_kernel_for(convention)


def basin_kernel_of(found: Model, kernel: Kernel, convention: str, optional: Values) -> Kernel:
    """`kernel` (of the input per site and period), or with the basin depths `optional` given
    (z1, z1_sim, each (n,)) the model's kernel that takes them: the same three arguments."""
    if not optional:
        return kernel
    basin = found.basin_kernel_for(convention)
    return lambda vs30, vs30_sim, rows: basin(vs30, vs30_sim, rows, optional["z1"], optional["z1_sim"])


def site_value(given: Input, rows: NDArray[np.float64]) -> NDArray[np.float64]:
    """One value per site of an input per site and period, for the checks: the first that breaks
    the input's rule, else the first missing or outside its range, else the first."""
    refused, _ = REFUSED[given.rule]
    order = [np.isinf(rows) | refused(rows, 0.0), ~((rows >= given.range[0]) & (rows <= given.range[1]))]
    chosen_column = np.zeros(rows.shape[0], dtype=np.intp)
    for flags in reversed(order):
        chosen_column = np.where(flags.any(axis=1), np.argmax(flags, axis=1), chosen_column)
    return rows[np.arange(rows.shape[0]), chosen_column]


# Values no input can mean, whatever the range policy: what each rule of an input refuses.
REFUSED = {"positive": (np.less_equal, "finite and positive"), "non-negative": (np.less, "finite and non-negative")}
Values = dict[str, NDArray[np.float64]]
# The inputs any model may take, for values checked before a model is chosen.
ANY_MODEL = (*velocities(0.0, np.inf, ""), PGA)


def refuse_impossible(vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64], pga: NDArray[np.float64],
                      label: Label = "site {}".format) -> None:
    """ValueError naming the first site with an infinite value, a non-positive Vs30 or a negative
    PGA: values no model input can mean. NaN passes: it is a missing value."""
    refuse_impossible_inputs(ANY_MODEL, {"vs30": vs30, "vs30_sim": vs30_sim, "pga": pga}, label)


def refuse_impossible_inputs(inputs: tuple[Input, ...], values: Values, label: Label) -> None:
    """ValueError naming the first site whose value of one of `inputs` breaks that input's rule."""
    for given in inputs:
        refused, rule = REFUSED[given.rule]
        array = values[given.name]
        bad = np.isinf(array) | refused(array, 0.0)
        if bad.any():
            site = int(np.argmax(bad))
            raise ValueError(f"{given.name}: {label(site)} has {float(array[site])!r} {given.units}; it must be {rule}")


def out_of_range(model: Model, values: Values, label: Label = "site {}".format) -> tuple[int, str, list[int]]:
    """How many sites are outside the ranges of the model's inputs or missing one of them, what
    is wrong with the first of them and the first NAMED_SITES of them (0, "" and [] when none is)."""
    checks = [(given, values[given.name], ~((values[given.name] >= given.range[0]) &
                                           (values[given.name] <= given.range[1]))) for given in model.inputs
              if given.name in values]
    outside = np.logical_or.reduce([wrong for _, _, wrong in checks])
    count = int(np.count_nonzero(outside))
    if count == 0:
        return 0, "", []
    named = [int(site) for site in np.flatnonzero(outside)[:NAMED_SITES]]
    return count, first_wrong(model, checks, named[0], label), named


def first_wrong(model: Model, checks: list[tuple[Input, NDArray[np.float64], NDArray[np.bool_]]], site: int,
                label: Label) -> str:
    """What is wrong with `site`: the first of its values that `checks` (input, values, outside) flag."""
    given, values, _ = next(check for check in checks if check[2][site])
    name, units, (low, high) = given.name, given.units, given.range
    value = float(values[site])
    if np.isnan(value):
        return f"{name}: {label(site)} has nan {units}, a missing value (its factors are NaN)"
    if given.outside:
        return f"{name}: {label(site)} has {value!r} {units}, above {high:g} {units}; {given.outside}"
    return (f"{name}: {label(site)} has {value!r} {units}, outside {model.name}'s range of applicability "
            f"{low:g} to {high:g} {units} ({given.range_source})")


def optional_values(model: Model, given: dict[str, object]) -> Values:
    """The model's optional inputs (cy14's z1, z1_sim) as `given` has them, each broadcast to the n
    sites of its first array and NaN (not given) where absent; {} when none is given. ValueError
    for one the model does not take."""
    present = {name: value for name, value in given.items() if value is not None}
    if not present:
        return {}
    taken = {optional.name for optional in model.optional_inputs}
    for name in present:
        if name not in taken:
            raise ValueError(f"{name}: {model.name} takes no {name}; give it only to a model that declares it")
    return {name: as_real(name, present.get(name, np.nan)) for name in sorted(taken)}


def check_sites(model: Model, vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64], pga: NDArray[np.float64],
                policy: str, label: Label = "site {}".format, y_ref: NDArray[np.float64] | None = None,
                optional: Values | None = None) -> None:
    """Refuses impossible values of the model's inputs; then warns about, refuses or ignores
    sites out of range or missing a value, as `policy` says. `y_ref`: the model's input per site
    and period, (n, F), where it has one; `optional`: its optional inputs (n,), a NaN not given."""
    values = {"vs30": vs30, "vs30_sim": vs30_sim, "pga": pga}
    if y_ref is not None and model.per_period_input is not None:
        values[model.per_period_input.name] = site_value(model.per_period_input, y_ref)
    for name, array in (optional or {}).items():  # a NaN is not given, so not out of range
        values[name] = np.where(np.isnan(array), model.input(name).range[0], array)
    # An input derived later (cy14's y_ref from records' PSA) is checked where it is derived.
    refuse_impossible_inputs(tuple(given for given in model.inputs if given.name in values), values, label)
    if policy == "ignore":
        return
    count, first, named = out_of_range(model, values, label)
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


def missing_values(vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64], pga: NDArray[np.float64],
                   model: Model | None = None, y_ref: NDArray[np.float64] | None = None) -> NDArray[np.bool_]:
    """Which sites miss a value (NaN) that `model` takes (every input when it is not given): their
    factors, and what is made of them, are NaN. A site missing one period of `y_ref` (the model's
    input per site and period) misses it."""
    values = {"vs30": vs30, "vs30_sim": vs30_sim, "pga": pga}
    if y_ref is not None and model is not None and model.per_period_input is not None:
        values[model.per_period_input.name] = np.where(np.isnan(y_ref).any(axis=1), np.nan, 0.0)
    missing: NDArray[np.bool_] = np.logical_or.reduce([np.isnan(array) for name, array in values.items()
                                                       if model is None or model.needs(name)])
    return missing


def site_factors(kernel: Kernel, vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                 pga: NDArray[np.float64], *, model: Model | None = None,
                 y_ref: NDArray[np.float64] | None = None) -> NDArray[np.float64]:
    """The kernel's factors, with the rows of sites missing a value (NaN) the model takes (every
    input when `model` is not given) set to NaN: the kernel would make believable numbers of
    them. Valid rows are the kernel's, untouched. With `y_ref` (n, F), `kernel` is the model's
    kernel of an input per period (`Model.column_kernel_for`), given it in place of the PGA."""
    factors = kernel(vs30, vs30_sim, pga if y_ref is None else y_ref)
    missing = missing_values(vs30, vs30_sim, pga, model, y_ref)
    if missing.any():
        factors[missing] = np.nan
    return factors


def checked_factors(model: Model, kernel: Kernel, vs30: NDArray[np.float64], vs30_sim: NDArray[np.float64],
                    pga: NDArray[np.float64], policy: str, label: Label = "site {}".format,
                    y_ref: NDArray[np.float64] | None = None, optional: Values | None = None) -> NDArray[np.float64]:
    """The sites checked under `policy`, then their factors (`y_ref` as `site_factors` takes it;
    `optional` as `check_sites`)."""
    check_sites(model, vs30, vs30_sim, pga, policy, label, y_ref, optional)
    return site_factors(kernel, vs30, vs30_sim, pga, model=model, y_ref=y_ref)
