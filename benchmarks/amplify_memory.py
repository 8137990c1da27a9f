"""Peak memory of ``vs30amp amplify``: on 10 and 10,000 record files, and on stores of 2,000 and
20,000 stations.

    python benchmarks/amplify_memory.py [--files N ...] [--stations N ...] [--quick] [--output DIR]

Files: N AT2 files of 2,000 samples in a temporary directory, amplified into another. Stores: a
netCDF store of N stations of two components (8,192 float32 samples each, enveloped noise)
amplified into a Zarr store, each station to its own Vs30 from a site table. Each run is the
command in a child process; its peak resident memory is the child's own high-water mark (VmHWM,
read by the child as the command ends: ru_maxrss would count this process's size, which the child
had before it replaced itself with Python). Memory that does not grow with N is the point: the
command keeps a few numbers per file or station, never all the records. The section "Peak memory of vs30amp amplify" of
results.md beside this file (or in DIR) is replaced (or added) with the results.
"""

import argparse
import datetime
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "examples")]

from vs30amp import io  # noqa: E402

import station_study  # noqa: E402  (its demo store: the records of the scale benchmark)
from run import machine, markdown, table, write_section  # noqa: E402

# The peak at the larger N may exceed that at the smaller by this much.
MEMORY_GROWTH = 1.5


# The command, then its process's high-water mark of resident memory (MiB) as the last line on stderr.
COMMAND_AND_PEAK = """\
import sys
from vs30amp.cli import main
status = main(sys.argv[1:])
peak = next(line for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(int(peak.split()[1]) / 1024, file=sys.stderr)
sys.exit(status)
"""


def command_peak(arguments: list[str], cwd: Path) -> tuple[float, float]:
    """The peak resident memory (MiB) and seconds of ``vs30amp amplify ARGUMENTS`` run in `cwd`."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", COMMAND_AND_PEAK, "amplify", *arguments], cwd=cwd,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode:
        raise SystemExit(f"vs30amp amplify {' '.join(arguments)} ended with status {done.returncode}: {done.stderr}")
    return float(done.stderr.splitlines()[-1]), time.perf_counter() - start


def files_run(files: int) -> tuple[float, float]:
    with tempfile.TemporaryDirectory() as directory:
        work = Path(directory)
        (work / "records").mkdir()
        t = np.arange(2000) * 0.01
        for i in range(files):
            acc = 0.1 * np.sin(2 * np.pi * (1 + i % 7) * t) * np.sin(np.pi * t / t[-1]) ** 2
            io.write(work / "records" / f"R{i:05d}.AT2", io.Record(acc, 0.01, "g"))
        result = command_peak(["records", "--vs30", "300", "--vs30-sim", "760", "-o", "out"], work)
        if len(os.listdir(work / "out")) != files:
            raise SystemExit("not every record was written")
        return result


def store_run(stations: int) -> tuple[float, float]:
    with tempfile.TemporaryDirectory() as directory:
        work = Path(directory)
        station_study.demo_store(work / "sims.nc", stations, seed=stations)
        vs30 = np.random.default_rng(stations).uniform(200.0, 1200.0, stations)
        rows = "".join(f"S{i:05d},{float(v)!r}\n" for i, v in enumerate(vs30))
        (work / "stations.csv").write_text("station,vs30\n" + rows)
        result = command_peak(["sims.nc", "--sites", "stations.csv", "--vs30-sim", "760", "-o", "amplified.zarr"], work)
        if io.read_store(work / "amplified.zarr", ("h1", "h2")).components["h1"].shape[0] != stations:
            raise SystemExit("not every station was written")
        return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, nargs="+", default=[10, 10000])
    parser.add_argument("--stations", type=int, nargs="+", default=[2000, 20000])
    parser.add_argument("--output", type=Path, default=HERE)
    parser.add_argument("--quick", action="store_true", help="10 and 1,000 files, 100 and 1,000 stations")
    parser.add_argument("--repeats", type=int, help="taken as ./run bench passes it; each size runs once")
    args = parser.parse_args()
    files, stations = ([10, 1000], [100, 1000]) if args.quick else (sorted(args.files), sorted(args.stations))
    started = time.perf_counter()
    rows, targets = [], []
    for label, sizes, run in (("files", files, files_run), ("stations", stations, store_run)):
        peaks = []
        for size in sizes:
            peak, seconds = run(size)
            peaks.append(peak)
            rows.append([f"{size:,} {label}", f"{peak:.1f}", f"{seconds:.1f}"])
            print("  ".join(rows[-1]), flush=True)
        growth = peaks[-1] / peaks[0]
        targets.append([f"peak at {sizes[-1]:,} {label} at most {MEMORY_GROWTH}x that at {sizes[0]:,}",
                        f"{growth:.2f}x", "yes" if growth <= MEMORY_GROWTH else "no"])
    header = ["input", "peak MiB", "seconds"]
    print("\n" + table(header, rows) + "\n\n" + table(["target", "measured", "met"], targets))
    elapsed = time.perf_counter() - started
    command = " ".join(["python benchmarks/amplify_memory.py", *sys.argv[1:]])
    write_section(args.output / "results.md", "Peak memory of vs30amp amplify", f"""\
Produced by `{command}` (part of `./run bench`) on {datetime.date.today().isoformat()} in \
{elapsed:.0f} s; {machine()}, {os.cpu_count()} threads.

The command in a child process, its peak resident memory (its own VmHWM): on AT2 files of 2,000
samples (`--vs30 300`), and on a netCDF store of two components of 8,192 float32 samples per
station, each station to its own Vs30 (`--sites`), written to a Zarr store.

{markdown(header, rows)}

{markdown(["target", "measured", "met"], targets)}
""")
    print(f"updated {args.output / 'results.md'} ({elapsed:.0f} s)")
    return 0 if all(target[-1] == "yes" for target in targets) else 1


if __name__ == "__main__":
    sys.exit(main())
