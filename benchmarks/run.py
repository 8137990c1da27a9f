"""Per-site time and memory of both kernels against the same formulas written with NumPy.

    ./run bench [--repeats R] [--quick] [--output DIR]
    ./run bench --paths [--repeats R]    only the module against NumPy on each math path

For every model, workload and number of sites n it prints the median per-site time of the module
and of the NumPy formulation (benchmarks/numpy_models.py) and their ratio, all measured in this
run; then the peak memory of one call at the largest n, the overhead of a one-site call, and the
agreement of the module with the plain Python reference (bit for bit) and with the NumPy
formulation (in units in the last place); then the module against NumPy again on every math path
this CPU runs (VS30AMP_VECTOR_WIDTH). It writes results.md and per_site_time.png beside this file
(or into DIR).
"""

import argparse
import datetime
import json
import math
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _utils  # noqa: E402
import workloads  # noqa: E402
from report import machine, markdown, table, write_section  # noqa: E402,F401
from workloads import MODELS, WORKLOADS  # noqa: E402

# Smallest pool of distinct sites that calls of few sites cycle through, so that a one-site call
# meets as many different sites as a large call does.
POOL = 4096
# Target duration of one timed repeat (s).
REPEAT_SECONDS = 0.04


# ---- timing ---------------------------------------------------------------------------------

def call_slices(workload, n, seed):
    """Argument tuples of consecutive n-site slices of one pool of sites."""
    pool = workloads.sites(workload, max(n, POOL), seed)
    return [tuple(a[i:i + n] for a in pool) for i in range(0, len(pool[0]) - n + 1, n)]


def timed_loop(function, calls, count):
    """Seconds for `count` calls, cycling through the argument tuples."""
    selected = [calls[i % len(calls)] for i in range(count)]
    start = time.perf_counter()
    for args in selected:
        function(*args)
    return time.perf_counter() - start


def per_site_times(model, workload, n, repeats):
    """Median per-site seconds of module and NumPy (the module's alone for a model without a
    NumPy formulation), repeats interleaved."""
    calls = call_slices(workload, n, seed=n)
    functions = {"module": model.module, "numpy": model.numpy}
    if model.numpy is None:
        del functions["numpy"]
    counts = {}
    for name, function in functions.items():
        function(*calls[0])  # warm-up
        single = timed_loop(function, calls, 1)
        counts[name] = max(1, min(20_000, math.ceil(REPEAT_SECONDS / max(single, 1e-7))))
    samples = {name: [] for name in functions}
    for _ in range(repeats):
        for name, function in functions.items():
            samples[name].append(timed_loop(function, calls, counts[name]) / (counts[name] * n))
    return {name: statistics.median(values) for name, values in samples.items()}


def call_overhead(model, repeats):
    """Split of a one-site call into overhead and kernel time.

    The overhead (binding, checks, gathering, allocation of one row, the result array, and the
    interpreter's loop and call dispatch) does not depend on the site's values. It is measured
    on sites whose kernel work is smallest, both velocities in 1000-1500 m/s, so that it is not
    lost in the kernel's noise: the same M such sites run once as M calls of one site and once as
    M/16 calls of 16 sites, the kernel work is the same both ways, and the difference of the two
    totals is the cost of M - M/16 calls. Pairs of the two runs alternate; the median pair is
    taken. The kernel time of a random site is the whole one-site call minus that overhead."""
    m, group = POOL, 16
    rng = np.random.default_rng(99)
    cheap = (rng.uniform(1000.0, 1500.0, m), rng.uniform(1000.0, 1500.0, m), rng.uniform(0.0, 1.5, m))
    random_sites = workloads.sites("random", m, seed=98)
    singles = [tuple(a[i:i + 1] for a in cheap) for i in range(m)]
    groups = [tuple(a[i:i + group] for a in cheap) for i in range(0, m, group)]
    random_singles = [tuple(a[i:i + 1] for a in random_sites) for i in range(m)]
    empty = (np.empty(0),) * 3
    function = model.module
    function(*singles[0])
    overheads, calls, none = [], [], []
    for _ in range(max(repeats, 9)):
        one = timed_loop(function, singles, m)
        many = timed_loop(function, groups, m // group)
        overheads.append((one - many) / (m - m // group))
        calls.append(timed_loop(function, random_singles, m) / m)
        none.append(timed_loop(function, [empty], m) / m)
    overhead, call = statistics.median(overheads), statistics.median(calls)
    return {"call": call, "overhead": overhead, "kernel": call - overhead, "empty_call": statistics.median(none)}


def plain_library():
    """tests/plain_models.cpp (the formulas with nothing shared or skipped), built beside the
    module with its floating-point flags and model data, or None when the build has none."""
    import ctypes

    library = Path(_utils.__file__).with_name("plain_models.so")
    if not library.exists():
        return None
    lib = ctypes.CDLL(str(library))
    for key in MODELS:
        if hasattr(lib, f"plain_{key}"):
            getattr(lib, f"plain_{key}").argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    return lib


def plain_speedups(lib, repeats):
    """Per-site time of the module and of the plain formulas at the largest n, alternating."""
    rows = []
    for key, model in MODELS.items():
        if not hasattr(lib, f"plain_{key}"):
            continue
        n = model.sizes[-1]
        plain = getattr(lib, f"plain_{key}")
        for workload in WORKLOADS:
            inputs = workloads.sites(workload, n, seed=n)
            sites = np.ascontiguousarray(np.column_stack(inputs))

            def run_plain():
                out = np.empty((n, model.columns))
                plain(sites.ctypes.data, n, out.ctypes.data)
                return out

            module_times, plain_times = [], []
            for _ in range(repeats):
                start = time.perf_counter()
                model.module(*inputs)
                module_times.append((time.perf_counter() - start) / n)
                start = time.perf_counter()
                run_plain()
                plain_times.append((time.perf_counter() - start) / n)
            module_time, plain_time = statistics.median(module_times), statistics.median(plain_times)
            rows.append([model.label, workload, f"{n:,}", us(module_time), us(plain_time),
                         f"{plain_time / module_time:.2f}"])
    return rows


def kernel_paths_library():
    """tests/kernel_paths.cpp (the module's kernels on a chosen math path), built beside the
    module, or None when the build has none or the CPU lacks AVX2 and FMA."""
    import ctypes

    library = Path(_utils.__file__).with_name("kernel_paths.so")
    if not library.exists():
        return None
    lib = ctypes.CDLL(str(library))
    lib.kernel_paths_run.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    lib.kernel_paths_path_name.restype = ctypes.c_char_p
    lib.kernel_paths_gate_choice.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.kernel_paths_gate_choice.restype = ctypes.c_char_p
    return lib if lib.kernel_paths_cpu_has_avx2_and_fma() else None


def runnable_paths(lib):
    """{name: number} of the math paths this CPU runs, the scalar calls first."""
    names = {}
    while (name := lib.kernel_paths_path_name(len(names))) is not None:
        names[name.decode()] = len(names)
    return {name: number for name, number in names.items() if lib.kernel_paths_cpu_runs(number)}


def math_path_times(lib, repeats):
    """Per-site time of the kernels on every math path this CPU runs at the largest n, repeats
    alternating; {(model, workload): {path: s}}."""
    times = {}
    paths = runnable_paths(lib)
    for key in TARGET_MODELS:
        model = MODELS[key]
        n = model.sizes[-1]
        for workload in ("random", "same_sim"):
            sites = np.ascontiguousarray(np.column_stack(workloads.sites(workload, n, seed=n)))
            samples = {name: [] for name in paths}
            for _ in range(repeats):
                for name, number in paths.items():
                    start = time.perf_counter()
                    lib.kernel_paths_run(key == "ba18", number, sites.ctypes.data, n, None)
                    samples[name].append((time.perf_counter() - start) / n)
            times[key, workload] = {name: statistics.median(v) for name, v in samples.items()}
    return times


# The models of the performance targets, and those tests/kernel_paths.cpp's kernel_paths_run takes (0 and 1).
TARGET_MODELS = ("cb14", "ba18")
# The module against NumPy on each path: the targets' models and workloads.
PATH_TARGETS = (("cb14", "random"), ("ba18", "random"), ("ba18", "same_sim"))


def one_path_times(repeats):
    """In a process whose VS30AMP_VECTOR_WIDTH forces a path: the path the gate took and
    per_site_times at the largest n for PATH_TARGETS, as JSON on stdout."""
    lib = kernel_paths_library()
    taken = lib.kernel_paths_gate_choice(None, None).decode() if lib is not None else "scalar"
    times = {f"{key} {workload}": per_site_times(MODELS[key], workload, MODELS[key].sizes[-1], repeats)
             for key, workload in PATH_TARGETS}
    print(json.dumps({"taken": taken, "times": times}))


def module_path_rows(lib, repeats):
    """The module against NumPy with each path this CPU runs forced, one process per path."""
    rows = []
    for path in runnable_paths(lib) if lib is not None else {"scalar": 0}:
        child = subprocess.run([sys.executable, __file__, "--one-path", "--repeats", str(repeats)],
                               env=dict(os.environ, VS30AMP_VECTOR_WIDTH=path), capture_output=True, text=True,
                               check=True)
        result = json.loads(child.stdout)
        for (key, workload), t in zip(PATH_TARGETS, result["times"].values()):
            rows.append([path if result["taken"] == path else f"{path} (gate took {result['taken']})",
                         MODELS[key].label, workload, f"{MODELS[key].sizes[-1]:,}", us(t["module"]), us(t["numpy"]),
                         f"{t['numpy'] / t['module']:.2f}"])
            print("  ".join(rows[-1]), flush=True)
    return rows


MODULE_PATH_HEADER = ["math path", "model", "workload", "n", "module µs/site", "NumPy µs/site", "NumPy / module"]


def convention_times(repeats):
    """Per-site time of BA18 under the published convention (vs30amp's native module, into an
    array it allocates) and under the module's (_utils) at the largest n, repeats alternating;
    {workload: {"module": s, "published": s}}."""
    import vs30amp

    functions = {"module": _utils._bayless_abrahamson_2018_eas,
                 "published": vs30amp.MODELS["ba18"].kernel_for("published")}
    n = MODELS["ba18"].sizes[-1]
    times = {}
    for workload in ("random", "same_sim"):
        inputs = workloads.sites(workload, n, seed=n)
        samples = {name: [] for name in functions}
        for _ in range(repeats):
            for name, function in functions.items():
                start = time.perf_counter()
                function(*inputs)
                samples[name].append((time.perf_counter() - start) / n)
        times[workload] = {name: statistics.median(v) for name, v in samples.items()}
    return times


# ---- memory ---------------------------------------------------------------------------------

def peak_memory(model_key, implementation, workload, n):
    out = subprocess.run([sys.executable, str(HERE / "peak_memory.py"), model_key, implementation, workload, str(n)],
                         check=True, capture_output=True, text=True, env=dict(os.environ)).stdout
    return json.loads(out.strip().splitlines()[-1])


# ---- agreement ------------------------------------------------------------------------------

def ordered_keys(x):
    """Unsigned integers in the order of the doubles (for numbers and infinities); neighbouring
    doubles differ by one, +0 and -0 by one as well."""
    bits = x.view(np.uint64)
    sign = np.uint64(1 << 63)
    return np.where(bits & sign, ~bits, bits | sign)


def compare_to_numpy(got, expected):
    """(max ulp over cells that are numbers in both, cells where NaN or infinity disagree)."""
    nan = np.isnan(got) | np.isnan(expected)
    special = nan | np.isinf(got) | np.isinf(expected)
    disagree = int(np.count_nonzero(special & (got.view(np.int64) != expected.view(np.int64))
                                    & ~(np.isnan(got) & np.isnan(expected))))
    finite = ~special
    if not finite.any():
        return 0, disagree
    a, b = ordered_keys(got[finite]), ordered_keys(expected[finite])
    return int(np.where(a >= b, a - b, b - a).max()), disagree


def compare_to_reference(model_key, args, count):
    """Cells of the first `count` sites where the module and the plain Python reference differ
    (numbers bit for bit, NaN in the same cells); None when the reference is not available."""
    try:
        sys.path.insert(0, str(HERE.parent / "tests"))
        import reference_models as ref
    except ImportError:
        return None
    row_of = getattr(ref, f"{model_key}_row", None)
    if row_of is None:
        return None
    args = tuple(a[:count] for a in args)
    got = MODELS[model_key].module(*args)
    expected = np.array([row_of(*site) for site in zip(*(a.tolist() for a in args))])
    nan = np.isnan(expected)
    return int(np.count_nonzero((np.isnan(got) != nan) | (~nan & (got.view(np.uint64) != expected.view(np.uint64)))))


# ---- report ---------------------------------------------------------------------------------

def us(seconds):
    return f"{seconds * 1e6:.3f}"


# What a model without a NumPy formulation in benchmarks/numpy_models.py shows in NumPy's cells.
NO_NUMPY = "no NumPy formulation"


def numpy_cells(t):
    """NumPy's time per site and NumPy / module, or NO_NUMPY twice."""
    if "numpy" not in t:
        return [NO_NUMPY, NO_NUMPY]
    return [us(t["numpy"]), f"{t['numpy'] / t['module']:.2f}"]


def plot(times, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(MODELS), figsize=(5.5 * len(MODELS), 4.5), squeeze=False)
    axes = axes[0]
    colours = dict(zip(WORKLOADS, ["tab:blue", "tab:orange", "tab:green", "tab:red"]))
    for axis, (key, model) in zip(axes, MODELS.items()):
        for workload in WORKLOADS:
            sizes = [n for n in model.sizes if (key, workload, n) in times]
            for impl, style in (("module", "-o"), ("numpy", "--s")):
                if impl not in times[key, workload, sizes[0]]:
                    continue
                axis.plot(sizes, [times[key, workload, n][impl] * 1e6 for n in sizes], style,
                          color=colours[workload], label=f"{workload}, {'module' if impl == 'module' else 'NumPy'}")
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel("sites per call, n")
        axis.set_ylabel("time per site (µs)")
        axis.set_title(f"{model.label} ({model.columns} frequencies)")
        axis.grid(True, which="both", alpha=0.3)
    axes[-1].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7, help="timed repeats per measurement (at least 5)")
    parser.add_argument("--quick", action="store_true", help="small sizes and 3 repeats, for a smoke run")
    parser.add_argument("--output", type=Path, default=HERE, help="directory for results.md and the plot")
    parser.add_argument("--paths", action="store_true", help="only the module against NumPy on each math path")
    parser.add_argument("--one-path", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    repeats = 3 if args.quick else max(5, args.repeats)
    args.output.mkdir(parents=True, exist_ok=True)  # e.g. build/bench-quick in a fresh worktree
    if args.one_path:
        return one_path_times(repeats)
    if args.paths:
        print(f"Machine: {machine()}")
        print(f"Median of {repeats} repeats, module and NumPy alternating; one process per math path.\n")
        print("\n" + table(MODULE_PATH_HEADER, module_path_rows(kernel_paths_library(), repeats)))
        return 0
    if args.quick:
        for key, model in MODELS.items():
            MODELS[key] = type(model)(model.label, model.module, model.numpy, model.columns, (1, 100, 2000))
    started = time.perf_counter()
    failures = []

    print(f"Machine: {machine()}")
    print(f"Median of {repeats} repeats; ratio = NumPy time / module time, measured in this run.\n")

    times = {}
    rows = []
    for key, model in MODELS.items():
        for workload in WORKLOADS:
            for n in model.sizes:
                t = times[key, workload, n] = per_site_times(model, workload, n, repeats)
                rows.append([model.label, workload, f"{n:,}", us(t["module"]), *numpy_cells(t)])
                print("  ".join(rows[-1]), flush=True)
    time_header = ["model", "workload", "n", "module µs/site", "NumPy µs/site", "NumPy / module"]
    print("\n" + table(time_header, rows) + "\n")

    memory_rows = []
    for key, model in MODELS.items():
        n = model.sizes[-1]
        module = peak_memory(key, "module", "random", n)
        numpy = peak_memory(key, "numpy", "random", n) if model.numpy is not None else None
        allowed = module["result_bytes"] + 24 * n + 16 * 1024
        within = module["peak_bytes"] <= allowed
        if not within:
            failures.append(f"{model.label}: peak memory {module['peak_bytes']} B above {allowed} B")
        memory_rows.append([
            model.label, f"{n:,}", f"{module['result_bytes'] / 2**20:.2f}",
            f"{module['peak_bytes'] / 2**20:.2f}",
            f"{(module['peak_bytes'] - module['result_bytes']) / n:.1f}",
            "yes" if within else "NO",
            f"{numpy['peak_bytes'] / 2**20:.1f}" if numpy else NO_NUMPY,
            us(module["first_call_seconds"] / n),
            *(numpy_cells({"module": module["first_call_seconds"] / n, "numpy": numpy["first_call_seconds"] / n})
              if numpy else (NO_NUMPY, NO_NUMPY)),
        ])
    memory_header = ["model", "n", "result MiB", "module peak MiB", "module B/site above result",
                     "≤ result + 24 B/site + 16 KiB", "NumPy peak MiB", "first call: module µs/site",
                     "NumPy µs/site", "NumPy / module"]
    print(table(memory_header, memory_rows) + "\n")

    overhead_rows = []
    for key, model in MODELS.items():
        o = call_overhead(model, repeats)
        overhead_rows.append([model.label, us(o["call"]), us(o["kernel"]), us(o["overhead"]), us(o["empty_call"])])
    overhead_header = ["model", "one-site call µs", "kernel µs", "overhead µs", "call with no sites µs"]
    print(table(overhead_header, overhead_rows) + "\n")

    check_rows = []
    for key, model in MODELS.items():
        n = model.sizes[-1]
        for workload in WORKLOADS:
            inputs = workloads.sites(workload, n, seed=n)
            ulp, disagree = (compare_to_numpy(model.module(*inputs), model.numpy(*inputs)) if model.numpy is not None
                             else (NO_NUMPY, 0))
            count = 2000 if key == "cb14" else 200
            wrong = compare_to_reference(key, inputs, count)
            if disagree or (model.numpy is not None and ulp > 256) or wrong:
                failures.append(f"{model.label} {workload}: {ulp} ulp, {disagree} NaN/inf cells, "
                                f"{wrong} cells off the reference")
            check_rows.append([model.label, workload, f"{n:,}", ulp, disagree,
                               "not found" if wrong is None else f"{count:,} sites, {wrong} cells differ"])
    check_header = ["model", "workload", "n", "max ulp vs NumPy", "NaN/inf cells differing",
                    "plain Python reference (bitwise)"]
    print(table(check_header, check_rows) + "\n")

    lib = plain_library()
    plain_rows = plain_speedups(lib, repeats) if lib is not None else []
    plain_header = ["model", "workload", "n", "module µs/site", "plain formulas µs/site", "plain / module"]
    if plain_rows:
        print(table(plain_header, plain_rows) + "\n")

    paths_lib = kernel_paths_library()
    path_times = math_path_times(paths_lib, repeats) if paths_lib is not None else {}
    path_rows = [[MODELS[key].label, workload, f"{MODELS[key].sizes[-1]:,}", path, us(seconds),
                  f"{t['scalar'] / seconds:.2f}"] for (key, workload), t in path_times.items() for path, seconds in t.items()]
    path_header = ["model", "workload", "n", "math path", "µs/site", "scalar calls / path"]
    if path_rows:
        print(table(path_header, path_rows) + "\n")
    module_paths = (MODULE_PATH_HEADER, module_path_rows(paths_lib, repeats))
    print(table(*module_paths) + "\n")

    n = MODELS["ba18"].sizes[-1]
    convention_rows = [[MODELS["ba18"].label, workload, f"{n:,}", us(t["module"]), us(t["published"]),
                        f"{t['published'] / t['module']:.2f}"] for workload, t in convention_times(repeats).items()]
    convention_header = ["model", "workload", "n", "module convention µs/site", "published convention µs/site",
                         "published / module"]
    print(table(convention_header, convention_rows) + "\n")

    target_rows = targets(times, memory_rows, overhead_rows, path_times)
    target_header = ["target", "measured", "met"]
    print(table(target_header, target_rows) + "\n")

    plot(times, args.output / "per_site_time.png")
    elapsed = time.perf_counter() - started
    command = "./run bench" + (" --quick" if args.quick else "") + (
        f" --repeats {args.repeats}" if args.repeats != 7 else "")
    write_results(args.output / "results.md", command, repeats, elapsed,
                  (time_header, rows), (memory_header, memory_rows), (overhead_header, overhead_rows),
                  (check_header, check_rows), (target_header, target_rows), (plain_header, plain_rows),
                  (path_header, path_rows), module_paths, (convention_header, convention_rows),
                  module_method=peak_memory_method())
    print(f"wrote {args.output / 'results.md'} and {args.output / 'per_site_time.png'} ({elapsed:.0f} s)")
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


def targets(times, memory_rows, overhead_rows, path_times):
    """The performance targets against this run's measurements."""
    rows = []
    for key, workload, wanted in (("cb14", "random", 4.0), ("ba18", "random", 4.0), ("ba18", "same_sim", 6.0)):
        model = MODELS[key]
        n = model.sizes[-1]
        t = times[key, workload, n]
        ratio = t["numpy"] / t["module"]
        rows.append([f"{model.label} {workload}, n = {n:,}: at least {wanted:g}x faster than NumPy",
                     f"{ratio:.2f}x", "yes" if ratio >= wanted else "no"])
    if ("ba18", "random") in path_times:
        t = path_times["ba18", "random"]
        ratio = t["scalar"] / min(seconds for path, seconds in t.items() if path != "scalar")
        rows.append([f"BA18 random, n = {MODELS['ba18'].sizes[-1]:,}: fastest vector math at least 3x faster than the "
                     "scalar calls", f"{ratio:.2f}x", "yes" if ratio >= 3.0 else "no"])
    targeted = {MODELS[key].label for key in TARGET_MODELS}
    for row in (row for row in overhead_rows if row[0] in targeted):
        rows.append([f"{row[0]}: overhead of a one-site call under 1 µs", f"{row[3]} µs",
                     "yes" if float(row[3]) < 1.0 else "no"])
    for row in (row for row in memory_rows if row[0] in targeted):
        rows.append([f"{row[0]}, n = {row[1]}: peak ≤ result + 24 B/site + 16 KiB", f"{row[4]} B/site above result",
                     row[5]])
    return rows


def peak_memory_method():
    return "VmHWM reset" if os.access("/proc/self/clear_refs", os.W_OK) else "ru_maxrss"


def write_results(path, command, repeats, elapsed, times, memory, overhead, checks, goals, plain, paths,
                  module_paths, conventions, module_method):
    workload_lines = "\n".join(f"- `{name}`: {text}" for name, text in WORKLOADS.items())
    path.write_text(f"""# Benchmarks

Produced by `{command}` on {datetime.date.today().isoformat()} in {elapsed:.0f} s.

Machine: {machine()}.

Each figure is the median of {repeats} repeats; module and NumPy repeats alternate, so each ratio
compares two measurements of the same run. The NumPy formulation
(`benchmarks/numpy_models.py`) evaluates the same formulas in the same order with ufuncs over
the whole n x F grid, both branches of every threshold followed by `np.where`, as vectorised
user code would. Calls of few sites cycle through a pool of {POOL} different sites, so a
one-site call meets as many different sites as a large call.

Workloads:

{workload_lines}

## Targets

{markdown(*goals)}

## Time per site

{markdown(*times)}

## The kernels against the plain formulas

{markdown(*plain) if plain[1] else "No C++ compiler: not measured."}

`tests/plain_models.cpp` computes every quantity where the formulas name it, with nothing
shared between cells or sites and no call skipped; it is compiled with the module's
floating-point flags and called through ctypes on the same sites, into a fresh array per call.
Its results are the module's, bit for bit (`tests/test_plain_identity.py`).

## The kernels on each math path

{markdown(*paths) if paths[1] else "No kernel_paths library, or a CPU without AVX2 and FMA: not measured."}

The module's kernels called directly (`tests/kernel_paths.cpp`, through ctypes; each call
allocates and fills its matrix as a module call does) with the C library's scalar `exp`, `log` and `pow`, and with
the vector functions that return the same doubles four lanes at a time (`4`), eight as two
four-lane halves (`2x4`) or eight native with AVX-512F (`8`). The module takes a vector path
when its gate admits it (a CPU that runs it, a C library build listed in
`data/verified_libm_builds.csv`, a probe that agrees); the results are the same bits either way.

{markdown(*module_paths)}

The module against NumPy with each path forced by `VS30AMP_VECTOR_WIDTH`, one process per path
(a path the gate cannot take is named with the one it took).

## The two conventions of BA18

{markdown(*conventions)}

`convention="published"` runs the same kernel with the published model's two constants, through
the package's native module (a block of sites at a time, written straight into the result); the default
is `_utils` itself.

## Memory at the largest n (random sites)

{markdown(*memory)}

Peak memory is measured in a fresh process per call (`benchmarks/peak_memory.py`): the kernel
allocates with calloc and malloc, which tracemalloc does not see, so the probe resets the
process's resident high-water mark to its current size ({module_method}: `echo 5 >
/proc/self/clear_refs`) just before the call and reads `VmHWM` from `/proc/self/status` after
it. The module's call holds the result, the site records (24 B per site) and a few small
objects. The same probe times that first call of its size in the process: NumPy then pays for
fresh pages of every temporary, which later repeats reuse.

## One-site call

{markdown(*overhead)}

The one-site call is the median time of a call on one random site. The overhead of a call
(binding, checks, gathering, allocation of one row, the result array, and the interpreter's
loop and call dispatch) does not depend on the site's values, so it is measured where the
kernel does least, on sites with both velocities in 1000-1500 m/s: the same {POOL} such sites
run once as {POOL} calls of one site and once as {POOL // 16} calls of 16 sites; the kernel
work is the same both ways, so the difference of the two totals divided by the
{POOL - POOL // 16} calls saved is the overhead of one call (median of alternating pairs). The
kernel time is the one-site call minus that overhead. A call with no sites runs the whole path
without a kernel.

## Agreement

{markdown(*checks)}

The module agrees with the plain Python reference (`tests/reference_models.py`) bit for bit
for every cell that is a number, with NaN in the same cells. NumPy's exp, log and power are
SIMD implementations that may differ from the C library's in the last bit, and such differences
grow a little through the formulas; the largest difference is given in units in the last place.
""")


if __name__ == "__main__":
    sys.exit(main())
