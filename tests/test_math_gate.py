"""The gate in front of the vector exp, log and pow.

The vector functions return the doubles of particular builds of the C library; the kernels use
them only when the CPU runs their width, the loaded libm's build-id is on the verified list and a
probe against the live scalar calls agrees. Anything else must give the scalar path, with
results identical to the plain formulas. Lanes off the ported paths must take the scalar call
whatever the library: that part is checked on every machine that runs a width.
"""

import ctypes
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

import numpy as np

from native_helpers import kernel_paths_library, library_path

HERE = Path(__file__).parent

# Alterations of the vector functions (tests/kernel_paths.cpp) that the probe must notice.
EXP_SLOT, EXP_TIES, LOG_SLOT, LOG_NEAR_ONE_BOUND, POW_SLOT, POW_OF_BASE_SLOT, POW_OF_BASES_SLOT = range(1, 8)


@pytest.fixture(scope="module")
def gate():
    lib = kernel_paths_library()
    if not lib.kernel_paths_cpu_has_avx2_and_fma():
        pytest.skip("this CPU lacks AVX2 or FMA: the gate always takes the scalar path")
    return lib


def loaded_build_id(gate):
    buffer = ctypes.create_string_buffer(129)
    assert gate.kernel_paths_build_id(buffer, len(buffer))
    return buffer.value.decode()


# The vector widths, numbered as kernel_paths numbers them (0 is the scalar calls).
WIDTHS = {"4": 1, "2x4": 2, "8": 3}


def runnable(gate, width):
    if not gate.kernel_paths_cpu_runs(WIDTHS[width]):
        pytest.skip(f"this CPU cannot run the {width}-lane vector math (AVX-512F for 8)")
    return WIDTHS[width]


def listed_build(gate):
    build_id = loaded_build_id(gate)
    listed = (HERE.parent / "data" / "verified_libm_builds.csv").read_text()
    if f"\n{build_id}," not in listed:
        pytest.skip(f"this machine's libm ({build_id}) is not on the verified list")
    return build_id


def test_verified_build_takes_widest_path(gate):
    listed_build(gate)
    expected = b"8" if gate.kernel_paths_cpu_runs(WIDTHS["8"]) else b"4"
    assert gate.kernel_paths_gate_choice(None, b"") == expected


@pytest.mark.parametrize("forced", ["4", "2x4", "8", "scalar", "16", "avx"])
def test_forced_path(gate, monkeypatch, forced):
    """VS30AMP_VECTOR_WIDTH picks the path when the CPU runs it; anything else is the scalar calls."""
    listed_build(gate)
    runs = forced in WIDTHS and gate.kernel_paths_cpu_runs(WIDTHS[forced])
    monkeypatch.setenv("VS30AMP_VECTOR_WIDTH", forced)
    assert gate.kernel_paths_gate_choice(None, None) == (forced.encode() if runs else b"scalar")


@pytest.mark.parametrize("forced", ["", "4", "2x4", "8"])
@pytest.mark.parametrize("build_id", [b"", b"0" * 40, b"d09566d1ce7b1f89028f3706a8916d3725e08cd"])
def test_unknown_build_takes_scalar_path(gate, build_id, forced):
    assert gate.kernel_paths_gate_choice(build_id, forced.encode()) == b"scalar"


@pytest.mark.parametrize("width", list(WIDTHS))
@pytest.mark.parametrize("mode, slot", [
    (EXP_SLOT, 0), (EXP_SLOT, 77), (EXP_SLOT, 127), (EXP_TIES, 0), (LOG_SLOT, 0), (LOG_SLOT, 93),
    (LOG_NEAR_ONE_BOUND, 0), (POW_SLOT, 5), (POW_SLOT, 127), (POW_OF_BASE_SLOT, 0), (POW_OF_BASE_SLOT, 66),
    (POW_OF_BASES_SLOT, 3), (POW_OF_BASES_SLOT, 127),
])
def test_probe_notices_altered_function(gate, width, mode, slot):
    path = runnable(gate, width)
    listed_build(gate)
    assert gate.kernel_paths_probe_agrees_altered(path, 0, 0)
    assert not gate.kernel_paths_probe_agrees_altered(path, mode, slot)


TINY, HUGE = 2.0 ** -1022, 2.0 ** 63
# Operands just off the paths the vector code computes, where the C library takes other paths:
# each lane must be the scalar call's, whatever the library. By function (as kernel_paths numbers
# them): x, or (x, y) for pow. A gate that admitted exp to |x| < 1024, log's subnormals, pow's
# tiny or huge exponents or its products beyond exp's table path would compute them wrongly.
OFF_PATH = {
    0: [512.0, -512.0, math.nextafter(512, 1e3), 600.0, 709.8, 710.0, -740.0, -745.2, -800.0, 1000.0, -1023.9,
        2.0 ** -55, -math.nextafter(2.0 ** -54, 0), 0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324],
    1: [5e-324, 1e-310, math.nextafter(TINY, 0), 2.0 ** -1030, 0.0, -0.0, -1.0, -1e-310, math.inf, -math.inf, math.nan],
    2: [(1e-310, 0.5), (5e-324, -0.4), (math.nextafter(TINY, 0), 2.5), (0.99, 2.0 ** -66), (1.5, -(2.0 ** -70)),
        (0.999999, HUGE), (1.000001, -2 * HUGE), (-2.0, 3.0), (0.0, 2.0), (math.inf, 0.5), (math.nan, 1.0),
        (2.0, math.nan), *((3.0, e / math.log(3.0)) for e in (512.5, 600.0, 709.9, -720.0, -745.5, -800.0))],
    # One base (the first x) for every exponent: the exponents alone leave the paths.
    3: [(3.0, e / math.log(3.0)) for e in (512.5, 600.0, 709.9, -720.0, -745.5, -800.0)]
       + [(3.0, 2.0 ** -66), (3.0, -HUGE), (3.0, math.inf), (3.0, math.nan)],
}
OFF_PATH[4] = OFF_PATH[2]  # pow of eight bases at a time


@pytest.mark.parametrize("width", list(WIDTHS))
@pytest.mark.parametrize("function, name", [(0, "exp"), (1, "log"), (2, "pow"), (3, "pow_of_base"), (4, "pow_of_bases")])
def test_lanes_off_the_ported_paths_take_the_scalar_call(gate, width, function, name):
    path = runnable(gate, width)
    operands = OFF_PATH[function]
    x, y = (np.array(column, dtype=float) for column in zip(*operands)) if function >= 2 else (np.array(operands), None)
    # Each operand among served ones (1.5, 0.75), at every lane position of a block of eight.
    n = len(x) * 9
    at = np.arange(len(x)) * 9 + np.arange(len(x)) % 8
    xs, ys = np.resize([1.5, 0.75], n), np.resize([0.75, 1.5], n)
    xs[at] = x
    if y is not None:
        ys[at] = y
    got, want = np.empty(n), np.empty(n)
    gate.kernel_paths_math(path, function, xs.ctypes.data, ys.ctypes.data, got.ctypes.data, n)
    gate.kernel_paths_math(0, function, xs.ctypes.data, ys.ctypes.data, want.ctypes.data, n)
    assert got[at].view(np.uint64).tolist() == want[at].view(np.uint64).tolist(), name


def test_non_fma_library_takes_exact_scalar_path(gate):
    """Made to choose its non-FMA builds, the library returns other doubles for some operands:
    the probe must see it, and the module's results stay those of the plain formulas."""
    env = dict(os.environ, GLIBC_TUNABLES="glibc.cpu.hwcaps=-AVX2,-FMA")
    check = (f"import ctypes; lib = ctypes.CDLL({str(library_path('kernel_paths.so'))!r}); "
             "lib.kernel_paths_gate_choice.argtypes = [ctypes.c_char_p, ctypes.c_char_p]; "
             "lib.kernel_paths_gate_choice.restype = ctypes.c_char_p; "
             "print(*(lib.kernel_paths_probe_agrees_altered(p, 0, 0) for p in (1, 2) + (3,) * lib.kernel_paths_cpu_runs(3)), "
             "lib.kernel_paths_gate_choice(None, b'').decode())")
    child = subprocess.run([sys.executable, "-c", check], env=env, capture_output=True, text=True, check=True)
    assert set(child.stdout.split()[:-1]) == {"0"} and child.stdout.split()[-1] == "scalar"
    identity = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(HERE / "test_plain_identity.py"),
         "-k", "module and (realistic or grouped)"], env=env, capture_output=True, text=True)
    assert identity.returncode == 0, identity.stdout[-3000:]


@pytest.mark.parametrize("function", range(5), ids=["exp", "log", "pow", "pow_of_base", "pow_of_bases"])
def test_native_eight_lanes_match_the_two_halves(gate, function):
    """The AVX-512F leaves against the AVX2 halves on the same operands, whatever the library."""
    native = runnable(gate, "8")
    rng = np.random.default_rng(function)
    n = 40_003  # a partial last block
    x = np.concatenate([rng.uniform(-750, 750, n // 4), np.exp(rng.uniform(-745, 709, n // 4)),
                        rng.uniform(0.9, 1.1, n // 4), rng.integers(0, 2**64, n - 3 * (n // 4), np.uint64).view(float)])
    rng.shuffle(x)
    y = rng.uniform(-3, 3, n)
    if function == 3:  # one base, the exponents taking its powers across exp's whole range
        with np.errstate(invalid="ignore"):  # signalling NaNs among the random bits
            x, y = np.full(n, 1.7), x / 700
    got, want = np.empty(n), np.empty(n)
    gate.kernel_paths_math(native, function, x.ctypes.data, y.ctypes.data, got.ctypes.data, n)
    gate.kernel_paths_math(WIDTHS["2x4"], function, x.ctypes.data, y.ctypes.data, want.ctypes.data, n)
    assert np.array_equal(got.view(np.uint64), want.view(np.uint64))
