"""Amplifying records: vs30amp.amplify_waveforms against the per-site loop a user would write.

    python benchmarks/waveforms.py [--quick] [--repeats R] [--output DIR]

For each model and for float32 and float64 records it amplifies 10,000 records of 8,192 samples
at dt = 0.005 s (--quick: 1,000) twice, each in a fresh process: with amplify_waveforms, and with
the straightforward loop over sites (np.interp of ln(factor) in ln(frequency), np.fft.rfft and
irfft per record, zero padding to the next power of two of at least twice the record). Both get
the same factors from one vs30amp.amplification call, made before the clock starts. It prints the
times, their ratio, the peak memory of each call against the size of its output and the largest
difference of the two results, and writes waveforms.md beside this file (or into DIR).
"""

import argparse
import datetime
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import vs30amp

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from peak_memory import reset_high_water_mark, status_kib  # noqa: E402
from run import machine, markdown, table  # noqa: E402

DT = 0.005
SAMPLES = 8192


def per_site_loop(acc, dt, result):
    """What a user writes without the package: one record at a time."""
    n, m = acc.shape
    length = 1 << (2 * m - 1).bit_length()
    frequencies = np.fft.rfftfreq(length, dt)
    log_frequencies = np.log(np.maximum(frequencies, result.frequencies[0]))
    log_grid, log_factors = np.log(result.frequencies), np.log(result.factors)
    out = np.empty_like(acc)
    for i in range(n):
        factors = np.exp(np.interp(log_frequencies, log_grid, log_factors[i]))
        out[i] = np.fft.irfft(np.fft.rfft(acc[i], length) * factors, length)[:m]
    return out


def inputs(n, dtype, seed=7):
    rng = np.random.default_rng(seed)
    acc = rng.standard_normal((n, SAMPLES), dtype=dtype)
    acc *= 0.05
    return acc, rng.uniform(150, 1500, n), rng.uniform(0.02, 1.0, n)


def child(model, dtype, implementation, n, repeats):
    """One measurement in this process: prints a JSON line."""
    acc, vs30, pga = inputs(n, np.dtype(dtype))
    result = vs30amp.amplification(vs30, 500.0, pga, model)
    functions = {
        "package": lambda: vs30amp.amplify_waveforms(acc, DT, vs30, 500.0, pga, model),
        "loop": lambda: per_site_loop(acc, DT, result),
    }
    function = functions[implementation]
    small = slice(0, 64)
    vs30amp.amplify_waveforms(acc[small], DT, vs30[small], 500.0, pga[small], model)  # FFT plans, imports
    before = status_kib("VmRSS")
    exact = reset_high_water_mark()
    start = time.perf_counter()
    out = function()
    seconds = [time.perf_counter() - start]
    peak = (status_kib("VmHWM") if exact else status_kib("VmPeak")) - before
    output_bytes = out.nbytes
    del out
    for _ in range(repeats - 1):
        start = time.perf_counter()
        function()
        seconds.append(time.perf_counter() - start)
    check = slice(0, 200)
    mine = vs30amp.amplify_waveforms(acc[check], DT, vs30[check], 500.0, pga[check], model)
    theirs = per_site_loop(acc[check], DT, vs30amp.amplification(vs30[check], 500.0, pga[check], model))
    difference = float(np.abs(mine - theirs).max() / np.abs(theirs).max())
    print(json.dumps({"seconds": statistics.median(seconds), "peak_bytes": peak * 1024, "output_bytes": output_bytes,
                      "difference": difference}))


def measure(model, dtype, implementation, n, repeats):
    out = subprocess.run([sys.executable, __file__, "--child", model, dtype, implementation, str(n), str(repeats)],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--output", type=Path, default=HERE)
    parser.add_argument("--child", nargs=5, help=argparse.SUPPRESS)
    args, _ = parser.parse_known_args()
    if args.child:
        model, dtype, implementation, n, repeats = args.child
        return child(model, dtype, implementation, int(n), int(repeats))
    n = 1000 if args.quick else 10_000
    repeats = min(args.repeats, 3)
    started = time.perf_counter()
    rows = []
    for model in ("cb14", "ba18"):
        for dtype in ("float32", "float64"):
            package = measure(model, dtype, "package", n, repeats)
            loop = measure(model, dtype, "loop", n, repeats)
            rows.append([
                vs30amp.MODELS[model].label, dtype, f"{package['seconds']:.2f}", f"{loop['seconds']:.2f}",
                f"{loop['seconds'] / package['seconds']:.2f}",
                f"{package['output_bytes'] / 2**20:.0f}",
                f"{package['peak_bytes'] / package['output_bytes']:.2f}",
                f"{loop['peak_bytes'] / loop['output_bytes']:.2f}",
                f"{package['difference']:.1e}",
            ])
            print("  ".join(rows[-1]), flush=True)
    header = ["model", "records", "package s", "loop s", "loop / package", "output MiB",
              "package peak / output", "loop peak / output", "largest difference"]
    print("\n" + table(header, rows))
    elapsed = time.perf_counter() - started
    path = args.output / "waveforms.md"
    path.write_text(f"""# Amplifying records

Produced by `./run bench{" --quick" if args.quick else ""}` on {datetime.date.today().isoformat()} in {elapsed:.0f} s.

Machine: {machine()}; {os.cpu_count()} threads for `amplify_waveforms`.

{n:,} records of {SAMPLES:,} samples at dt = {DT} s, amplified with `vs30amp.amplify_waveforms` and
with the per-site loop a user would write (`per_site_loop` in `benchmarks/waveforms.py`:
`np.interp` of ln(factor) in ln(frequency), `np.fft.rfft` and `irfft` per record), each in a fresh
process, median of {repeats} runs. Peak memory is the call's peak resident memory above what the
process held before it (its inputs), against the size of its output. The largest difference is
that of the two results on the first 200 records, relative to the largest value.

{markdown(header, rows)}
""")
    print(f"wrote {path} ({elapsed:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
