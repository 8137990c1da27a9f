"""The cost of building vs30amp._native against the stable ABI (Py_LIMITED_API 3.13), which
would make one build of it serve every Python from 3.13 on.

    python benchmarks/stable_abi.py VERSION_SPECIFIC.so STABLE_ABI.so

Both builds of the module are loaded side by side and timed on the same calls, median of the
repeats of one run, timed alternately: many one-site calls (where the call's overhead dominates), one call of
100,000 sites for each model, and the PSA of 100 short records. Prints each time and the ratio
stable / version-specific.
"""

import importlib.machinery
import importlib.util
import statistics
import sys
import time

import numpy as np


def load(path):
    loader = importlib.machinery.ExtensionFileLoader("vs30amp._native", path)
    spec = importlib.util.spec_from_file_location("vs30amp._native", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def median_times(first, second, repeats=9):
    """Medians of the two, timed alternately so that the machine's other load falls on both."""
    times = ([], [])
    for _ in range(repeats):
        for work, kept in zip((first, second), times):
            start = time.perf_counter()
            work()
            kept.append(time.perf_counter() - start)
    return statistics.median(times[0]), statistics.median(times[1])


def workloads(native):
    rng = np.random.default_rng(1)
    one = [np.array([300.0]), np.array([760.0]), np.array([0.2])]
    many = [rng.uniform(150, 1500, 100_000), np.full(100_000, 760.0), rng.uniform(0, 1.5, 100_000)]
    out22, out301 = np.empty((1, 22)), np.empty((1, 301))
    big22, big301 = np.empty((100_000, 22)), np.empty((100_000, 301))
    records = rng.normal(size=(100, 2000))
    periods = np.geomspace(0.01, 10, 22)
    psa = np.empty((100, 22))
    return {
        "20,000 one-site CB14 calls":
            lambda: [native.model_factors("cb14", "module", *one, out22) for _ in range(20_000)],
        "20,000 one-site BA18 calls":
            lambda: [native.model_factors("ba18", "module", *one, out301) for _ in range(20_000)],
        "CB14, 100,000 sites": lambda: native.model_factors("cb14", "module", *many, big22),
        "BA18, 100,000 sites": lambda: native.model_factors("ba18", "module", *many, big301),
        "PSA of 100 records": lambda: native.response_spectrum(records, 0.01, periods, 0.05, psa, 1),
    }


def main():
    specific, stable = (workloads(load(path)) for path in sys.argv[1:3])
    print(f"{'workload':32} {'version-specific':>17} {'stable ABI':>11} {'ratio':>6}")
    for name in specific:
        a, b = median_times(specific[name], stable[name])
        print(f"{name:32} {a * 1e3:14.2f} ms {b * 1e3:8.2f} ms {b / a:6.3f}")


if __name__ == "__main__":
    main()
