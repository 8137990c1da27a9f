"""Calls of every kind, repeated: neither references (in a debug interpreter), nor Python
memory blocks, nor C heap bytes, nor the reference counts of the objects involved may grow.
Every error path of the call path is exercised, and result arrays and their views are made,
used and dropped. Inputs are made once, outside the loops, so that only the calls are counted.
"""

import ctypes
from pathlib import Path

import numpy as np
import pytest

import _utils
from memory_helpers import DEBUG_INTERPRETER, HEAP_COUNTED, PYMALLOC, assert_no_growth, counts, heap_bytes
from subprocess_helpers import run_child_report

TESTS = Path(__file__).resolve().parent
CB14 = _utils._campbell_bozorgnia_2014
BA18 = _utils._bayless_abrahamson_2018_eas
V, S, P = np.array([300.0, 760.0, 1200.0]), np.array([500.0, 500.0, 1100.0]), np.array([0.1, 0.3, 0.5])
EMPTY = np.array([])
F4 = np.dtype(np.float32)


class Subclass(np.ndarray):
    pass


class Mute(str):
    def __str__(self):
        raise LookupError("no str")


def field(values):
    packed = np.zeros(len(values), dtype=[("tag", "u1"), ("value", "f8")])
    packed["value"] = values
    return packed["value"]


def read_only(values):
    values = values.copy()
    values.flags.writeable = False
    return values


def huge(n):
    return np.broadcast_to(np.float64(500.0), (n,))


_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


def vectorcall(function, values, kwnames):
    """The raw protocol: keyword names exactly as given, strings or not."""
    vector = (ctypes.py_object * len(values))(*values)
    return _vectorcall(function, ctypes.addressof(vector), len(values) - len(kwnames), id(kwnames))


def owner_of(result):
    """Drops a result array but hands back its owner, for the caller to drop: so that the
    owner's last reference goes from counted code rather than from NumPy's (see memory_helpers)."""
    return result.base


def views_outlive_the_result():
    a = BA18(V, S, P)
    owner, expected = a.base, a.tobytes()
    row, column, flipped = a[1], a[:, 7], a[::-1, ::3]
    del a
    assert row.tobytes() == expected[301 * 8:602 * 8] and column.tobytes()[8:16] == expected[308 * 8:309 * 8]
    assert flipped.tobytes()[:8] == expected[602 * 8:603 * 8]
    return owner


def write_and_export():
    a = CB14(V, S, P)
    a[0, 0] = 2.0
    with memoryview(a) as m:
        assert m.shape == (3, 22) and m[0, 0] == 2.0
    assert np.asarray(a) is a and a.T.base is a
    return a.base


LAYOUTS = (V[::-1], np.broadcast_to(np.float64(400.0), (3,)), field(P))
VARIANTS = (read_only(V), S.view(Subclass), np.ma.masked_array(P, mask=[0, 1, 0]))
MASKED = VARIANTS[2]
HUGE_MATRIX, HUGE_TRIPLES = huge(2**59), huge(2**55)

# (action, objects whose reference counts must come back, total-reference growth per call
# that NumPy's own reference operations cause: one per result owner whose last reference a
# NumPy array drops; None where views and buffers of NumPy's make it unpredictable)
SUCCESS = {
    "cb14 positional": (lambda: owner_of(CB14(V, S, P)), (V, S, P), 0),
    "ba18 keywords": (lambda: owner_of(BA18(pga_py=P, vs30_py=V, vs30_sim_py=S)), (V, S, P), 0),
    "cb14 mixed": (lambda: owner_of(CB14(V, pga_py=P, vs30_sim_py=S)), (V, S, P), 0),
    "empty": (lambda: (owner_of(CB14(EMPTY, EMPTY, EMPTY)), owner_of(BA18(EMPTY, EMPTY, EMPTY))), (EMPTY,), 0),
    "strided, broadcast, field": (lambda: owner_of(BA18(*LAYOUTS)), LAYOUTS, 0),
    "read-only, subclass, masked": (lambda: owner_of(CB14(*VARIANTS)), VARIANTS, 0),
    "one array thrice": (lambda: owner_of(BA18(V, V, V)), (V,), 0),
    "raw vectorcall": (lambda: owner_of(vectorcall(CB14, (V, P, S), ("pga_py", "vs30_sim_py"))), (V, S, P), 0),
    "result dropped whole": (lambda: CB14(V, S, P), (V, S, P), 1),
    "views outlive the result": (views_outlive_the_result, (V, S, P), None),
    "writing and buffer export": (write_and_export, (V, S, P), None),
}


def raises(error, function, *args, **kwargs):
    def action():
        try:
            function(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"{error.__name__} expected")
    return action


FAILURE = {
    "too many positional": raises(TypeError, CB14, V, S, P, V, vs30_py=V),
    "unexpected keyword": raises(TypeError, BA18, V, S, pga=P),
    "unexpected non-string name": raises(TypeError, vectorcall, CB14, (V, S, P), (1,)),
    "name whose str() fails": raises(LookupError, vectorcall, CB14, (V, S, P), (Mute("x"),)),
    "repeated keyword": raises(TypeError, vectorcall, BA18, (V, S, P), ("pga_py", "pga_py")),
    "multiple values": raises(TypeError, CB14, V, S, P, vs30_py=V),
    "missing one": raises(TypeError, CB14, V, S),
    "missing three": raises(TypeError, BA18),
    "None": raises(TypeError, CB14, V, S, None),
    "list": raises(TypeError, BA18, [1.0, 2.0, 3.0], S, P),
    "float32": raises(TypeError, CB14, V, S.astype(np.float32), P),
    "two dimensions": raises(TypeError, BA18, V.reshape(3, 1), S, P),
    "zero dimensions": raises(TypeError, CB14, V, S, np.float64(1.0)),
    "byte-swapped": raises(TypeError, BA18, V, S, P.astype(">f8")),
    "refused after two accepted": raises(TypeError, CB14, V, MASKED, "x"),
    "lengths differ": raises(ValueError, BA18, V, S, P[:2]),
    "matrix bytes overflow": raises(MemoryError, BA18, HUGE_MATRIX, HUGE_MATRIX, HUGE_MATRIX),
    "triples too big": raises(MemoryError, CB14, HUGE_TRIPLES, HUGE_TRIPLES, HUGE_TRIPLES),
    "grid with an argument": raises(TypeError, _utils._campbell_bozorgnia_2014_frequencies, 1),
}


# (NumPy's array type and built-in dtypes are immortal: their counts never move.)
ALWAYS_WATCHED = (_utils, CB14, BA18, np.dtype(">f8"), np._core.multiarray._ARRAY_API)


@pytest.mark.parametrize("action, watched, numpy_refs", SUCCESS.values(), ids=SUCCESS.keys())
def test_successful_calls_leak_nothing(action, watched, numpy_refs):
    owner_type = type(CB14(V, S, P).base)
    assert_no_growth(action, watched=(*watched, *ALWAYS_WATCHED, owner_type), numpy_refs=numpy_refs)


# NumPy's test of a float32 dtype against float64 moves the total by itself.
FAILURE_NUMPY_REFS = {"float32": lambda: F4 == np.dtype(np.float64)}


@pytest.mark.parametrize("name, action", FAILURE.items(), ids=FAILURE.keys())
def test_failing_calls_leak_nothing(name, action):
    assert_no_growth(action, watched=(V, S, P, MASKED, HUGE_MATRIX, *ALWAYS_WATCHED),
                     numpy_refs=FAILURE_NUMPY_REFS.get(name, 0))


def test_grids_leak_nothing():
    """A grid is an array whose data NumPy allocates: the total moves as it does for np.empty."""
    for grid in (_utils._campbell_bozorgnia_2014_frequencies, _utils._bayless_abrahamson_2018_frequencies):
        assert_no_growth(grid, watched=(grid, *ALWAYS_WATCHED), numpy_refs=lambda: np.empty(22))


needs_heap_count = pytest.mark.skipif(not HEAP_COUNTED, reason="the C heap is not counted here")


@needs_heap_count
def test_result_storage_is_freed_with_its_last_view():
    rng = np.random.default_rng(6)
    n = 4000  # a 9.6 MB matrix
    sites = [rng.uniform(150.0, 1500.0, n), rng.uniform(150.0, 1500.0, n), rng.uniform(0.0, 1.0, n)]
    start = heap_bytes()
    a = BA18(*sites)
    size = a.nbytes
    assert heap_bytes() - start >= size
    view = a[2:]
    expected = view.copy()
    held = heap_bytes()
    del a
    # The count is the whole process's: other threads (a cluster's, Dask's) move it by kilobytes.
    assert heap_bytes() > held - size // 2  # the view keeps the whole storage alive
    assert (view == expected).all()
    del view
    assert heap_bytes() < held - size // 2


# NumPy made unimportable with a plain ImportError: for a ModuleNotFoundError the rendering of
# the traceback would search sys.path for similar names, a hundred times slower.
BLOCK_NUMPY_QUICKLY = """
class NumpyBlocker:
    active = True

    def find_spec(self, name, path=None, target=None):
        if self.active and (name == "numpy" or name.startswith("numpy.")):
            raise ImportError("numpy is blocked")

BLOCKER = NumpyBlocker()
sys.meta_path.insert(0, BLOCKER)
"""


def test_failing_numpy_import_leaks_nothing():
    """The internal-error path (NumPy's C interface unavailable), retried many times. The path
    looks attributes up by names made afresh each time, which CPython's type attribute cache
    holds on to for a while: Python blocks settle only after a thousand calls or so."""
    report = run_child_report(BLOCK_NUMPY_QUICKLY + f"""
import itertools
import _utils
sys.path.insert(0, {str(TESTS)!r})
from memory_helpers import growth

calls = itertools.cycle([_utils._campbell_bozorgnia_2014_frequencies, lambda: _utils._bayless_abrahamson_2018_eas(1, 2, 3)])

def fail():
    try:
        next(calls)()
    except BaseException as exc:
        assert type(exc).__name__ == "InternalError", exc
    else:
        raise AssertionError("no error")

grown = growth(fail, watched=(_utils._campbell_bozorgnia_2014_frequencies,), warmup=1000, repeat=200)
BLOCKER.active = False
report(grown=grown, shape=_utils._campbell_bozorgnia_2014_frequencies().shape)
""")
    refs, blocks, heap, watched = report["grown"]
    assert report["shape"] == [22]
    assert abs(refs) < 50 and blocks < 50 and heap < 200 * 16 and watched == 0, report


@needs_heap_count
def test_counters_see_a_leak():
    """The measurement itself: holding on to results grows every counter."""
    kept = []
    before = counts([V])
    for _ in range(200):
        kept.append(CB14(V, S, P))
    grown = [a - b for a, b in zip(counts([V]), before)]
    # Some chunks come from caches counted as in use already, and other tests' garbage may be
    # freed meanwhile: allow 20 results' worth.
    assert grown[2] >= 180 * 3 * 22 * 8 and grown[3] == 0
    if PYMALLOC:
        assert grown[1] >= 200
    if DEBUG_INTERPRETER:
        assert grown[0] >= 200
