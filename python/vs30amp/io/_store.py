"""Records of many stations in one netCDF or Zarr store, read and written lazily with Dask.

A store holds one variable per component with dimensions (station, time); the sample interval
is the variable's (or the store's) ``dt`` attribute, else the step of the ``time`` coordinate
(seconds); station ids, each station's ``vs30`` and, in amplified stores, the ``vs30_sim``
the records were amplified from are coordinates along ``station``. Records
are read and written in chunks of whole records, so no more than a few chunks are in memory.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .._optional import require
from ._record import RecordError
from ._store_checks import ChunkFiles, chunk_files, present, read_ids, time_step
from ._store_paths import store_format

# Records per chunk by default: at least this many bytes of one component, so that the work of
# a chunk outweighs its scheduling.
CHUNK_BYTES = 4 * 2**20
# A sample interval and the time coordinate's steps may differ by this fraction (rounding).
TIME_TOLERANCE = 1e-6


@dataclass(frozen=True, eq=False)
class RecordStore:
    """The records of a store, not loaded: each component a Dask array chunked by station.

    Attributes
    ----------
    components : dict of str to dask.array.Array
        Each variable read, shape (n_stations, n_samples), float32 or float64, chunked along
        stations only.
    dt : float
        Sample interval (s).
    station : ndarray, shape (n_stations,)
        The station ids, unique (the ``station`` coordinate, bytes decoded as UTF-8 text; 0 ... n - 1
        when the store has none).
    vs30 : ndarray, shape (n_stations,), or None
        Each station's Vs30 (m/s), when the store has a ``vs30`` coordinate or variable.
    units : str
        The first component's ``units`` attribute ("g" when it has none).
    attrs : dict
        The store's global attributes.
    vs30_sim : ndarray, shape (n_stations,), or None
        The Vs30 (m/s) each station's records were amplified from, when the store has a
        ``vs30_sim`` coordinate (as amplified stores do).
    variable_units : dict of str to str
        Each component's ``units`` attribute ("g" when it has none): components may differ.
    """

    components: dict[str, Any]
    dt: float
    station: NDArray[Any]
    vs30: NDArray[np.float64] | None
    units: str
    attrs: dict[str, Any] = field(default_factory=dict)
    vs30_sim: NDArray[np.float64] | None = None
    variable_units: dict[str, str] = field(default_factory=dict)


def xarray_for(what: str) -> Any:
    return require("xarray", "xarray", what)


def _open(xr: Any, path: Path, kind: str, chunks: Any) -> Any:
    if kind == "zarr":
        with warnings.catch_warnings():  # a store without consolidated metadata is read all the same
            warnings.filterwarnings("ignore", "Failed to open Zarr store with consolidated", RuntimeWarning)
            # vs30 and other coordinates are often one stored chunk: read in pieces all the same
            warnings.filterwarnings("ignore", "The specified chunks separate the stored chunks", UserWarning)
            return xr.open_zarr(path, chunks=chunks, decode_timedelta=False)
    return xr.open_dataset(path, engine="netcdf4", chunks=chunks, decode_timedelta=False)


def _sample_interval(path: Path, dataset: Any, name: str) -> float:
    """The ``dt`` attribute of the variable or store, checked against the time coordinate."""
    given = dataset[name].attrs.get("dt", dataset.attrs.get("dt"))
    step = None
    if "time" in dataset.coords and dataset.sizes["time"] > 1:
        time = dataset["time"]
        if time.dtype.kind in "mM":  # decoded from "seconds since ..." and the like
            values = np.asarray((time.values - time.values[0]) / np.timedelta64(1, "s"), dtype=np.float64)
        elif time.attrs.get("units", "s") in ("s", "second", "seconds") and time.dtype.kind in "iuf":
            values = np.asarray(time.values, dtype=np.float64)
        else:
            raise RecordError(f"{path}: coordinate 'time' is in {time.attrs.get('units')!r}; expected seconds ('s')")
        # Each time is known to the precision of its own type: float32 times step less evenly.
        epsilon = np.finfo(time.dtype if time.dtype.kind == "f" else np.float64).eps
        resolution = float(epsilon * max(abs(values[0]), abs(values[-1])))
        step = time_step(values, resolution)
        steps = np.diff(values)
        if not np.all(np.abs(steps - step) <= TIME_TOLERANCE * abs(step) + 2.0 * resolution):
            raise RecordError(f"{path}: coordinate 'time' is not evenly spaced; records need one sample interval")
    if given is None and step is None:
        raise RecordError(f"{path}: no sample interval for {name!r}: give it a 'dt' attribute (s) or a 'time' "
                          "coordinate in seconds")
    try:
        dt = float(given) if given is not None else float(step)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise RecordError(f"{path}: the 'dt' attribute of {name!r} is {given!r}; expected a number (s)") from None
    if not (np.isfinite(dt) and dt > 0.0):
        raise RecordError(f"{path}: the sample interval of {name!r} is {dt}; expected a finite, positive one (s)")
    if step is not None and abs(step - dt) > TIME_TOLERANCE * dt:
        raise RecordError(f"{path}: {name!r} has dt = {dt} s but coordinate 'time' steps by {step} s")
    return dt


def _check_variable(path: Path, dataset: Any, name: str) -> None:
    if name not in dataset.data_vars:
        raise RecordError(f"{path}: no variable {name!r}; the store's variables are {_variables_said(dataset)}")
    variable = dataset[name]
    if set(variable.dims) != {"station", "time"}:
        raise RecordError(f"{path}: variable {name!r} has dimensions {tuple(variable.dims)}; expected "
                          "('station', 'time')")
    if variable.dtype.kind != "f" or variable.dtype.itemsize not in (4, 8):  # either byte order
        raise RecordError(f"{path}: variable {name!r} holds {variable.dtype} values; expected float32 or float64 "
                          "accelerations")
    if dataset.sizes["time"] < 2:
        raise RecordError(f"{path}: dimension 'time' has {dataset.sizes['time']} samples; records need at least 2")
    if dataset.sizes["station"] < 1:
        raise RecordError(f"{path}: dimension 'station' has 0 stations; the store holds no records")


def _variables_said(dataset: Any) -> str:
    """The store's variables, as an error lists them."""
    return ", ".join(repr(str(v)) for v in dataset.data_vars) or "none"


def _stations_per_chunk(variable: Any, samples: int) -> int:
    """Whole chunks of the store's own along station (one record each when it has none), as
    few as make CHUNK_BYTES of records."""
    encoding = variable.encoding
    stored = encoding.get("chunks") or encoding.get("chunksizes")
    along = int(stored[list(variable.dims).index("station")]) if stored else 1
    return along * max(1, -(-CHUNK_BYTES // (along * samples * int(variable.dtype.itemsize))))


def record_variables(path: Path, dataset: Any) -> list[str]:
    """The store's variables of records: those with dimensions station and time."""
    names = [str(name) for name, variable in dataset.data_vars.items() if set(variable.dims) == {"station", "time"}]
    if not names:
        raise RecordError(f"{path}: no variable with dimensions ('station', 'time'); the store's variables are "
                          f"{_variables_said(dataset)}")
    return names


def _per_station(path: Path, dataset: Any, name: str) -> NDArray[np.float64] | None:
    """The values of coordinate (or variable) `name` along station, or None when the store has none."""
    if name not in dataset.variables:
        return None
    if dataset[name].dims != ("station",):
        raise RecordError(f"{path}: {name!r} has dimensions {tuple(dataset[name].dims)}; expected ('station',)")
    try:
        return np.asarray(dataset[name].values, dtype=np.float64)
    except (TypeError, ValueError):
        raise RecordError(f"{path}: {name!r} holds {dataset[name].dtype} values; expected numbers (m/s)") from None


def read_store(path: str | os.PathLike[str], variables: str | Sequence[str] | None = "acc", *,
               stations_per_chunk: int | None = None, format: str | None = None) -> RecordStore:
    """Opens the records of a netCDF or Zarr store without loading them.

    Parameters
    ----------
    path : str or path-like
        The store: a .nc file or a .zarr directory.
    variables : str or sequence of str, or None
        The acceleration variables to read (e.g. ``("h1", "h2")`` for two components), each
        with dimensions (station, time) and one dtype, float32 or float64; None reads every
        variable with those dimensions.
    stations_per_chunk : int, optional
        Records per Dask chunk (best a multiple of the store's own chunks); by default the
        store's own chunks, as many as make at least 4 MiB of records.
    format : {"netcdf", "zarr"}, optional
        By default from the extension (.nc, .zarr; a directory is Zarr).

    Returns
    -------
    RecordStore

    Raises
    ------
    RecordError
        A store of the wrong shape, naming the variable, dimension or coordinate: no stations,
        fewer than 2 samples, station ids that repeat. Computing a component raises it too when
        a Zarr chunk is not in the store (which Zarr would read as NaN), naming its records.
    ImportError
        Without xarray and Dask (the "xarray" and "distributed" extras), netCDF4 for a netCDF
        store (the "xarray" extra), zarr for a Zarr store (the "zarr" extra).

    Examples
    --------
    A store written by `write_store`, read back lazily:

    >>> import tempfile
    >>> from pathlib import Path
    >>> import numpy as np
    >>> from vs30amp import io
    >>> path = Path(tempfile.mkdtemp()) / "records.nc"
    >>> io.write_store(path, {"h1": np.zeros((3, 100), dtype=np.float32)}, 0.01, vs30=[200.0, 400.0, 800.0])
    >>> store = io.read_store(path, "h1")
    >>> store.components["h1"].shape, store.dt, store.vs30.tolist()
    ((3, 100), 0.01, [200.0, 400.0, 800.0])
    """
    xr, where = xarray_for("vs30amp.io.read_store"), Path(path)
    require("dask.array", "distributed", "vs30amp.io.read_store")  # the records are read as Dask arrays
    kind = store_format(where, format)
    names = [variables] if isinstance(variables, str) else None if variables is None else list(variables)
    if names is not None and not names:
        raise RecordError(f"{where}: no variables to read")
    checked_chunk(stations_per_chunk)
    try:
        layout = _open(xr, where, kind, None)  # the metadata only, to choose the chunks
    except (OSError, ValueError, KeyError) as error:
        raise RecordError(f"{where}: cannot be opened as a {kind} store ({error})") from None
    try:
        names, dt = _checked_variables(where, layout, names)
        chunk = stations_per_chunk or _stations_per_chunk(layout[names[0]], layout.sizes["time"])
        station, vs30, vs30_sim = _station_values(where, layout)
        attrs = dict(layout.attrs)
        units = {name: str(layout[name].attrs.get("units", "g")) for name in names}
        files = {name: chunk_files(where, name, layout[name].dims, layout[name].shape) for name in names
                 if kind == "zarr"}
    finally:
        layout.close()
    dataset = _open(xr, where, kind, {"station": chunk, "time": -1})
    components = {name: _records(dataset[name].transpose("station", "time").data, files.get(name), where, name)
                  for name in names}
    return RecordStore(components, dt, station, vs30, units[names[0]], attrs, vs30_sim, units)


def _checked_variables(path: Path, layout: Any, names: list[str] | None) -> tuple[list[str], float]:
    """The variables of records to read (`names`, or all), each checked, and their one sample interval."""
    names = record_variables(path, layout) if names is None else names
    for name in names:
        _check_variable(path, layout, name)
    dt = _sample_interval(path, layout, names[0])
    for name in names[1:]:
        if _sample_interval(path, layout, name) != dt:
            raise RecordError(f"{path}: {name!r} and {names[0]!r} have different sample intervals")
    return names, dt


def _station_values(path: Path, layout: Any) -> tuple[NDArray[Any], NDArray[np.float64] | None,
                                                       NDArray[np.float64] | None]:
    """The station ids (0 ... n - 1 when the store has none), and vs30 and vs30_sim when it has them."""
    station = (read_ids(path, np.asarray(layout["station"].values)) if "station" in layout.coords
               else np.arange(layout.sizes["station"]))
    return station, _per_station(path, layout, "vs30"), _per_station(path, layout, "vs30_sim")


def _records(data: Any, files: ChunkFiles | None, path: Path, name: str) -> Any:
    """A variable's records in native byte order, each chunk checked to be in the store."""
    if not data.dtype.isnative:
        data = data.astype(data.dtype.newbyteorder("="))
    if files is None:
        return data
    return data.map_blocks(present, files, str(path), name, dtype=data.dtype, meta=np.empty((0, 0), data.dtype))


def checked_chunk(stations_per_chunk: int | None) -> int | None:
    if stations_per_chunk is not None and stations_per_chunk < 1:
        raise ValueError(f"stations_per_chunk: expected a positive number of records, got {stations_per_chunk!r}")
    return stations_per_chunk
