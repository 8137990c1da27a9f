"""vs30amp.response_spectrum and vs30amp.rotd against closed forms, an independent
frequency-domain computation and the rotation of the records themselves."""

import decimal
import gzip
import math
import pathlib

import numpy as np
import pytest

import vs30amp

DATA = pathlib.Path(__file__).parent / "data"


def shaped_noise(n, m, dt, seed):
    """Records that look like ground motion: noise low-passed near 10 Hz under a rise-and-decay
    envelope that starts at zero (as a record does: the recurrence starts from rest)."""
    rng = np.random.default_rng(seed)
    t = np.arange(m) * dt
    spectrum = np.fft.rfft(rng.standard_normal((n, m)), axis=1)
    spectrum /= 1 + (np.fft.rfftfreq(m, dt) / 10.0) ** 4
    envelope = (t / 4.0) ** 2 * np.exp(2.0 * (1.0 - t / 4.0))
    return 0.1 * np.fft.irfft(spectrum, m, axis=1) * envelope


def exact_step_response(a0, t, period, damping):
    """Relative displacement under ground acceleration a0 from t = 0, from rest: free vibration
    about the static deflection -a0 / omega^2."""
    w = 2 * np.pi / period
    wd = w * np.sqrt(1 - damping**2)
    decay = np.exp(-damping * w * t) * (np.cos(wd * t) + damping / np.sqrt(1 - damping**2) * np.sin(wd * t))
    return -a0 / w**2 * (1 - decay)


def exact_harmonic_response(t, omega_ground, period, damping):
    """Relative displacement under ground acceleration sin(Omega t) from rest: the steady state
    Im(H e^{i Omega t}) plus the free vibration that starts it from rest."""
    w = 2 * np.pi / period
    wd = w * np.sqrt(1 - damping**2)
    h = -1.0 / (w**2 - omega_ground**2 + 2j * damping * w * omega_ground)
    c1 = -h.imag
    c2 = (-omega_ground * h.real + damping * w * c1) / wd
    transient = np.exp(-damping * w * t) * (c1 * np.cos(wd * t) + c2 * np.sin(wd * t))
    return (h * np.exp(1j * omega_ground * t)).imag + transient


def frequency_domain_psa(acc, dt, period, damping):
    """PSA through the FFT: the record times the oscillator's transfer function, zero-padded far
    beyond the decay of the response. The continuous excitation is the record's linear
    interpolation, whose spectrum is the record's times sinc^2 with its images at multiples of
    1/dt: the transfer function is summed over those images."""
    w = 2 * np.pi / period
    m = acc.size
    length = 1 << int(np.ceil(np.log2(m + 30.0 / (damping * w * dt))))
    f = np.fft.rfftfreq(length, dt)
    transfer = np.zeros(f.size, complex)
    for k in range(-400, 401):
        g = 2 * np.pi * (f + k / dt)
        transfer += -1.0 / (w**2 - g**2 + 2j * damping * w * g) * np.sinc(f * dt + k) ** 2
    u = np.fft.irfft(np.fft.rfft(acc, length) * transfer, length)[:m]
    return w**2 * np.abs(u).max()


@pytest.mark.parametrize("period, damping, dt", [
    (0.001, 0.05, 0.005),   # far below dt: PSA is the PGA
    (0.004, 0.0, 0.005),    # below dt, undamped
    (0.2, 0.05, 0.005),
    (1.0, 0.7, 0.01),
    (10.0, 0.05, 0.001),    # a step far below the period: where closed-form coefficients cancel
    (3.0, 0.0, 0.02),
])
def test_step_response_is_the_closed_form(period, damping, dt):
    """The peak over the samples and the sub-steps of dt / k, k = ceil(10 dt / T), between them."""
    samples = int(3 * period / dt) + 50
    for samples_only, k in [(True, 1), (False, max(1, math.ceil(10 * dt / period - 1e-9)))]:
        t = np.arange((samples - 1) * k + 1) * (dt / k)
        exact = (2 * np.pi / period) ** 2 * np.abs(exact_step_response(0.3, t, period, damping)).max()
        got = vs30amp.response_spectrum(np.full(samples, 0.3), dt, [period], damping, samples_only=samples_only)
        assert got == pytest.approx([exact], rel=1e-9)


@pytest.mark.parametrize("damping", [0.02, 0.05, 0.3])
def test_harmonic_response_reaches_the_closed_form_steady_state(damping):
    dt, omega_ground = 1e-5, 2 * np.pi / 1.3  # (Omega dt)^2 / 12 ~ 2e-10: the linear interpolation is exact enough
    t = np.arange(int(12.0 / dt)) * dt
    periods = np.array([0.5, 1.3, 2.0])
    exact = [(2 * np.pi / p) ** 2 * np.abs(exact_harmonic_response(t, omega_ground, p, damping)).max() for p in periods]
    got = vs30amp.response_spectrum(np.sin(omega_ground * t), dt, periods, damping)
    np.testing.assert_allclose(got, exact, rtol=1e-9)


@pytest.mark.parametrize("damping", [0.05, 0.2])
def test_agrees_with_the_frequency_domain_on_records(damping):
    dt, periods = 0.01, np.array([0.02, 0.1, 0.3, 1.0, 4.0])
    acc = shaped_noise(2, 3000, dt, seed=5)
    got = vs30amp.response_spectrum(acc, dt, periods, damping, samples_only=True)
    expected = [[frequency_domain_psa(record, dt, p, damping) for p in periods] for record in acc]
    np.testing.assert_allclose(got, expected, rtol=1e-8)


def test_default_periods_are_cb14s_columns_with_the_pga_last():
    acc = shaped_noise(3, 4000, 0.005, seed=2)
    psa = vs30amp.response_spectrum(acc, 0.005)
    assert psa.shape == (3, 22)
    np.testing.assert_allclose(psa[:, -1], np.abs(acc).max(axis=1), rtol=2e-3)
    np.testing.assert_array_equal(psa[:, :3], vs30amp.response_spectrum(acc, 0.005, [10.0, 7.5, 5.0]))


@pytest.mark.parametrize("percentile", [0, 50, 100, 37.3])
@pytest.mark.parametrize("polarisation", [1.0, 0.05, 0.0])
def test_rotd_is_the_percentile_over_rotated_records(percentile, polarisation):
    dt, periods = 0.01, np.array([0.05, 0.3, 1.0, 2.0, 3.0])
    h1, noise = shaped_noise(2, 2000, dt, seed=7)
    h2 = polarisation * noise + 0.5 * h1  # polarisation 0: both components on one line
    angles = np.deg2rad(np.arange(180))
    rotated = np.cos(angles)[:, None] * h1 + np.sin(angles)[:, None] * h2
    expected = np.percentile(vs30amp.response_spectrum(rotated, dt, periods), percentile, axis=0)
    got = vs30amp.rotd(h1, h2, dt, periods, percentile)
    np.testing.assert_allclose(got, expected, rtol=1e-12)


@pytest.mark.parametrize("function", ["response_spectrum", "rotd"])
def test_float32_threads_and_one_record(function):
    acc = shaped_noise(9, 1500, 0.01, seed=3).astype(np.float32)
    compute = getattr(vs30amp, function)
    args = (acc, acc[::-1].copy()) if function == "rotd" else (acc,)
    one = compute(*args, 0.01, workers=1)
    assert one.shape == (9, 22) and one.dtype == np.float64
    # float32 samples are read exactly and computed in double; thread count changes nothing
    np.testing.assert_array_equal(one, compute(*(a.astype(np.float64) for a in args), 0.01, workers=3))
    np.testing.assert_array_equal(one[4], compute(*(a[4] for a in args), 0.01))


@pytest.mark.parametrize("change, message", [
    ({"dt": 0.0}, "dt: expected one finite, positive sample interval"),
    ({"dt": np.nan}, "dt: expected one finite, positive sample interval"),
    ({"periods": [1.0, -2.0]}, "periods: expected finite, positive periods (s), got -2.0 at index 1"),
    ({"damping": 1.0}, r"damping: expected a damping ratio in \[0, 1\)"),
    ({"percentile": 100.5}, r"percentile: expected a value in \[0, 100\]"),
    ({"h1": [[0.0, np.inf, 1.0]]}, "h1: expected finite values, got inf in record 0 at sample 1"),
    ({"h2": np.zeros((1, 4))}, r"h2: shape \(1, 4\) differs from h1's \(1, 3\)"),
    ({"h1": [0.1]}, "h1: expected records of shape"),
    ({"workers": 0}, "workers: expected at least 1, or -1 for every CPU"),
])
def test_refusals_name_the_argument(change, message):
    arguments = {"h1": [[0.0, 0.1, -0.2]], "h2": [[0.0, 0.3, 0.1]], "dt": 0.01, "periods": None, "percentile": 50,
                 "damping": 0.05} | change
    with pytest.raises(ValueError, match=message.replace("(s)", r"\(s\)")):
        vs30amp.rotd(**arguments)


@pytest.mark.parametrize("arguments, error, message", [
    ((np.zeros((2, 5), np.int64), 0.01, np.ones(3), 0.05, np.empty((2, 3)), 1, True), TypeError,
     "records: expected a C-contiguous two-dimensional float64 or float32 array"),
    ((np.zeros((2, 5)), 0.01, np.ones(3), 0.05, np.empty((3, 2)), 1, True), ValueError, r"out: expected shape \(2, 3\)"),
    ((np.zeros((2, 5)), 0.01, np.array([1.0, np.nan]), 0.05, np.empty((2, 2)), 1, True), ValueError,
     "periods: expected finite, positive periods, got nan at index 1"),
    ((np.zeros((2, 5)), 0.01, np.ones(3), 0.05, np.empty((2, 3)), 1), TypeError, "response_spectrum"),
])
def test_native_entry_refuses_what_its_kernels_cannot_take(arguments, error, message):
    from vs30amp import _native
    with pytest.raises(error, match=message):
        _native.response_spectrum(*arguments)


def on_substeps(function, records, dt, period, *args):
    """The same function on the record's polygon resampled at dt / k, peaks at those samples."""
    k = max(1, math.ceil(10 * dt / period - 1e-9))
    m = records[0].size
    fine = np.arange((m - 1) * k + 1) / k
    resampled = [np.interp(fine, np.arange(m), record) for record in records]
    return function(*resampled, dt / k, [period], *args, samples_only=True)[0]


@pytest.mark.parametrize("damping", [0.0, 0.05, 0.3])
def test_peaks_between_samples_are_those_of_the_resampled_polygon(damping):
    # 10 dt / n for n = 3, 6, 12: ratios of n (1 + 2e-16) in doubles, which take n sub-steps
    dt, periods = 0.01, np.array([0.0007, 0.003, 0.011, 0.02, 0.05, 0.07, 0.1, 0.3, 0.1 / 3, 0.1 / 6, 0.1 / 12])
    rng = np.random.default_rng(1)
    h1, h2 = rng.standard_normal((2, 1500)) * np.hanning(1500)  # rough: peaks far from the samples
    psa = vs30amp.response_spectrum(h1, dt, periods, damping)
    rotd = vs30amp.rotd(h1, h2, dt, periods, 50, damping)
    np.testing.assert_allclose(psa, [on_substeps(vs30amp.response_spectrum, [h1], dt, p, damping) for p in periods],
                               rtol=1e-11)
    np.testing.assert_allclose(rotd, [on_substeps(vs30amp.rotd, [h1, h2], dt, p, 50, damping) for p in periods],
                               rtol=1e-11)
    assert (vs30amp.response_spectrum(h1, dt, periods, damping, samples_only=True) < psa).any()


def at_every_substep(records, dt, periods, damping, *rotd_percentile):
    """PSA (or RotD of a pair) from the native entry visiting every sub-step point, with no
    bound deciding which to skip: the values the bounded search must find bit for bit."""
    from vs30amp import _native
    out = np.empty((records[0].shape[0], periods.size))
    if rotd_percentile:
        _native.rotd(*records, dt, periods, damping, *rotd_percentile, out, 1, 2)
    else:
        _native.response_spectrum(*records, dt, periods, damping, out, 1, 2)
    return out


@pytest.mark.parametrize("dt, damping, rough", [(0.005, 0.05, True), (0.005, 0.05, False), (0.01, 0.0, True),
                                                (0.02, 0.3, False), (0.01, 0.02, True)])
def test_the_bounds_skip_no_peak(dt, damping, rough):
    periods = dt * np.array([0.02, 0.7, 1.9, 10 / 3, 6.0, 8.5, 20.0])
    h1, h2 = (np.random.default_rng(8).standard_normal((2, 3, 1200)) * np.hanning(1200) if rough
              else shaped_noise(2 * 3, 1200, dt, seed=8).reshape(2, 3, 1200))
    psa = vs30amp.response_spectrum(h1, dt, periods, damping)
    np.testing.assert_array_equal(psa, at_every_substep([h1], dt, periods, damping))
    for percentile in (50.0, 100.0):
        np.testing.assert_array_equal(vs30amp.rotd(h1, h2, dt, periods, percentile, damping),
                                      at_every_substep([h1, h2], dt, periods, damping, percentile))


@pytest.mark.parametrize("period", [1e-300, 1e-160, 1e-14, 1e-12, 1e-9])
def test_the_shortest_periods_give_the_peak_of_the_ground(period):
    rng = np.random.default_rng(2)
    h1, h2 = rng.standard_normal((2, 2, 800)) * np.hanning(800)
    angles = np.deg2rad(np.arange(180))
    rotated = np.abs(np.cos(angles)[:, None, None] * h1 + np.sin(angles)[:, None, None] * h2).max(axis=2)
    for samples_only in (False, True):
        psa = vs30amp.response_spectrum(h1, 0.01, [period, 1.0], samples_only=samples_only)
        np.testing.assert_allclose(psa[:, 0], np.abs(h1).max(axis=1), rtol=1e-6)
        rotd = vs30amp.rotd(h1, h2, 0.01, [period], 50, samples_only=samples_only)
        np.testing.assert_allclose(rotd[:, 0], np.percentile(rotated, 50, axis=0), rtol=1e-6)


def published_spectra():
    """NGA-West2's published spectra of two record pairs, with the pairs (tests/data)."""
    with open(DATA / "nga_west2_published_spectra.csv") as file:
        lines = [line.rstrip("\n").split(",") for line in file if not line.startswith("#")]
    fields, printed = lines[0], lines[1:]
    cases = []
    for rsn, names in [(8883, ("13849360", "13849090")), (8884, ("13873360", "13873090"))]:
        pair = [read_at2_gz(DATA / f"RSN{rsn}_14383980_{name}.AT2.gz") for name in names]
        rows = [i for i, row in enumerate(printed) if row[0] == str(rsn)]
        periods = np.array([float(printed[i][1]) for i in rows])
        for column, field in enumerate(fields[2:], start=2):
            digits = [printed[i][column] for i in rows]
            unit = np.array([10.0 ** decimal.Decimal(d).as_tuple().exponent for d in digits])
            cases.append(pytest.param(pair, periods, field, np.array(digits, float), unit, id=f"RSN{rsn}-{field}"))
    return cases


def read_at2_gz(path):
    with gzip.open(path, "rt") as file:
        lines = file.read().splitlines()
    return float(lines[3].split("DT=")[1].split()[0]), np.array(" ".join(lines[4:]).split(), float)


@pytest.mark.parametrize("pair, periods, field, published, unit", published_spectra())
def test_published_nga_west2_spectra_to_their_printed_digits(pair, periods, field, published, unit):
    """Within rounding of the printed digits (0.55 of a unit in the last place) at every period
    from 0.01 s (2 dt) to 20 s; PSA per component is printed to 7 digits where it has them,
    beyond the database's single precision: there within 2e-6."""
    (dt, h1), (_, h2) = pair
    damping = 0.02 if field.endswith("d02") else 0.05
    if field.startswith("rotd50"):
        got = vs30amp.rotd(h1, h2, dt, periods, 50, damping)
        allowed = 0.55 * unit
    else:
        got = vs30amp.response_spectrum(h1 if field.startswith("h1") else h2, dt, periods, damping)
        allowed = np.maximum(0.55 * unit, 2e-6 * published)
    np.testing.assert_array_less(np.abs(got - published), allowed)
