"""The measures of records: EAS, PSA and RotD50 against the algorithms users write without them.

    python benchmarks/measures.py [--quick] [--output DIR]

- EAS: vs30amp.eas of pairs of records against the direct Konno-Ohmachi smoothing at the same
  accuracy (the window evaluated afresh for each centre frequency over all FFT bins, one record
  at a time, as the smoothing libraries of the field do), its FFTs of the definition's length
  included: on the records' own length it is far off at the lowest centres. The lengths of
  vs30amp's transforms are reported. Target: at least 100 times faster.
- PSA: vs30amp.response_spectrum against the same recurrence in NumPy, vectorised over records
  and periods (a time-step loop in Python over arrays of shape (records, periods)), at CB14's
  periods above 10 dt (one step per sample on both sides). Target: at least 20 times faster.
  And the cost of the sub-steps between samples at all 22 of CB14's periods.
- RotD50 of 1,000 pairs of 8,192 samples at CB14's 22 periods: its time.
- A study per station (two components of 8,192 float32 samples): amplify (BA18), PSA of both
  components and RotD50 at CB14's periods, with and without the sub-steps between samples, and
  EAS on BA18's frequencies, each step timed in turn in every repeat; the whole study is amplify,
  RotD50 and EAS. Goals: EAS at most 1.5 ms and the study at most 3 ms per station, RotD50 with
  sub-steps at most 1.5 times its time at the samples only.

The ratios compare measurements of one run, median of the repeats. The section "Measures of
records" of results.md beside this file (or in DIR) is replaced (or added) with the results.
"""

import argparse
import datetime
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import vs30amp
from vs30amp import _fourier, _zoom

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from run import machine, markdown, table, write_section  # noqa: E402

DT = 0.005
SAMPLES = 8192
BANDWIDTH = 188.5


def records(n, seed):
    """White noise under a smooth envelope: records whose every FFT bin carries energy."""
    rng = np.random.default_rng(seed)
    t = np.arange(SAMPLES) * DT
    envelope = (t / 8.0) ** 2 * np.exp(2.0 * (1.0 - t / 8.0))
    return 0.05 * rng.standard_normal((n, SAMPLES)) * envelope


def direct_smoothing(spectra, bins, centres):
    """The Konno-Ohmachi weighted mean as the libraries compute it: per record, per centre."""
    out = np.empty((spectra.shape[0], centres.size))
    for i, spectrum in enumerate(spectra):
        for j, fc in enumerate(centres):
            x = BANDWIDTH * np.log10(bins / fc)
            with np.errstate(invalid="ignore", divide="ignore"):
                w = (np.sin(x) / x) ** 4
            w[x == 0.0] = 1.0
            out[i, j] = np.sum(w * spectrum) / np.sum(w)
    return out


def direct_eas(h1, h2, length, centres):
    """The smoothing above of the pairs' EAS on FFTs of `length` points."""
    spectra = np.sqrt((np.abs(np.fft.rfft(h1, length)[:, 1:]) ** 2 + np.abs(np.fft.rfft(h2, length)[:, 1:]) ** 2) / 2) * DT
    return direct_smoothing(spectra, np.arange(1, length // 2 + 1) / (length * DT), centres)


def fft_lengths(centres):
    """The transforms' lengths of vs30amp.eas for the records: the definition's, the records' own,
    and the coarse grid's and the chirp-z transform's with the band of the definition's bins it gives."""
    length = _fourier.fft_length(SAMPLES, DT, centres)
    plan = _zoom.plan(SAMPLES, length, DT, _fourier.LOBE, _fourier._groups(length, DT)[0].tobytes())
    lengths = {"definition": length, "own": min(length, 1 << (2 * SAMPLES - 1).bit_length())}
    if plan is not None:
        lengths.update(coarse=plan.coarse, refined=plan.steps * plan.coarse, chirp=plan.chirp, band=plan.band)
    return lengths


def describe(lengths):
    if "band" not in lengths:
        return f"FFTs of {lengths['own']:,} and {lengths['definition']:,} points"
    grid = (f"FFTs of {lengths['own']:,} (the records' own) and {lengths['coarse']:,} points, its powers interpolated "
            f"onto {lengths['refined']:,}")
    if not lengths["band"]:
        return grid
    return (f"{grid}, a chirp-z transform of {lengths['chirp']:,} for the {lengths['band']:,} lowest bins of "
            f"{lengths['definition']:,}")


def numpy_psa(acc, dt, periods, damping=0.05):
    """Nigam and Jennings' recurrence in NumPy over (records, periods) arrays, one time step per
    Python iteration; the coefficients are the paper's closed forms."""
    w = 2 * np.pi / periods
    wd, q = w * np.sqrt(1 - damping**2), damping / np.sqrt(1 - damping**2)
    e, s, c, k = np.exp(-damping * w * dt), np.sin(wd * dt), np.cos(wd * dt), w * w
    a, b = e * (q * s + c), e * s / wd
    cc = (2 * damping / (w * dt) + e * (((1 - 2 * damping**2) / (wd * dt) - q) * s - (1 + 2 * damping / (w * dt)) * c)) / k
    d = (1 - 2 * damping / (w * dt) + e * ((2 * damping**2 - 1) / (wd * dt) * s + 2 * damping / (w * dt) * c)) / k
    ap, bp = -e * w / np.sqrt(1 - damping**2) * s, e * (c - q * s)
    cp = (-1 / dt + e * ((w / np.sqrt(1 - damping**2) + damping / (dt * np.sqrt(1 - damping**2))) * s + c / dt)) / k
    dp = (1 - e * (q * s + c)) / (k * dt)
    p = -acc[:, :, None]
    u = np.zeros((acc.shape[0], periods.size))
    v, peak = np.zeros_like(u), np.zeros_like(u)
    for i in range(acc.shape[1] - 1):
        u, v = a * u + b * v + cc * p[:, i] + d * p[:, i + 1], ap * u + bp * v + cp * p[:, i] + dp * p[:, i + 1]
        np.maximum(peak, np.abs(u), out=peak)
    return k * peak


def study_per_station(stations, repeats):
    """Milliseconds per station of each step of the study, the steps taking turns in every
    repeat (a loaded machine slows them alike), median of the repeats."""
    h1, h2 = records(stations, 5).astype(np.float32), records(stations, 6).astype(np.float32)
    vs30, periods = np.linspace(300.0, 900.0, stations), 1 / vs30amp.MODELS["cb14"].frequencies
    steps = {
        "amplify (BA18, both components)": lambda: [vs30amp.amplify_waveforms(h, DT, vs30, 760.0) for h in (h1, h2)],
        "PSA (both components)": lambda: [vs30amp.response_spectrum(h, DT, periods) for h in (h1, h2)],
        "PSA (both components), samples only":
            lambda: [vs30amp.response_spectrum(h, DT, periods, samples_only=True) for h in (h1, h2)],
        "RotD50": lambda: vs30amp.rotd(h1, h2, DT, periods),
        "RotD50, samples only": lambda: vs30amp.rotd(h1, h2, DT, periods, samples_only=True),
        "EAS (BA18's 301 frequencies)": lambda: vs30amp.eas(h1, h2, DT),
    }
    for step in steps.values():
        step()  # imports, FFT plans, cached operators
    seconds = {name: [] for name in steps}
    for _ in range(repeats):
        for name, step in steps.items():
            start = time.perf_counter()
            step()
            seconds[name].append(time.perf_counter() - start)
    return {name: 1e3 * statistics.median(times) / stations for name, times in seconds.items()}


def median_time(function, repeats):
    seconds = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        seconds.append(time.perf_counter() - start)
    return statistics.median(seconds), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--output", type=Path, default=HERE)
    args = parser.parse_args()
    started, load = time.perf_counter(), os.getloadavg()[0]
    repeats = max(1, args.repeats)
    rows, targets = [], []

    pairs = 10 if args.quick else 50
    h1, h2 = records(pairs, 1), records(pairs, 2)
    centres = vs30amp.MODELS["ba18"].frequencies
    vs30amp.eas(h1[:2], h2[:2], DT)  # imports, FFT plans and the cached operator
    mine, ours = median_time(lambda: vs30amp.eas(h1, h2, DT), repeats)
    lengths = fft_lengths(centres)
    # The direct smoothing, its FFTs included, timed on a few pairs (per pair) on the definition's
    # length: on the records' own it is `short` off.
    length, own, few = lengths["definition"], lengths["own"], 2
    direct, theirs = median_time(lambda: direct_eas(h1[:few], h2[:few], length, centres), 1)
    direct *= pairs / few
    difference = float(np.nanmax(np.abs(ours[:few] / theirs - 1)))
    off = np.nanmax(np.abs(direct_eas(h1[:few], h2[:few], own, centres) / theirs - 1), axis=0)
    short, where = float(off.max()), float(centres[off.argmax()])
    rows.append([f"EAS (BA18's 301 frequencies; {describe(lengths)}; the direct smoothing on {length:,}, "
                 f"{short:.0%} off at {where:.2g} Hz on the records' own {own:,})",
                 f"{pairs:,} pairs", f"{mine:.4f}", f"{direct:.3f}", f"{direct / mine:.0f}", f"{difference:.1e}"])
    targets.append([f"EAS: at least 100x the direct smoothing at the same accuracy (its FFTs of {length:,} included)",
                    f"{direct / mine:.0f}x", direct / mine >= 100])
    print("  ".join(rows[-1]), flush=True)

    n = 200 if args.quick else 1000
    acc, periods = records(n, 3), 1 / vs30amp.MODELS["cb14"].frequencies
    long_periods = periods[periods > 10 * DT]  # one step per sample: equal work on both sides
    vs30amp.response_spectrum(acc[:2], DT)
    mine, ours = median_time(lambda: vs30amp.response_spectrum(acc, DT, long_periods), repeats)
    numpy_seconds, theirs = median_time(lambda: numpy_psa(acc, DT, long_periods), 1)
    difference = float(np.max(np.abs(ours / theirs - 1)))
    rows.append([f"PSA ({long_periods.size} CB14 periods above 10 dt)", f"{n:,} records", f"{mine:.4f}",
                 f"{numpy_seconds:.3f}", f"{numpy_seconds / mine:.0f}", f"{difference:.1e}"])
    targets.append(["PSA above 10 dt: at least 20x NumPy over (records, periods)", f"{numpy_seconds / mine:.0f}x",
                    numpy_seconds / mine >= 20])
    print("  ".join(rows[-1]), flush=True)
    between, _ = median_time(lambda: vs30amp.response_spectrum(acc, DT), repeats)
    samples, _ = median_time(lambda: vs30amp.response_spectrum(acc, DT, samples_only=True), repeats)
    rows.append(["PSA (CB14's 22 periods; peaks at the samples only)", f"{n:,} records", f"{between:.4f}",
                 f"({samples:.4f})", f"{between / samples:.2f}", ""])
    targets.append(["PSA at CB14's periods: cost of the sub-steps (between / samples only)",
                    f"{between / samples:.2f}x", between / samples < 3])
    print("  ".join(rows[-1]), flush=True)

    h2 = records(n, 4)
    seconds, _ = median_time(lambda: vs30amp.rotd(acc, h2, DT), repeats)
    samples, _ = median_time(lambda: vs30amp.rotd(acc, h2, DT, samples_only=True), repeats)
    rows.append(["RotD50 (CB14's 22 periods; peaks at the samples only)", f"{n:,} pairs", f"{seconds:.3f}",
                 f"({samples:.3f})", f"{seconds / samples:.2f}", ""])
    targets.append([f"RotD50 of {n:,} pairs: seconds, not minutes", f"{seconds:.2f} s", seconds < 60])
    print("  ".join(rows[-1]), flush=True)

    stations = 40 if args.quick else 200
    study = study_per_station(stations, max(3, repeats))
    study_rows = [[name, f"{ms:.2f}"] for name, ms in study.items()]
    whole = {label: study["amplify (BA18, both components)"] + study[rotd] + study["EAS (BA18's 301 frequencies)"]
             for label, rotd in (("", "RotD50"), (", samples only", "RotD50, samples only"))}
    study_rows += [[f"the study: amplify, RotD50 and EAS{label}", f"{ms:.2f}"] for label, ms in whole.items()]
    print("\n" + table(["step", "ms per station"], study_rows), flush=True)
    eas_ms, rotd_ratio = study["EAS (BA18's 301 frequencies)"], study["RotD50"] / study["RotD50, samples only"]
    targets.append(["Study: EAS at most 1.5 ms per station", f"{eas_ms:.2f} ms", eas_ms <= 1.5])
    targets.append(["Study: RotD50 with sub-steps at most 1.5x its samples-only time", f"{rotd_ratio:.2f}x",
                    rotd_ratio <= 1.5])
    targets.append(["Study: amplify, RotD50 and EAS at most 3 ms per station", f"{whole['']:.2f} ms",
                    whole[""] <= 3.0])

    header = ["measure", "workload", "vs30amp s", "direct / NumPy s", "ratio", "largest relative difference"]
    target_header = ["target", "measured", "met"]
    target_rows = [[t, m, "yes" if ok else "no"] for t, m, ok in targets]
    print("\n" + table(header, rows) + "\n\n" + table(target_header, target_rows))
    elapsed = time.perf_counter() - started
    write_section(args.output / "results.md", "Measures of records", f"""\
Produced by `python benchmarks/measures.py{" --quick" if args.quick else ""}` (part of `./run bench`) on \
{datetime.date.today().isoformat()} in {elapsed:.0f} s; {machine()}, {os.cpu_count()} threads.

Records of {SAMPLES:,} samples at dt = {DT} s (enveloped white noise). EAS is timed against the
direct Konno-Ohmachi smoothing (the window evaluated for each centre frequency over all FFT bins,
record by record; timed on 2 pairs and scaled) of spectra on the definition's FFT length, their
FFTs included: the length it needs for the same accuracy (on the records' own length it was
{short:.0%} off at {where:.2g} Hz, with under one bin in the window's half-lobe at 0.1 Hz);
PSA against Nigam and Jennings' recurrence in NumPy over
(records, periods) arrays, one Python iteration per time step (`benchmarks/measures.py`), at the
periods above 10 dt, where both take one step per sample. The rows "peaks at the samples only"
give the default's time and, in parentheses, that with `samples_only=True`: their ratio is what
the sub-steps between samples cost at CB14's periods. vs30amp: median of {repeats} calls after a
warm-up call; the others: one run. Differences are relative, over all outputs; PSA's is the NumPy
side's, whose closed-form coefficients lose digits to cancellation at the longest periods; EAS's
is that of the grouping of dense bins and of the short transforms.

{markdown(header, rows)}

A study per station: {stations} stations of two components of {SAMPLES:,} float32 samples at dt = {DT} s,
every CPU; EAS from {describe(lengths)}. Each step is
timed in turn in every repeat, median of {max(3, repeats)}: on a loaded machine the absolute times
move between runs, their ratios much less (load average {load:.1f} when the run began).

{markdown(["step", "ms per station"], study_rows)}

{markdown(target_header, target_rows)}
""")
    print(f"updated {args.output / 'results.md'} ({elapsed:.0f} s)")
    return 0 if all(ok for _, _, ok in targets) else 1


if __name__ == "__main__":
    sys.exit(main())
