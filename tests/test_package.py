"""The public package: factors from any array-likes, interpolation, spectra and waveforms."""

import numpy as np
import pytest

import _utils
import vs30amp
from subprocess_helpers import run_child_report

def ba18_published(vs30, vs30_sim, pga):
    out = np.empty((len(vs30), 301))
    vs30amp._native.ba18_factors(vs30, vs30_sim, pga, out, "published")
    return out


KERNELS = {("cb14", "module"): _utils._campbell_bozorgnia_2014, ("ba18", "module"): _utils._bayless_abrahamson_2018_eas,
           ("ba18", "published"): ba18_published}


@pytest.mark.parametrize("model, convention", list(KERNELS))
@pytest.mark.parametrize("vs30, vs30_sim, pga", [
    (250, 760, 0.2),                                                 # scalars: one site
    ([200, 300.5, 1200], 760, [0.1, 0.0, 1.3]),                      # one simulation Vs30 for all
    (np.array([200, 900], np.int32), np.float32(450.5), np.float32([0.3])),
    (np.array([310.0, 180.0], ">f8"), np.arange(8.0)[::-4] * 100 + 150, np.uint8(1)),
])
def test_factors_are_one_direct_call_on_the_float64_values(model, convention, vs30, vs30_sim, pga):
    options = {} if convention == "module" else {"convention": convention}  # "module" is the default
    result = vs30amp.amplification(vs30, vs30_sim, pga, model=model, **options)
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
    ((300, 760, 0.1, "ba18", "Published"), ValueError,
     "convention: unknown convention 'Published' for ba18; choose one of 'module', 'published'"),
    ((300, 760, 0.1, "ba18", None), ValueError, "convention: unknown convention None"),
])
def test_refusals_name_the_argument(arguments, error, message):
    positional, convention = arguments[:4], arguments[4:]
    options = {"convention": convention[0]} if convention else {}
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        vs30amp.amplification(*positional, **options)


NATIVE_SITES = [np.array([200.0, 760.0]), np.array([760.0, 300.0]), np.array([0.2, 0.4])]


@pytest.mark.parametrize("change, error, message", [
    (lambda a: a[:4] + ["Module"], ValueError, "convention: unknown convention 'Module'; choose one of"),
    (lambda a: a[:4] + [b"module"], TypeError, "convention: expected a str"),
    (lambda a: [a[0][::-1].copy(), a[1], a[2][:1], *a[3:]], ValueError, "of one length n and out of shape"),
    (lambda a: a[:3] + [np.empty((2, 300)), a[4]], ValueError, "of one length n and out of shape"),
    (lambda a: a[:3] + [np.empty((301, 2)).T, a[4]], TypeError, "out: expected a C-contiguous writable array"),
    (lambda a: a[:3] + [np.empty((2, 301), np.float32), a[4]], ValueError, "out: expected 2 dimension"),
    (lambda a: [a[0].astype(np.int64), *a[1:]], ValueError, "vs30: expected 1 dimension"),
    (lambda a: a[:4], TypeError, "takes 5 arguments"),
])
def test_native_ba18_factors_refuses_what_it_cannot_fill(change, error, message):
    arguments = [*NATIVE_SITES, np.full((2, 301), 7.0), "published"]
    out = arguments[3]
    with pytest.raises(error, match=message):
        vs30amp._native.ba18_factors(*change(arguments))
    assert (out == 7.0).all()  # refused before anything was written


@pytest.mark.parametrize("model, vs30, vs30_sim, pga, message", [
    ("cb14", [150, 1500, 149.9], 760, 0.1, "vs30: site 2 has 149.9"),
    ("cb14", 400, [760, 1500.5], 0.1, "vs30_sim: site 1"),
    ("ba18", [180, 179], 760, 0.1, "vs30: site 1 has 179.0"),
    ("ba18", 400, 760, [0.0, np.nan], "pga: site 1 has nan"),
    ("ba18", 400, 760, [np.inf], "pga: site 0"),
    ("cb14", 400, np.nan, 0.1, "vs30_sim: site 0"),
    ("ba18", 400, 760, -0.01, "pga: site 0"),
])
def test_check_ranges_names_the_first_site_outside(model, vs30, vs30_sim, pga, message):
    computed = vs30amp.amplification(vs30, vs30_sim, pga, model)  # computed as given by default
    with pytest.raises(ValueError, match=message):
        vs30amp.amplification(vs30, vs30_sim, pga, model, check_ranges=True)
    assert len(computed) == np.broadcast_shapes(np.shape(vs30), np.shape(vs30_sim), np.shape(pga), (1,))[0]


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
    # A NaN factor (CB14: the whole row; BA18: above 24 Hz) reaches every frequency next to it.
    nan = np.isnan(vs30amp.amplification(np.nan, 760, 0.2, model).factors[0])
    gaps = vs30amp.amplification(np.nan, 760, 0.2, model).at(np.sqrt(f[:-1] * f[1:]))[0]
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
    for bad_dt in (0.0, -0.01, np.nan, [0.01, 0.02]):
        with pytest.raises(ValueError, match="dt: "):
            vs30amp.amplify_waveforms(acc, bad_dt, 200, 1000)


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


@pytest.mark.parametrize("blocked, call, extra", [
    ("xarray", "result.to_xarray()", "xarray"),
    ("matplotlib", "result.plot()", "plot"),
    ("tqdm", "vs30amp.amplify_waveforms([[0.1, 0.2]], 0.01, 300, 760, progress=True)", "progress"),
    ("dask", "vs30amp.distributed.amplification([300.0], 760.0, 0.1)", "distributed"),
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
