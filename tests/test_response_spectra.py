"""vs30amp.response_spectrum and vs30amp.rotd against closed forms, an independent
frequency-domain computation and the rotation of the records themselves."""

import numpy as np
import pytest

import vs30amp


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
    t = np.arange(int(3 * period / dt) + 50) * dt
    exact = (2 * np.pi / period) ** 2 * np.abs(exact_step_response(0.3, t, period, damping)).max()
    acc = np.full(t.size, 0.3)
    assert vs30amp.response_spectrum(acc, dt, [period], damping) == pytest.approx([exact], rel=1e-9)


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
    got = vs30amp.response_spectrum(acc, dt, periods, damping)
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
    ((np.zeros((2, 5), np.int64), 0.01, np.ones(3), 0.05, np.empty((2, 3)), 1), TypeError,
     "records: expected a C-contiguous two-dimensional float64 or float32 array"),
    ((np.zeros((2, 5)), 0.01, np.ones(3), 0.05, np.empty((3, 2)), 1), ValueError, r"out: expected shape \(2, 3\)"),
    ((np.zeros((2, 5)), 0.01, np.array([1.0, np.nan]), 0.05, np.empty((2, 2)), 1), ValueError,
     "periods: expected finite, positive periods, got nan at index 1"),
    ((np.zeros((2, 5)), 0.01, np.ones(3), 0.05, np.empty((2, 3))), TypeError, "response_spectrum"),
])
def test_native_entry_refuses_what_its_kernels_cannot_take(arguments, error, message):
    from vs30amp import _native
    with pytest.raises(error, match=message):
        _native.response_spectrum(*arguments)
