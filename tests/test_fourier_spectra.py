"""vs30amp.fas and vs30amp.eas against a direct evaluation of their definition."""

import numpy as np
import pytest

import vs30amp
from vs30amp import _fourier

B = 188.5  # Konno-Ohmachi bandwidth of the NGA-West2 EAS (Goulet et al. 2018)


def direct_smoothing(amplitudes, bins, centres):
    """The weighted mean of the definition, one centre at a time, over every positive bin."""
    out = np.empty(centres.size)
    for j, fc in enumerate(centres):
        x = B * np.log10(bins / fc)
        w = np.ones_like(x)
        off = x != 0
        w[off] = (np.sin(x[off]) / x[off]) ** 4
        out[j] = np.nan if fc > bins[-1] else np.sum(w * amplitudes) / np.sum(w)
    return out


def direct_fas(record, dt, centres):
    length = 1 << int(np.ceil(np.log2(record.size)))
    bins = np.arange(1, length // 2 + 1) / (length * dt)
    return direct_smoothing(dt * np.abs(np.fft.rfft(record, length)[1:]), bins, centres), bins


def records(n, m, seed):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((n, m)) * np.hanning(m)


@pytest.mark.parametrize("m, dt, frequencies", [
    (3000, 0.01, None),                                   # padded to 4096; centres above 50 Hz: NaN
    (4096, 0.005, None),                                  # not padded
    (1000, 0.02, [0.05, 1 / (1024 * 0.02) * 7, 25.0]),    # a centre on a bin (w = 1 there), one at Nyquist
])
def test_fas_and_eas_are_the_definition(m, dt, frequencies):
    h1, h2 = records(2, m, seed=m), records(2, m, seed=m + 1)
    centres = vs30amp.MODELS["ba18"].frequencies if frequencies is None else np.array(frequencies)
    got_fas, got_eas = vs30amp.fas(h1, dt, frequencies), vs30amp.eas(h1, h2, dt, frequencies)
    for i in range(2):
        expected, bins = direct_fas(h1[i], dt, centres)
        np.testing.assert_allclose(got_fas[i], expected, rtol=1e-12)
        length = 2 * bins.size
        both = np.abs(np.fft.rfft(h1[i], length)[1:]) ** 2 + np.abs(np.fft.rfft(h2[i], length)[1:]) ** 2
        np.testing.assert_allclose(got_eas[i], direct_smoothing(dt * np.sqrt(both / 2), bins, centres), rtol=1e-12)
    assert np.isnan(got_fas[:, centres > 0.5 / dt]).all() and not np.isnan(got_fas[:, centres <= 0.5 / dt]).any()


def test_an_impulse_has_a_flat_spectrum_of_dt_and_eas_averages_the_powers():
    dt, impulse = 0.005, np.zeros(2048)
    impulse[100] = 1.0
    np.testing.assert_allclose(vs30amp.fas(impulse, dt), np.full(301, dt), rtol=1e-13)
    h = records(1, 2048, seed=4)[0]
    np.testing.assert_allclose(vs30amp.eas(h, h, dt), vs30amp.fas(h, dt), rtol=1e-13)
    np.testing.assert_allclose(vs30amp.eas(h, 0 * h, dt), vs30amp.fas(h, dt) / np.sqrt(2), rtol=1e-13)


def test_operators_too_large_to_keep_are_built_in_blocks_alike(monkeypatch):
    h1, h2 = records(3, 5000, seed=9).astype(np.float32), records(3, 5000, seed=10)
    kept = vs30amp.eas(h1, h2, 0.005)
    monkeypatch.setattr(_fourier, "CACHED_OPERATOR_BYTES", 8 * 301 * 100)
    monkeypatch.setattr(_fourier, "RECORDS_PER_BLOCK", 2)
    np.testing.assert_allclose(vs30amp.eas(h1, h2, 0.005), kept, rtol=1e-12)
    np.testing.assert_array_equal(vs30amp.fas(h1[1], 0.005), vs30amp.fas(h1.astype(np.float64), 0.005)[1])


@pytest.mark.parametrize("call, message", [
    (lambda: vs30amp.fas(np.ones(10), 0.01, [1.0, 0.0]), "frequencies: expected finite, positive frequencies"),
    (lambda: vs30amp.fas(np.ones(10), -0.01), "dt: expected one finite, positive sample interval"),
    (lambda: vs30amp.fas([[1.0, np.nan]], 0.01), "acc: expected finite values, got nan in record 0 at sample 1"),
    (lambda: vs30amp.eas(np.ones(10), np.ones(11), 0.01), r"h2: shape \(11,\) differs from h1's \(10,\)"),
])
def test_refusals_name_the_argument(call, message):
    with pytest.raises(ValueError, match=message):
        call()
