"""A first look at vs30amp: the frequency grids, the kernel functions of _utils, and the
amplification factors of both models for a few representative sites, with a plot (drawn by
Amplification.plot) written to amplification.png."""

import inspect
import sys
from pathlib import Path

import numpy as np

import _utils
import vs30amp

# (label, site Vs30 m/s, simulation Vs30 m/s, PGA g)
SITES = [
    ("soft site, stiff simulation", 200.0, 760.0, 0.2),
    ("stiff site, soft simulation", 760.0, 200.0, 0.2),
    ("equal Vs30, low PGA", 400.0, 400.0, 0.05),
    ("equal Vs30, high PGA", 400.0, 400.0, 0.6),
    ("site above 1000 m/s", 1500.0, 760.0, 0.3),
]

MODELS = [("Campbell-Bozorgnia 2014", "cb14"), ("Bayless-Abrahamson 2018 EAS", "ba18")]

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
    labels = [f"{label} ({vs30:g}/{vs30_sim:g} m/s, {pga:g} g)" for label, vs30, vs30_sim, pga in SITES]
    for axis, (title, result) in zip(axes, results):
        result.plot(ax=axis, labels=labels)
        axis.set_title(title)
    axes[1].set_ylabel("")
    axes[1].get_legend().remove()
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    print(f"\nplot written to {path}")


def main():
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("amplification.png")
    print_functions()
    vs30, vs30_sim, pga = (np.array(column, dtype=np.float64) for column in list(zip(*SITES))[1:])
    results = []
    for title, model in MODELS:
        result = vs30amp.amplification(vs30, vs30_sim, pga, model=model)
        print_grid(title, result.frequencies)
        results.append((title, result))
    for title, result in results:
        print_table(title, result.frequencies, result.factors)
    plot(results, output)


if __name__ == "__main__":
    main()
