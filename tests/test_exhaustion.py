"""Running out of memory: when the matrix or the site triples cannot be allocated, the call
raises MemoryError, keeps nothing, and the process carries on with calls that work. The matrix
is allocated first, so a call whose result cannot exist fails before it gathers its sites."""

import os
import sys
from pathlib import Path

import pytest

from call_helpers import AMPLIFIERS
from memory_helpers import UNDER_SANITIZER
from subprocess_helpers import run_child_report

TESTS = Path(__file__).resolve().parent
SITES = 1_000_000  # site triples: 24 MB; matrix: 176 MB (cb14) or 2.4 GB (ba18)

# Limits the address space to what the process holds now plus `headroom` bytes.
LIMIT = """
import resource
import numpy as np
import _utils
sys.path.insert(0, {tests!r})
from memory_helpers import UNDER_SANITIZER, growth, heap_bytes

def address_space():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

def limit_address_space():
    if not UNDER_SANITIZER:  # (the sanitizer's own limit is set through ASAN_OPTIONS instead)
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + {headroom}, resource.RLIM_INFINITY))
"""

CHILD = LIMIT + """
f = getattr(_utils, {name!r})
inputs = [np.full({sites}, 500.0), np.full({sites}, 400.0), np.full({sites}, 0.3)]
snapshots = [a.tobytes() for a in inputs]
small = [np.array([500.0, 300.0]), np.array([400.0, 760.0]), np.array([0.3, 0.1])]
expected = f(*small).tobytes()
limit_address_space()

def attempt():
    try:
        f(*inputs)
    except MemoryError as exc:
        return type(exc).__name__ + ": " + str(exc)
    return "no error"

heap = heap_bytes()
outcomes = {{attempt() for _ in range(3)}}
kept = heap_bytes() - heap  # a leak that makes later calls fail sooner shows only here
grown = growth(attempt, warmup=3, repeat=20)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
report(outcomes=sorted(outcomes), grown=grown, kept=kept, small_right=f(*small).tobytes() == expected,
       inputs_unchanged=[a.tobytes() for a in inputs] == snapshots,
       large_works=f(*[a[:1000] for a in inputs]).shape[0] == 1000)
"""

MIB = 1 << 20
pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="address-space limits as Linux sets them")


def limit_sanitizer_allocations(monkeypatch, headroom):
    options = os.environ.get("ASAN_OPTIONS", "")
    monkeypatch.setenv("ASAN_OPTIONS", f"{options}:max_allocation_size_mb={headroom // MIB}")


@pytest.mark.parametrize("name, F", AMPLIFIERS)
@pytest.mark.parametrize("failing", ["matrix", "site triples"])
def test_failed_allocation_raises_memory_error_and_keeps_nothing(name, F, failing, monkeypatch):
    # The triples (24 MB) can fail only once the matrix, allocated first, has fitted.
    headroom = 96 * MIB if failing == "matrix" else SITES * F * 8 + 8 * MIB
    if UNDER_SANITIZER:
        if failing == "site triples":
            pytest.skip("the sanitizer limits each allocation, and the triples are smaller than the matrix")
        limit_sanitizer_allocations(monkeypatch, headroom)
    report = run_child_report(CHILD.format(tests=str(TESTS), name=name, sites=SITES, headroom=headroom))
    assert report["outcomes"] == ["MemoryError: "], report
    refs, blocks, heap = report["grown"]
    assert abs(refs) < 5 and blocks < 5 and heap < 4096, report  # a leak per call: 20 or 24 MB
    assert report["kept"] < MIB, report
    assert report["small_right"] and report["inputs_unchanged"] and report["large_works"], report


IMPOSSIBLE_SITES = 50_000_000  # site triples: 1.2 GB; matrix: 8.8 GB (cb14) or 120 GB (ba18)

IMPOSSIBLE = LIMIT + """
f = getattr(_utils, {name!r})
f(np.array([500.0]), np.array([400.0]), np.array([0.3]))  # the one-time set-up, beforehand
inputs = [np.broadcast_to(np.float64(v), ({sites},)) for v in (500.0, 400.0, 0.3)]  # stride 0
limit_address_space()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    f(*inputs)
    outcome = "no error"
except MemoryError as exc:
    outcome = type(exc).__name__ + ": " + str(exc)
report(outcome=outcome, peak_growth=(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak) * 1024)
"""


@pytest.mark.parametrize("name, F", AMPLIFIERS)
def test_impossible_call_fails_before_gathering_its_sites(name, F, monkeypatch):
    # Room for the triples but not for the matrix, whatever the system's overcommit policy: a
    # call that gathered first would write 24 bytes per site before failing.
    headroom = 2048 * MIB
    assert IMPOSSIBLE_SITES * 24 < headroom < IMPOSSIBLE_SITES * F * 8
    if UNDER_SANITIZER:
        limit_sanitizer_allocations(monkeypatch, headroom)
    report = run_child_report(IMPOSSIBLE.format(tests=str(TESTS), name=name, sites=IMPOSSIBLE_SITES, headroom=headroom))
    assert report["outcome"] == "MemoryError: ", report
    assert report["peak_growth"] < IMPOSSIBLE_SITES * 24 // 64, report
