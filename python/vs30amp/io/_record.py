"""The record a file holds, and the errors of files that cannot be read."""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .._provenance import RecordProvenance
from .._units import UNITS_IN_G, peak_in_g


class RecordError(ValueError):
    """A record file that cannot be read or written; the message names the file and the line or
    header field."""


@dataclass(frozen=True)
class Record:
    """One acceleration record of a file.

    Attributes
    ----------
    acc : ndarray, shape (n_samples,)
        The samples: float64 from AT2 files, float32 from SAC files.
    dt : float
        Sample interval (s).
    units : str
        "g", "m/s2", "cm/s2", "nm/s2", another quantity's units ("nm", "nm/s", "V") or
        "unknown" when the file does not say.
    header : mapping
        What the file's header holds beside the samples, kept so that `write` reproduces it: for
        AT2 files the header ``lines`` and the ``columns`` of values per line; for SAC files every
        defined header field by its name (``"KSTNM"``, ``"STLA"``, ...) and the file's
        ``byteorder`` ("<" or ">").
    """

    acc: NDArray[np.floating[Any]]
    dt: float
    units: str
    header: Mapping[str, Any] = field(default_factory=dict)

    @property
    def pga(self) -> float:
        """Peak absolute acceleration in g; RecordError when the units are not an acceleration's.

        Examples
        --------
        >>> import numpy as np
        >>> from vs30amp.io import Record
        >>> round(Record(np.array([0.0, 98.0665, -49.0]), 0.01, "cm/s2").pga, 12)
        0.1
        """
        in_g(self.units)  # refuses units that are not an acceleration's
        return peak_in_g(self.acc, self.units)


@dataclass(frozen=True)
class RecordFormat:
    """One record file format, as its module declares it (`FORMAT`) for the table of formats.

    Attributes
    ----------
    name : str
        Its name, as ``format=`` gives it ("at2").
    extension : str
        The extension of its files, as messages write it (".AT2"); any case marks a file.
    read, write : callable
        A file's `Record`, and a record written to a file (checked as `vs30amp.io.write` checks it).
    with_provenance : callable
        Marks a header (a dict, changed in place) as the header of a record amplified as the
        `RecordProvenance` says, in the format's own fields.
    components : int
        The components a file holds: 1, the record's samples of shape (n_samples,), or more, the
        rows of shape (components, n_samples) of which `vertical` is the vertical's.
    """

    name: str
    extension: str
    read: Callable[[Path], Record]
    write: Callable[[Path, Record], None]
    with_provenance: Callable[[dict[str, Any], RecordProvenance], None]
    components: int = 1
    vertical: int | None = None

    def detect(self, path: str | os.PathLike[str]) -> bool:
        """Whether `path` is a file of this format by its extension (any case)."""
        return Path(path).suffix.lower() == self.extension.lower()


def in_g(units: str) -> float:
    """The factor from `units` to g; RecordError for units that are not an acceleration's.

    Examples
    --------
    >>> from vs30amp.io import in_g
    >>> in_g("g"), in_g("m/s2") == 1 / 9.80665
    (1.0, True)
    """
    try:
        return UNITS_IN_G[units]
    except KeyError:
        raise RecordError(f"units {units!r} are not units of acceleration; known: {', '.join(UNITS_IN_G)}") from None
