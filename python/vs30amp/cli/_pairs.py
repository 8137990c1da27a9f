"""The station and component of a record file, read from its name, and the two horizontal
components of each station: files are paired by name, never by their place on the command line.

The name without its extension ends in the component:
  - NGA files: an azimuth of three digits or a vertical mark UP or DWN, after the station
    (RSN753_LOMAP_CLS000.AT2 and RSN753_LOMAP_CLS090.AT2 are station RSN753_LOMAP_CLS; NIS090.AT2
    is station NIS, component 090; RSN753_LOMAP_CLS-UP.AT2 its vertical);
  - otherwise the part after the last dot (S01.h1.AT2: station S01, component h1;
    IU.COLA.00.HN1.sac: station IU.COLA.00, component HN1).
"""

from __future__ import annotations

import os
import re
import sys
from dataclasses import dataclass
from pathlib import Path

from ._errors import UsageError

# Case matters: NGA names are upper case, and "setup" ends in no vertical mark.
NGA = re.compile(r"(?P<station>.+?)[-_.]?(?P<component>[0-9]{3}|UP|DWN)")
DOTTED = re.compile(r"(?P<station>.+)\.(?P<component>[^.]+)")
# Vertical components: Z, a channel code ending in Z (HNZ), up, down, v, vert.
VERTICAL = re.compile(r"[a-z]{0,2}z|up|dwn|dn|down|v|vert?|vertical", re.IGNORECASE)
NAMING = "name them STATION.COMPONENT.ext (S01.h1.AT2) or as NGA files (RSN753_LOMAP_CLS000.AT2)"


@dataclass(frozen=True)
class Pair:
    """A station's two horizontal components: H1 is the one whose component name sorts first."""

    station: str
    h1: Path
    h2: Path


def station_and_component(path: Path) -> tuple[str, str]:
    """The station and component `path`'s name gives; UsageError naming the file otherwise."""
    stem = path.name[:-len(path.suffix)] if path.suffix else path.name
    named = NGA.fullmatch(stem) or DOTTED.fullmatch(stem)
    if named is None:
        raise UsageError(f"{path}: its name gives no station and component; {NAMING}")
    return named["station"], named["component"]


def pairs(paths: list[Path]) -> list[Pair]:
    """The pairs of horizontal components of the stations of `paths`, in the order in which the
    stations first appear. A vertical component is left out with a warning line; a file given
    twice, a component given twice and a station without exactly two horizontal components are
    UsageErrors naming the files."""
    _refuse_repeated_files(paths)
    stations: dict[str, dict[str, Path]] = {}
    for path in paths:
        station, component = station_and_component(path)
        components = stations.setdefault(station, {})
        key = component.casefold()
        if key in components:
            raise UsageError(f"{components[key]} and {path} are both station {station!r}, component {component!r}")
        components[key] = path
    found = []
    for station, components in stations.items():
        horizontal = []
        for key, path in sorted(components.items()):
            if VERTICAL.fullmatch(key):
                print(f"vs30amp: warning: {path}: component {station_and_component(path)[1]!r} is vertical; left out "
                      f"(the measures take the two horizontal components)", file=sys.stderr)
            else:
                horizontal.append(path)
        if len(horizontal) != 2:
            files = ", ".join(map(str, horizontal or components.values()))
            count = f"{len(horizontal)} horizontal component{'' if len(horizontal) == 1 else 's'}"
            raise UsageError(f"{files}: station {station!r} has {count}; give two of each station ({NAMING})")
        found.append(Pair(station, *horizontal))
    return found


def _refuse_repeated_files(paths: list[Path]) -> None:
    """UsageError for a file given twice, whatever the spelling or link leading to it: it would be
    paired with itself."""
    seen: dict[tuple[int, int], Path] = {}
    for path in paths:
        status = os.stat(path)
        identity = (status.st_dev, status.st_ino)
        if identity in seen:
            raise UsageError(f"{path}: is also given as {seen[identity]}; a file cannot be paired with itself")
        seen[identity] = path
