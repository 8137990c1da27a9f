"""The figure of the models page's "The two conventions of BA18", drawn by the docs build: BA18's
factors in the module and the published convention, and their ratio."""

from __future__ import annotations

from pathlib import Path

import numpy as np

import vs30amp

# (vs30, vs30_sim, pga in g): where the conventions differ most within the model's ranges.
SITES = ((200.0, 760.0, 0.3), (180.0, 1000.0, 1.0), (400.0, 760.0, 0.1), (1100.0, 200.0, 0.3))


def draw(path: Path) -> None:
    """Writes the figure to `path` (PNG)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    vs30, vs30_sim, pga = (np.array(values) for values in zip(*SITES))
    module = vs30amp.amplification(vs30, vs30_sim, pga, convention="module", ranges="ignore")
    published = vs30amp.amplification(vs30, vs30_sim, pga, convention="published", ranges="ignore")
    figure, (factors, ratios) = plt.subplots(1, 2, figsize=(10, 4), constrained_layout=True)
    for i, (v, sim, g) in enumerate(SITES):
        line = factors.loglog(module.frequencies, module.factors[i], label=f"{v:g} from {sim:g} m/s, {g:g} g")[0]
        factors.loglog(published.frequencies, published.factors[i], "--", color=line.get_color())
        ratio = published.factors[i] / module.factors[i]
        ratios.semilogx(module.frequencies, ratio, color=line.get_color(),
                        label=f"{v:g} from {sim:g} m/s, {g:g} g: up to {ratio.max():.3f}")
    factors.set(title="factors: module (solid), published (dashed)", xlabel="frequency (Hz)",
                ylabel="amplification factor")
    ratios.set(title="published / module", xlabel="frequency (Hz)", ylabel="ratio")
    for axes in (factors, ratios):
        axes.grid(True, which="both", alpha=0.3)
        axes.legend(fontsize=7)
    figure.savefig(path, dpi=110)
    plt.close(figure)


if __name__ == "__main__":
    draw(Path(__file__).with_name("ba18_conventions.png"))
