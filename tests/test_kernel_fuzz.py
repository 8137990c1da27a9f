"""Both kernels on arbitrary bit patterns: never a crash, and the same doubles as the plain
reference transcription (bit for bit for numbers, NaN where it gives NaN)."""

import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _utils
import reference_models as ref

MODELS = [
    pytest.param(_utils._campbell_bozorgnia_2014, ref.cb14_row, id="cb14"),
    pytest.param(_utils._bayless_abrahamson_2018_eas, ref.ba18_row, id="ba18"),
]


def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits_of(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


# Values where the formulas change branch, and doubles one step either side of them.
THRESHOLDS = sorted({*ref.CB14_K1, 1100.0, 1000.0, 760.0, 360.0, 1.0, -1.88, -1.0})
EDGES = [y for x in THRESHOLDS for y in (math.nextafter(x, -math.inf), x, math.nextafter(x, math.inf))]

SPECIAL_BITS = [
    0x0000000000000000,  # +0
    0x8000000000000000,  # -0
    0x7FF0000000000000,  # +inf
    0xFFF0000000000000,  # -inf
    0x7FF8000000000000,  # default quiet NaN
    0xFFF8000000000000,  # negative quiet NaN
    0x7FF8000000000001,  # quiet NaN with payload
    0x7FF0000000000001,  # signalling NaN
    0xFFF4000000000000,  # negative signalling NaN
    0x7FFFFFFFFFFFFFFF,  # all-ones payload
    0x0000000000000001,  # smallest subnormal
    0x800FFFFFFFFFFFFF,  # largest negative subnormal
    0x0010000000000000,  # smallest normal
    0x7FEFFFFFFFFFFFFF,  # largest finite
    0xFFEFFFFFFFFFFFFF,  # most negative finite
] + [bits_of(x) for x in EDGES]


def random_components(rng, count):
    """Bit patterns of one quantity for `count` sites, drawn from a mix of classes: uniform over
    all 2**64 patterns, special values, edges of the branches, any magnitude, realistic values."""
    uniform = rng.integers(0, 2**64, count, dtype=np.uint64, endpoint=False)
    special = rng.choice(np.array(SPECIAL_BITS, dtype=np.uint64), count)
    magnitude = (rng.choice([-1.0, 1.0], count) * 10.0 ** rng.uniform(-323.0, 308.0, count)).view(np.uint64)
    realistic = rng.uniform(-10.0, 2500.0, count).view(np.uint64)
    kind = rng.integers(0, 4, count)
    return np.choose(kind, [uniform, special, magnitude, realistic]).astype(np.uint64)


def assert_rows_match(function, row_of, sites_bits):
    """Calls the module once for all sites and compares each row with the reference."""
    columns = [np.ascontiguousarray(sites_bits[:, i]).view(np.float64) for i in range(3)]
    before = [c.copy() for c in columns]
    got = function(*columns)
    for c, b in zip(columns, before):
        assert c.view(np.uint64).tolist() == b.view(np.uint64).tolist()
    assert got.shape[0] == len(sites_bits)
    got_nan = np.isnan(got)
    got_bits = got.view(np.uint64)
    for i, site in enumerate(sites_bits.tolist()):
        expected = np.array(row_of(*map(from_bits, site)), dtype=np.float64)
        nan = np.isnan(expected)
        wrong = (got_nan[i] != nan) | (~nan & (got_bits[i] != expected.view(np.uint64)))
        if wrong.any():
            j = int(np.argmax(wrong))
            pytest.fail(f"site bits {[hex(b) for b in site]}: column {j} is {got[i, j]!r}, "
                        f"reference {expected[j]!r}")


@pytest.mark.parametrize("function, row_of", MODELS)
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_bit_patterns(function, row_of, seed):
    rng = np.random.default_rng(seed)
    count = 1500 if row_of is ref.cb14_row else 400
    sites = np.column_stack([random_components(rng, count) for _ in range(3)])
    assert_rows_match(function, row_of, sites)


@pytest.mark.parametrize("function, row_of", MODELS)
def test_every_combination_of_special_values(function, row_of):
    specials = np.array(SPECIAL_BITS[:15], dtype=np.uint64)
    grid = np.array(np.meshgrid(specials, specials, specials, indexing="ij")).reshape(3, -1).T
    if row_of is ref.ba18_row:
        grid = grid[::3]
    assert_rows_match(function, row_of, np.ascontiguousarray(grid))


component = st.one_of(
    st.integers(0, 2**64 - 1),
    st.sampled_from(SPECIAL_BITS),
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True).map(bits_of),
)


@pytest.mark.parametrize("function, row_of", MODELS)
@settings(max_examples=150, deadline=None, database=None)
@given(site=st.tuples(component, component, component))
def test_any_site(function, row_of, site):
    assert_rows_match(function, row_of, np.array([site], dtype=np.uint64))



# The C library's fmin passes a signalling NaN on as NaN; the clamp min(vs30, 760) must give 760.
@pytest.mark.parametrize("nan_bits", [0x7FF0000000000001, 0xFFF4000000000000])
def test_signalling_nan_site_velocity_is_clamped(nan_bits):
    sites = np.array([[nan_bits, bits_of(500.0), bits_of(0.3)]], dtype=np.uint64)
    assert_rows_match(_utils._bayless_abrahamson_2018_eas, ref.ba18_row, sites)
