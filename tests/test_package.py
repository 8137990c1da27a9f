"""The public package: factors from any array-likes, interpolation, spectra and waveforms."""

import dataclasses
import re
import sys
import warnings

import numpy as np
import pytest

import vs30amp
from memory_helpers import UNDER_SANITIZER
from subprocess_helpers import run_child_report

def ba18_native(vs30, vs30_sim, pga, convention="published"):
    out = np.empty((len(vs30), 301))
    vs30amp._native.model_factors("ba18", convention, vs30, vs30_sim, pga, out)
    return out


def cb14_native(vs30, vs30_sim, pga):
    out = np.empty((len(vs30), 22))
    vs30amp._native.model_factors("cb14", "module", vs30, vs30_sim, pga, out)
    return out


# The direct calls: _utils' functions where they exist (3.15 and later), the native module's before.
if sys.version_info >= (3, 15):
    import _utils

    KERNELS = {("cb14", "module"): _utils._campbell_bozorgnia_2014,
               ("ba18", "module"): _utils._bayless_abrahamson_2018_eas, ("ba18", "published"): ba18_native}
else:
    KERNELS = {("cb14", "module"): cb14_native,
               ("ba18", "module"): lambda *sites: ba18_native(*sites, "module"), ("ba18", "published"): ba18_native}


@pytest.mark.parametrize("model, convention", list(KERNELS))
@pytest.mark.parametrize("vs30, vs30_sim, pga", [
    (250, 760, 0.2),                                                 # scalars: one site
    ([200, 300.5, 1200], 760, [0.1, 0.0, 1.3]),                      # one simulation Vs30 for all
    (np.array([200, 900], np.int32), np.float32(450.5), np.float32([0.3])),
    (np.array([310.0, 180.0], ">f8"), np.arange(8.0)[::-4] * 100 + 150, np.uint8(1)),
])
def test_factors_are_one_direct_call_on_the_float64_values(model, convention, vs30, vs30_sim, pga):
    options = {} if convention == "module" else {"convention": convention.title()}  # "module" is the default
    result = vs30amp.amplification(vs30, vs30_sim, pga, model=model.upper(), **options)  # names in any case
    columns = np.broadcast_arrays(*(np.atleast_1d(np.asarray(a, dtype=np.float64)) for a in (vs30, vs30_sim, pga)))
    expected = KERNELS[model, convention](*(np.ascontiguousarray(c) for c in columns))
    assert result.factors.tobytes() == expected.tobytes() and result.factors.shape == expected.shape
    assert result.model == model and result.convention == convention and np.array_equal(result.pga, columns[2])
    assert np.array_equal(result.frequencies, vs30amp.MODELS[model].frequencies)


@pytest.mark.parametrize("arguments, error, message", [
    (([1, 2, 3], 760, [1, 2]), ValueError, "pga: shape (2,) does not broadcast with vs30 shape (3,)"),
    ((300, 1j, 0.1), TypeError, "vs30_sim: complex values are not accepted"),
    (([True], 760, 0.1), TypeError, "vs30: boolean"),
    ((300, 760, "0.1"), TypeError, "pga: expected real numbers"),
    (([[300, 400]], [[760], [500]], 0.1), ValueError, "sites must be one-dimensional"),
    ((300, 760, 0.1, "ba19"), ValueError, "model: unknown model 'ba19'"),
    # cb14's one site term is the published one, named "module"
    ((300, 760, 0.1, "cb14", "published"), ValueError,
     "convention: unknown convention 'published' for cb14; choose one of 'module'"),
    ((300, 760, 0.1, "ba18", "Publish"), ValueError,
     "convention: unknown convention 'Publish' for ba18; choose one of 'module', 'published'"),
    ((300, 760, 0.1, "ba18", None), ValueError, "convention: unknown convention None"),
    # cy14's y_ref: demanded, checked as a PGA is, refused by the models without it
    ((300, 760, None, "cy14"), ValueError, "y_ref: cy14 needs y_ref, the PSA on 1130 m/s rock"),
    ((300, 760, None, "cy14", {"y_ref": [0.1, -1.0]}), ValueError, "y_ref: site 1 has -1.0 g; it must be finite and"),
    ((300, 760, None, "cy14", {"y_ref": np.ones((1, 5))}), ValueError, "y_ref: shape (1, 5); expected a scalar, (n,)"),
    ((300, 760, 0.1, "bssa14", {"y_ref": 0.1}), ValueError, "y_ref: bssa14 takes no input per period"),
    # cy14's basin depths: refused by the other models, checked by their rule (NaN: not given)
    ((300, 760, 0.1, "ba18", {"z1_sim": 30.0}), ValueError, "z1_sim: ba18 takes no z1_sim"),
    ((300, 760, None, "cy14", {"y_ref": 0.1, "z1": [np.nan, -1.0]}), ValueError, "z1: site 1 has -1.0 m; it must be"),
    ((300, 760, None, "cy14", {"y_ref": 0.1, "z1_sim": np.inf}), ValueError, "z1_sim: site 0 has inf m"),
])
def test_refusals_name_the_argument(arguments, error, message):
    positional, convention = arguments[:4], arguments[4:]
    options = convention[0] if convention and isinstance(convention[0], dict) else (
        {"convention": convention[0]} if convention else {})
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        vs30amp.amplification(*positional, **options)


NATIVE_SITES = [np.array([200.0, 760.0]), np.array([760.0, 300.0]), np.array([0.2, 0.4])]


def unaligned(values):
    """A C-contiguous copy of `values` one byte off alignment, as an unpickled buffer can be."""
    values = np.asarray(values)
    raw = np.zeros(values.nbytes + 1, np.uint8)
    copy = raw[1:].view(values.dtype).reshape(values.shape)
    copy[...] = values
    return copy


@pytest.mark.parametrize("change, error, message", [
    (lambda a: ["ba19", *a[1:]], ValueError, "model: unknown model 'ba19'; choose one of "
     + ", ".join(repr(name) for name in sorted(vs30amp.MODELS)) + "$"),
    (lambda a: [None, *a[1:]], TypeError, "model: expected a str"),
    (lambda a: [a[0], "Module", *a[2:]], ValueError,
     "convention: unknown convention 'Module' for ba18; choose one of 'module', 'published'$"),
    (lambda a: [a[0], b"module", *a[2:]], TypeError, "convention: expected a str"),
    (lambda a: ["cb14", *a[1:]], ValueError, "convention: unknown convention 'published' for cb14"),
    (lambda a: ["cb14", "module", *a[2:]], ValueError, r"of one length n and out of shape \(n, 22\)"),
    (lambda a: [*a[:2], a[2][::-1].copy(), a[3], a[4][:1], a[5]], ValueError, "of one length n and out of shape"),
    (lambda a: [*a[:5], np.empty((2, 300))], ValueError, "of one length n and out of shape"),
    (lambda a: [*a[:5], np.empty((301, 2)).T], TypeError, "out: expected a C-contiguous writable array"),
    (lambda a: [*a[:5], np.empty((2, 301), np.float32)], ValueError, "out: expected 2 dimension"),
    (lambda a: [*a[:2], a[2].astype(np.int64), *a[3:]], ValueError, "vs30: expected 1 dimension"),
    (lambda a: a[:5], TypeError, r"model_factors\(\) takes 6 arguments \(5 given\)"),
    (lambda a: [*a[:2], unaligned(a[2]), *a[3:]], ValueError, "vs30: expected an aligned array"),
])
def test_native_model_factors_refuses_what_it_cannot_fill(change, error, message):
    arguments = ["ba18", "published", *NATIVE_SITES, np.full((2, 301), 7.0)]
    out = arguments[5]
    with pytest.raises(error, match=message):
        vs30amp._native.model_factors(*change(arguments))
    assert (out == 7.0).all()  # refused before anything was written


@pytest.mark.parametrize("change, error, message", [
    (lambda a: ["bssa14", *a[1:]], ValueError, "inputs: bssa14 takes no input per column"),
    (lambda a: [*a[:4], np.ones((2, 5)), a[5]], ValueError, r"inputs and out of shape \(n, 24\)"),
    (lambda a: [*a[:4], np.ones((3, 24)), a[5]], ValueError, r"inputs and out of shape \(n, 24\)"),
    (lambda a: [*a[:4], np.ones(24), a[5]], ValueError, "inputs: expected 2 dimension"),
    (lambda a: [*a[:5], np.empty((2, 23))], ValueError, r"inputs and out of shape \(n, 24\)"),
    # the same with the basin depths (model_basin_factors)
    (lambda a: ["bssa14", *a[1:5], np.ones(2), np.ones(2), a[5]], ValueError, "z1: bssa14 takes no basin depth"),
    (lambda a: [*a[:5], np.ones(3), np.ones(2), a[5]], ValueError, r"four arrays of one length n"),
    (lambda a: [*a[:5], np.ones(2), np.ones((2, 1)), a[5]], ValueError, "z1_sim: expected 1 dimension"),
])
def test_native_column_factors_refuse_what_they_cannot_fill(change, error, message):
    arguments = ["cy14", "module", *NATIVE_SITES[:2], np.full((2, 24), 0.1), np.full((2, 24), 7.0)]
    out = arguments[5]
    changed = change(arguments)
    with pytest.raises(error, match=message):
        (vs30amp._native.model_basin_factors if len(changed) == 8 else vs30amp._native.model_column_factors)(*changed)
    assert (out == 7.0).all()


def test_native_models_list_the_table():
    """What the registry builds on: every native model with its grid size and conventions."""
    table = {name: (columns, conventions) for name, columns, conventions in vs30amp._native.models()}
    assert table == {name: (model.frequencies.size, tuple(c.name for c in model.conventions))
                     for name, model in vs30amp.MODELS.items()}
    assert table["ba18"] == (301, ("module", "published")) and table["cb14"] == (22, ("module",))
    for name, (columns, _) in table.items():
        frequencies = np.empty(columns)
        vs30amp._native.model_frequencies(name, frequencies)
        assert frequencies.tobytes() == vs30amp.MODELS[name].frequencies.tobytes()


# Each public function on the same sites: the range and value policy is theirs, not the kernel's.
CALLS = {
    "amplification": lambda vs30, vs30_sim, pga, model="ba18", **options:
        vs30amp.amplification(vs30, vs30_sim, pga, model, **options).factors,
    "spectrum": lambda vs30, vs30_sim, pga, model="ba18", **options:
        vs30amp.amplify_spectrum(np.ones(4), [0.0, 1.0, 7.0, 40.0], vs30, vs30_sim, pga, model, **options),
    "waveforms": lambda vs30, vs30_sim, pga, model="ba18", **options:
        vs30amp.amplify_waveforms(np.sin(np.arange(64.0)) * 0.1, 0.01, vs30, vs30_sim, pga, model,
                                  **{"fmax": np.inf, "not_at_rest": "ignore", **options}),
}


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("model, vs30, vs30_sim, pga, count, first", [
    ("cb14", [150, 1500, 149.9], 760, 0.1, "1 of 3 sites is", "vs30: site 2 has 149.9 m/s, outside cb14's range"),
    ("cb14", 400, [760, 1500.5], 0.1, "1 of 2 sites is", "vs30_sim: site 1 has 1500.5"),
    ("ba18", [180, 179, 2000], 760, 0.1, "2 of 3 sites are", "vs30: site 1 has 179.0"),
    ("ba18", 400, 760, [0.0, np.nan, np.nan], "2 of 3", "pga: site 1 has nan g, a missing value"),
    ("cb14", 400, np.nan, 0.1, "1 of 1", "vs30_sim: site 0 has nan m/s, a missing value"),
    ("ba18", [400, 300], 760, [0.1, 9.81], "1 of 2", "pga: site 1 has 9.81 g, above 5 g; are the records or the "
                                                     "PGA in m/s^2 or cm/s^2"),
    ("bssa14", [400, 149], 760, 0.1, "1 of 2 sites is", "vs30: site 1 has 149.0 m/s, outside bssa14's range"),
    ("bssa14", 400, 300, [0.1, 5.5], "1 of 2", "pga: site 1 has 5.5 g, above 5 g"),
])
def test_sites_out_of_range_warn_raise_or_pass(call, model, vs30, vs30_sim, pga, count, first):
    function = CALLS[call]
    with pytest.warns(vs30amp.RangeWarning) as caught:
        warned = function(vs30, vs30_sim, pga, model)
    assert len(caught) == 1 and count in str(caught[0].message) and first in str(caught[0].message)
    assert caught[0].filename == __file__  # the user's line, not the package's
    pattern = first.replace("(", r"\(").replace(")", r"\)").replace("^", r"\^")
    for options in ({"ranges": "raise"}, {"check_ranges": True}):
        with pytest.raises(ValueError, match=pattern):
            function(vs30, vs30_sim, pga, model, **options)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for options in ({"ranges": "ignore"}, {"check_ranges": False}, {"ranges": "warn", "check_ranges": False}):
            assert function(vs30, vs30_sim, pga, model, **options).tobytes() == warned.tobytes()


@pytest.mark.parametrize("measure", [
    lambda acc: vs30amp.response_spectrum(acc, 0.01), lambda acc: vs30amp.rotd(acc, acc, 0.01),
    lambda acc: vs30amp.fas(acc, 0.01),
    lambda pga: vs30amp.amplification(pga * 0 + 300, 760, pga, convention="published").factors])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_misaligned_arrays_give_the_aligned_results(measure, dtype):
    values = (np.sin(np.arange(50.0)) * 0.2 + 0.3).astype(dtype)
    assert measure(unaligned(values)).tobytes() == measure(values).tobytes()


@pytest.mark.parametrize("call", CALLS)
def test_every_function_takes_the_convention(call):
    sites = ([250.0, 900.0], 760.0, [0.3, 0.1])
    published = CALLS[call](*sites, "ba18", convention="published")
    assert published.tobytes() != CALLS[call](*sites, "ba18").tobytes()
    if call == "spectrum":  # a unit spectrum on the model's own frequencies gives its factors
        grid = vs30amp.MODELS["ba18"].frequencies
        published = vs30amp.amplify_spectrum(np.ones(grid.size), grid, *sites, convention="published")
    if call != "waveforms":
        assert published.tobytes() == ba18_native(*map(np.ascontiguousarray, np.broadcast_arrays(*map(np.asarray, sites)))).tobytes()
    with pytest.raises(ValueError, match="convention: unknown convention 'published' for cb14"):
        CALLS[call](*sites, "cb14", convention="published")


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("model", ["cb14", "ba18"])
def test_a_missing_value_makes_its_site_nan_and_leaves_the_others_alone(call, model):
    vs30, vs30_sim, pga = [300, np.nan, 500, 400, 900], [760, 760, np.nan, 760, 500], [0.1, 0.1, 0.1, np.nan, 0.4]
    with pytest.warns(vs30amp.RangeWarning, match="3 of 5 sites are"):
        result = CALLS[call](vs30, vs30_sim, pga, model)
    assert np.isnan(result[1:4]).all() and np.isfinite(result[[0, 4]]).all()
    valid = CALLS[call]([300, 900], [760, 500], [0.1, 0.4], model)
    assert result[[0, 4]].tobytes() == valid.tobytes()


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("sites, options, error, message", [
    (([300, np.inf], 760, 0.1), {}, ValueError, "vs30: site 1 has inf m/s; it must be finite and positive"),
    ((300, [760, -np.inf], 0.1), {}, ValueError, "vs30_sim: site 1 has -inf"),
    (([300, 0.0], 760, 0.1), {}, ValueError, "vs30: site 1 has 0.0 m/s"),
    ((300, 760, [0.1, -0.01]), {}, ValueError, "pga: site 1 has -0.01 g; it must be finite and non-negative"),
    (([300, np.nan], 760, np.inf), {}, ValueError, "pga: site 0 has inf"),
    ((300, 760, 0.1), {"ranges": "strict"}, ValueError, "ranges: unknown policy 'strict'"),
    ((300, 760, 0.1), {"ranges": "ignore", "check_ranges": True}, ValueError, "'ignore' contradicts check_ranges"),
    ((300, 760, 0.1), {"check_ranges": "yes"}, TypeError, "check_ranges: expected True, False or None"),
])
def test_impossible_values_and_policies_are_refused(call, sites, options, error, message):
    for ranges in ("warn", "raise", "ignore") if not options else (options.get("ranges", "warn"),):
        with pytest.raises(error, match=message):
            CALLS[call](*sites, **{**options, "ranges": ranges})


@pytest.mark.parametrize("model", ["cb14", "ba18"])
def test_interpolation_exact_on_the_grid_constant_beyond_log_linear_between(model):
    result = vs30amp.amplification([200, 450, 1100], [760, 300, 760], [0.05, 0.5, 0.9], model)
    f, factors = result.frequencies, result.factors
    order = np.random.default_rng(3).permutation(f.size)
    assert result.at(f[order]).tobytes() == factors[:, order].tobytes()
    ends = result.at([0.0, f[0] / 3, f[0], f[-1], f[-1] * 7])
    assert np.array_equal(ends, factors[:, [0, 0, 0, -1, -1]])
    middle = result.at(np.sqrt(f[:-1] * f[1:]))
    np.testing.assert_allclose(middle, np.sqrt(factors[:, :-1] * factors[:, 1:]), rtol=1e-13)
    # A NaN factor of the kernel (a NaN Vs30: CB14's whole row; BA18's above 24 Hz) reaches every
    # frequency next to it.
    kernel = KERNELS[model, "module"](np.array([np.nan]), np.array([760.0]), np.array([0.2]))
    row = vs30amp.Amplification(kernel, f, model, *(np.array([v]) for v in (np.nan, 760.0, 0.2)))
    nan = np.isnan(kernel[0])
    gaps = row.at(np.sqrt(f[:-1] * f[1:]))[0]
    assert np.array_equal(np.isnan(gaps), nan[:-1] | nan[1:])
    for bad in (-1.0, np.nan, np.inf):
        with pytest.raises(ValueError, match="frequencies: frequency"):
            result.at([1.0, bad])


@pytest.mark.parametrize("dtype", [np.float32, np.complex64, np.float64, np.complex128])
def test_spectra_shared_or_per_site_are_multiplied_and_left_alone(dtype):
    frequencies = np.array([0.0, 0.7, 1.0, 5.0, 33.0])
    spectrum = (np.arange(1.0, 6.0) * (1 + 1j if np.dtype(dtype).kind == "c" else 1)).astype(dtype)
    kept = spectrum.copy()
    factors = vs30amp.amplification([250, 600], 760, 0.3, "cb14").at(frequencies)
    shared = vs30amp.amplify_spectrum(spectrum, frequencies, [250, 600], 760, 0.3, model="cb14")
    rows = vs30amp.amplify_spectrum(np.stack([spectrum, spectrum]), frequencies, [250, 600], 760, 0.3, "cb14")
    assert shared.dtype == dtype and np.array_equal(spectrum, kept) and np.array_equal(shared, rows)
    np.testing.assert_allclose(shared, spectrum * factors, rtol=1e-6)
    with pytest.raises(ValueError, match="does not broadcast"):
        vs30amp.amplify_spectrum(np.stack([spectrum] * 3), frequencies, [250, 600], 760, 0.3)


def records(n, m, dtype, seed=0):
    return np.random.default_rng(seed).standard_normal((n, m)).astype(dtype) * 0.1


@pytest.mark.parametrize("model", ["cb14", "ba18"])
@pytest.mark.parametrize("dtype, tolerance", [(np.float32, 2e-6), (np.float64, 1e-14)])
def test_records_at_unit_factors_come_back_to_rounding(model, dtype, tolerance):
    assert (vs30amp.amplification(400, 400, 0.0, model).factors == 1.0).all()
    acc = records(3, 1001, dtype)
    out = vs30amp.amplify_waveforms(acc, 0.005, 400, 400, 0.0, model=model)
    assert out.dtype == dtype and out.shape == acc.shape
    np.testing.assert_allclose(out, acc, rtol=0, atol=tolerance * np.abs(acc).max() * 10)
    single = vs30amp.amplify_waveforms(acc[1], 0.005, 400, 400, 0.0, model=model)
    assert single.shape == (1001,) and np.array_equal(single, out[1])


@pytest.mark.parametrize("model, column", [("cb14", 9), ("cb14", 14), ("ba18", 140), ("ba18", 250)])
def test_a_sinusoid_at_a_grid_frequency_is_scaled_by_its_factor(model, column):
    result = vs30amp.amplification(250, 760, 0.05, model)
    frequency, factor = result.frequencies[column], result.factors[0, column]
    dt, m = 0.004, 2**15
    t = np.arange(m) * dt
    acc = np.sin(2 * np.pi * frequency * t) * np.hanning(m)
    out = vs30amp.amplify_waveforms(acc, dt, 250, 760, 0.05, model=model)
    middle = slice(m // 2 - 500, m // 2 + 500)
    np.testing.assert_allclose(out[middle], factor * acc[middle], atol=2e-3 * factor)


def test_no_wrap_around_chunking_and_the_default_pga():
    impulse = np.zeros(600)
    impulse[-1] = 1.0  # its response must not wrap around to the record's start
    for model in ("cb14", "ba18"):
        out = vs30amp.amplify_waveforms(impulse, 0.01, 200, 1000, 0.1, model=model)
        assert np.abs(out[:100]).max() < 2e-3 * np.abs(out).max()
    acc = records(7, 600, np.float64, seed=5)
    direct = vs30amp.amplify_waveforms(acc, 0.01, 200, 1000, model="ba18", workers=1)
    chunked = vs30amp.amplify_waveforms(acc, 0.01, 200, 1000, np.abs(acc).max(axis=1), "ba18", workers=2, chunk_bytes=1)
    assert chunked.tobytes() == direct.tobytes()
    with pytest.raises(ValueError, match=r"vs30: shape \(3,\) does not broadcast"):
        vs30amp.amplify_waveforms(acc, 0.01, [200, 300, 400], 1000)
    assert vs30amp.amplify_waveforms(acc, 0.01, 200, 1000, workers=-1, chunk_bytes=1).tobytes() == direct.tobytes()
    for bad_dt in (0.0, -0.01, np.nan, [0.01, 0.02]):
        with pytest.raises(ValueError, match="dt: "):
            vs30amp.amplify_waveforms(acc, bad_dt, 200, 1000)
    for options, error, message in (
            ({"workers": True}, TypeError, "workers: expected an int"), ({"workers": 2.0}, TypeError, "workers: "),
            ({"workers": 0}, ValueError, "workers: expected at least 1, or -1"), ({"workers": -2}, ValueError, "-2"),
            ({"workers": 2**63}, ValueError, "workers: expected at most 2147483647 threads"),
            ({"fmax": 0.0}, ValueError, "fmax: "), ({"fmax": -np.inf}, ValueError, "fmax: "),
            ({"fmax": np.nan}, ValueError, "fmax: "), ({"fmax": "10"}, TypeError, "fmax: "),
            ({"units": "gal"}, ValueError, "units: unknown units 'gal'"),
            ({"above_fmax": "cut"}, ValueError, "above_fmax: "),
            ({"taper": -1.0}, ValueError, "taper: "), ({"taper": 3.01}, ValueError, "taper: 3.01 s at each end is more "
                                                                                  "than half of the 6 s record"),
            ({"not_at_rest": "raise"}, ValueError, "not_at_rest: ")):
        with pytest.raises(error, match=message):
            vs30amp.amplify_waveforms(acc, 0.01, 200, 1000, **options)
    for value, sample in ((np.nan, 17), (np.inf, 0), (-np.inf, 599)):
        broken = acc.copy()
        broken[2, sample] = value
        with pytest.raises(ValueError, match=rf"acc: record 2 has a non-finite sample \({value!r} at sample {sample}"):
            vs30amp.amplify_waveforms(broken, 0.01, 200, 1000, 0.1)
    # Finite records whose amplification overflows are refused, naming the record, with no warning.
    huge = np.stack([acc[0], np.full(600, 1e36)]).astype(np.float32)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError, match="acc: record 1 amplified for site 1 overflows float32"):
            vs30amp.amplify_waveforms(huge, 0.01, 200, 1000, 0.1, workers=1, chunk_bytes=1, fmax=np.inf,
                                      not_at_rest="ignore")
        with pytest.raises(ValueError, match="acc: record 0 amplified for site 1 overflows float32"):
            vs30amp.amplify_waveforms(huge[1], 0.01, [np.nan, 300], 1000, 0.1, ranges="ignore", fmax=np.inf,
                                      not_at_rest="ignore")


@pytest.mark.parametrize("model, vs30_sim, pga, rock_pga", [
    ("bssa14", 760.0, 0.3, 0.3),                             # on the rock already: the record's PGA exactly
    ("bssa14", 200.0, 0.05, None), ("bssa14", 200.0, 1.2, None), ("bssa14", 450.0, 2.0, None),
    ("bssa14", 1400.0, 0.5, None), ("bssa14", 300.0, 1e-13, None),  # linear below the bracket
    ("bssa14", 150.0, 4.9, ValueError),                       # no rock PGA up to 5 g reaches it
    ("nga_east", 3000.0, 0.3, 0.3), ("nga_east", 200.0, 0.8, None), ("nga_east", 200.0, 0.0, 0.0),
    ("bssa14", 300.0, 7.0, 7.0), ("bssa14", 300.0, 0.0, 0.0),  # above the guard, zero: as they are
    ("cb14", 200.0, 1.2, 1.2),                                # the simulation's PGA is cb14's input
])
def test_a_records_pga_is_carried_to_the_models_rock_by_its_own_factor(model, vs30_sim, pga, rock_pga):
    from vs30amp._rock_motion import model_pga

    found = vs30amp.MODELS[model]
    if rock_pga is ValueError:
        with pytest.raises(ValueError, match=r"pga: no pga on 760 m/s rock up to 5 g gives site 0's motion 4\.9 g "
                                             r"at 0\.01 s through bssa14's factor"):
            model_pga(found, found.kernel, np.array([vs30_sim]), np.array([pga]))
        return
    carried = model_pga(found, found.kernel, np.array([vs30_sim]), np.array([pga]))
    if rock_pga is not None:
        assert carried.tolist() == [rock_pga]
    else:
        on_rock = np.array([found.input("pga").rock])
        reached = carried * found.kernel(np.array([vs30_sim]), on_rock, carried)[:, -1]
        assert reached == pytest.approx(pga, rel=2e-11 if pga < 1e-12 else 2e-15)
    # Every record path sees that PGA: the record's own peak gives what the carried PGA given gives.
    t = np.arange(512) * 0.01
    acc = pga * np.sin(2 * np.pi * t) * np.sin(np.pi * t / t[-1]) ** 2 / 0.9998
    own = vs30amp.amplify_waveforms(acc, 0.01, 400.0, vs30_sim, model=model, fmax=np.inf, ranges="ignore")
    peak = model_pga(found, found.kernel, np.array([vs30_sim]), np.abs(acc).max(keepdims=True))
    given = vs30amp.amplify_waveforms(acc, 0.01, 400.0, vs30_sim, peak, model=model, fmax=np.inf, ranges="ignore")
    assert own.tobytes() == given.tobytes()


@pytest.mark.parametrize("models, frequencies, options", [
    (None, None, {}), (["bssa14", "CB14"], [0.0, 0.55, 3.0, 100.0, 400.0], {}),
    ("ba18", [2.0, 1.0], {"inputs": {"ba18": {"convention": "published"}}}),
    (["bssa14"], None, {"carry_pga": False}),
])
def test_models_side_by_side_are_each_models_own_factors_on_common_frequencies(models, frequencies, options):
    from vs30amp._rock_motion import model_pga

    sites = (np.array([200.0, 450.0, 1000.0]), np.array([760.0, 300.0, 500.0]), np.array([0.1, 0.4, 0.2]))
    compared = vs30amp.side_by_side(*sites, models, frequencies, ranges="ignore", **options)
    # By default the models that need no input beyond the three (cy14's y_ref is given through `inputs`).
    names = ([name for name, model in vs30amp.MODELS.items() if model.per_period_input is None] if models is None
             else [models] if isinstance(models, str) else models)
    assert list(compared.factors) == [name.lower() for name in names]
    grids = [vs30amp.MODELS[name.lower()].frequencies for name in names]
    assert compared.frequencies.tolist() == (sorted(set(np.concatenate(grids))) if frequencies is None else frequencies)
    for name, grid in zip(compared.factors, grids):
        found, convention = vs30amp.MODELS[name], options.get("inputs", {}).get(name, {}).get("convention", "module")
        carried = options.get("carry_pga", True)
        pga = model_pga(found, found.kernel_for(convention), sites[1], sites[2]) if carried else sites[2]
        on_rock = found.needs("pga") and found.input("pga").rock is not None
        assert (on_rock and carried) == (pga.tolist() != sites[2].tolist())  # bssa14's and nga_east's PGA is on rock
        own = vs30amp.amplification(sites[0], sites[1], pga, name, convention=convention, ranges="ignore")
        assert compared.amplifications[name].factors.tobytes() == own.factors.tobytes()
        assert compared.factors[name].tobytes() == own.at(compared.frequencies).tobytes()
    assert compared.to_xarray(site=["a", "b", "c"]).sizes == {"model": len(names), "site": 3,
                                                               "frequency": compared.frequencies.size}


@pytest.mark.parametrize("call, error, message", [
    (lambda: vs30amp.side_by_side(300, 760, 0.1, ["cb14"], inputs={"cb14": {}}), ValueError,
     r"inputs: cb14 takes y_ref \(the PSA on rock, g\) beyond vs30, vs30_sim and pga; give it as "
     r"inputs=\{'cb14': \{'y_ref': ...\}\}"),
    (lambda: vs30amp.side_by_side(300, 760, 0.1, ["ba18"], inputs={"bssa14": {}}), ValueError,
     "inputs: given for bssa14, not among the models compared"),
    (lambda: vs30amp.side_by_side(300, 760, 0.1, []), ValueError, "models: no model named"),
    (lambda: vs30amp.side_by_side(300, 760, 0.1, ["ba14"]), ValueError, "model: unknown model 'ba14'"),
    (lambda: vs30amp.side_by_side(300, 760, 0.1, inputs={"ba18": "published"}), TypeError, "inputs: 'ba18' maps to"),
    (lambda: vs30amp.side_by_side(300, 760, 0.1, carry_pga=1), TypeError, "carry_pga: expected True or False"),
    (lambda: vs30amp.side_by_side(300, 760, 0.1).plot(1), ValueError, "site: expected the index of one of the 1"),
    (lambda: vs30amp.side_by_side(300, 760, 0.1).plot(marks="all"), ValueError, "marks: expected 'own'"),
])
def test_models_side_by_side_refuse_what_they_cannot_compare(monkeypatch, call, error, message):
    # cb14 as a model that takes an input beyond the three: left out by default, refused without it.
    y_ref = vs30amp._models.Input("y_ref", "g", "the PSA on rock", "positive", (0.0, 5.0), "")
    taking = dataclasses.replace(vs30amp.MODELS["cb14"], inputs=(*vs30amp.MODELS["cb14"].inputs, y_ref))
    monkeypatch.setitem(vs30amp._models.MODELS, "cb14", taking)
    assert "cb14" not in vs30amp.side_by_side(300, 760, 0.1).factors
    with pytest.raises(error, match=message):
        call()


def test_progress_bar_and_plot(capsys):
    pytest.importorskip("tqdm")
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    vs30amp.amplify_waveforms(records(5, 300, np.float32), 0.01, 300, 760, progress=True, chunk_bytes=1, workers=1)
    assert "5/5" in capsys.readouterr().err
    result = vs30amp.amplification([200, 400, 800], 760, 0.2, "cb14")
    ax = result.plot([0, 2])
    assert [line.get_ydata().tolist() for line in ax.get_lines()] == result.factors[[0, 2]].tolist()
    assert ax.get_xscale() == ax.get_yscale() == "log"
    compared = vs30amp.side_by_side([200, 400], 760, 0.2, ["cb14", "ba18"])
    cb14, cb14_marks, ba18, ba18_marks = compared.plot(1).get_lines()  # each model's line, then its marks
    assert (cb14.get_label(), ba18.get_label()) == (vs30amp.MODELS["cb14"].label, vs30amp.MODELS["ba18"].label)
    assert ba18.get_xdata().max() == 100.0 and cb14.get_xdata().max() == 1000.0  # not drawn beyond its own grid
    assert ba18_marks.get_ydata().tolist() == compared.amplifications["ba18"].factors[1].tolist()


@pytest.mark.parametrize("blocked, call, extra", [
    ("xarray", "result.to_xarray()", "xarray"),
    ("matplotlib", "result.plot()", "plot"),
    ("tqdm", "vs30amp.amplify_waveforms([[0.1, 0.2]], 0.01, 300, 760, progress=True)", "progress"),
    ("dask", "vs30amp.distributed.amplification([300.0], 760.0, 0.1)", "distributed"),
    ("obspy", "vs30amp.io.read_traces('x.mseed')", "obspy"),
    ("obspy", "vs30amp.io.to_trace(vs30amp.io.Record([0.1, 0.2], 0.01, 'g'))", "obspy"),
])
def test_a_missing_extra_is_named(blocked, call, extra):
    observed = run_child_report(f"""
        sys.modules[{blocked!r}] = None  # its import fails
        import vs30amp, vs30amp.distributed
        result = vs30amp.amplification(300, 760, 0.1)
        report(**outcome(lambda: {call}))
    """)
    assert observed["type"] == "ImportError"
    assert f"pip install 'vs30amp[{extra}]'" in observed["message"]


@pytest.mark.parametrize("shape", [(700,), (1, 700)])
def test_one_record_is_amplified_for_every_site(shape):
    acc = records(1, 700, np.float32, seed=2).reshape(shape)
    vs30, pga = [200, 450, 900, 1300], [0.1, 0.2, 0.3, 0.4]
    for given in (pga, None):
        out = vs30amp.amplify_waveforms(acc, 0.01, vs30, 760, given, workers=2, chunk_bytes=1)
        alone = [vs30amp.amplify_waveforms(acc, 0.01, v, 760, given and given[i]).ravel() for i, v in enumerate(vs30)]
        assert out.shape == (4, 700) and out.tobytes() == np.stack(alone).tobytes()


@pytest.mark.parametrize("units, g", [("g", 1.0), ("cm/s2", 980.665)])
def test_records_take_cy14s_y_ref_from_their_own_psa_carried_to_rock(units, g):
    """A record's own PSA at the model's periods, carried to 1130 m/s rock by inverting the
    factor, drives the factors applied to it, as amplify_waveforms' docstring describes the rest."""
    from vs30amp._record_chunks import fast_length
    from vs30amp._rock_motion import rock_rows

    acc, dt, vs30, vs30_sim = records(2, 600, np.float64, seed=5) * 3, 0.01, np.array([250.0, 600.0]), 400.0
    out = vs30amp.amplify_waveforms(acc * g, dt, vs30, vs30_sim, model="cy14", units=units, fmax=np.inf,
                                    not_at_rest="ignore")
    model = vs30amp.MODELS["cy14"]
    y_ref = rock_rows(model, "module", vs30amp.response_spectrum(acc, dt, 1.0 / model.frequencies),
                      np.full(2, vs30_sim))
    length = fast_length(2 * acc.shape[1])
    factors = vs30amp.amplification(vs30, vs30_sim, None, "cy14", y_ref=y_ref).at(np.fft.rfftfreq(length, dt))
    expected = np.fft.irfft(np.fft.rfft(acc, length) * factors, length)[:, :acc.shape[1]]
    np.testing.assert_allclose(out / g, expected, rtol=0, atol=1e-12 * np.abs(expected).max())


def test_cy14s_basin_depths_reach_the_factors_through_every_entry_point():
    """z1 and z1_sim move amplification's factors, amplify_spectrum's and amplify_waveforms' alike
    (the records' y_ref carried to rock through the simulation's basin term too); NaN depths give
    the bits of no depths."""
    from vs30amp._record_chunks import fast_length
    from vs30amp._rock_motion import rock_rows

    model = vs30amp.MODELS["cy14"]
    acc, dt, vs30, vs30_sim = records(2, 600, np.float64, seed=5) * 3, 0.01, np.array([250.0, 600.0]), 400.0
    depths = {"z1": np.array([600.0, np.nan]), "z1_sim": 150.0}
    plain = vs30amp.amplification(vs30, vs30_sim, None, "cy14", y_ref=0.2).factors
    basin = vs30amp.amplification(vs30, vs30_sim, None, "cy14", y_ref=0.2, **depths).factors
    not_given = vs30amp.amplification(vs30, vs30_sim, None, "cy14", y_ref=0.2, z1=np.nan, z1_sim=np.nan).factors
    assert not_given.tobytes() == plain.tobytes() and (np.abs(np.log(basin / plain)) > 1e-3).any(axis=1).all()
    spectra = vs30amp.amplify_spectrum(np.ones(model.frequencies.size), model.frequencies, vs30, vs30_sim, None,
                                       "cy14", y_ref=0.2, **depths)
    np.testing.assert_allclose(spectra, basin, rtol=1e-14)
    out = vs30amp.amplify_waveforms(acc, dt, vs30, vs30_sim, model="cy14", fmax=np.inf, not_at_rest="ignore",
                                    **depths)
    y_ref = rock_rows(model, "module", vs30amp.response_spectrum(acc, dt, 1.0 / model.frequencies),
                      np.full(2, vs30_sim), z1_sim=np.full(2, 150.0))
    length = fast_length(2 * acc.shape[1])
    factors = vs30amp.amplification(vs30, vs30_sim, None, "cy14", y_ref=y_ref, **depths).at(
        np.fft.rfftfreq(length, dt))
    expected = np.fft.irfft(np.fft.rfft(acc, length) * factors, length)[:, :acc.shape[1]]
    np.testing.assert_allclose(out, expected, rtol=0, atol=1e-12 * np.abs(expected).max())
    # the simulation's basin term is in the inversion, on the rock's own Vs30 too: the factor from
    # the rock to the simulation gives its PSA back
    psa = vs30amp.response_spectrum(acc, dt, 1.0 / model.frequencies)
    assert not np.allclose(y_ref, rock_rows(model, "module", psa, np.full(2, vs30_sim)), rtol=1e-6, atol=0)
    for sim in (vs30_sim, 1130.0):
        on_rock = rock_rows(model, "module", psa, np.full(2, sim), z1_sim=np.full(2, 150.0))
        back = vs30amp.amplification(sim, 1130.0, None, "cy14", y_ref=on_rock, z1=150.0).factors * on_rock
        np.testing.assert_allclose(back, psa, rtol=1e-9)


@pytest.mark.parametrize("units, g", [("m/s2", 9.80665), ("cm/s2", 980.665)])
def test_records_in_other_units_come_back_in_them_with_their_pga_seen_in_g(units, g):
    acc = records(3, 800, np.float64, seed=4) * 3  # peaks near 1 g: the soil's response is nonlinear
    for pga in (None, np.array([0.9, 1.2, 0.7])):
        in_g = vs30amp.amplify_waveforms(acc, 0.005, 250, 760, pga)
        scaled = vs30amp.amplify_waveforms(acc * g, 0.005, 250, 760, None if pga is None else pga * g, units=units)
        np.testing.assert_allclose(scaled / g, in_g, rtol=0, atol=1e-12 * np.abs(in_g).max())


def test_fmax_holds_the_factors_above_it_at_its_own():
    result = vs30amp.amplification(1100, 200, 0.05, "ba18")  # a stiff site under a soft simulation
    held = vs30amp.amplify_spectrum(np.ones(4), [5.0, 10.0, 20.0, 80.0], 1100, 200, 0.05, fmax=10.0)
    assert held.tobytes() == result.at([5.0, 10.0, 10.0, 10.0]).tobytes()
    dt, m = 0.004, 2**14
    acc = np.sin(2 * np.pi * 40.0 * np.arange(m) * dt) * np.hanning(m)
    at10, at40 = result.at([10.0, 40.0])[0]
    assert at40 > 5 * at10  # the high-frequency noise that fmax keeps down
    middle = slice(m // 2 - 500, m // 2 + 500)
    for fmax, factor in ((None, at40), (10.0, at10), (100.0, at40)):
        out = vs30amp.amplify_waveforms(acc, dt, 1100, 200, 0.05, fmax=fmax, above_fmax="hold")
        np.testing.assert_allclose(out[middle], factor * acc[middle], atol=2e-3 * factor)



# A factor A at fmax becomes A^w above it, w = (1 + cos(pi (f - fmax) / fmax)) / 2 up to 2 fmax.
@pytest.mark.parametrize("fmax, above_fmax, frequencies, exponents", [
    (10.0, "taper", [5.0, 10.0, 15.0, 20.0, 80.0], [1.0, 1.0, 0.5, 0.0, 0.0]),
    (30.0, "taper", [30.0, 40.0, 100.0], [1.0, 0.75, 0.0]),
    (10.0, "hold", [5.0, 10.0, 80.0], [1.0, 1.0, 1.0]),
])
def test_factors_above_fmax_are_tapered_to_one_or_held(fmax, above_fmax, frequencies, exponents):
    result = vs30amp.amplification(1100, 200, 0.05, "ba18")
    held = result.at(np.minimum(frequencies, fmax))[0]
    spectrum = vs30amp.amplify_spectrum(np.ones(len(frequencies)), frequencies, 1100, 200, 0.05, fmax=fmax,
                                        above_fmax=above_fmax)[0]
    below = np.array(frequencies) <= fmax
    assert spectrum[below].tobytes() == held[below].tobytes()  # bit for bit up to fmax
    np.testing.assert_allclose(spectrum, held ** np.array(exponents), rtol=1e-12)
    dt, m = 0.004, 2**14
    frequency = frequencies[-2]  # a sine there comes out multiplied by its factor
    acc = np.sin(2 * np.pi * frequency * np.arange(m) * dt) * np.hanning(m)
    out = vs30amp.amplify_waveforms(acc, dt, 1100, 200, 0.05, fmax=fmax, above_fmax=above_fmax)
    middle = slice(m // 2 - 500, m // 2 + 500)
    np.testing.assert_allclose(out[middle], spectrum[-2] * acc[middle], atol=2e-3 * max(1.0, spectrum[-2]))


def test_records_warn_without_fmax_and_when_not_at_rest_and_taper_on_request():
    nis = vs30amp.io.read("tests/data/NIS090.AT2")  # ends at 26 % of its PGA
    with pytest.warns(vs30amp.AmplificationWarning) as caught:
        plain = vs30amp.amplify_waveforms(nis.acc, nis.dt, 1100, 200)
    said = sorted(str(warning.message) for warning in caught)
    assert len(said) == 2 and all(warning.filename == __file__ for warning in caught)
    assert said[0].startswith("fmax not given: factors up to 17.93 (at 50 Hz) applied up to the records' Nyquist "
                              "frequency 50 Hz")
    assert said[1].startswith("the record does not start and end at rest: first sample 0%, last 26% of its peak")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        tapered = vs30amp.amplify_waveforms(nis.acc, nis.dt, 1100, 200, fmax=25.0, taper=2.0)
        vs30amp.amplify_waveforms(nis.acc, nis.dt, 1100, 200, fmax=np.inf, not_at_rest="ignore")
    k = round(2.0 / nis.dt)
    ramp = 0.5 * (1 - np.cos(np.pi * np.arange(k) / k))
    by_hand = nis.acc.copy()
    by_hand[:k] *= ramp
    by_hand[-k:] *= ramp[::-1]
    # The taper is applied to the record, the PGA the models see is its own before it.
    same = vs30amp.amplify_waveforms(by_hand, nis.dt, 1100, 200, np.abs(nis.acc).max(), fmax=25.0, not_at_rest="ignore")
    assert tapered.tobytes() == same.tobytes()
    assert abs(plain[-1]) > 0.1 * np.abs(plain).max() > 100 * abs(tapered[-1])
    with pytest.warns(vs30amp.AmplificationWarning, match="2 of 3 records do not start and end at rest; the first, "
                                                          "record 1: first sample 0%, last 26%"):
        vs30amp.amplify_waveforms(np.stack([by_hand, nis.acc, nis.acc]), nis.dt, 300, 760, fmax=25.0)


@pytest.mark.parametrize("model, convention, said", [
    ("ba18", "module", "ba18 in the module convention, not the published BA18 (factors up to 10 % apart"),
    ("ba18", "published", "ba18 in the published convention (the published BA18)"),
    ("cb14", "module", "cb14 (its published site term)"),
])
def test_a_result_names_its_convention(model, convention, said):
    result = vs30amp.amplification([200.0, 400.0], 760.0, 0.1, model, convention=convention)
    assert repr(result).startswith(f"<Amplification: {said}") and repr(result).endswith("; 2 sites, "
        f"{result.frequencies.size} frequencies {result.frequencies[0]:g}-{result.frequencies[-1]:g} Hz>")
    assert vs30amp._provenance.attributes("t", "made", model, convention)["comment"].startswith(f"factors of {said}")

# Many short records in chunks of 2 MiB: the chunks' 2 MiB, 8 bytes of peak per site and the
# checks' masks (the n x 301 factors at once would be 115 MiB). Two records of 2^20 samples, each
# more than the default 32 MiB of chunk on its own (N = 2^21: 5 N x 4 bytes with SciPy's FFT,
# some 8 N x 4 with NumPy's and its new plan): one at a time, with the interpolation weights made
# a block at a time (two threads and weights for all 2^20 + 1 bins at once took 132 MiB).
@pytest.mark.parametrize("shape, chunk_bytes, bound", [
    ((50_000, 256), 2**21, 2**21 + 50_000 * 24 + 2**21),
    ((2, 2**20), vs30amp._waveforms.CHUNK_BYTES, 8 * 2**21 * 4 + vs30amp._waveforms.CHUNK_BYTES // 2),
])
def test_working_memory_beside_the_output_is_about_chunk_bytes_whatever_n_and_m(shape, chunk_bytes, bound):
    if UNDER_SANITIZER:
        pytest.skip("the sanitizer's allocator keeps freed memory in quarantine")
    observed = run_child_report(f"""
        from pathlib import Path
        import numpy as np
        import vs30amp

        def kib(field):
            return next(int(line.split()[1]) for line in Path("/proc/self/status").read_text().splitlines()
                        if line.startswith(field + ":"))

        acc = np.full({shape}, 0.01, np.float32)
        vs30amp.amplify_waveforms(acc[:10, :256], 0.01, 300.0, 760.0, workers=1)  # imports and FFT plans
        before = kib("VmRSS")
        Path("/proc/self/clear_refs").write_text("5")  # the high-water mark starts again from here
        out = vs30amp.amplify_waveforms(acc, 0.01, 300.0, 760.0, chunk_bytes={chunk_bytes})
        report(extra=(kib("VmHWM") - before) * 1024 - out.nbytes)
    """)
    assert observed["extra"] < bound


@pytest.mark.skipif(sys.version_info < (3, 15), reason="_utils exists on Python 3.15 and later")
@pytest.mark.parametrize("model, native", [("cb14", cb14_native), ("ba18", lambda *sites: ba18_native(*sites, "module"))])
@pytest.mark.parametrize("n", [0, 1, 128, 300])  # none, one, one whole block, blocks and a tail
def test_native_module_gives_the_bits_of_utils(model, native, n):
    """Before 3.15 the package computes the "module" convention through its native module."""
    rng = np.random.default_rng(n)
    sites = [rng.uniform(150.0, 1500.0, n), np.full(n, 760.0), rng.uniform(0.0, 1.5, n)]
    assert native(*sites).tobytes() == KERNELS[model, "module"](*sites).tobytes()
    frequencies = np.empty(vs30amp.MODELS[model].frequencies.size)
    vs30amp._native.model_frequencies(model, frequencies)
    grids = {"cb14": _utils._campbell_bozorgnia_2014_frequencies, "ba18": _utils._bayless_abrahamson_2018_frequencies}
    assert frequencies.tobytes() == grids[model]().tobytes()


def test_without_its_native_module_the_package_names_the_supported_pythons(tmp_path):
    """A copy of the package with no native module beside it: what a build for another Python gives."""
    import shutil
    import subprocess
    from pathlib import Path

    shutil.copytree(Path(vs30amp.__file__).parent, tmp_path / "vs30amp",
                    ignore=shutil.ignore_patterns("_native*.so", "__pycache__"))
    done = subprocess.run([sys.executable, "-c", "import vs30amp"], capture_output=True, text=True, cwd=tmp_path,
                          env={"PYTHONPATH": str(tmp_path), "PATH": "/usr/bin:/bin"}, timeout=60)
    assert done.returncode == 1
    assert "ImportError: vs30amp: its native module is missing or was built for another Python" in done.stderr
    assert "(CPython 3.13, 3.14 and 3.15 are supported)" in done.stderr, done.stderr


@pytest.mark.parametrize("module", ["vs30amp", "vs30amp.io", "vs30amp.distributed"])
def test_every_public_name_is_in_all_and_the_api_reference(module):
    """A name the package exports but the reference does not show is one users cannot find."""
    import importlib
    import inspect
    from pathlib import Path

    if module == "vs30amp.distributed":
        pytest.importorskip("dask")
    found = importlib.import_module(module)
    exported = set(found.__all__)
    assert exported <= set(vars(found)) and not {"sys", "np", "Any", "pkgutil"} & exported
    # What is defined as public in the module itself belongs in __all__ too.
    own = {name for name, value in vars(found).items() if not name.startswith("_") and
           getattr(value, "__module__", None) == module and (inspect.isfunction(value) or inspect.isclass(value))}
    assert own <= exported
    page = (Path(__file__).resolve().parents[1] / "docs" / "api.rst").read_text()
    shown = set(re.findall(r"^\.\. auto\w+:: ([\w.]+)$", page, re.M))
    assert {f"{module}.{name}" for name in found.__all__} - shown == set()
