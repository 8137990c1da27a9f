"""The units of record files' samples: a file's own, or those --units declares for files that
give none."""

from __future__ import annotations

import sys
from pathlib import Path

from .. import io
from .._units import AMPLIFIED_UNITS, G_IN_UNITS
from ._errors import UsageError

# The units a file may leave to --units: none given, or SAC's nm/s/s (rarely what it holds).
DECLARABLE_UNITS = (*(units for units in G_IN_UNITS if units not in AMPLIFIED_UNITS), "unknown")


def takes_declared_units(record: io.Record) -> bool:
    """Whether `record`'s file gives no units of acceleration, so that --units says them."""
    return record.units not in AMPLIFIED_UNITS


def warn_if_units_unused(given: str | None, used: bool) -> None:
    """A warning line when --units was given and no record took it: every file gave its own units."""
    if given is not None and not used:
        print(f"vs30amp: warning: --units {given} is not used: every record gives its own units (AT2 files are "
              f"in g); --units is for files that give none (SAC)", file=sys.stderr)


def record_units(path: Path, record: io.Record, given: str | None) -> str:
    """The units of `record`'s samples: a file's own units (AT2: g) are kept, --units declares
    those of files that give none (SAC), so one --units serves a directory of both formats."""
    if record.units in AMPLIFIED_UNITS:
        return record.units
    if record.units not in DECLARABLE_UNITS:
        said = "header field IDEP" if io.format_of(path) == "sac" else "the file's header"
        raise UsageError(f"{path}: the samples are in {record.units} ({said}), not an acceleration")
    if given is None:
        what = "nm/s/s by SAC's IDEP = IACC" if record.units == "nm/s2" else "not given by the file"
        raise UsageError(f"{path}: units {what}; give the records' units with --units {'|'.join(AMPLIFIED_UNITS)}")
    return given
