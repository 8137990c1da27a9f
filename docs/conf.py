"""Sphinx configuration of the vs30amp documentation (built by ``./run docs``).

Facts the package already holds are rendered from it rather than written twice: the models and
their ranges of applicability come from ``vs30amp.MODELS`` (the ``models`` and ``model-ranges``
directives) and the command's options from its own ``--help`` (the ``command-help`` directive).
The figures of the study and measures pages are drawn by their own code as the site is built (the
``plot`` directive), run from the project's root, where the record files of tests/data are.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import Directive
from matplotlib.sphinxext.plot_directive import PlotDirective

import vs30amp

sys.path.insert(0, os.path.dirname(__file__))
import ba18_conventions  # noqa: E402  (the models page's figure, drawn at each build)

project = "vs30amp"
author = "the vs30amp developers"
copyright = "2026, the vs30amp developers"
release = version = vs30amp.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc", "numpydoc", "matplotlib.sphinxext.plot_directive"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
# Links to other pages' sections by their headings, as a forge renders them (#the-two-conventions-of-ba18).
myst_heading_anchors = 3

autodoc_typehints = "none"  # the docstrings' Parameters say it in words
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

plot_working_directory = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 120)]
plot_rcparams = {"figure.dpi": 120}

html_theme = "furo"
html_static_path = ["_static"]
html_css_files = ["wrap.css"]
html_title = f"vs30amp {release}"


def table(rows: list[tuple[str, ...]], widths: tuple[int, ...]) -> nodes.table:
    """A table of `rows` of text, the first its head."""
    group = nodes.tgroup(cols=len(widths))
    group += [nodes.colspec(colwidth=width) for width in widths]
    head, *body = [nodes.row("", *(nodes.entry("", nodes.paragraph(text=text)) for text in row)) for row in rows]
    group += nodes.thead("", head)
    group += nodes.tbody("", *body)
    return nodes.table("", group)


def grid(model: vs30amp.Model) -> str:
    frequencies = model.frequencies
    if model.tabulated == "periods":
        return f"{model.measure} at {frequencies.size} periods, {1 / frequencies[-1]:g} to {1 / frequencies[0]:g} s"
    return f"{model.measure} at {frequencies.size} frequencies, {frequencies[0]:g} to {frequencies[-1]:g} Hz"


class Models(Directive):
    """A table of every model of vs30amp.MODELS: its measure and grid, inputs, conventions and
    the independent figures it is verified against."""

    def run(self) -> list[nodes.Node]:
        rows = [("model", "factors of", "inputs", "conventions (default first)", "verified against")]
        rows += [(f"{name}: {model.label}", grid(model),
                  ", ".join(f"{given.name} ({given.units})" for given in model.inputs),
                  ", ".join(convention.name for convention in model.conventions),
                  "; ".join(f"{check.source} (tests/data/{check.file})" for check in model.verification))
                 for name, model in vs30amp.MODELS.items()]
        return [table(rows, (18, 22, 16, 14, 30))]


class ModelRanges(Directive):
    """A table of every model's Vs30 range of applicability and its source, from vs30amp.MODELS."""

    def run(self) -> list[nodes.Node]:
        rows = [("model", "Vs30 and simulation Vs30", "source")]
        rows += [(f"{name}", f"{model.vs30_range[0]:g} to {model.vs30_range[1]:g} m/s", model.range_source)
                 for name, model in vs30amp.MODELS.items()]
        return [table(rows, (10, 20, 70))]


class CommandHelp(Directive):
    """The ``--help`` text of a ``vs30amp`` subcommand, as the installed command prints it."""

    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        command = [sys.executable, "-m", "vs30amp", self.arguments[0], "--help"]
        result = subprocess.run(command, capture_output=True, text=True, check=False,
                                env={**os.environ, "COLUMNS": "100"})
        if result.returncode != 0:
            raise self.error(f"{' '.join(command[2:])} failed: {result.stderr.strip()}")
        return [nodes.literal_block(result.stdout, result.stdout)]


class NumberedPlot(PlotDirective):
    """Matplotlib's ``plot`` directive, its figures numbered through the page.

    The directive numbers a page's figures in its document, which MyST makes anew for each
    ``eval-rst`` block: every figure of a Markdown page would be its first and overwrite the others.
    """

    def run(self) -> list[nodes.Node]:
        document = self.state_machine.document
        env = document.settings.env
        document.attributes["_plot_counter"] = env.temp_data.get("plot_counter", 0)
        result = super().run()
        env.temp_data["plot_counter"] = document.attributes["_plot_counter"]
        return result


# The pages link the benchmark results as files of the repository, which a forge shows; the site
# carries them as its page "benchmarks".
BENCHMARK_LINKS = {"](../benchmarks/results.md)": "](benchmarks.md#benchmarks)",
                   "](../benchmarks/waveforms.md)": "](benchmarks.md#amplifying-records)"}


def link_benchmarks(app: object, docname: str, source: list[str]) -> None:
    for link, page in BENCHMARK_LINKS.items():
        source[0] = source[0].replace(link, page)


def draw_figures(app: object) -> None:
    ba18_conventions.draw(Path(app.srcdir) / "ba18_conventions.png")  # type: ignore[attr-defined]


def setup(app: object) -> None:
    app.connect("builder-inited", draw_figures)  # type: ignore[attr-defined]
    app.connect("source-read", link_benchmarks)  # type: ignore[attr-defined]
    app.add_directive("models", Models)  # type: ignore[attr-defined]
    app.add_directive("model-ranges", ModelRanges)  # type: ignore[attr-defined]
    app.add_directive("command-help", CommandHelp)  # type: ignore[attr-defined]
    app.add_directive("plot", NumberedPlot, override=True)  # type: ignore[attr-defined]
