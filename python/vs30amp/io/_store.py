"""Records of many stations in one netCDF or Zarr store, read and written lazily with Dask.

A store holds one variable per component with dimensions (station, time); the sample interval
is the variable's (or the store's) ``dt`` attribute, else the step of the ``time`` coordinate
(seconds); station ids, each station's ``vs30`` and, in amplified stores, the ``vs30_sim``
the records were amplified from are coordinates along ``station``. Records
are read and written in chunks of whole records, so no more than a few chunks are in memory.
"""

from __future__ import annotations

import functools
import os
import shutil
import sys
import tempfile
import warnings
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._models import get_model
from .._optional import require
from .._provenance import attributes, command_line
from .._record_checks import as_dt
from ._netcdf import write_netcdf
from ._record import RecordError
from ._store_paths import refuse_unless_a_store, replace_store, room_for, store_format
from ._store_checks import ChunkFiles, chunk_files, present, read_ids, time_step, written_ids

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


def _xarray(what: str) -> Any:
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
    xr, where = _xarray("vs30amp.io.read_store"), Path(path)
    require("dask.array", "distributed", "vs30amp.io.read_store")  # the records are read as Dask arrays
    kind = store_format(where, format)
    names = [variables] if isinstance(variables, str) else None if variables is None else list(variables)
    if names is not None and not names:
        raise RecordError(f"{where}: no variables to read")
    _checked_chunk(stations_per_chunk)
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


def _as_lazy(da: Any, name: str, values: Any, chunk: int | None) -> Any:
    records = values if isinstance(values, da.Array) else da.asarray(np.asarray(values))
    if records.ndim != 2 or records.dtype.kind != "f" or records.dtype.itemsize not in (4, 8):
        raise TypeError(f"{name}: expected float32 or float64 records of shape (n_stations, n_samples), got "
                        f"{records.dtype} of shape {records.shape}")
    if records.shape[0] < 1 or records.shape[1] < 2:  # what read_store refuses
        raise ValueError(f"{name}: shape {records.shape}; a store holds at least one record of at least 2 samples")
    if not records.dtype.isnative:  # written as the machine's floats, of the same values
        records = records.astype(records.dtype.newbyteorder("="))
    rows = chunk or records.chunks[0][0]
    return records.rechunk((rows, -1))  # Zarr's chunks are even; one chunk holds whole records


def _units_of(units: str | Mapping[str, str], records: Mapping[str, Any]) -> dict[str, str]:
    """Each component's units: `units` for all, or its entry; ValueError for a component without
    units or units of no component."""
    if isinstance(units, str):
        return {name: units for name in records}
    given = dict(units)
    for name in list(records) + list(given):
        if (name in records) != (name in given):
            raise ValueError(f"units: {'no units for' if name in records else 'no component'} {name!r}; give the "
                             f"units of each of {', '.join(map(repr, records))}")
    return {name: str(given[name]) for name in records}


def _write_zarr(dataset: Any, staged: Path) -> None:
    """`dataset` written to the Zarr store `staged`. On this process's threads the chunks run on
    a pool of the write's own, waited for before this returns, failure or not: a chunk still
    running after another failed would otherwise write into the staging directory after its
    removal and leave it behind. A cluster's workers write as the cluster schedules them."""
    if _cluster_computes():
        dataset.to_zarr(staged, mode="w-", consolidated=False)
        return
    dask = require("dask", "distributed", "writing a store")
    with ThreadPoolExecutor(os.cpu_count() or 1) as pool, dask.config.set(pool=pool):
        dataset.to_zarr(staged, mode="w-", consolidated=False)


def _cluster_computes() -> bool:
    """Whether a ``dask.distributed`` Client computes Dask collections here."""
    distributed = sys.modules.get("distributed")
    if distributed is None:  # never imported: there is no Client
        return False
    try:
        distributed.default_client()
    except ValueError:
        return False
    return True


def write_store(path: str | os.PathLike[str], components: Mapping[str, Any], dt: float, *,
                station: ArrayLike | None = None, vs30: ArrayLike | None = None,
                vs30_sim: ArrayLike | None = None, units: str | Mapping[str, str] = "g",
                model: str | None = None, convention: str = "module", stations_per_chunk: int | None = None,
                format: str | None = None, overwrite: bool = False, history: str | None = None,
                made_by: str | None = None) -> None:
    """Writes records of many stations to a netCDF or Zarr store, chunk by chunk.

    The store reads back with `read_store`: one variable per component with dimensions
    (station, time) and a ``dt`` attribute, coordinates ``time`` (s), ``station``, ``vs30``
    and ``vs30_sim``,
    and CF-style attributes saying what made it (Conventions, title, source, history and, for
    amplified records, references, model and convention). It is written beside `path` and moved
    there only when complete.

    Parameters
    ----------
    path : str or path-like
        The store: a .nc file or a .zarr directory.
    components : mapping of str to dask array or array_like
        Records of each component, shape (n_stations, n_samples), float32 or float64, all of one
        shape. Dask arrays are computed chunk by chunk by the current scheduler (a
        ``dask.distributed`` Client's cluster when one is active).
    dt : float
        Sample interval (s).
    station, vs30, vs30_sim : array_like, shape (n_stations,) (vs30_sim: or a scalar), optional
        Station ids (default 0 ... n - 1; unique, all strings or all integers), each station's
        Vs30 (m/s) and, for amplified records, the Vs30 they were amplified from (m/s).
    units : str or mapping of str to str
        The records' units ("g" by default), or each component's.
    model, convention : str, optional
        The model and convention the records were amplified with, named in the attributes.
    stations_per_chunk : int, optional
        Records per chunk of the store (default: the first Dask chunk's).
    format : {"netcdf", "zarr"}, optional
        By default from the extension (.nc, .zarr).
    overwrite : bool
        Replace an existing store of the same kind: a Zarr directory (it has ``zarr.json``,
        ``.zgroup``, ``.zattrs`` or ``.zarray`` at its top) or a netCDF file. Anything else
        named `path` (a plain directory, a directory named ``*.nc``, a file that is not netCDF,
        a symbolic link) is refused all the same. Default: refuse any existing `path`.
    history : str, optional
        The ``history`` of the records' input (a store's attribute): the store's history keeps
        its lines and appends its own.
    made_by : str, optional
        What wrote the store, for its line of history (the time and this): default
        ``vs30amp.io.write_store in`` the program's command line (``python -m vs30amp ...`` for
        the package's own, never the paths of the installation).

    Raises
    ------
    FileExistsError
        `path` exists and `overwrite` is false, or it is not a store of the same kind.
    ValueError, TypeError
        Records, ids or units that `read_store` would not read back: no station, fewer than 2
        samples, a repeated or missing station id, units not given for a component.
    OSError
        A store that cannot be written (nothing is left of it); for netCDF also, before anything
        is written, when its filesystem has less free space than the records take (ENOSPC). A
        netCDF store is written by a process of its own, from chunks computed here: the netCDF
        library's failures (a full disk) are an OSError with the system's error, and its own
        diagnostics are not printed.

    Examples
    --------
    Records of four stations, two stations to a chunk of the store, with each station's Vs30:

    >>> import tempfile
    >>> from pathlib import Path
    >>> import numpy as np
    >>> from vs30amp import io
    >>> path = Path(tempfile.mkdtemp()) / "records.zarr"
    >>> acc = np.random.default_rng(0).standard_normal((4, 500))
    >>> io.write_store(path, {"acc": acc}, 0.005, station=["A", "B", "C", "D"], vs30=[250.0, 300.0, 450.0, 760.0],
    ...                stations_per_chunk=2)
    >>> store = io.read_store(path)
    >>> store.station.tolist(), store.vs30.tolist()
    (['A', 'B', 'C', 'D'], [250.0, 300.0, 450.0, 760.0])
    >>> bool((store.components["acc"].compute() == acc).all())
    True
    """
    xr, target = _xarray("vs30amp.io.write_store"), Path(path)
    da = require("dask.array", "distributed", "vs30amp.io.write_store")
    kind = store_format(target, format)
    if not components:
        raise ValueError("components: expected at least one variable of records")
    _refuse_target(target, kind, overwrite)
    records = _lazy_components(da, components, _checked_chunk(stations_per_chunk))
    first = next(iter(records.values()))
    if kind == "netcdf":
        room_for(target.parent, sum(int(values.nbytes) for values in records.values()))
    step = as_dt(dt)
    n, samples = first.shape
    coords = _coordinates(step, n, samples, station, vs30, vs30_sim)
    what = "amplified acceleration" if model is not None else "acceleration"
    units_of = _units_of(units, records)
    attrs = {name: {"units": units_of[name], "dt": step, "long_name": what} for name in records}
    about = _provenance(model, convention, made_by, history)
    _write_staged(target, kind, overwrite, functools.partial(_write, xr, kind, records, attrs, coords, about))

def _checked_chunk(stations_per_chunk: int | None) -> int | None:
    if stations_per_chunk is not None and stations_per_chunk < 1:
        raise ValueError(f"stations_per_chunk: expected a positive number of records, got {stations_per_chunk!r}")
    return stations_per_chunk


def _refuse_target(target: Path, kind: str, overwrite: bool) -> None:
    """Before any computation: a target without its directory, an existing one without
    `overwrite`, and anything there that is not a `kind` store."""
    if not target.parent.is_dir():
        raise FileNotFoundError(f"{target}: directory {target.parent} does not exist")
    if not overwrite and (target.exists() or target.is_symlink()):
        raise FileExistsError(f"{target}: exists; remove it or pass overwrite=True")
    refuse_unless_a_store(target, kind)


def _lazy_components(da: Any, components: Mapping[str, Any], chunk: int | None) -> dict[str, Any]:
    """Each component as a Dask array of whole records, all of one shape and the first's chunks."""
    records = {name: _as_lazy(da, name, values, chunk) for name, values in components.items()}
    first_name, first = next(iter(records.items()))
    for name, other in records.items():
        if other.shape != first.shape:
            raise ValueError(f"{name}: shape {other.shape} differs from {first_name}'s {first.shape}")
        records[name] = other.rechunk(first.chunks)
    return records


def _coordinates(step: float, n: int, samples: int, station: ArrayLike | None, vs30: ArrayLike | None,
                 vs30_sim: ArrayLike | None) -> dict[str, Any]:
    """The coordinates time, station, and vs30 and vs30_sim when given; ValueError for those not
    one value per station."""
    coords: dict[str, Any] = {"time": ("time", np.arange(samples) * step, {"units": "s", "long_name": "time"})}
    coords["station"] = ("station", written_ids(station, n))
    if vs30 is not None:
        coords["vs30"] = ("station", np.asarray(vs30, dtype=np.float64), {"units": "m/s", "long_name": "Vs30"})
    if vs30_sim is not None:
        values = np.asarray(vs30_sim, dtype=np.float64)
        coords["vs30_sim"] = ("station", np.full(n, values) if values.ndim == 0 else values,
                              {"units": "m/s", "long_name": "Vs30 of the simulation, amplified from"})
    for name, values in coords.items():
        if name != "time" and np.shape(values[1]) != (n,):
            raise ValueError(f"{name}: expected one value for each of the {n} stations, got shape "
                             f"{np.shape(values[1])}")
    return coords


def _provenance(model: str | None, convention: str, made_by: str | None, history: str | None) -> dict[str, str]:
    """The store's attributes: what made it and, for amplified records, the model and its
    convention (an unknown convention is refused before anything is written)."""
    title = "acceleration records"
    if model is not None:
        chosen = get_model(model)
        chosen.kernel_for(convention)
        title = f"acceleration records amplified with {chosen.label}"
    made_by = made_by or f"vs30amp.io.write_store in {command_line(sys.argv)}"
    return attributes(title, made_by, model, convention if model is not None else None, history)


def _write(xr: Any, kind: str, records: dict[str, Any], attrs: dict[str, dict[str, Any]], coords: dict[str, Any],
           about: dict[str, str], staged: Path) -> None:
    """The store written at `staged`: Zarr on this process's threads or the cluster's, netCDF by a
    process of its own."""
    if kind == "zarr":
        variables = {name: (("station", "time"), values, attrs[name]) for name, values in records.items()}
        _write_zarr(xr.Dataset(variables, coords=coords, attrs=about), staged)
    else:
        first = next(iter(records.values()))
        write_netcdf(staged, xr.Dataset(coords=coords, attrs=about), records, attrs, first.chunks[0][0])


def _write_staged(target: Path, kind: str, overwrite: bool, write: Callable[[Path], None]) -> None:
    """`write` of the store into a hidden directory beside `target`, then the store moved into
    place; the directory removed whatever happens."""
    staging = Path(tempfile.mkdtemp(dir=target.parent, prefix=f".{target.name}.partial-"))
    staged = staging / target.name
    try:
        write(staged)
        replace_store(staged, target, overwrite, kind)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
