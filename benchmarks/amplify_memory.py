"""Peak memory of ``vs30amp amplify`` on 10 and on 10,000 small record files.

    python amplify_memory.py [N ...]

For each N (default 10 and 10000) it writes N AT2 files of 2,000 samples into a temporary
directory, runs the command on them in a child process and prints the child's peak resident
memory (ru_maxrss of that child alone, from os.wait4) and its time. Memory that does not grow
with N is the point: the command keeps a few numbers per file, never the records.
"""

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from vs30amp import io


def peak_of_run(files: int) -> tuple[float, float]:
    with tempfile.TemporaryDirectory() as directory:
        records = Path(directory, "records")
        records.mkdir()
        t = np.arange(2000) * 0.01
        for i in range(files):
            acc = 0.1 * np.sin(2 * np.pi * (1 + i % 7) * t) * np.sin(np.pi * t / t[-1]) ** 2
            io.write(records / f"R{i:05d}.AT2", io.Record(acc, 0.01, "g"))
        start = time.perf_counter()
        child = subprocess.Popen([sys.executable, "-m", "vs30amp", "amplify", str(records), "--vs30", "300",
                                  "--vs30-sim", "760", "-o", str(Path(directory, "out"))], stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode:
            raise SystemExit(f"vs30amp amplify ended with status {child.returncode}")
        if len(os.listdir(Path(directory, "out"))) != files:
            raise SystemExit("not every record was written")
        return usage.ru_maxrss / 1024, time.perf_counter() - start


def main() -> None:
    for files in map(int, sys.argv[1:] or ["10", "10000"]):
        peak, seconds = peak_of_run(files)
        print(f"{files:>6} files: peak resident memory {peak:.1f} MiB, {seconds:.1f} s")


if __name__ == "__main__":
    main()
