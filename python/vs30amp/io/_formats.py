"""The record file formats, one entry a format module (its `FORMAT`: name, extension, read,
write and the header of an amplified record). `vs30amp.io`, the command and the provenance take
every format from here: a new format is its module and its line in FORMATS."""

from __future__ import annotations

import os
from pathlib import Path

from . import _at2, _bbp, _obspy, _sac
from .._models import choices
from ._record import RecordError, RecordFormat

FORMATS: dict[str, RecordFormat] = {format.name: format for format in (_at2.FORMAT, _sac.FORMAT, _obspy.FORMAT, _bbp.FORMAT)}
# The extensions of record files, in lower case: a file's in any case marks its format.
EXTENSIONS = tuple(format.extension.lower() for format in FORMATS.values())


def extensions(joint: str | None = None) -> str:
    """The formats' extensions as the messages and the help write them: ".AT2, .sac or .bbp", or
    joined by `joint`."""
    names = [format.extension for format in FORMATS.values()]
    return joint.join(names) if joint is not None else choices(names)


def format_named(path: str | os.PathLike[str], format: str | None = None) -> RecordFormat:
    """The record format of `path`: `format` if given, else its extension's; RecordError otherwise."""
    if format is not None:
        found = FORMATS.get(format.lower())
    else:
        found = next((known for known in FORMATS.values() if known.detect(path)), None)
    if found is None:
        given = f"format {format!r}" if format is not None else f"extension {Path(path).suffix!r}"
        raise RecordError(f"{path}: unknown record {given}; use {extensions()} (or format="
                          f"{' or '.join(map(repr, FORMATS))})")
    return found
