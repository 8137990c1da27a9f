"""Threads and lifetimes: the first calls of a process made by many threads at once, threads
calling both models while others pass results on and drop them, views that outlive their
result array, and module objects made again (re-import) or refused (second interpreter)."""

import gc
from pathlib import Path

import numpy as np
import pytest

import _utils
from call_messages import message, refused_note
from memory_helpers import HEAP_COUNTED, UNDER_SANITIZER, heap_bytes
from subprocess_helpers import BLOCK_NUMPY, run_child_report

TESTS = Path(__file__).resolve().parent
needs_heap_count = pytest.mark.skipif(not HEAP_COUNTED, reason="the C heap is not counted here")
PRELUDE = f"""
import threading
sys.path.insert(0, {str(TESTS)!r})
sys.setswitchinterval(1e-6)

def run_threads(count, target, timeout=60):
    barrier = threading.Barrier(count)
    def start(i):
        barrier.wait()
        target(i)
    threads = [threading.Thread(target=start, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    return sum(t.is_alive() for t in threads)
"""


def outcome_code(call):
    return f"""
    try:
        value = {call}
    except BaseException as exc:
        return ["raised", type(exc).__name__, str(exc), getattr(exc, "__notes__", None)]
    return ["value", value]
"""


FIRST_CALLS_WITHOUT_NUMPY = PRELUDE + """
import _utils
assert "numpy" not in sys.modules
calls = [
    lambda: _utils._campbell_bozorgnia_2014_frequencies().tolist(),
    lambda: _utils._bayless_abrahamson_2018_frequencies().tolist(),
    lambda: _utils._campbell_bozorgnia_2014([1.0], [2.0], [3.0]),
    lambda: _utils._bayless_abrahamson_2018_eas(pga_py=None, vs30_py=[1.0], vs30_sim_py=[2.0]),
]
outcomes = [None] * 32

def outcome(call):
""" + outcome_code("call()") + """
def work(i):
    outcomes[i] = outcome(calls[i % len(calls)])

hung = run_threads(len(outcomes), work)
report(hung=hung, outcomes=outcomes)
"""


def test_first_calls_from_many_threads_before_numpy_is_imported():
    import reference_models as ref

    for _ in range(3):  # fresh processes: each is one race for the one-time initialisations
        report = run_child_report(FIRST_CALLS_WITHOUT_NUMPY, timeout=120)
        assert report["hung"] == 0
        refused = ["raised", "TypeError", message("refused", type="list"), [refused_note("vs30_py")]]
        expected = [["value", list(ref.CB14_FREQUENCIES)], ["value", list(ref.BA18_FREQUENCIES)], refused, refused]
        assert report["outcomes"] == expected * 8


FIRST_CALLS_WITH_ARRAYS = PRELUDE + """
import numpy as np
import _utils
import reference_models as ref

rng = np.random.default_rng(15)
sites = [rng.uniform(150.0, 1500.0, 7), rng.uniform(150.0, 1500.0, 7), rng.uniform(0.0, 1.2, 7)]
models = [(_utils._campbell_bozorgnia_2014, ref.cb14_amplification),
          (_utils._bayless_abrahamson_2018_eas, ref.ba18_amplification)]
expected = [np.array(row_of(*[s.tolist() for s in sites])).tobytes() for _, row_of in models]
results = [None] * 24

def work(i):
    function, _ = models[i % 2]
    try:
        if i % 3 == 2:  # a refused argument: the first note needs the interned method name
            function(sites[0], sites[1], sites[2].astype(np.float32))
        else:
            results[i] = function(*sites)
    except TypeError as exc:
        results[i] = exc

hung = run_threads(len(results), work)
right = [isinstance(r, np.ndarray) and r.tobytes() == expected[i % 2] if i % 3 != 2 else
         isinstance(r, TypeError) and r.__notes__ == ["while processing 'pga_py'"] for i, r in enumerate(results)]
owner_types = {id(type(r.base)) for r in results if isinstance(r, np.ndarray)}
report(hung=hung, right=right, owner_types=len(owner_types))
"""


def test_first_calls_from_many_threads_with_arrays():
    for _ in range(3):
        report = run_child_report(FIRST_CALLS_WITH_ARRAYS, timeout=120)
        assert report == {"hung": 0, "right": [True] * 24, "owner_types": 1}


BUSY_THREADS = PRELUDE + """
import gc
import queue
import numpy as np
import _utils
from memory_helpers import heap_bytes

rng = np.random.default_rng(16)
n = 40
sites = [rng.uniform(150.0, 1500.0, n), rng.uniform(150.0, 1500.0, n), rng.uniform(0.0, 1.2, n)]
functions = [_utils._campbell_bozorgnia_2014, _utils._bayless_abrahamson_2018_eas]
expected = [f(*sites).copy() for f in functions]
handed_on = queue.Queue(maxsize=32)
errors = []
PRODUCERS, CONSUMERS, ROUNDS = 4, 3, 150

def produce(k):
    for i in range(ROUNDS):
        which = (k + i) % 2
        a = functions[which](*sites)
        if not (a == expected[which]).all():
            errors.append(f"producer {k}: wrong result")
        handed_on.put((which, a[1:], a[:, ::3], a.T if i % 2 else a.base))
        del a

def consume(k):
    kept = []
    while (item := handed_on.get()) is not None:
        which, rows, columns, other = item
        e = expected[which]
        if not ((rows == e[1:]).all() and (columns == e[:, ::3]).all()):
            errors.append(f"consumer {k}: a view changed")
        kept.append(item)  # views stay alive a while after their result is gone
        if len(kept) > 8:
            kept.pop(0)

for f in functions:  # the one-time initialisations are not what this measures
    f(*sites)
start = heap_bytes()
consumers = [threading.Thread(target=consume, args=(k,), daemon=True) for k in range(CONSUMERS)]
for t in consumers:
    t.start()
hung = run_threads(PRODUCERS, produce)
for _ in consumers:
    handed_on.put(None)
for t in consumers:
    t.join(60)
hung += sum(t.is_alive() for t in consumers)
del consumers, t
gc.collect()
report(hung=hung, errors=errors[:5], heap_growth=heap_bytes() - start)
"""


@needs_heap_count
def test_threads_calling_both_models_while_others_drop_results(monkeypatch):
    if not UNDER_SANITIZER:  # one malloc arena for all threads, so that heap_bytes() sees them all
        monkeypatch.setenv("GLIBC_TUNABLES", "glibc.malloc.arena_max=1")
    report = run_child_report(BUSY_THREADS, timeout=300)
    assert report["hung"] == 0 and report["errors"] == []
    # 600 results of 9.6 to 96 kB each have come and gone
    assert report["heap_growth"] < 64 * 1024, report


# ---- lifetimes in this process -------------------------------------------------------------

VIEWS = {
    "rows": lambda a: a[2:],
    "column": lambda a: a[:, 5],
    "reversed": lambda a: a[::-1, ::-2],
    "transpose": lambda a: a.T,
    "flattened": lambda a: a.reshape(-1),
    "view of a view": lambda a: a[1:][::3, 7:],
    "memoryview": lambda a: memoryview(a)[3:],
    "array on a buffer": lambda a: np.frombuffer(memoryview(a), dtype=np.float64)[5:],
}


@needs_heap_count
@pytest.mark.parametrize("make_view", VIEWS.values(), ids=VIEWS.keys())
def test_views_keep_the_storage_of_their_result(make_view):
    rng = np.random.default_rng(17)
    n = 2000  # a 4.8 MB matrix
    sites = [rng.uniform(150.0, 1500.0, n), rng.uniform(150.0, 1500.0, n), rng.uniform(0.0, 1.2, n)]
    gc.collect()
    start = heap_bytes()
    a = _utils._bayless_abrahamson_2018_eas(*sites)
    size = a.nbytes
    view = make_view(a)
    expected = np.array(view, copy=True)
    held = heap_bytes()
    assert held - start >= size
    del a
    gc.collect()
    # The count is the whole process's: other threads (a cluster's, Dask's) move it by kilobytes.
    assert heap_bytes() > held - size // 2  # nothing freed while the view lives
    assert np.array_equal(np.asarray(view), expected)
    del view
    gc.collect()
    assert heap_bytes() < held - size // 2  # ... and all of it with the view


@needs_heap_count
def test_owner_alone_keeps_the_storage():
    sites = [np.full(1000, 300.0), np.full(1000, 760.0), np.full(1000, 0.2)]
    gc.collect()
    start = heap_bytes()
    owner = _utils._campbell_bozorgnia_2014(*sites).base  # the array itself is gone
    gc.collect()
    # The count is the whole process's: other threads move it by bytes to kilobytes either way.
    assert heap_bytes() - start >= 1000 * 22 * 8 // 2
    del owner
    gc.collect()
    assert heap_bytes() - start < 1000 * 22 * 8 // 2  # freed, give or take other threads' kilobytes


OWNER_TYPE_TAMPERING = """
import numpy as np
import _utils

v = np.array([300.0])
result = _utils._campbell_bozorgnia_2014(v, v, v)
owner_type = type(result.base)

class Slots:  # the owner's size, so that only the types' kinds can refuse a swap
    __slots__ = ("a", "b", "c", "d")

def give_new():
    owner_type.__new__ = lambda cls: object.__new__(cls)
    owner_type()  # an owner with no storage and no release routine, dropped at once

def give_del():
    owner_type.__del__ = lambda self: None

def swap_class():
    result.base.__class__ = Slots

def adopt():
    Slots().__class__ = owner_type

def subclass():
    type("Sub", (owner_type,), {})

outcomes = {}
for attempt in (give_new, give_del, swap_class, adopt, subclass):
    try:
        attempt()
    except TypeError:
        outcomes[attempt.__name__] = "TypeError"
    else:
        outcomes[attempt.__name__] = "allowed"
report(outcomes=outcomes, intact=bool(result.sum() > 0))
"""


def test_owner_type_cannot_be_made_to_create_or_adopt_instances():
    report = run_child_report(OWNER_TYPE_TAMPERING)
    assert report == {
        "outcomes": dict.fromkeys(["give_new", "give_del", "swap_class", "adopt", "subclass"], "TypeError"),
        "intact": True,
    }


# ---- module objects ----------------------------------------------------------------------

REIMPORT = BLOCK_NUMPY + PRELUDE + """
import importlib

def error_class(module):
    try:
        module._campbell_bozorgnia_2014_frequencies()
    except BaseException as exc:
        return type(exc)

first = importlib.import_module("_utils")
first_error = error_class(first)          # NumPy blocked: the internal error class is made
del sys.modules["_utils"]
second = importlib.import_module("_utils")
same_error_class = error_class(second) is first_error
BLOCKER.active = False

import numpy as np
v = np.array([300.0, 900.0])
owner_types = {type(m._campbell_bozorgnia_2014(v, v, v).base) for m in (first, second)}
del sys.modules["_utils"]
third = importlib.import_module("_utils")
owner_types.add(type(third._bayless_abrahamson_2018_eas(v, v, v).base))
reloaded = importlib.reload(third)
report(
    distinct_modules=len({id(first), id(second), id(third)}),
    distinct_functions=len({id(m._campbell_bozorgnia_2014) for m in (first, second, third)}),
    same_error_class=same_error_class,
    error_is_base_exception=first_error.__bases__ == (BaseException,),
    owner_types=len(owner_types),
    all_lists=[m.__all__ == second.__all__ for m in (first, third)],
    old_module_works=first._bayless_abrahamson_2018_eas(v, v, v).shape,
    reloaded_works=reloaded._campbell_bozorgnia_2014_frequencies().shape,
)
"""


def test_reimported_module_works_and_shares_the_process_caches():
    report = run_child_report(REIMPORT)
    assert report == {
        "distinct_modules": 3, "distinct_functions": 3, "same_error_class": True, "error_is_base_exception": True,
        "owner_types": 1, "all_lists": [True, True], "old_module_works": [2, 301], "reloaded_works": [22],
    }


SECOND_INTERPRETER = PRELUDE + """
from concurrent import interpreters
import numpy as np
import _utils

v = np.array([300.0, 900.0])
before = _utils._campbell_bozorgnia_2014(v, v, v).tobytes()
refusals = []
for _ in range(2):
    interp = interpreters.create()
    try:
        interp.exec("import _utils")
    except interpreters.ExecutionFailed as failure:
        refusals.append(failure.excinfo.type.__name__)
    else:
        refusals.append("imported")
    interp.close()
report(refusals=refusals, main_still_works=_utils._campbell_bozorgnia_2014(v, v, v).tobytes() == before)
"""


def test_second_interpreter_is_refused_without_harm():
    report = run_child_report(SECOND_INTERPRETER)
    assert report == {"refusals": ["ImportError", "ImportError"], "main_still_works": True}
