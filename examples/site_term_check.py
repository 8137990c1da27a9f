"""Checking the site term on records: amplify stochastic records with each model and compare the
change of the model's own measure (EAS for BA18, RotD50 PSA for CB14) with the model's factors.

    python examples/site_term_check.py [--records N] [--output site_term_check.png]

The records are stochastic point-source motions after Boore (2003), "Simulation of ground motion
using the stochastic method", Pure Appl. Geophys. 160: Gaussian noise under the Saragoni-Hart
window, its spectrum normalised and shaped to a Brune source (M 6.5, 100 bar) with kappa
0.02 s. Each pair (two horizontal components) is amplified with vs30amp.amplify_waveforms for a
few (vs30, vs30_sim) pairs. Drawn per model: the geometric mean over the pairs of output over
input measure, against the model's factors at the records' PGA (their geometric mean over the
components). Needs matplotlib (the "plot" extra).
"""

import argparse
import sys
from pathlib import Path

import numpy as np

import vs30amp

DT = 0.005
SAMPLES = 8192
# (site Vs30, simulation Vs30) in m/s, with their colours.
SITES = [(200.0, 760.0, "tab:red"), (400.0, 760.0, "tab:orange"), (1000.0, 400.0, "tab:blue")]


def saragoni_hart(t, duration, epsilon=0.2, eta=0.05):
    """Boore (2003), eq. (13): the window that shapes the noise, peaking at epsilon * 2 duration."""
    b = -epsilon * np.log(eta) / (1 + epsilon * (np.log(epsilon) - 1))
    c, a = b / epsilon, (np.e / epsilon) ** b
    x = np.maximum(t, 0.0) / (2.0 * duration)
    return a * x**b * np.exp(-c * x)


def stochastic_records(pairs, seed, magnitude=6.5, stress_bar=100.0, distance_km=20.0, kappa=0.02):
    """(2 pairs, SAMPLES) records in g: the first `pairs` rows are one component, the rest the other.

    The window starts after 10 s of quiet and the spectrum is shaped on a record padded to twice
    its length, so that the records start and end at rest, as real ones do (the shaping and the
    amplification are zero-phase filters, which reach before their input)."""
    rng = np.random.default_rng(seed)
    moment = 10 ** (1.5 * magnitude + 16.05)                        # dyne cm
    corner = 4.906e6 * 3.5 * (stress_bar / moment) ** (1 / 3)       # Hz, shear-wave speed 3.5 km/s
    duration = 1 / corner + 0.05 * distance_km                      # s
    t = np.arange(SAMPLES) * DT
    noise = rng.standard_normal((2 * pairs, SAMPLES)) * saragoni_hart(t - 10.0, duration)
    spectrum = np.fft.rfft(noise, 2 * SAMPLES, axis=1)
    spectrum /= np.sqrt(np.mean(np.abs(spectrum) ** 2, axis=1, keepdims=True))
    f = np.fft.rfftfreq(2 * SAMPLES, DT)
    spectrum *= (2 * np.pi * f) ** 2 / (1 + (f / corner) ** 2) * np.exp(-np.pi * kappa * f)
    acc = np.fft.irfft(spectrum, 2 * SAMPLES, axis=1)[:, :SAMPLES]
    ends = 0.5 - 0.5 * np.cos(np.pi * np.arange(200) / 200)        # 1 s cosine tapers
    acc[:, :200] *= ends
    acc[:, -200:] *= ends[::-1]
    return acc * (0.2 / np.median(np.abs(acc).max(axis=1)))         # median PGA 0.2 g


def geometric_mean(values, axis=0):
    return np.exp(np.mean(np.log(values), axis=axis))


def check(acc, model, vs30, vs30_sim):
    """(model frequencies, factors at the records' PGA, ratio of the measures), geometric means."""
    pairs = acc.shape[0] // 2
    # The model at every frequency, knowingly: the check compares with its factors up to 100 Hz.
    out = vs30amp.amplify_waveforms(acc, DT, vs30, vs30_sim, model=model, fmax=np.inf)
    factors = vs30amp.amplification(vs30, vs30_sim, np.abs(acc).max(axis=1), model=model)
    if model == "ba18":
        ratio = vs30amp.eas(out[:pairs], out[pairs:], DT) / vs30amp.eas(acc[:pairs], acc[pairs:], DT)
    else:
        ratio = vs30amp.rotd(out[:pairs], out[pairs:], DT) / vs30amp.rotd(acc[:pairs], acc[pairs:], DT)
    return factors.frequencies, geometric_mean(factors.factors), geometric_mean(ratio)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=12, help="pairs of records (default 12)")
    parser.add_argument("--output", type=Path, default=Path("site_term_check.png"))
    parser.add_argument("--seed", type=int, default=2018)
    args = parser.parse_args(argv)
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        sys.exit("this example needs matplotlib: pip install 'vs30amp[plot]'")

    acc = stochastic_records(args.records, args.seed)
    figure, axes = plt.subplots(1, 2, figsize=(10, 4.2), sharey=True, layout="constrained")
    panels = [("ba18", "EAS ratio (Fourier amplification)"), ("cb14", "RotD50 PSA ratio")]
    for ax, (model, measure) in zip(axes, panels):
        for vs30, vs30_sim, colour in SITES:
            frequencies, factors, ratio = check(acc, model, vs30, vs30_sim)
            shown = frequencies <= 0.5 / DT
            label = f"Vs30 {vs30:.0f}, simulation {vs30_sim:.0f}"
            if model == "ba18":
                ax.plot(frequencies, factors, color=colour, lw=5, alpha=0.3, label=f"{label}: factors")
                ax.plot(frequencies[shown], ratio[shown], color=colour, lw=1, label=f"{label}: records")
            else:
                ax.plot(frequencies, factors, color=colour, lw=5, alpha=0.3, marker="o", ms=4)
                ax.plot(frequencies, ratio, color=colour, lw=0, marker="x", ms=6)
            deviation = np.max(np.abs(np.log(ratio[shown] / factors[shown])))
            print(f"{model} {label}: largest |ln(ratio / factor)| = {deviation:.3f}")
        ax.set(xscale="log", yscale="log", xlabel="frequency (Hz); CB14: 1 / period, PGA at 1000 Hz",
               title=f"{vs30amp.MODELS[model].label}: {measure}")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel(f"output / input, geometric mean of {args.records} pairs")
    axes[0].legend(fontsize=7, loc="lower left")
    axes[1].plot([], [], color="grey", lw=5, alpha=0.3, marker="o", ms=4, label="factors")
    axes[1].plot([], [], color="grey", lw=0, marker="x", label="records")
    axes[1].legend(fontsize=7, loc="lower left")
    figure.savefig(args.output, dpi=100)
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
