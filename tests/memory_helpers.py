"""Counting what a process holds: references, Python memory blocks and C heap bytes.

The module's own allocations (site triples, result matrices) come from the C heap, which
neither reference counts nor Python's block count see; heap_bytes() reads the allocator's own
count of bytes in use: AddressSanitizer's when its runtime is loaded, glibc's otherwise.

In a debug interpreter the total reference count moves only with reference operations compiled
in debug mode: the interpreter's and this module's, not those of a release-built NumPy. An
object whose last reference NumPy drops (the owner of a result array when NumPy frees the array,
the memory handler of an array whose data NumPy allocated) leaves the total one higher although
nothing is leaked; other NumPy calls move it too. The checks below are told how much of that
a call causes, or measure it on the same NumPy calls made without this module.
"""

import ctypes
import gc
import sys

class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_sanitizer_allocated = _mallinfo2 = None
if sys.platform == "linux":  # elsewhere the heap is not counted: heap_bytes() stays 0
    _process = ctypes.CDLL(None)
    try:
        _sanitizer_allocated = _process.__sanitizer_get_current_allocated_bytes
        _sanitizer_allocated.restype = ctypes.c_size_t
        _sanitizer_allocated.argtypes = []
    except AttributeError:
        _mallinfo2 = _process.mallinfo2
        _mallinfo2.restype = _MallInfo2
        _mallinfo2.argtypes = []

UNDER_SANITIZER = _sanitizer_allocated is not None
HEAP_COUNTED = _sanitizer_allocated is not None or _mallinfo2 is not None
DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")
# Python's own allocator is in use (it is not with PYTHONMALLOC=malloc, as under the sanitizer):
# Python objects are counted as blocks, not as heap bytes.
PYMALLOC = sys.getallocatedblocks() > 0


def heap_bytes():
    """Bytes of the C heap in use (with glibc: the main arena, which the main thread uses, and
    chunks of their own mapping)."""
    if _sanitizer_allocated is not None:
        return _sanitizer_allocated()
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def counts(watched=()):
    """Total references (0 outside a debug interpreter), Python blocks, C heap bytes, and the
    reference count of each watched object."""
    gc.collect()
    refs = sys.gettotalrefcount() if DEBUG_INTERPRETER else 0
    return [refs, sys.getallocatedblocks(), heap_bytes(), *(sys.getrefcount(w) for w in watched)]


def growth(action, *, watched=(), repeat=100, rounds=3, warmup=20):
    """Runs action() warmup times, then `rounds` rounds of `repeat` calls. Returns, per counter,
    the growth of the round that grew least (so that a one-off allocation does not count)."""
    for _ in range(warmup):
        action()
    deltas = []
    gc.collect()
    gc.freeze()  # what exists now is left out of the collections below, which keeps them quick
    try:
        for _ in range(rounds):
            before = counts(watched)
            for _ in range(repeat):
                action()
            deltas.append([a - b for a, b in zip(counts(watched), before)])
    finally:
        gc.unfreeze()
    return [min(column, key=abs) for column in zip(*deltas)]


def assert_no_growth(action, *, watched=(), numpy_refs=0, repeat=100):
    """A leaked reference, block or allocation per call grows its counter by `repeat` in every
    round, a reference too few shrinks it; allow far less than that. `numpy_refs` is the growth
    of the total reference count per call that NumPy's own reference operations cause (see
    above): a number, an action that makes the same NumPy calls without this module, or None
    where NumPy's own view and buffer machinery moves the total too much to tell."""
    if callable(numpy_refs):
        numpy_refs = growth(numpy_refs, repeat=repeat)[0] / repeat
    refs, blocks, heap, *watched_growth = growth(action, watched=watched, repeat=repeat)
    report = {"refs": refs, "blocks": blocks, "heap bytes": heap, "watched": watched_growth}
    if DEBUG_INTERPRETER and numpy_refs is not None:
        assert abs(refs - numpy_refs * repeat) < repeat // 4, report
    assert blocks < repeat // 4, report
    assert heap < repeat * 16, report
    assert watched_growth == [0] * len(watched), report
