"""Every Python allocation of a call made to fail in turn (CPython's _testcapi.set_nomemory):
the call then returns its right result or fails with an orderly exception, never crashes,
never returns a wrong result, and leaves nothing behind; afterwards the process works on."""

from pathlib import Path

import pytest

from subprocess_helpers import BLOCK_NUMPY, run_child_report

pytest.importorskip("_testcapi")

TESTS = Path(__file__).resolve().parent

SWEEP = f"""
import _testcapi
sys.path.insert(0, {str(TESTS)!r})
from memory_helpers import growth

sys.unraisablehook = lambda unraisable: None  # reports of the failures are not what is tested

def describe(exc):
    return [type(exc).__name__, str(exc), getattr(exc, "__notes__", None)]

def fail_at(call, k):
    \"\"\"call() with the (k+1)-th Python allocation failing; its outcome, described.\"\"\"
    outcome = None
    _testcapi.set_nomemory(k, k + 1)
    try:
        value = call()
    except BaseException as exc:
        outcome = exc
    finally:
        _testcapi.remove_mem_hooks()
    if outcome is not None:
        return describe(outcome)
    kept = getattr(value, "base", None)  # the owner goes from here, not from NumPy
    answer = ["value", value.tobytes().hex()]
    del value, kept
    return answer

def sweep(call, allocations=60):
    return [fail_at(call, k) for k in range(allocations)]
"""

CALLS = SWEEP + """
import numpy as np
import _utils

V, S, P = np.array([300.0, 760.0, 1200.0]), np.array([500.0, 500.0, 1100.0]), np.array([0.1, 0.3, 0.5])
cb14, ba18 = _utils._campbell_bozorgnia_2014, _utils._bayless_abrahamson_2018_eas
# NumPy's C interface is imported first: that runs NumPy's Python code, whose behaviour under
# failing allocations is CPython's business (a debug CPython trips its own assertions there).
_utils._campbell_bozorgnia_2014_frequencies()
calls = {
    "cb14": lambda: cb14(V, S, P),  # the first result: the owner type is made under failures
    "ba18 by keyword": lambda: ba18(pga_py=P, vs30_py=V, vs30_sim_py=S),
    "empty": lambda: cb14(V[:0], S[:0], P[:0]),
    "grid": _utils._bayless_abrahamson_2018_frequencies,
    "refused": lambda: ba18(V, S, [0.1]),
    "unexpected keyword": lambda: cb14(V, S, pga=P),
    "missing": lambda: ba18(V),
    "lengths differ": lambda: cb14(V, S, P[:2]),
}
outcomes = {name: sweep(call) for name, call in calls.items()}
expected = {name: fail_at(call, 10**9) for name, call in calls.items()}
grown = {name: growth(lambda: sweep(call), warmup=1, repeat=1) for name, call in calls.items()}
# NumPy allocating an array's data moves a debug interpreter's total reference count by itself
numpy_allocation = growth(lambda: sweep(lambda: np.empty(301)), warmup=1, repeat=1)
grown["grid"][0] -= numpy_allocation[0]
report(outcomes=outcomes, expected=expected, grown=grown)
"""

NUMPY_IMPORT_FAILED = "Failed to access NumPy array API capsule: "
INTERNAL_ERRORS = (
    "Failed to create slice container: out of memory",
    "NumPy could not create a float64 array",
    "failed to create type object for `PySliceContainer`",
)


def orderly(outcome, expected):
    """The right outcome, or a failure that running out of memory explains."""
    if outcome == expected or outcome[0] == "MemoryError":
        return True
    if outcome[0] == "InternalError":
        return outcome[1] in INTERNAL_ERRORS or outcome[1].startswith(NUMPY_IMPORT_FAILED)
    if outcome[1] == "'<failed to extract type name>' object is not an instance of 'ndarray'":
        return outcome[0] == expected[0] == "TypeError"  # the type's name could not be made
    # the exception the rules give, whose note could not be added
    return outcome[:2] == expected[:2] and outcome[2] in (None, [])


def test_every_allocation_of_a_call_may_fail(monkeypatch):
    # Without glibc's per-thread cache, a freed chunk counts as free at once: a single lost
    # matrix shows in the heap's count.
    monkeypatch.setenv("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0")
    report = run_child_report(CALLS, timeout=300)
    for name, outcomes in report["outcomes"].items():
        expected = report["expected"][name]
        wrong = [(k, o) for k, o in enumerate(outcomes) if not orderly(o, expected)]
        assert not wrong, (name, expected, wrong[:3])
        assert outcomes[-1] == expected, name  # the sweep reached past the call's allocations
    for name, (refs, blocks, heap) in report["grown"].items():
        assert abs(refs) < 20 and blocks < 20 and heap < 256, (name, report["grown"][name])


INTERNAL_ERROR_PATH = BLOCK_NUMPY + SWEEP + """
import _utils

outcomes = sweep(_utils._campbell_bozorgnia_2014_frequencies, allocations=400)
BLOCKER.active = False
report(outcomes=outcomes, afterwards=_utils._campbell_bozorgnia_2014_frequencies().shape)
"""


def test_failing_numpy_import_under_failing_allocations():
    report = run_child_report(INTERNAL_ERROR_PATH, timeout=300)
    kinds = {(o[0], o[1].startswith(NUMPY_IMPORT_FAILED)) for o in report["outcomes"]}
    assert kinds <= {("InternalError", True), ("MemoryError", False), ("RecursionError", False)}, kinds
    assert ("InternalError", True) in kinds and report["afterwards"] == [22]
