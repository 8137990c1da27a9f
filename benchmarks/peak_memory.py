"""Peak memory of one call, measured in a process of its own.

    python peak_memory.py MODEL IMPLEMENTATION WORKLOAD N

prints one JSON line: the call's peak resident memory above what the process held just before it,
the size of the result, and the call's time (the first call of that size in the process).

The module allocates its matrix and site records with the C library's calloc and malloc, which
tracemalloc does not see, so the probe reads the kernel's own accounting of resident pages:
before the call it resets the process's high-water mark to its current resident size (writing 5
to /proc/self/clear_refs), after the call it reads VmHWM from /proc/self/status. Where the reset
is not allowed it falls back to ru_maxrss, which is right when nothing before the call rose above
the resident size at the time of the call (the inputs are built without large temporaries).
Pages are counted when touched, so the figure is what the call really occupied, in 4 KiB steps.
"""

import gc
import json
import resource
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import workloads  # noqa: E402


def status_kib(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_high_water_mark():
    try:
        Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def main():
    model_name, implementation, workload, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    model = workloads.MODELS[model_name]
    function = model.module if implementation == "module" else model.numpy
    inputs = workloads.sites(workload, n, seed=1)
    small = workloads.sites(workload, 16, seed=2)
    function(*small)  # fills the process-wide caches (NumPy's C interface, the owner type)
    del small
    gc.collect()
    before = status_kib("VmRSS")
    exact = reset_high_water_mark()
    start = time.perf_counter()
    result = function(*inputs)
    elapsed = time.perf_counter() - start
    peak = status_kib("VmHWM") if exact else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({
        "peak_bytes": (peak - before) * 1024,
        "result_bytes": result.nbytes,
        "first_call_seconds": elapsed,
        "method": "VmHWM reset" if exact else "ru_maxrss",
    }))


if __name__ == "__main__":
    main()
