"""The checks a record store's coordinates and chunks pass, on reading and on writing: station
ids (text, unique), the sample interval of a time axis and Zarr chunks that are not there."""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._record import RecordError


def decoded_ids(values: NDArray[Any]) -> NDArray[Any]:
    """Station ids with bytes (a netCDF char array, ``|S4``) decoded to text; UnicodeDecodeError
    for bytes that are not UTF-8."""
    if values.dtype.kind == "S" or (values.dtype.kind == "O" and any(isinstance(v, bytes) for v in values.flat)):
        return np.array([v.decode("utf-8") if isinstance(v, bytes) else v for v in values.tolist()], dtype=object)
    return values


def first_repeat(values: NDArray[Any]) -> tuple[Any, int, int] | None:
    """The first id that is repeated, with its two positions, or None when each is unique."""
    seen: dict[Any, int] = {}
    for index, station in enumerate(values.tolist()):
        if station in seen:
            return station, seen[station], index
        seen[station] = index
    return None


def read_ids(path: Path, values: NDArray[Any]) -> NDArray[Any]:
    """The ``station`` coordinate as read: bytes decoded; RecordError for ids that are not UTF-8
    or not unique (a station's records are found by its id)."""
    try:
        ids = decoded_ids(values)
    except UnicodeDecodeError as error:
        raise RecordError(f"{path}: a station id is not UTF-8 text ({error})") from None
    repeat = first_repeat(ids)
    if repeat is not None:
        station, first, second = repeat
        raise RecordError(f"{path}: station {station!r} is both record {first} and record {second}; station ids "
                          "must be unique")
    return ids


def written_ids(station: ArrayLike | None, n: int) -> NDArray[Any]:
    """The ids `write_store` writes: 0 ... n - 1 by default, else one unique string or integer per
    station (bytes decoded); ValueError naming the first that is not."""
    if station is None:
        return np.arange(n)
    values = np.asarray(station)
    if values.shape != (n,):
        raise ValueError(f"station: expected one value for each of the {n} stations, got shape {values.shape}")
    try:
        ids = decoded_ids(values)
    except UnicodeDecodeError as error:
        raise ValueError(f"station: an id is not UTF-8 text ({error})") from None
    if ids.dtype.kind == "O" and ids.size:
        text = isinstance(ids[0], str)
        fits = [isinstance(v, str) if text else isinstance(v, (int, np.integer)) and not isinstance(v, bool)
                for v in ids.tolist()]
        if not all(fits):
            index = fits.index(False)
            raise ValueError(f"station: id {index} is {ids[index]!r}; ids are all strings or all integers")
        ids = ids if text else ids.astype(np.int64)
    elif ids.dtype.kind not in "iuUT":  # T: NumPy's StringDType, as Zarr reads text
        raise ValueError(f"station: ids of dtype {ids.dtype}; give each station a string or an integer id")
    repeat = first_repeat(ids)
    if repeat is not None:
        raise ValueError(f"station: {repeat[0]!r} is the id of stations {repeat[1]} and {repeat[2]}; ids must be "
                         "unique")
    return ids


def time_step(values: NDArray[np.float64], resolution: float) -> float:
    """The step of an evenly spaced time axis of at least two values, each known to within
    `resolution` (s): the shortest decimal that the axis's ends allow. So an axis from 10 s in
    steps of 0.01 s steps by 0.01 exactly, which its first difference (0.009999999999999787)
    does not."""
    n = values.size
    step = float(values[-1] - values[0]) / (n - 1)
    slack = 2.0 * resolution / (n - 1) + 2.0 * float(np.spacing(abs(step)))
    for digits in range(1, 18):
        rounded = float(f"{step:.{digits}g}")
        if abs(rounded - step) <= slack:
            return rounded
    return step


@dataclass(frozen=True)
class ChunkFiles:
    """The files of a Zarr variable's stored chunks: where they are and how they are named, so
    that a chunk that is not there (never written, or deleted while read, which Zarr reads as
    the fill value) is found."""

    directory: str
    prefix: str
    separator: str
    chunks: tuple[int, ...]
    shape: tuple[int, ...]
    station_axis: int

    def missing(self, start: int, stop: int) -> tuple[str, int, int] | None:
        """The first chunk holding any of records `start` to `stop` - 1 that is not there: its
        name and its first and last record; None when all are there."""
        along = self.chunks[self.station_axis]
        ranges = [range(-(-size // chunk)) for size, chunk in zip(self.shape, self.chunks)]
        ranges[self.station_axis] = range(start // along, -(-stop // along))
        for index in np.ndindex(*(len(r) for r in ranges)):
            grid = [r[i] for r, i in zip(ranges, index)]
            key = self.prefix + self.separator.join(map(str, grid))
            if not Path(self.directory, key).exists():
                first = grid[self.station_axis] * along
                return key, first, min(first + along, self.shape[self.station_axis]) - 1
        return None


def chunk_files(root: Path, name: str, dims: tuple[str, ...], shape: tuple[int, ...]) -> ChunkFiles | None:
    """How the chunks of variable `name` of the Zarr store at `root` are stored (format 2 or 3),
    or None when its metadata says something this does not know (then nothing is checked)."""
    directory = root.absolute() / name  # as a worker of a cluster, elsewhere, finds it
    try:
        if (directory / "zarr.json").is_file():
            metadata = json.loads((directory / "zarr.json").read_text())
            grid, encoding = metadata["chunk_grid"], metadata.get("chunk_key_encoding", {"name": "default"})
            if grid.get("name") != "regular" or encoding["name"] not in ("default", "v2"):
                return None
            default = encoding["name"] == "default"
            separator = encoding.get("configuration", {}).get("separator", "/" if default else ".")
            chunks, prefix = grid["configuration"]["chunk_shape"], ("c" + separator if default else "")
        elif (directory / ".zarray").is_file():
            metadata = json.loads((directory / ".zarray").read_text())
            chunks, prefix, separator = metadata["chunks"], "", metadata.get("dimension_separator") or "."
        else:
            return None
    except (OSError, ValueError, KeyError, TypeError):
        return None
    if len(chunks) != len(shape):
        return None
    return ChunkFiles(str(directory), prefix, separator, tuple(int(c) for c in chunks), shape, dims.index("station"))


def present(block: NDArray[Any], files: ChunkFiles, path: str, name: str,
            block_info: dict[Any, Any] | None = None) -> NDArray[Any]:
    """`block` of records, once their chunks are known to be in the store; RecordError saying the
    data is missing otherwise (Zarr fills a missing chunk with NaN, which would pass for samples)."""
    if block_info is not None:
        start, stop = block_info[0]["array-location"][0]
        missing = files.missing(int(start), int(stop))
        if missing is not None:
            key, first, last = missing
            raise RecordError(f"{path}: data missing for records {first} to {last} of {name!r}: chunk {key!r} is "
                              "not in the store (never written, or removed while read)")
    return block
