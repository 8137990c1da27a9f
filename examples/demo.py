"""A first look at _utils: the frequency grids, the functions, and the amplification factors
of both models for a few representative sites, with a plot written to amplification.png."""

import inspect
import sys
from pathlib import Path

import numpy as np

import _utils

# (label, site Vs30 m/s, simulation Vs30 m/s, PGA g)
SITES = [
    ("soft site, stiff simulation", 200.0, 760.0, 0.2),
    ("stiff site, soft simulation", 760.0, 200.0, 0.2),
    ("equal Vs30, low PGA", 400.0, 400.0, 0.05),
    ("equal Vs30, high PGA", 400.0, 400.0, 0.6),
    ("site above 1000 m/s", 1500.0, 760.0, 0.3),
]

MODELS = [
    ("Campbell-Bozorgnia 2014", _utils._campbell_bozorgnia_2014, _utils._campbell_bozorgnia_2014_frequencies),
    ("Bayless-Abrahamson 2018 EAS", _utils._bayless_abrahamson_2018_eas, _utils._bayless_abrahamson_2018_frequencies),
]

SHOWN_FREQUENCIES = [0.1, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0]


def print_functions():
    print("Functions of _utils:")
    for name in _utils.__all__:
        print(f"  {name}{inspect.signature(getattr(_utils, name))}")


def print_grid(title, grid):
    print(f"\n{title} grid: {grid.size} frequencies, {grid[0]:g} to {grid[-1]:g} Hz")
    print(np.array2string(grid, precision=6, max_line_width=100, threshold=30))


def print_table(title, frequencies, factors):
    columns = [int(np.argmin(np.abs(np.log(frequencies / f)))) for f in SHOWN_FREQUENCIES]
    print(f"\n{title}: amplification factors")
    header = f"{'site (Vs30, Vs30 sim, PGA)':<46}" + "".join(f"{frequencies[j]:>9.3g}" for j in columns)
    print(header + "  Hz")
    for (label, vs30, vs30_sim, pga), row in zip(SITES, factors):
        name = f"{label} ({vs30:g}, {vs30_sim:g}, {pga:g})"
        print(f"{name:<46}" + "".join(f"{row[j]:>9.4f}" for j in columns))


def plot(results, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\nmatplotlib is not installed: no plot written")
        return
    figure, axes = plt.subplots(1, len(results), figsize=(12, 4.8), sharey=True)
    for axis, (title, frequencies, factors) in zip(axes, results):
        for (label, vs30, vs30_sim, pga), row in zip(SITES, factors):
            axis.loglog(frequencies, row, label=f"{label} ({vs30:g}/{vs30_sim:g} m/s, {pga:g} g)")
        axis.set_title(title)
        axis.set_xlabel("frequency (Hz)")
        axis.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("amplification factor")
    axes[0].legend(fontsize=7)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    print(f"\nplot written to {path}")


def main():
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("amplification.png")
    print_functions()
    vs30, vs30_sim, pga = (np.array(column, dtype=np.float64) for column in list(zip(*SITES))[1:])
    results = []
    for title, amplify, grid in MODELS:
        frequencies = grid()
        print_grid(title, frequencies)
        results.append((title, frequencies, amplify(vs30, vs30_sim, pga)))
    for title, frequencies, factors in results:
        print_table(title, frequencies, factors)
    plot(results, output)


if __name__ == "__main__":
    main()
