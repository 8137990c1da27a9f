"""Bayless-Abrahamson (2018) EAS site amplification through _utils._bayless_abrahamson_2018_eas."""

import itertools
import math

import numpy as np
import pytest

import _utils
import reference_models as ref
from reference_models import assert_same_doubles

NAN = math.nan
NEG_NAN = math.copysign(math.nan, -1.0)
INF = math.inf
EXPONENT = np.array(ref.BA18_VS30_EXPONENT)


def ba18(vs30, vs30_sim, pga):
    arrays = [np.atleast_1d(np.asarray(x, dtype=np.float64)) for x in (vs30, vs30_sim, pga)]
    return _utils._bayless_abrahamson_2018_eas(*arrays)


# Sites (vs30, vs30_sim, pga) with cells to ten significant digits, by row.
WORKED_CELLS = {
    (400.0, 400.0, 0.3): {0: 0.9999906853, 100: 0.9968770343, 170: 0.7805365593, 186: 0.7354006863},
    (200.0, 760.0, 0.2): {0: 2.695996433, 100: 4.033047653, 178: 0.901949726, 200: 0.6014494578,
                          238: 0.2757758029, 239: 0.265857373, 300: 0.001700997482},
    (760.0, 200.0, 0.2): {0: 0.3707545058, 100: 0.2246890827, 238: 1.952439872, 239: 2.025280199,
                          300: 316.5411347},
    (300.0, 1000.0, 0.0): {0: 2.446921695, 100: 3.843941907, 238: 0.5469430079, 239: 0.5314317704,
                           300: 0.01005091952},
    (1500.0, 1000.0, 0.5): {239: 1.006986817, 300: 2.630644956},
    (NAN, 760.0, 0.2): {0: 0.8154866967},
    (760.0, NAN, 0.2): {0: 1.226261574},
}


@pytest.mark.parametrize("site", list(WORKED_CELLS))
def test_worked_cells(site):
    row = ba18(*site)[0]
    cells = WORKED_CELLS[site]
    assert [row[k] for k in cells] == pytest.approx(list(cells.values()), rel=5e-10, abs=0)


@pytest.mark.parametrize("site, floor, floor_row", [
    ((400.0, 400.0, 0.3), 0.7350591962, 187),
    ((200.0, 760.0, 0.2), 0.5384356732, 178),
    ((300.0, 760.0, -0.2), None, None),  # zero bases from row 147 on: infinite factors, never the floor
])
def test_nonlinear_floor_holds_from_its_row_on(site, floor, floor_row):
    # Without PGA a row is the linear ratio alone, so the quotient is the nonlinear part.
    row = ba18(*site)[0]
    assert np.isfinite(row).all()
    if floor is None:
        return
    nonlinear = row / ba18(site[0], site[1], 0.0)[0]
    assert nonlinear[floor_row:] == pytest.approx([floor] * (301 - floor_row), rel=5e-10)
    assert nonlinear[floor_row - 1] > floor * (1 + 1e-9)


@pytest.mark.parametrize("vs30, pga", [(400.0, 0.3), (200.0, 0.05), (150.0, 1.2), (600.0, 0.4),
                                       (300.0, 3.0), (759.0, 0.2)])
def test_equal_velocities_show_the_nonlinear_factor(vs30, pga):
    # The linear ratio is exactly 1, so the cells are the nonlinear factors: their own until the
    # first smallest one, that one from there on.
    row = ba18(vs30, vs30, pga)[0]
    floor_row = int(np.argmin(row))
    assert (row[floor_row:] == row[floor_row]).all()
    assert (row[:floor_row] > row[floor_row]).all()
    q = ref.ba18_site_quantities(vs30, vs30, pga)
    assert row.tolist() == q["nonlinear_factors"][:floor_row] + [q["nl_floor"]] * (301 - floor_row)


@pytest.mark.parametrize("site", [(760.0, 760.0, 0.1), (500.0, 500.0, 0.0), (760.0, 760.0, 5.0),
                                  (1500.0, 1500.0, 0.3), (100.0, 100.0, 0.0), (760.0, 760.0, NAN)])
def test_exactly_one(site):
    assert (ba18(*site) == 1.0).all()


@pytest.mark.parametrize("vs30, vs30_sim", [(1500.0, 1000.0), (1000.0, 3000.0), (1200.0, 1001.0),
                                            (INF, 2000.0)])
def test_stiff_pair_differs_only_above_24_hz(vs30, vs30_sim):
    row = ba18(vs30, vs30_sim, 0.5)[0]
    assert (row[:239] == 1.0).all()
    assert ((row[239:] > 1.0) == (vs30 > vs30_sim)).all()


def test_without_pga_only_the_linear_ratio():
    rng = np.random.default_rng(3)
    vs30 = rng.uniform(100.0, 1500.0, 50)
    vs30_sim = rng.uniform(100.0, 1500.0, 50)
    rows = ba18(vs30, vs30_sim, np.zeros(50))
    base = lambda v: np.minimum(v / 1000.0, 1.0)[:, None]
    exponent = EXPONENT[:239]
    expected = base(vs30) ** exponent / base(vs30_sim) ** exponent
    np.testing.assert_allclose(rows[:, :239], expected, rtol=1e-14)


def test_nan_site_velocity():
    row = ba18(NAN, 760.0, 0.2)[0]
    assert row[:239].tolist() == [1.0 / math.pow(0.76, e) for e in EXPONENT[:239]]
    assert np.isnan(row[239:]).all()


def test_nan_simulation_velocity():
    row = ba18(760.0, NAN, 0.2)[0]
    assert row[:239].tolist() == [math.pow(0.76, e) for e in EXPONENT[:239]]
    assert np.isnan(row[239:]).all()


@pytest.mark.parametrize("vs30", [200.0, 500.0, 759.9])
def test_nan_pga_on_soft_site(vs30):
    assert np.isnan(ba18([vs30, vs30], [vs30, 760.0], [NAN, NAN])).all()


# ---- the floor search's order -----------------------------------------------------------------

def test_negative_base_nan_against_infinite_factors():
    # With reference intensity -1, rows whose offset is 1.0 (rows 0-60) have a zero base and an
    # infinite factor; later rows have a negative base and the C library's NaN.
    row = ba18(300.0, 760.0, -1.0)[0]
    if math.copysign(1.0, ref.DEFAULT_NAN) < 0:
        # a sign-bit NaN comes first: the floor is row 61's NaN
        assert (row[:61] == INF).all() and np.isnan(row[61:]).all()
    else:
        # +inf comes before a positive NaN: the floor is row 0's infinity
        assert (row == INF).all()


# ---- agreement with the reference ---------------------------------------------------------------

SPECIAL_VELOCITIES = [
    0.0, -0.0, -300.0, 5e-324, 1e-310, 1.0, 200.0, 360.0, 400.0, 759.0, 760.0, 761.0, 999.0,
    1000.0, 1001.0, 1500.0, 1e300, INF, -INF, NAN, NEG_NAN,
]
SPECIAL_PGAS = [0.0, -0.0, 0.2, -0.2, -1.0, -0.5, 5e-324, 1e300, INF, -INF, NAN, NEG_NAN]


@pytest.mark.parametrize("kind", ["special", "random"])
def test_bitwise_agreement_with_reference(kind):
    if kind == "special":
        v = SPECIAL_VELOCITIES
        sites = np.array(list(itertools.product(v, v[::3], SPECIAL_PGAS[::2]))
                         + list(itertools.product(v[::3], v, SPECIAL_PGAS[1::2])))
    else:
        rng = np.random.default_rng(2018)
        count = 1500
        sites = np.column_stack([
            rng.uniform(80.0, 2000.0, count),
            rng.uniform(80.0, 2000.0, count),
            rng.choice([0.0, 1.0], count, p=[0.1, 0.9]) * rng.lognormal(-1.5, 1.2, count),
        ])
    got = ba18(sites[:, 0], sites[:, 1], sites[:, 2])
    assert_same_doubles(got, ref.ba18_amplification(*sites.T.tolist()))
