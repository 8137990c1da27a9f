"""A study at scale: stations of two components amplified and measured from a store on a cluster.

    python benchmarks/scale.py [--stations 2000 20000] [--chunk 250] [--format zarr|nc] [--output DIR]

For each number of stations: a store of two horizontal components (8,192 float32 samples at
0.005 s each, enveloped noise) with a Vs30 per station is written to a temporary directory;
then, on a local cluster of two single-threaded worker processes on 127.0.0.1, the study of
examples/station_study.py runs on it, timed from the store's opening to the last file written:

1. `vs30amp.io.read_store` opens it (lazily, chunked by station);
2. `vs30amp.distributed.amplify_waveforms` amplifies both components from the simulation's
   760 m/s to each station's Vs30 (BA18), and `vs30amp.io.write_store` writes the amplified store;
3. from the amplified store, `vs30amp.distributed.rotd` (RotD50 at CB14's 22 periods) and
   `vs30amp.distributed.eas` (BA18's 301 frequencies) are written as a measures table (Zarr).

It reports stations per second and each worker's peak resident memory during the study (the
kernel's high-water mark, reset before it): with the records streamed chunk by chunk, memory
must not grow with the number of stations. The section "A study at scale" of results.md beside
this file (or in DIR) is replaced (or added) with the results.
"""

import argparse
import datetime
import os
import sys
import tempfile
import time
from pathlib import Path

from dask.distributed import Client, LocalCluster

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "examples")]

import station_study  # noqa: E402  (the study itself: examples/station_study.py)
from run import machine, markdown, table, write_section  # noqa: E402

DT = 0.005
SAMPLES = 8192
VS30_SIM = 760.0
# The worker peak at the largest number of stations may exceed that at the smallest by this much.
MEMORY_GROWTH = 1.25


def reset_peak():
    """Sets this process's high-water mark of resident memory to its current size (Linux)."""
    Path("/proc/self/clear_refs").write_text("5")


def peak_mib():
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def run_one(client, stations, chunk, suffix, seed):
    with tempfile.TemporaryDirectory(prefix="vs30amp-scale-") as tmp:
        work = Path(tmp)
        source = work / f"sims{suffix}"
        station_study.demo_store(source, stations, seed, chunk)
        client.run(reset_peak)
        start = time.perf_counter()
        done = station_study.study(source, work / f"amplified{suffix}", work / "measures.zarr", vs30_sim=VS30_SIM)
        elapsed = time.perf_counter() - start
        peaks = client.run(peak_mib)
    return done / elapsed, elapsed, sorted(peaks.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stations", type=int, nargs="+", default=[2000, 20000])
    parser.add_argument("--chunk", type=int, default=250, help="stations per chunk")
    parser.add_argument("--format", choices=("zarr", "nc"), default="zarr", help="the stores' format")
    parser.add_argument("--output", type=Path, default=HERE)
    parser.add_argument("--quick", action="store_true", help="200 and 2,000 stations")
    parser.add_argument("--repeats", type=int, help="taken as ./run bench passes it; each size runs once")
    args = parser.parse_args()
    sizes = [200, 2000] if args.quick else sorted(args.stations)
    started = time.perf_counter()
    rows = []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        for stations in sizes:
            rate, seconds, peaks = run_one(client, stations, args.chunk, "." + args.format, seed=stations)
            rows.append([f"{stations:,}", f"{seconds:.1f}", f"{rate:.0f}", *(f"{p:.0f}" for p in peaks)])
            print("  ".join(rows[-1]), flush=True)
    first, last = (max(float(p) for p in row[3:]) for row in (rows[0], rows[-1]))
    met = last <= MEMORY_GROWTH * first
    header = ["stations", "seconds", "stations/s", "worker 1 peak MiB", "worker 2 peak MiB"]
    target = [f"worker peak at {sizes[-1]:,} stations at most {MEMORY_GROWTH}x that at {sizes[0]:,}",
              f"{last / first:.2f}x", "yes" if met else "no"]
    print("\n" + table(header, rows) + "\n\n" + table(["target", "measured", "met"], [target]))
    elapsed = time.perf_counter() - started
    command = " ".join(["python benchmarks/scale.py", *sys.argv[1:]])
    write_section(args.output / "results.md", "A study at scale", f"""\
Produced by `{command}` (part of `./run bench`) on {datetime.date.today().isoformat()} in \
{elapsed:.0f} s; {machine()}, {os.cpu_count()} threads.

Stations of two components, {SAMPLES:,} float32 samples at dt = {DT} s each, in a {args.format} store
(chunks of {args.chunk} stations), on a local cluster of two single-threaded worker processes on
127.0.0.1. Timed from opening the store to the last file written: both components amplified
(BA18, 760 m/s to each station's Vs30) into an amplified store, then RotD50 at CB14's 22 periods and
EAS at BA18's 301 frequencies of the amplified records written as a measures table. Peak: each
worker's resident high-water mark over the study (`benchmarks/scale.py`).

{markdown(header, rows)}

{markdown(["target", "measured", "met"], [target])}
""")
    print(f"updated {args.output / 'results.md'} ({elapsed:.0f} s)")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
