"""Runs the Python examples of the documentation's pages and the README (``./run docs``).

A page's ```python blocks run in order in one namespace, as a reader would type them; a block
with ``>>>`` prompts is a doctest whose output must match. A ```console block's ``$`` lines run in
the shell, with ``vs30amp`` the command of the package under test; each must succeed and print
what follows it (``...`` matches anything). Each page runs in its own empty working directory,
with ``__name__ == "__main__"`` as in a script. The figures the pages draw as the site is built
must each be an image of their own.
"""

from __future__ import annotations

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent.parent
PAGES = sorted((HERE / "docs").glob("*.md")) + [HERE / "README.md"]
BLOCK = re.compile(r"^```(python|console)[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)
FLAGS = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS


def blocks(page: Path) -> list[tuple[int, str, str]]:
    """The page's Python and console blocks: the line each starts on, its language, its text."""
    text = page.read_text(encoding="utf-8")
    return [(text.count("\n", 0, match.start(2)) + 1, match.group(1), match.group(2))
            for match in BLOCK.finditer(text)]


def run_console(code: str, where: str, directory: Path) -> None:
    """Runs each ``$`` line of a console block in `directory`; its output must match the lines after it."""
    shims = directory / ".bin"
    shims.mkdir(exist_ok=True)
    command = shims / "vs30amp"
    command.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m vs30amp "$@"\n')
    command.chmod(0o755)
    env = {**os.environ, "PATH": f"{shims}{os.pathsep}{os.environ.get('PATH', '')}"}
    steps = [step for step in re.split(r"^\$ ", code, flags=re.MULTILINE) if step]
    for step in steps:
        line, _, expected = step.partition("\n")
        result = subprocess.run(line, shell=True, cwd=directory, env=env, capture_output=True, text=True, check=False)
        output = result.stdout + result.stderr
        assert result.returncode == 0, f"{where}: {line!r} exited with {result.returncode}:\n{output}"
        assert doctest.OutputChecker().check_output(expected, output, FLAGS), (
            f"{where}: {line!r} printed\n{output}\nexpected\n{expected}")


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.relative_to(HERE).as_posix())
def test_examples_run(page: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, object] = {"__name__": "__main__"}
    name = page.relative_to(HERE).as_posix()
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=FLAGS)
    try:
        for line, language, code in blocks(page):
            if language == "console":
                run_console(code, f"{name}:{line}", tmp_path)
            elif re.search(r"^\s*>>>", code, re.MULTILINE):
                test = parser.get_doctest(code, namespace, f"{name}:{line}", str(page), line - 1)
                failed, _ = runner.run(test, clear_globs=False)
                assert failed == 0, f"{name}, the block at line {line}: {failed} example(s) failed (above)"
            else:
                exec(compile(code, f"{name}:{line}", "exec"), namespace)
    finally:
        plt = __import__("sys").modules.get("matplotlib.pyplot")
        if plt is not None:
            plt.close("all")


SITE = HERE / os.environ.get("VS30AMP_DOCS_OUT", "build/docs") / "html"


@pytest.mark.parametrize("page", ["index", "study", "measures"])
def test_figures_drawn(page: str) -> None:
    """The figures a page draws as the site is built are each its own image: none overwrote another."""
    if not SITE.is_dir():
        pytest.skip(f"no site built in {SITE}")
    html = (SITE / f"{page}.html").read_text(encoding="utf-8")
    images = [SITE / src for src in re.findall(r'<img [^>]*src="(_images/[^"]+\.png)"', html)]
    contents = {image.read_bytes() for image in images}
    assert images and len(contents) == len(images), f"{page}: {len(contents)} distinct of {len(images)} figures"
