"""The gate in front of the vector exp, log and pow.

The vector functions return the doubles of particular builds of the C library; the kernels use
them only when the CPU has AVX2 and FMA, the loaded libm's build-id is on the verified list and a
probe against the live scalar calls agrees. Anything else must give the scalar path, with
results identical to the plain formulas.
"""

import ctypes
import os
import subprocess
import sys
from pathlib import Path

import pytest

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


def test_verified_build_takes_vector_path(gate):
    build_id = loaded_build_id(gate)
    listed = (HERE.parent / "data" / "verified_libm_builds.csv").read_text()
    if f"\n{build_id}," not in listed:
        pytest.skip(f"this machine's libm ({build_id}) is not on the verified list")
    assert gate.kernel_paths_gate_chooses_vector(None)


@pytest.mark.parametrize("build_id", [b"", b"0" * 40, b"d09566d1ce7b1f89028f3706a8916d3725e08cd"])
def test_unknown_build_takes_scalar_path(gate, build_id):
    assert not gate.kernel_paths_gate_chooses_vector(build_id)


@pytest.mark.parametrize("mode, slot", [
    (EXP_SLOT, 0), (EXP_SLOT, 77), (EXP_SLOT, 127), (EXP_TIES, 0), (LOG_SLOT, 0), (LOG_SLOT, 93),
    (LOG_NEAR_ONE_BOUND, 0), (POW_SLOT, 5), (POW_SLOT, 127), (POW_OF_BASE_SLOT, 0), (POW_OF_BASE_SLOT, 66),
    (POW_OF_BASES_SLOT, 3), (POW_OF_BASES_SLOT, 127),
])
def test_probe_notices_altered_function(gate, mode, slot):
    assert gate.kernel_paths_probe_agrees_altered(0, 0)
    assert not gate.kernel_paths_probe_agrees_altered(mode, slot)


def test_non_fma_library_takes_exact_scalar_path(gate):
    """Made to choose its non-FMA builds, the library returns other doubles for some operands:
    the probe must see it, and the module's results stay those of the plain formulas."""
    env = dict(os.environ, GLIBC_TUNABLES="glibc.cpu.hwcaps=-AVX2,-FMA")
    check = (f"import ctypes; lib = ctypes.CDLL({str(library_path('kernel_paths.so'))!r}); "
             "lib.kernel_paths_gate_chooses_vector.argtypes = [ctypes.c_char_p]; "
             "print(lib.kernel_paths_probe_agrees_altered(0, 0), lib.kernel_paths_gate_chooses_vector(None))")
    child = subprocess.run([sys.executable, "-c", check], env=env, capture_output=True, text=True, check=True)
    assert child.stdout.split() == ["0", "0"]
    identity = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(HERE / "test_plain_identity.py"),
         "-k", "module and (realistic or grouped)"], env=env, capture_output=True, text=True)
    assert identity.returncode == 0, identity.stdout[-3000:]
