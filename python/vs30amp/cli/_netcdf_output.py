"""netCDF-4 outputs of the commands, made in memory and written with Python's I/O: the HDF5
library never meets a failing disk, which it answers with an abort at exit."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from ..io._netcdf import netcdf4_in_memory


def write_netcdf_file(path: Path, dataset: Any) -> None:
    """`dataset` (xarray) written to `path` as netCDF-4."""
    try:
        data = dataset.to_netcdf(engine="netcdf4")
    except ValueError:
        # xarray before 2025.07 (Debian 13's, for one) writes netCDF-4 only to a file; a netCDF4
        # dataset kept in memory stands in for it.
        data = netcdf4_in_memory(dataset)
    path.write_bytes(data)
