"""How the amplification functions read their input arrays: any layout, any length, read only."""

import itertools
import sys

import numpy as np
import pytest

from call_helpers import AMPLIFIERS, amplifier, assert_same_bits, marked_values, raw_bytes, run_isolated, sites

amplifiers = pytest.mark.parametrize("name, F", AMPLIFIERS)

PACKED = np.dtype([("a", "u1"), ("x", "<f8")])  # itemsize 9: the field is unaligned, stride 9


def _reversed(v):
    return v[::-1].copy()[::-1]


def _every_other(v):
    backing = np.full(2 * len(v), -1.0)
    backing[::2] = v
    return backing[::2]


def _every_other_reversed(v):
    backing = np.full(2 * len(v) + 1, -1.0)
    backing[::-2][: len(v)] = v
    return backing[::-2][: len(v)]


def _read_only(v):
    v = v.copy()
    v.flags.writeable = False
    return v


def _unaligned_contiguous(v):
    buffer = bytearray(8 * len(v) + 1)
    view = np.frombuffer(buffer, dtype="<f8", offset=1, count=len(v))
    view[:] = v
    return view


def _packed_field(v):
    s = np.zeros(len(v), PACKED)
    s["a"] = 0xA5
    s["x"] = v
    return s["x"]


def _packed_field_reversed(v):
    s = np.zeros(len(v), PACKED)
    s["a"] = 0x5A
    s["x"] = v[::-1]
    return s["x"][::-1]


LAYOUTS = {
    "contiguous": np.ascontiguousarray,
    "reversed": _reversed,
    "every-other": _every_other,
    "every-other-reversed": _every_other_reversed,
    "read-only": _read_only,
    "unaligned": _unaligned_contiguous,
    "packed-field": _packed_field,
    "packed-field-reversed": _packed_field_reversed,
}


def test_layouts_are_what_they_claim():
    v = np.arange(5.0)
    strides = [make(v).strides[0] for make in LAYOUTS.values()]
    assert strides == [8, -8, 16, -16, 8, 8, 9, -9]
    assert not LAYOUTS["unaligned"](v).flags.aligned and not LAYOUTS["packed-field"](v).flags.aligned
    for make in LAYOUTS.values():
        np.testing.assert_array_equal(make(v), v)


@amplifiers
@pytest.mark.parametrize("layout", [k for k in LAYOUTS if k != "contiguous"])
@pytest.mark.parametrize("position", [0, 1, 2, "all"])
@pytest.mark.parametrize("n", [2, 9])
def test_layout_gives_same_result_as_contiguous(name, F, layout, position, n):
    f = amplifier(name)
    values = sites(n, seed=3)
    expected = f(*values)
    positions = range(3) if position == "all" else [position]
    args = [LAYOUTS[layout](v) if i in positions else v.copy() for i, v in enumerate(values)]
    assert_same_bits(f(*args), expected)


MIXES = [
    *itertools.permutations(["reversed", "packed-field", "every-other-reversed"]),
    ("unaligned", "every-other", "read-only"),
]


@amplifiers
@pytest.mark.parametrize("combo", MIXES, ids="/".join)
def test_mixed_layouts(name, F, combo):
    f = amplifier(name)
    values = sites(11, seed=4)
    args = [LAYOUTS[layout](v) for layout, v in zip(combo, values)]
    assert_same_bits(f(*args), f(*values))


@amplifiers
@pytest.mark.parametrize("position", [0, 1, 2])
def test_broadcast_input(name, F, position):
    f = amplifier(name)
    values = list(sites(6, seed=5))
    constant = values[position][2]
    values[position] = np.full(6, constant)
    expected = f(*values)
    args = list(values)
    args[position] = np.broadcast_to(np.float64(constant), (6,))
    assert args[position].strides == (0,)
    assert_same_bits(f(*args), expected)
    # Every input broadcast: all rows equal the single site's row.
    single = [np.full(1, v[0]) for v in values]
    row = f(*single)
    everywhere = f(*[np.broadcast_to(s, (6,)) for s in single])
    assert_same_bits(everywhere, np.repeat(row, 6, axis=0))


@amplifiers
def test_one_array_for_several_parameters(name, F):
    f = amplifier(name)
    x = np.array([150.0, 300.0, 760.0, 1100.0, 2000.0, 0.5])
    assert_same_bits(f(x, x, x), f(x.copy(), x.copy(), x.copy()))
    vs30, _, pga = sites(6, seed=6)
    assert_same_bits(f(vs30, vs30, pga), f(vs30, vs30.copy(), pga))
    assert_same_bits(f(vs30, pga, pga), f(vs30, pga.copy(), pga.copy()))
    # The same buffer seen through different views.
    buffer = np.concatenate([vs30, vs30[::-1]])
    assert_same_bits(f(buffer[:6], buffer[6:][::-1], pga), f(vs30, vs30.copy(), pga))


@amplifiers
@pytest.mark.parametrize("layout", ["contiguous", "reversed", "packed-field", "unaligned"])
def test_empty_inputs(name, F, layout):
    f = amplifier(name)
    empty = LAYOUTS[layout](np.empty(0))
    result = f(empty, empty, LAYOUTS[layout](np.empty(0)))
    assert result.shape == (0, F) and result.dtype == np.float64
    result = f(np.broadcast_to(np.float64(1.0), (0,)), empty, empty)
    assert result.shape == (0, F)


@amplifiers
def test_single_site_matches_row_of_many(name, F):
    f = amplifier(name)
    values = sites(7, seed=7)
    many = f(*values)
    for i in range(7):
        one = f(*[v[i : i + 1] for v in values])
        assert one.shape == (1, F)
        assert_same_bits(one[0], many[i])
    # A length-1 input read through an odd layout.
    one = f(*[LAYOUTS["packed-field"](v[3:4]) for v in values])
    assert_same_bits(one[0], many[3])


@amplifiers
def test_rows_follow_input_order(name, F):
    f = amplifier(name)
    values = sites(40, seed=8)
    expected = f(*values)
    # Sites are distinct, so the rows are too; otherwise a permutation could go unnoticed.
    assert len({r.tobytes() for r in expected}) == 40
    perm = np.random.default_rng(9).permutation(40)
    assert_same_bits(f(*[v[perm] for v in values]), expected[perm])
    assert_same_bits(f(*[v[::-1] for v in values]), expected[::-1])


@amplifiers
def test_inputs_unchanged_after_success(name, F):
    f = amplifier(name)
    layouts = ("every-other-reversed", "packed-field", "contiguous")
    arrays = [LAYOUTS[layout](marked_values(24, seed)) for seed, layout in enumerate(layouts)]
    before = [raw_bytes(a) for a in arrays]
    counts = [sys.getrefcount(a) for a in arrays]
    for _ in range(20):
        f(*arrays)
    f(arrays[2], arrays[2], arrays[2])
    assert [raw_bytes(a) for a in arrays] == before
    assert [sys.getrefcount(a) for a in arrays] == counts


def _huge_sizes(F):
    # Lengths whose triple or matrix byte counts overflow (some wrap around to small numbers)
    # or exceed any address space. NumPy allows a stride-0 length only below 2**60.
    sizes = [2**58, -(-(2**64) // 24), -(-(2**64) // (8 * F)), -(-(2**64) // F), 2**60 - 1]
    return sorted(set(n for n in sizes if n < 2**60))


@amplifiers
def test_huge_length_fails_with_memory_error(name, F):
    # In a separate interpreter, so that a crash fails this test only.
    out = run_isolated(
        f"""
        import numpy as np, _utils
        f = getattr(_utils, {name!r})
        for n in {_huge_sizes(F)!r}:
            big = np.broadcast_to(np.float64(500.0), (n,))
            try:
                f(big, np.broadcast_to(np.float64(400.0), (n,)), np.broadcast_to(np.float64(0.3), (n,)))
            except MemoryError:
                pass
            else:
                raise AssertionError(f"no MemoryError for n = {{n}}")
            small = f(np.array([500.0, 300.0]), np.array([400.0, 760.0]), np.array([0.3, 0.1]))
            assert small.shape == (2, {F}), small.shape
        print("ok")
        """
    )
    assert out.strip() == "ok"
