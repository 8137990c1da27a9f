"""vs30amp.fas and vs30amp.eas against a direct evaluation of their definition."""

import numpy as np
import pytest

import vs30amp
from vs30amp import _fft, _fourier, _native, _zoom

B = 188.5  # Konno-Ohmachi bandwidth of the NGA-West2 EAS (Goulet et al. 2018)


def direct_smoothing(amplitudes, bins, centres):
    """The weighted mean of the definition, one centre at a time, over every positive bin."""
    log_bins = np.log10(bins)
    out = np.full(centres.size, np.nan)
    for j, fc in enumerate(centres):
        if fc > bins[-1]:
            continue
        x = B * (log_bins - np.log10(fc))
        with np.errstate(invalid="ignore"):  # 0/0 where a bin is the centre, whose weight is 1
            w = np.sin(x) / x
        w[x == 0] = 1.0
        w *= w
        w *= w
        out[j] = np.dot(w, amplitudes) / np.sum(w)
    return out


def direct_eas(h1, h2, dt, centres, length=2**21):
    """The definition on a far longer FFT length than the package's."""
    bins = np.arange(1, length // 2 + 1) / (length * dt)
    both = np.abs(np.fft.rfft(h1, length)[1:]) ** 2 + np.abs(np.fft.rfft(h2, length)[1:]) ** 2
    return direct_smoothing(dt * np.sqrt(both / 2), bins, centres)


def records(n, m, seed):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((n, m)) * np.hanning(m)


def nga_pair():
    from test_response_spectra import DATA, read_at2_gz
    return [read_at2_gz(DATA / f"RSN8883_14383980_{name}.AT2.gz")[1] for name in ("13849360", "13849090")]


@pytest.mark.parametrize("source, dt", [("nga", 0.005), ("noise", 0.01), ("short", 0.02)])
def test_eas_is_the_definition_at_a_far_longer_fft(source, dt):
    pairs = {"nga": nga_pair, "noise": lambda: records(2, 3000, seed=3), "short": lambda: records(2, 300, seed=4)}
    h1, h2 = pairs[source]()
    centres = np.r_[vs30amp.MODELS["ba18"].frequencies[::10], 0.5 / dt, 0.6 / dt]
    got = vs30amp.eas(h1, h2, dt, centres)
    np.testing.assert_allclose(got, direct_eas(h1, h2, dt, centres), rtol=1e-3)
    assert np.isnan(got[centres > 0.5 / dt]).all() and not np.isnan(got[centres <= 0.5 / dt]).any()
    np.testing.assert_allclose(vs30amp.fas(h1, dt, centres), direct_eas(h1, 0 * h1, dt, centres) * np.sqrt(2),
                               rtol=2e-3)


@pytest.mark.parametrize("source, zeros", [("nga", 1), ("nga", 5000), ("nga", 300_000), ("nga", 1_000_000),
                                           ("noise", 1), ("noise", 4000), ("noise", 40_000)])
def test_appended_zeros_move_eas_by_less_than_a_thousandth(source, zeros):
    """The NGA pair takes one transform of length N; the noise pair of 4,000 samples the short
    transforms, on coarse grids of 2^15 and 2^16 with 1 and 4,000 zeros."""
    h1, h2 = nga_pair() if source == "nga" else records(2, 4000, seed=14)
    before = vs30amp.eas(h1, h2, 0.005)
    after = vs30amp.eas(np.r_[h1, np.zeros(zeros)], np.r_[h2, np.zeros(zeros)], 0.005)
    np.testing.assert_allclose(after, before, rtol=1e-3)


@pytest.mark.parametrize("source, dt, lowest", [
    ("nga", 0.005, 0.02), ("noise", 0.01, 0.02), ("float32", 0.005, 0.02), ("same", 0.005, 0.02),
    ("short", 0.01, 0.02), ("fine", 0.002, 0.02), ("long", 0.004, 0.02), ("tiny", 0.02, 0.02),
    ("enveloped", 0.005, 0.02), ("one", 0.005, 0.02), ("correlated", 0.01, 0.02),
    # BA18's centres only: the refined grid is N's own, no chirp-z band.
    ("float32", 0.005, 0.1), ("one", 0.005, 0.1), ("same", 0.005, 0.1)])
def test_eas_is_the_definition_within_2e_4(source, dt, lowest):
    """Short transforms (a chirp-z band of N's own bins, a coarse grid of 8 times the record
    interpolated 4 times finer above it) or one transform of the pair's autocorrelation: the
    definition's two transforms of length N within 2e-4 at every centre below the Nyquist
    frequency, also for one component and two equal or correlated ones, whose |X| comes near
    zero between the coarse bins (4.6e-4 off with the coarse bins' amplitudes alone; 2e-3 at a
    hard edge between band and grid, or with the grid's weights half a bin off centre)."""
    t = np.arange(8192) * dt
    pairs = {"nga": nga_pair, "noise": lambda: records(2, 6000, seed=5),
             "float32": lambda: records(2, 8192, seed=6).astype(np.float32),
             "same": lambda: records(1, 4000, seed=7).repeat(2, axis=0), "short": lambda: records(2, 3000, seed=8),
             "fine": lambda: records(2, 2000, seed=9), "long": lambda: records(2, 10_000, seed=10),
             "tiny": lambda: records(2, 300, seed=11),
             "enveloped": lambda: np.random.default_rng(12).standard_normal((2, 8192)) * (t / 8) ** 2 * np.exp(2 - t / 4),
             "one": lambda: (records(1, 4000, seed=7), None),
             "correlated": lambda: np.array([[1.0, 0.0], [0.9, 0.1]]) @ records(2, 5000, seed=15)}
    h1, h2 = (None if h is None else np.atleast_2d(h) for h in pairs[source]())
    centres = np.r_[np.geomspace(lowest, 0.5 / dt, 200), vs30amp.MODELS["ba18"].frequencies]
    expected = _fourier.defined(h1, h2, dt, centres)
    np.testing.assert_allclose(_fourier.smoothed(h1, h2, dt, centres), expected, rtol=2e-4)


@pytest.mark.parametrize("steps, samples", [(2, 64), (4, 64), (4, 5), (4, 1 / 4)])
def test_refined_amplitudes_are_the_finer_transform_to_both_ends(steps, samples):
    """The powers of a grid of 8 times the record interpolated onto one `steps` times finer, the
    nodes reflected at bins 0 and L/2: the finer grid's own |X|^2 within 1e-5 of its largest."""
    x = np.random.default_rng(1).standard_normal(int(np.ceil(samples)))
    coarse = int(8 * samples)  # 2 bins: nodes reflected more than once
    got = _zoom.refined_amplitudes(np.abs(np.fft.rfft(x, coarse))[None] ** 2, steps, 0.5)[0]
    finer = np.abs(np.fft.rfft(x, steps * coarse)) ** 2
    np.testing.assert_allclose((got / 0.5) ** 2, finer, rtol=0, atol=1e-5 * finer.max())


@pytest.mark.parametrize("change, message", [
    (lambda a: {**a, "starts": np.array([0, 5, 5])}, "starts ascending from 0 within the points"),
    (lambda a: {**a, "starts": np.array([0, 33])}, "starts ascending from 0 within the points"),
    (lambda a: {**a, "out": np.empty((1, 3))}, r"out \(n, groups\)"),
    (lambda a: {**a, "weights": np.ones((3, 6))}, r"weights \(steps - 1, 8\)"),
])
def test_refined_sums_refuse_what_they_cannot_fill(change, message):
    """Groups beyond the points or out of order would read and write past the arrays."""
    arguments = {"powers": np.ones((1, 9)), "weights": np.ones((3, 8)), "dt": 0.5, "starts": np.array([0, 5]),
                 "out": np.empty((1, 2))}
    with pytest.raises(ValueError, match=message):
        _native.refined_sums(*change(arguments).values())


@pytest.mark.parametrize("samples", [2048, 8192])  # a chirp-z band below the refined grid; N's own grid alone
def test_an_impulse_has_a_flat_spectrum_of_dt_and_eas_averages_the_powers(samples):
    dt, impulse = 0.005, np.zeros(samples)
    impulse[100] = 1.0
    np.testing.assert_allclose(vs30amp.fas(impulse, dt), np.full(301, dt), rtol=1e-13)
    h = records(1, samples, seed=4)[0]
    np.testing.assert_allclose(vs30amp.eas(h, h, dt), vs30amp.fas(h, dt), rtol=1e-13)
    np.testing.assert_allclose(vs30amp.eas(h, 0 * h, dt), vs30amp.fas(h, dt) / np.sqrt(2), rtol=1e-13)


def test_numpys_ffts_give_scipys_eas(monkeypatch):
    """Without SciPy the coarse grid's cosine sums come from NumPy's real FFT, not SciPy's DCT-I."""
    h1, h2 = records(2, 8192, seed=13)
    kept = vs30amp.eas(h1, h2, 0.005)
    monkeypatch.setattr(_fft, "_module", lambda: np.fft)
    np.testing.assert_allclose(vs30amp.eas(h1, h2, 0.005), kept, rtol=1e-10)


def test_records_in_blocks_alike(monkeypatch):
    h1, h2 = records(3, 5000, seed=9).astype(np.float32), records(3, 5000, seed=10)
    kept = vs30amp.eas(h1, h2, 0.005)
    monkeypatch.setattr(_fourier, "VALUES_PER_BLOCK", 1)
    np.testing.assert_allclose(vs30amp.eas(h1, h2, 0.005), kept, rtol=1e-12)
    np.testing.assert_allclose(vs30amp.eas(h1, h2, 0.005, workers=2), kept, rtol=1e-12)
    np.testing.assert_array_equal(vs30amp.fas(h1[1], 0.005), vs30amp.fas(h1.astype(np.float64), 0.005)[1])


@pytest.mark.parametrize("call, message", [
    (lambda: vs30amp.fas(np.ones(10), 0.01, [1.0, 0.0]), "frequencies: expected finite, positive frequencies"),
    (lambda: vs30amp.fas(np.ones(10), -0.01), "dt: expected one finite, positive sample interval"),
    (lambda: vs30amp.fas([[1.0, np.nan]], 0.01), "acc: expected finite values, got nan in record 0 at sample 1"),
    (lambda: vs30amp.eas(np.ones(10), np.ones(11), 0.01), r"h2: shape \(11,\) differs from h1's \(10,\)"),
    (lambda: vs30amp.eas(np.ones(10), np.ones(10), 0.01, workers=0), "workers: expected at least 1"),
    # Values that would need an FFT beyond any memory: the argument at fault, not numpy's overflow.
    (lambda: vs30amp.fas(np.ones(10), 5e-324), r"dt: 0.1 Hz at dt 5e-324 s needs an FFT of more than 2\*\*40"),
    (lambda: vs30amp.eas(np.ones(10), np.ones(10), 1e-12), "dt: 0.1 Hz at dt 1e-12 s"),
    (lambda: vs30amp.fas(np.ones(10), 0.01, [1e-300, 1.0]), "frequencies: 1e-300 Hz at dt 0.01 s needs an FFT"),
])
def test_refusals_name_the_argument(call, message):
    with pytest.raises(ValueError, match=message):
        call()
