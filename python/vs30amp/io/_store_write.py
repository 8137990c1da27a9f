"""Records of many stations written to a netCDF or Zarr store chunk by chunk (`write_store`),
beside its path, and moved there only when complete; `read_store` reads it back."""

from __future__ import annotations

import functools
import os
import shutil
import sys
import tempfile
from collections.abc import Callable, Mapping
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from .._models import get_model
from .._optional import require
from .._provenance import attributes, command_line
from .._record_checks import as_dt
from ._netcdf import write_netcdf
from ._store import checked_chunk, xarray_for
from ._store_checks import written_ids
from ._store_paths import refuse_unless_a_store, replace_store, room_for, store_format


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
                made_by: str | None = None, epsilon: float = 0.0) -> None:
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
    epsilon : float, optional
        The sigma by which the factors were moved from the median (an attribute epsilon when not 0).
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
    xr, target = xarray_for("vs30amp.io.write_store"), Path(path)
    da = require("dask.array", "distributed", "vs30amp.io.write_store")
    kind = store_format(target, format)
    if not components:
        raise ValueError("components: expected at least one variable of records")
    _refuse_target(target, kind, overwrite)
    records = _lazy_components(da, components, checked_chunk(stations_per_chunk))
    first = next(iter(records.values()))
    if kind == "netcdf":
        room_for(target.parent, sum(int(values.nbytes) for values in records.values()))
    step = as_dt(dt)
    n, samples = first.shape
    coords = _coordinates(step, n, samples, station, vs30, vs30_sim)
    what = "amplified acceleration" if model is not None else "acceleration"
    units_of = _units_of(units, records)
    attrs = {name: {"units": units_of[name], "dt": step, "long_name": what} for name in records}
    about = _provenance(model, convention, made_by, history, epsilon)
    _write_staged(target, kind, overwrite, functools.partial(_write, xr, kind, records, attrs, coords, about))

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


def _provenance(model: str | None, convention: str, made_by: str | None, history: str | None,
                epsilon: float = 0.0) -> dict[str, str]:
    """The store's attributes: what made it and, for amplified records, the model and its
    convention (an unknown convention is refused before anything is written)."""
    title = "acceleration records"
    if model is not None:
        chosen = get_model(model)
        chosen.kernel_for(convention)
        title = f"acceleration records amplified with {chosen.label}"
    made_by = made_by or f"vs30amp.io.write_store in {command_line(sys.argv)}"
    return attributes(title, made_by, model, convention if model is not None else None, history, epsilon)


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
