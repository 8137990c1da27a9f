"""The kernels against the plain formulas, bit for bit.

The kernels share work between columns and between sites and skip C library calls whose result
IEEE 754 fixes; tests/plain_models.cpp computes every quantity where the formulas name it. The
build compiles both with the same floating-point flags and model data, and both call the same C
library, so every cell that
is a number must have the same 64 bits, and NaN must stand in exactly the same cells, for every
input: many random sites (in orders that make the kernels reuse a velocity's values and orders
that defeat the reuse) and every combination of special values and thresholds.

The payload and sign of a NaN cell are not compared. When two different NaNs meet in a sum or a
product, the processor passes on the first operand's, and the compiler may commute the operands
of + and *, so the source does not fix which one survives.
"""

import ctypes
import hashlib
import math
import shutil
import subprocess
import sys
import zlib

import numpy as np
import pytest

import reference_models as ref
import vs30amp
from native_helpers import kernel_paths_library, library_beside_module

CB14_K1 = sorted(set(ref.CB14_K1))


@pytest.fixture(scope="module")
def plain():
    lib = library_beside_module("plain_models.so")
    for _, name, _ in MODELS.values():
        getattr(lib, name).argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    return lib


@pytest.fixture(scope="module")
def kernel_paths():
    return kernel_paths_library()


# How the cells are computed: by the module (whichever math its gate chose), by the package's
# native module where the module is _utils (3.15 and later), or by the kernels with the C library's
# scalar calls or with the vector exp, log and pow at each width (kernel_paths numbers them).
HAS_UTILS = sys.version_info >= (3, 15)
MATH_PATHS = ["scalar", "4", "2x4", "8"]
PATHS = ["module", "native", *MATH_PATHS]


def kernel_function(kernel_paths, model, path):
    """The cells of the sites' rows on one math path, as the module function would return them."""
    if path == "native":
        if not HAS_UTILS or model not in NATIVE:
            pytest.skip("the module function is the native module's here")
        return NATIVE[model]
    number = MATH_PATHS.index(path)
    if not kernel_paths.kernel_paths_cpu_runs(number):
        pytest.skip(f"this CPU cannot run the {path}-lane vector math")
    columns = MODELS[model][2]

    def run(vs30, vs30_sim, pga):
        sites = np.ascontiguousarray(np.column_stack([vs30, vs30_sim, pga]))
        out = np.empty((len(sites), columns))
        name, convention, what = CONVENTIONS[model]
        if what is None:
            assert kernel_paths.kernel_paths_run_named(name.encode(), convention.encode(), number, sites.ctypes.data,
                                                       len(sites), out.ctypes.data)
        else:
            assert kernel_paths.kernel_paths_run_uncertain(name.encode(), convention.encode(), UNCERTAIN.index(what),
                                                           TEST_EPSILON, number, sites.ctypes.data, len(sites),
                                                           out.ctypes.data)
        return out
    return run


# Every model of vs30amp under each of its conventions, keyed by the name of its plain
# transcription (plain_<model>, plain_<model>_<convention> for a convention other than the
# default): the module function as vs30amp calls it (_utils' on 3.15 and later where the model
# has one, the package's native module's otherwise), the plain function's name and the width. A
# model with uncertainty adds, per convention, its factors moved by TEST_EPSILON sigma and its
# sigma (plain_<key>_epsilon, plain_<key>_sigma; tests/plain_models.cpp moves by the same).
TEST_EPSILON = -1.25
UNCERTAIN = ("epsilon", "sigma")
MODELS = {}
# The model, convention and uncertain output (None for the factors) of each key.
CONVENTIONS = {}
for _model in vs30amp.MODELS.values():
    for _convention in _model.conventions:
        _key = _model.name if _convention is _model.conventions[0] else f"{_model.name}_{_convention.name}"
        _columns = _model.frequencies.size
        MODELS[_key] = (_model.kernel_for(_convention.name), f"plain_{_key}", _columns)
        CONVENTIONS[_key] = (_model.name, _convention.name, None)
        if _model.uncertainty:
            MODELS[f"{_key}_epsilon"] = (_model.moved_kernel_for(_convention.name, TEST_EPSILON),
                                         f"plain_{_key}_epsilon", _columns)
            MODELS[f"{_key}_sigma"] = (_model.sigma_kernel_for(_convention.name), f"plain_{_key}_sigma", _columns)
            CONVENTIONS[f"{_key}_epsilon"] = (_model.name, _convention.name, "epsilon")
            CONVENTIONS[f"{_key}_sigma"] = (_model.name, _convention.name, "sigma")


def native_function(name, columns, convention="module"):
    def run(vs30, vs30_sim, pga):
        out = np.empty((len(vs30), columns))
        vs30amp._native.model_factors(name, convention, vs30, vs30_sim, pga, out)
        return out
    return run


# The native module's functions that compute what _utils computes.
NATIVE = {model.name: native_function(model.name, model.frequencies.size)
          for model in vs30amp.MODELS.values() if model.utils is not None}


def cells_digest(cells):
    """A digest of the 64 bits of every number cell and of where the NaN cells are (their payload
    and sign are not compared)."""
    return hashlib.sha256(memoryview(np.where(np.isnan(cells), np.nan, cells)).cast("B")).digest()


# The plain formulas' cells of each model and sites, as a digest: every math path of the same sites
# is compared with it, and only a difference makes them again for the message.
PLAIN_DIGESTS = {}


def assert_identical(plain, model, sites, function=None):
    """Module (or `function`) and plain formulas give the same bits for the sites (an n x 3
    float64 array)."""
    module_function, plain_name, columns = MODELS[model]
    function = function or module_function
    sites = np.ascontiguousarray(sites, dtype=np.float64)
    got = function(sites[:, 0].copy(), sites[:, 1].copy(), sites[:, 2].copy())
    key = (model, hashlib.sha256(sites.tobytes()).digest())
    if PLAIN_DIGESTS.get(key) == cells_digest(got):
        return
    expected = np.empty((len(sites), columns))
    getattr(plain, plain_name)(sites.ctypes.data, len(sites), expected.ctypes.data)
    nan = np.isnan(expected)
    differ = (np.isnan(got) != nan) | (~nan & (got.view(np.uint64) != expected.view(np.uint64)))
    if differ.any():
        i, j = map(int, np.argwhere(differ)[0])
        bits = [hex(b) for b in sites[i].view(np.uint64)]
        pytest.fail(f"{differ.sum()} cells differ; first: site {i} {sites[i].tolist()} (bits {bits}), "
                    f"column {j}: module {got[i, j]!r}, plain {expected[i, j]!r}")
    PLAIN_DIGESTS[key] = cells_digest(expected)


def from_bits(bits):
    return np.array(bits, dtype=np.uint64).view(np.float64)


def near(x):
    return [math.nextafter(x, -math.inf), x, math.nextafter(x, math.inf)]


# Velocities: both signs of zero, infinity and NaN (quiet, with a payload, signalling), subnormals,
# extremes, negative values, and every value where a branch or a clamp changes, with neighbours.
SPECIAL_VELOCITIES = np.concatenate([
    from_bits([0x0, 0x8000000000000000, 0x7FF0000000000000, 0xFFF0000000000000, 0x7FF8000000000000,
               0xFFF8000000000000, 0x7FF8000000000123, 0x7FF0000000000001, 0x1, 0x800FFFFFFFFFFFFF,
               0x0010000000000000, 0x7FEFFFFFFFFFFFFF]),
    [-1.0, -500.0, 1e-300, 1e300, 360.0, 1100.0, 1500.0, 2500.0, 3000.0],
    CB14_K1, near(760.0), near(1000.0), near(865.0), near(1086.0), near(1130.0),
    # NGA-East's: the ends of f_760's weights, of sigma_f2's fall, of the 2000-3000 m/s branches
    near(400.0), near(600.0), near(300.0), near(2000.0), near(3000.0),
])
SPECIAL_PGAS = np.concatenate([
    from_bits([0x0, 0x8000000000000000, 0x7FF0000000000000, 0xFFF0000000000000, 0x7FF8000000000000,
               0xFFF8000000000000, 0x7FF0000000000001, 0x1, 0x7FEFFFFFFFFFFFFF]),
    # tiny intensities whose nonlinear base rounds to 1; bases of exactly 0 (-f3) and -1 (-2 f3,
    # where the simulation's Vs30 is 760 m/s and the intensity is the PGA); negative bases
    [1e-300, 1e-17, 1e-16, 0.3, 1.5, -0.2, -1.0, -0.4, -2.0, -0.5, 1e300],
])


def special_grid():
    grid = np.meshgrid(SPECIAL_VELOCITIES, SPECIAL_VELOCITIES, SPECIAL_PGAS, indexing="ij")
    return np.column_stack([g.ravel() for g in grid])


def realistic_sites(rng, n):
    return np.column_stack([rng.uniform(150.0, 1500.0, n), rng.uniform(150.0, 1500.0, n), rng.uniform(0.0, 1.5, n)])


def wide_sites(rng, n):
    """Any magnitude and sign, and a share of special values, in every component."""
    def component(specials):
        values = rng.choice([-1.0, 1.0], n) * 10.0 ** rng.uniform(-320.0, 308.0, n)
        values = np.where(rng.random(n) < 0.5, rng.uniform(-100.0, 2500.0, n), values)
        return np.where(rng.random(n) < 0.1, rng.choice(specials, n), values)
    return np.column_stack([component(SPECIAL_VELOCITIES), component(SPECIAL_VELOCITIES), component(SPECIAL_PGAS)])


def with_repeats(rng, sites):
    """The sites with velocities repeated the ways real inputs repeat them: one simulation Vs30
    for a run of sites, a run of equal site Vs30, the site's Vs30 equal to the simulation's, and
    two velocities alternating."""
    sites = sites.copy()
    n = len(sites)
    starts = np.sort(rng.choice(n, n // 20, replace=False))
    run = np.maximum.accumulate(np.where(np.isin(np.arange(n), starts), np.arange(n), 0))
    sites[:, 1] = sites[run, 1]                           # runs of one simulation Vs30
    quarter = n // 4
    sites[:quarter, 0] = sites[run[:quarter], 0]          # runs of one site Vs30 as well
    equal = rng.random(n) < 0.2
    sites[equal, 0] = sites[equal, 1]                     # the site's own velocity as simulation's
    sites[-quarter::2, :2] = sites[-quarter, :2]          # two sites alternating
    sites[-quarter + 1::2, :2] = sites[-quarter, 1::-1]
    return sites


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("model", list(MODELS))
@pytest.mark.parametrize("kind", ["realistic", "wide"])
def test_random_sites(plain, kernel_paths, model, kind, path):
    function = None if path == "module" else kernel_function(kernel_paths, model, path)
    rng = np.random.default_rng(20260 + len(kind) + zlib.crc32(model.encode()))
    make = realistic_sites if kind == "realistic" else wide_sites
    chunk = 100_000 if model == "cb14" else 12_500
    for part in range(100_000 // chunk):
        sites = make(rng, chunk)
        assert_identical(plain, model, with_repeats(rng, sites) if part % 2 == 0 else sites, function)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("model", list(MODELS))
@pytest.mark.parametrize("order", ["grouped", "shuffled"])
def test_special_values(plain, kernel_paths, model, order, path):
    function = None if path == "module" else kernel_function(kernel_paths, model, path)
    sites = special_grid()
    if order == "shuffled":
        sites = np.random.default_rng(7).permutation(sites)
    assert_identical(plain, model, sites, function)


@pytest.mark.parametrize("module", ["_utils", "vs30amp._native"])
def test_no_vector_math_library(module):
    """Each module calls the C library's scalar exp, log and pow (which its own vector versions
    reproduce bit for bit), never the library's vectorised variants, whose results differ."""
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("no nm")
    path = pytest.importorskip(module).__file__
    symbols = subprocess.run([nm, "-D", "--undefined-only", path], check=True, capture_output=True,
                             text=True).stdout.split()
    names = {s.split("@")[0] for s in symbols}
    assert {"exp", "log", "pow"} <= names
    assert not [s for s in names if s.startswith("_ZGV")]


# The models with an input per site and period (cy14's y_ref), by name: their kernel of that input.
COLUMN_MODELS = [model.name for model in vs30amp.MODELS.values() if model.per_period_input is not None]


@pytest.mark.parametrize("path", ["module", *MATH_PATHS])
@pytest.mark.parametrize("model, basin", [(model, basin) for model in COLUMN_MODELS
                                          for basin in (False, True)[:1 + vs30amp.MODELS[model].needs("z1")]])
@pytest.mark.parametrize("kind", ["realistic", "wide", "special"])
def test_input_per_period(plain, kernel_paths, model, basin, kind, path):
    """The kernel of an input per site and period against plain_<model>_columns: a different
    value in every cell, so that no column reads another's; with `basin`, the kernel that also
    takes the basin depths (cy14's z1, z1_sim; a quarter NaN, not given) against plain_<model>_basin."""
    rng = np.random.default_rng(11 + len(kind))
    sites = special_grid()[:, :2] if kind == "special" else (realistic_sites if kind == "realistic" else
                                                             wide_sites)(rng, 20_000)[:, :2]
    columns = vs30amp.MODELS[model].frequencies.size
    n = len(sites)
    inputs = rng.uniform(0.0, 2.0, (n, columns)) if kind == "realistic" else np.where(
        rng.random((n, columns)) < 0.3, rng.choice(SPECIAL_PGAS, (n, columns)), rng.uniform(-0.5, 3.0, (n, columns)))
    triples = np.ascontiguousarray(np.column_stack([sites, np.zeros(n)]))
    depths = [np.where(rng.random(n) < 0.25, np.nan, rng.choice([0.0, 5.0, 1e4], n) if kind == "special" else
                       rng.uniform(0.0, 1500.0, n)) for _ in range(2)] if basin else []
    expected = np.empty((n, columns))
    function = getattr(plain, f"plain_{model}_{'basin' if basin else 'columns'}")
    function.argtypes = [ctypes.c_void_p] * (2 + len(depths)) + [ctypes.c_size_t, ctypes.c_void_p]
    function(triples.ctypes.data, inputs.ctypes.data, *(z.ctypes.data for z in depths), n, expected.ctypes.data)
    if path == "module":
        model_entry = vs30amp.MODELS[model]
        kernel = model_entry.basin_kernel_for("module") if basin else model_entry.column_kernel_for("module")
        got = kernel(sites[:, 0].copy(), sites[:, 1].copy(), inputs, *depths)
    else:
        number = MATH_PATHS.index(path)
        if not kernel_paths.kernel_paths_cpu_runs(number):
            pytest.skip(f"this CPU cannot run the {path}-lane vector math")
        got = np.empty((n, columns))
        run = kernel_paths.kernel_paths_run_basin if basin else kernel_paths.kernel_paths_run_columns
        run.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int] + [ctypes.c_void_p] * (2 + len(depths)) + [
            ctypes.c_size_t, ctypes.c_void_p]
        assert run(model.encode(), b"module", number, triples.ctypes.data, inputs.ctypes.data,
                   *(z.ctypes.data for z in depths), n, got.ctypes.data)
    nan = np.isnan(expected)
    differ = (np.isnan(got) != nan) | (~nan & (got.view(np.uint64) != expected.view(np.uint64)))
    assert not differ.any(), (int(differ.sum()), np.argwhere(differ)[0])
