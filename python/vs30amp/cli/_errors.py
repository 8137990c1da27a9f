"""The command's error for a problem with its input: one line, exit status 2."""

from __future__ import annotations

import argparse
from typing import NoReturn


class UsageError(Exception):
    """A problem with the command's input, reported in one line with exit status 2."""


class Parser(argparse.ArgumentParser):
    """The command's parser: a usage error is a UsageError, reported as every other."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)
