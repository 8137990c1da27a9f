"""The arrays returned by the amplification functions and the owner object behind their data."""

import ctypes
import gc
import struct
import sys
import weakref

import numpy as np
import pytest

from call_helpers import AMPLIFIERS, amplifier, assert_same_bits, run_isolated, sites

amplifiers = pytest.mark.parametrize("name, F", AMPLIFIERS)
WORD = struct.calcsize("P")  # storage, length, capacity and the release routine: one word each


def _fresh_reference_count():
    """What sys.getrefcount reports for an object held by exactly one container."""
    holder = [object()]
    return sys.getrefcount(holder[0])


@amplifiers
@pytest.mark.parametrize("n", [0, 1, 5])
def test_result_layout(name, F, n):
    a = amplifier(name)(*sites(n))
    assert type(a) is np.ndarray
    assert a.dtype == np.float64 and a.dtype.isnative
    assert a.ndim == 2 and a.shape == (n, F)
    assert a.strides == ((8 * F, 8) if n else (0, 0))
    assert a.flags.writeable and a.flags.c_contiguous and a.flags.aligned
    assert not a.flags.owndata
    address = a.__array_interface__["data"][0]
    assert address != 0 and address % 8 == 0
    assert type(a.base).__name__ == "PySliceContainer"
    # the owner holds the storage, its length and its capacity (nothing allocated when n = 0)
    owner_words = ctypes.c_size_t * 3
    assert list(owner_words.from_address(id(a.base) + object.__basicsize__)) == [address, n * F, n * F]


@amplifiers
def test_owner_type(name, F):
    a = amplifier(name)(*sites(2))
    owner = type(a.base)
    assert owner.__name__ == owner.__qualname__ == "PySliceContainer"
    assert owner.__module__ == "builtins"
    assert owner.__mro__ == (owner, object)
    assert owner.__basicsize__ == object.__basicsize__ + 4 * WORD and owner.__itemsize__ == 0
    doc = owner.__doc__
    assert isinstance(doc, str) and doc.strip() and "\n" not in doc.strip()
    assert [attr for attr in dir(owner) if not attr.startswith("__")] == []
    assert not isinstance(a.base, np.ndarray)


@amplifiers
@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda t: t(), id="call"),
        pytest.param(lambda t: t(1), id="call-with-argument"),
        pytest.param(lambda t: object.__new__(t), id="object.__new__"),
    ],
)
def test_owner_type_cannot_be_instantiated(name, F, make):
    owner = type(amplifier(name)(*sites(1)).base)
    with pytest.raises(TypeError):
        make(owner)


def test_owner_type_is_shared():
    owners = {
        id(type(amplifier(name)(*sites(n)).base))
        for name in ("_campbell_bozorgnia_2014", "_bayless_abrahamson_2018_eas")
        for n in (0, 1, 3, 3)
    }
    assert len(owners) == 1


def test_owner_type_created_once_under_concurrent_first_calls():
    out = run_isolated(
        """
        import threading
        import numpy as np
        import _utils
        names = ["_campbell_bozorgnia_2014", "_bayless_abrahamson_2018_eas"] * 4
        barrier = threading.Barrier(len(names))
        owners = [None] * len(names)
        def work(i):
            f = getattr(_utils, names[i])
            v = np.array([300.0, 500.0])
            barrier.wait()
            owners[i] = type(f(v, v, np.array([0.1, 0.2])).base)
        threads = [threading.Thread(target=work, args=(i,)) for i in range(len(names))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len({id(t) for t in owners}) == 1, owners
        assert owners[0].__name__ == "PySliceContainer"
        print("ok")
        """
    )
    assert out.strip() == "ok"


@amplifiers
def test_results_are_independent(name, F):
    f = amplifier(name)
    values = sites(4)
    a = f(*values)
    b = f(*values)
    assert_same_bits(a, b)
    assert a is not b and a.base is not b.base
    assert not np.shares_memory(a, b)
    expected = b.copy()
    a[...] = -1.0
    a[0, 0] = np.nan
    assert (a[1:] == -1.0).all()
    assert_same_bits(b, expected)
    assert_same_bits(f(*values), expected)


@amplifiers
def test_view_outlives_result(name, F):
    f = amplifier(name)
    values = sites(6)
    a = f(*values)
    v = a[1:]
    column = a[:, -1]
    expected_v, expected_column = v.copy(), column.copy()
    del a
    gc.collect()
    # Reuse of freed memory by further results would show in the views.
    other = sites(6, seed=99)
    for _ in range(50):
        f(*other)
    junk = [f(*other) for _ in range(10)]
    assert_same_bits(v, expected_v)
    assert_same_bits(column, expected_column)
    del junk, column
    gc.collect()
    assert_same_bits(v, expected_v)
    v[...] = 0.0  # still our own storage
    del v
    gc.collect()
    assert f(*values).shape == (6, F)


@amplifiers
@pytest.mark.parametrize("n", [0, 3])
def test_no_reference_leaks(name, F, n):
    f = amplifier(name)
    values = sites(n)
    fresh = _fresh_reference_count()
    # The result is the caller's only reference; its owner is referenced by the result alone.
    a = f(*values)
    holder = [a]
    del a
    assert sys.getrefcount(holder[0]) == fresh
    assert sys.getrefcount(holder[0].base) == fresh
    ref = weakref.ref(holder[0])
    holder.clear()
    assert ref() is None
    # Owners release their type when they go, and nothing accumulates over many calls.
    owner_type = type(f(*values).base)
    before = sys.getrefcount(owner_type)
    for _ in range(200):
        f(*values)
    assert abs(sys.getrefcount(owner_type) - before) <= 2
