"""Running out of memory: when the site triples or the matrix cannot be allocated, the call
raises MemoryError, keeps nothing, and the process carries on with calls that work."""

import os
import sys
from pathlib import Path

import pytest

from memory_helpers import UNDER_SANITIZER
from subprocess_helpers import run_child_report

TESTS = Path(__file__).resolve().parent
SITES = 1_000_000  # site triples: 24 MB; matrix: 176 MB (cb14) or 2.4 GB (ba18)

CHILD = """
import resource
import numpy as np
import _utils
sys.path.insert(0, {tests!r})
from memory_helpers import UNDER_SANITIZER, growth

f = getattr(_utils, {name!r})
inputs = [np.full({sites}, 500.0), np.full({sites}, 400.0), np.full({sites}, 0.3)]
snapshots = [a.tobytes() for a in inputs]
small = [np.array([500.0, 300.0]), np.array([400.0, 760.0]), np.array([0.3, 0.1])]
expected = f(*small).tobytes()

def address_space():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

if not UNDER_SANITIZER:  # (the sanitizer's own limit is set through ASAN_OPTIONS instead)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + {headroom}, resource.RLIM_INFINITY))

def attempt():
    try:
        f(*inputs)
    except MemoryError as exc:
        return type(exc).__name__ + ": " + str(exc)
    return "no error"

outcomes = {{attempt() for _ in range(3)}}
grown = growth(attempt, warmup=3, repeat=20)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
report(outcomes=sorted(outcomes), grown=grown, small_right=f(*small).tobytes() == expected,
       inputs_unchanged=[a.tobytes() for a in inputs] == snapshots,
       large_works=f(*[a[:1000] for a in inputs]).shape[0] == 1000)
"""

MIB = 1 << 20
pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="address-space limits as Linux sets them")


@pytest.mark.parametrize("name", ["_campbell_bozorgnia_2014", "_bayless_abrahamson_2018_eas"])
@pytest.mark.parametrize("failing, headroom", [("matrix", 96 * MIB), ("site triples", 8 * MIB)])
def test_failed_allocation_raises_memory_error_and_keeps_nothing(name, failing, headroom, monkeypatch):
    if UNDER_SANITIZER:
        options = os.environ.get("ASAN_OPTIONS", "")
        monkeypatch.setenv("ASAN_OPTIONS", f"{options}:max_allocation_size_mb={headroom // MIB}")
    report = run_child_report(CHILD.format(tests=str(TESTS), name=name, sites=SITES, headroom=headroom))
    assert report["outcomes"] == ["MemoryError: "], report
    refs, blocks, heap = report["grown"]
    assert abs(refs) < 5 and blocks < 5 and heap < 4096, report  # a leak per call: 20 or 24 MB
    assert report["small_right"] and report["inputs_unchanged"] and report["large_works"], report
