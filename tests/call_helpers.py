"""Shared helpers for the tests of the amplification call path and its result arrays."""

import numpy as np
import pytest

import _utils
from subprocess_helpers import run_child

# (Python name, number of frequency columns) of each amplification function.
AMPLIFIERS = [
    pytest.param("_campbell_bozorgnia_2014", 22, id="cb14"),
    pytest.param("_bayless_abrahamson_2018_eas", 301, id="ba18"),
]


def amplifier(name):
    return getattr(_utils, name)


def sites(n, seed=0):
    """Three float64 arrays of n distinct, realistic site triples (each value differs per site)."""
    rng = np.random.default_rng(seed)
    vs30 = rng.uniform(150.0, 1000.0, n)
    vs30_sim = rng.uniform(200.0, 1050.0, n)
    pga = rng.uniform(0.02, 1.2, n)
    return vs30, vs30_sim, pga


def marked_values(n, seed):
    """n values with bit patterns a stray write would hardly reproduce (-0.0, NaN payload, ...)."""
    v = np.random.default_rng(seed).uniform(100.0, 1000.0, n)
    special = [-0.0, np.nan, np.inf, -np.inf, 5e-324, 0.0]
    v[: len(special)] = special[:n]
    v.view(np.uint64)[1] |= 0xBEEF
    return v


def bits(a):
    """The exact bit patterns of a float64 array, in logical order (NaN payloads and -0.0 kept)."""
    return np.ascontiguousarray(a).view(np.uint64)


def assert_same_bits(actual, expected):
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(bits(actual), bits(expected))


def raw_bytes(a):
    """Every byte of the buffer behind a (a view's whole base, gaps between elements included)."""
    root = a
    while isinstance(root, np.ndarray) and root.base is not None:
        root = root.base
    if isinstance(root, np.ndarray):
        return root.tobytes()
    return bytes(memoryview(root))


def run_isolated(code, timeout=120):
    """Runs code in a fresh interpreter (same module path); a crash there fails only one test."""
    proc = run_child(code, timeout=timeout)
    assert proc.returncode == 0, f"exit status {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc.stdout
