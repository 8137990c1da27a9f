"""A whole simulation, station by station: store in, amplified store and measures table out.

The records of every station (two horizontal components, variables h1 and h2 with dimensions
station and time) are read from a netCDF or Zarr store chunk by chunk, amplified from the
simulation's Vs30 to each station's own, and written to an amplified store; RotD50 (CB14's
periods) and EAS (BA18's frequencies) of the amplified records go to a measures table (.nc or
.zarr) carrying the amplified store's provenance. Each station's Vs30 comes from a CSV table
(columns station, vs30) or, without one, from the store's vs30 coordinate. Nothing holds more
than a few chunks of records: the work runs on the workers of a Dask cluster (a local one on
127.0.0.1 unless --scheduler names a running one).

    python examples/station_study.py sims.zarr --sites stations.csv -o amplified.zarr --measures measures.nc
    python examples/station_study.py --demo 500 -o amplified.zarr --measures measures.nc

The same study from the command line, on Dask's threads rather than a cluster:

    vs30amp amplify sims.zarr --sites stations.csv --vs30-sim 760 --fmax 25 -o amplified.zarr
    vs30amp measures amplified.zarr --rotd50 -o measures.nc
"""

import argparse
import csv
from pathlib import Path

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

import vs30amp
import vs30amp.distributed as vd
import vs30amp.io as vio


def site_vs30(path, stations):
    """Each station's Vs30 from a CSV table with columns station and vs30 (names in any case, as
    the command reads them), in the store's order."""
    with open(path, newline="", encoding="utf-8-sig") as file:
        rows = [{name.strip().lower(): value for name, value in row.items()} for row in csv.DictReader(file)]
    if rows and not {"station", "vs30"} <= rows[0].keys():
        raise SystemExit(f"{path}: expected columns station and vs30, got {', '.join(rows[0])}")
    table = {row["station"].strip(): float(row["vs30"]) for row in rows}
    missing = [str(s) for s in stations if str(s) not in table]
    if missing:
        raise SystemExit(f"{path}: no row for {len(missing)} stations of the store, e.g. {missing[0]!r}")
    return np.array([table[str(s)] for s in stations])


def study(source, output, measures, vs30=None, vs30_sim=760.0, model="ba18", fmax=None):
    """Amplifies the store `source` into `output` and writes the measures table `measures`; the
    factors are tapered to 1 above `fmax` (Hz; default: the store's attribute fmax)."""
    store = vio.read_store(source, ("h1", "h2"))
    fmax = store.attrs.get("fmax") if fmax is None else fmax
    vs30 = store.vs30 if vs30 is None else vs30
    if vs30 is None:
        raise SystemExit(f"{source}: no vs30 coordinate; give a site table with --sites")
    # each component in its own units
    amplified = {name: vd.amplify_waveforms(records, store.dt, vs30, vs30_sim, model=model, fmax=fmax,
                                            units=store.variable_units[name])
                 for name, records in store.components.items()}
    vio.write_store(output, amplified, store.dt, station=store.station, vs30=vs30, vs30_sim=vs30_sim,
                    units=store.variable_units, model=model, history=store.attrs.get("history"))

    result = vio.read_store(output, ("h1", "h2"))  # the measures of what was written
    h1, h2 = result.components["h1"], result.components["h2"]
    periods = 1.0 / vs30amp.MODELS["cb14"].frequencies
    table = vd.measures_dataset(vd.store_measures(h1, h2, result.dt, periods, rotd50=True), result.station, periods,
                                result.units, result.attrs, vs30, vs30_sim=result.vs30_sim)
    if Path(measures).suffix == ".zarr":
        table.to_zarr(measures, mode="w-", consolidated=False)
    else:
        table.to_netcdf(measures)
    return len(result.station)


def demo_store(path, stations, seed=1, chunk=250):
    """Enveloped noise for two components and a Vs30 per station: a stand-in for a simulation."""
    t = np.arange(8192) * 0.005
    envelope = ((t / 8.0) ** 2 * np.exp(2.0 * (1.0 - t / 8.0)) * 0.05).astype(np.float32)
    rng = da.random.default_rng(seed)
    components = {name: rng.standard_normal((stations, t.size), chunks=(chunk, t.size), dtype=np.float32) * envelope
                  for name in ("h1", "h2")}
    vs30 = np.random.default_rng(seed).uniform(200.0, 1200.0, stations)
    vio.write_store(path, components, 0.005, station=np.array([f"S{i:05d}" for i in range(stations)], dtype=object),
                    vs30=vs30, stations_per_chunk=chunk)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("store", nargs="?", help="the simulation's records (.nc or .zarr)")
    parser.add_argument("--demo", type=int, metavar="N", help="first write a store of N stations of noise (sims.zarr)")
    parser.add_argument("--sites", help="CSV table of station, vs30 (default: the store's vs30 coordinate)")
    parser.add_argument("--vs30-sim", type=float, default=760.0, help="the simulation's Vs30 (m/s)")
    parser.add_argument("--model", default="ba18")
    parser.add_argument("--fmax", type=float, help="the simulation's maximum frequency (Hz; default: the store's "
                        "attribute fmax, or 25 with --demo)")
    parser.add_argument("-o", "--output", required=True, help="the amplified store (.nc or .zarr)")
    parser.add_argument("--measures", required=True, help="the measures table (.nc or .zarr)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--scheduler", help="address of a running scheduler (default: a local cluster)")
    args = parser.parse_args()
    if (args.store is None) == (args.demo is None):
        parser.error("give a store or --demo N")

    if args.scheduler:
        cluster, client = None, Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
    try:
        source = args.store
        if args.demo is not None:
            source = str(Path(args.output).with_name("sims.zarr"))
            demo_store(source, args.demo)
        stations = vio.read_store(source, ("h1", "h2")).station
        vs30 = site_vs30(args.sites, stations) if args.sites else None
        fmax = 25.0 if args.fmax is None and args.demo is not None else args.fmax
        n = study(source, args.output, args.measures, vs30, args.vs30_sim, args.model, fmax)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(f"{n} stations of {source}: amplified -> {args.output}, RotD50 and EAS -> {args.measures}")


if __name__ == "__main__":
    main()
