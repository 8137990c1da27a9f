"""A netCDF store written by a process of its own, from chunks computed here.

The records are computed chunk by chunk on the current Dask scheduler (a ``dask.distributed``
Client's cluster when one is the default, else threads of this process), a few chunks ahead of
the writer, and sent in order to ``_netcdf_child.py``. A netCDF library that fails (a full disk)
or aborts then ends only that process: its error stack stays out of the caller's stderr and the
failure is an OSError here.
"""

from __future__ import annotations

import errno
import os
import pickle
import re
import subprocess
import sys
import threading
from collections import deque
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np

from .._optional import require

CHILD = Path(__file__).with_name("_netcdf_child.py")
# Chunks computed ahead of the writer: at most this many bytes of records, at least one chunk.
AHEAD_BYTES = 256 * 2**20
# The system's error the writing process found when it failed (a full disk: 28).
SYSTEM_ERROR = re.compile(r"^vs30amp-netcdf: errno (\d+)$", re.MULTILINE)


def _default_client() -> Any:
    """The ``dask.distributed`` Client that computes Dask collections, or None."""
    try:
        distributed: Any = __import__("distributed")
        return distributed.default_client()
    except (ImportError, ValueError):
        return None


def computed_chunks(records: dict[str, Any]) -> Iterator[tuple[str, int, np.ndarray]]:
    """(name, first station, records) of each chunk of stations of each variable in turn,
    computed in parallel a few chunks ahead and given in order."""
    dask = __import__("dask")
    first = next(iter(records.values()))
    starts = np.concatenate([[0], np.cumsum(first.chunks[0])])
    order = [(name, i) for i in range(first.numblocks[0]) for name in records]
    client = _default_client()
    workers = sum(w["nthreads"] for w in client.scheduler_info()["workers"].values()) if client else os.cpu_count()
    largest = max(first.chunks[0]) * first.shape[1] * max(a.dtype.itemsize for a in records.values())
    ahead = max(1, min(2 * (workers or 1), AHEAD_BYTES // max(1, largest)))
    pool = None if client else ThreadPoolExecutor(workers or 1)

    def submit(name: str, i: int) -> Any:
        block = records[name].blocks[i]
        if client is not None:
            return client.compute(block)
        return pool.submit(lambda: dask.compute(block, scheduler="sync")[0])  # type: ignore[union-attr]

    pending: deque[Any] = deque()
    try:
        for step in range(len(order)):
            while len(pending) < ahead and step + len(pending) < len(order):
                pending.append(submit(*order[step + len(pending)]))
            name, i = order[step]
            yield name, int(starts[i]), np.asarray(pending.popleft().result())
    finally:
        for future in pending:
            future.cancel()
        if pool is not None:
            pool.shutdown(wait=False, cancel_futures=True)


class _Child:
    """The writing process and what it said on stderr (read as it comes, so it never blocks)."""

    def __init__(self) -> None:
        self.process = subprocess.Popen([sys.executable, str(CHILD)], stdin=subprocess.PIPE,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.said = b""
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        assert self.process.stderr is not None
        while piece := self.process.stderr.read(65536):
            self.said = (self.said + piece)[-65536:]

    def send(self, message: Any) -> None:
        assert self.process.stdin is not None
        pickle.dump(message, self.process.stdin, protocol=pickle.HIGHEST_PROTOCOL)

    def finish(self) -> None:
        """Waits for the file to be closed; OSError when the process failed."""
        assert self.process.stdin is not None
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        status = self.process.wait()
        self.reader.join()
        if status != 0:
            raise self.failure(status)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.reader.join()
        for pipe in (self.process.stdin, self.process.stderr):
            try:
                pipe.close()  # type: ignore[union-attr]
            except OSError:
                pass

    def failure(self, status: int) -> OSError:
        """The process's failure as an OSError: the system's error when it found one."""
        text = self.said.decode("utf-8", "replace")
        named = SYSTEM_ERROR.findall(text)
        if named:
            code = int(named[0])
            return OSError(code, os.strerror(code))
        if status < 0:
            return OSError(errno.EIO, f"the netCDF library stopped its writer (signal {-status})")
        last = [line for line in text.splitlines() if line.startswith("vs30amp-netcdf: ")]
        reason = last[-1].removeprefix("vs30amp-netcdf: ") if last else f"status {status}"
        return OSError(errno.EIO, f"the netCDF library could not write it ({reason})")


def netcdf4_in_memory(dataset: Any) -> bytes:
    """`dataset` (xarray) as the bytes of a netCDF-4 file, through a netCDF4 dataset held in memory."""
    netcdf4 = require("netCDF4", "xarray", "writing .nc files")
    xr = require("xarray", "xarray", "writing .nc files")
    target = netcdf4.Dataset("vs30amp.nc", mode="w", format="NETCDF4", memory=0)
    try:
        dataset.dump_to_store(xr.backends.NetCDF4DataStore(target))
    finally:
        data = bytes(target.close())
    return data


def write_netcdf(path: Path, skeleton: Any, records: dict[str, Any], attrs: dict[str, dict[str, Any]],
                 rows: int) -> None:
    """Writes `skeleton` (an xarray Dataset of the coordinates and attributes) with `records`
    (Dask arrays, chunked by station, each with its `attrs`) to the netCDF file `path`, `rows`
    stations to a chunk."""
    samples = next(iter(records.values())).shape[1]
    variables = {name: (np.dtype(values.dtype).newbyteorder("="), attrs[name], (rows, samples))
                 for name, values in records.items()}
    child = _Child()  # started first: it starts while the skeleton is made
    try:
        try:
            child.send((str(path), netcdf4_in_memory(skeleton), variables))
            for message in computed_chunks(records):
                child.send(message)
            child.send(None)
        except BrokenPipeError:  # the writer failed: its own account follows
            pass
        child.finish()
    finally:
        child.stop()
