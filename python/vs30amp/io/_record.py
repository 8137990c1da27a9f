"""The record a file holds, and the errors of files that cannot be read."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

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
