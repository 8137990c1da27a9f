"""The process that writes a netCDF store for `write_store` (run as a script, not imported).

The netCDF library can abort its process when the disk fills (an assertion as the file is
closed) and prints its error stack on stderr: here that ends only this process, whose stderr the
caller reads, never the command. It reads pickled messages on stdin: first the path, the bytes
of the store without its records (coordinates and attributes, a netCDF-4 file made in memory)
and each record variable's dtype, attributes and chunks; then (name, first station, records)
for each chunk; then None, to close the file. It imports only netCDF4 and NumPy, to start soon.
"""

import os
import pickle
import signal
import sys
from typing import Any

# The store being written, for what a failure is probed with.
WRITING: list[str] = []
# How far past its end the file is extended to find the system's error (then cut back).
PROBE_BYTES = 2**20


def main() -> int:
    for name in ("SIGINT", "SIGTERM", "SIGHUP"):  # the caller stops this process itself
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.SIG_IGN)
    messages = sys.stdin.buffer
    path, skeleton, variables = pickle.load(messages)
    WRITING.append(path)
    import netCDF4
    import numpy as np

    with netCDF4.Dataset(path, "w", format="NETCDF4") as store:
        with netCDF4.Dataset("skeleton.nc", memory=skeleton) as given:
            copy(given, store)
        for name, (dtype, attrs, chunks) in variables.items():
            variable = store.createVariable(name, dtype, ("station", "time"), chunksizes=chunks, fill_value=np.nan)
            variable.setncatts(attrs)
        while (message := pickle.load(messages)) is not None:
            name, first, records = message
            store[name][first:first + len(records)] = records
    return 0


def copy(given: Any, store: Any) -> None:
    """Copies the dimensions, variables and attributes of the netCDF4 Dataset `given` to `store`."""
    for dataset in (given, store):
        dataset.set_auto_maskandscale(False)
    store.setncatts(given.__dict__)
    for dimension in given.dimensions.values():
        store.createDimension(dimension.name, None if dimension.isunlimited() else len(dimension))
    for variable in given.variables.values():
        attrs = dict(variable.__dict__)
        copied = store.createVariable(variable.name, variable.datatype, variable.dimensions,
                                      fill_value=attrs.pop("_FillValue", None))
        copied.setncatts(attrs)
        copied[...] = variable[...]


def system_error(path: str) -> int | None:
    """The system's error for a write past the end of `path` (the netCDF library names none):
    ENOSPC on a full disk, EFBIG past a file-size limit; None when such writes succeed."""
    descriptor = os.open(path, os.O_WRONLY)
    try:
        end = os.fstat(descriptor).st_size
        written = 0
        try:
            while written < PROBE_BYTES:
                written += os.pwrite(descriptor, bytes(min(65536, PROBE_BYTES - written)), end + written)
        except OSError as error:
            return error.errno
        finally:
            os.ftruncate(descriptor, end)
    finally:
        os.close(descriptor)
    return None


if __name__ == "__main__":
    try:
        status = main()
    except BaseException as error:  # noqa: BLE001 - the caller reads these lines
        print(f"\nvs30amp-netcdf: {type(error).__name__}: {error}", file=sys.stderr, flush=True)
        try:
            code = system_error(WRITING[0]) if WRITING else None
        except OSError as probe:
            code = probe.errno
        if code is not None:
            print(f"vs30amp-netcdf: errno {code}", file=sys.stderr, flush=True)
        status = 1
    sys.exit(status)
