"""Runs the Python examples of the documentation's pages and the README (``./run docs``).

A page's ```python blocks run in order in one namespace, as a reader would type them; a block
with ``>>>`` prompts is a doctest whose output must match. Each page runs in its own empty
working directory, with ``__name__ == "__main__"`` as in a script.
"""

from __future__ import annotations

import doctest
import re
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent.parent
PAGES = sorted((HERE / "docs").glob("*.md")) + [HERE / "README.md"]
BLOCK = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)
FLAGS = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS


def blocks(page: Path) -> list[tuple[int, str]]:
    """The page's Python blocks with the line each starts on."""
    text = page.read_text(encoding="utf-8")
    return [(text.count("\n", 0, match.start(1)) + 1, match.group(1)) for match in BLOCK.finditer(text)]


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.relative_to(HERE).as_posix())
def test_examples_run(page: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, object] = {"__name__": "__main__"}
    name = page.relative_to(HERE).as_posix()
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=FLAGS)
    try:
        for line, code in blocks(page):
            if re.search(r"^\s*>>>", code, re.MULTILINE):
                test = parser.get_doctest(code, namespace, f"{name}:{line}", str(page), line - 1)
                failed, _ = runner.run(test, clear_globs=False)
                assert failed == 0, f"{name}, the block at line {line}: {failed} example(s) failed (above)"
            else:
                exec(compile(code, f"{name}:{line}", "exec"), namespace)
    finally:
        plt = __import__("sys").modules.get("matplotlib.pyplot")
        if plt is not None:
            plt.close("all")
