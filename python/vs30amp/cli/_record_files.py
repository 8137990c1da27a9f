"""The record files a command is given: files, and the record files of directories."""

from __future__ import annotations

from pathlib import Path

from ..io._formats import EXTENSIONS, extensions
from ._errors import UsageError
from ._outputs import refuse_special_file


def record_paths(arguments: list[str]) -> list[Path]:
    """The files named, and the record files (EXTENSIONS) of the directories named, in the order given."""
    paths: list[Path] = []
    for argument in map(Path, arguments):
        if argument.is_dir():
            found = sorted(p for p in argument.iterdir() if p.suffix.lower() in EXTENSIONS and p.is_file())
            if not found:
                raise UsageError(f"{argument}: no {extensions()} files in this directory")
            paths += found
        elif argument.is_file():
            paths.append(argument)
        elif argument.exists():
            refuse_special_file(argument, "a regular file or directory")
        else:
            raise UsageError(f"{argument}: no such file or directory")
    return paths
