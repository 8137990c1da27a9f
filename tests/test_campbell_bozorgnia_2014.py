"""Campbell-Bozorgnia (2014) site amplification through _utils._campbell_bozorgnia_2014."""

import itertools
import math

import numpy as np
import pytest

import _utils
import reference_models as ref
from reference_models import assert_same_doubles

NAN = math.nan
INF = math.inf


def cb14(vs30, vs30_sim, pga):
    arrays = [np.atleast_1d(np.asarray(x, dtype=np.float64)) for x in (vs30, vs30_sim, pga)]
    return _utils._campbell_bozorgnia_2014(*arrays)


# Sites (vs30, vs30_sim, pga) and their 22 factors, to ten significant digits.
WORKED = {
    (760.0, 760.0, 0.3): [1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0.9568011657, 0.9178988667,
                          0.911203308, 0.9261275068, 0.9641354619, 0.9755027316, 0.976157936,
                          0.976157936],
    (250.0, 760.0, 0.2): [1.897296407, 2.092319774, 2.297150453, 2.41500899, 2.567301053,
                          2.5732394, 2.494443223, 2.303372585, 2.164986903, 1.922189886,
                          1.715765922, 1.471678669, 1.312994729, 1.126081189, 0.9488170428,
                          0.8334166861, 0.7591153126, 0.7518740588, 0.8974487212, 1.013129782,
                          1.040039857, 1.044675663],
    (1200.0, 760.0, 0.2): [0.7686705308, 0.7383867211, 0.7105931146, 0.6961365724, 0.6788662679,
                           0.6730556129, 0.6691687457, 0.6751863512, 0.6819180717, 0.6956852068,
                           0.7140875538, 0.7379686318, 0.7587013973, 0.7911687637, 0.8324142718,
                           0.8714206729, 0.9123715669, 0.9383640331, 0.9076497365, 0.8761701105,
                           0.8697664455, 0.8681788038],
    (500.0, 1100.0, 0.5): [1.574836472, 1.687985299, 1.803566522, 1.868706886, 1.951526412,
                           1.980700577, 2.000602226, 1.969923056, 1.936474768, 1.870800279,
                           1.781306126, 1.516825905, 1.346036456, 1.151582242, 0.9680326636,
                           0.8450855145, 0.7834516418, 0.786952908, 0.9228278227, 1.015187255,
                           1.034072841, 1.037339278],
    (300.0, 760.0, 0.0): [1.708153072, 1.85375234, 2.00429604, 2.089912116, 2.199536141,
                          2.238353072, 2.264891547, 2.224001322, 2.179550036, 2.092672498,
                          1.984386267, 1.855890252, 1.754140248, 1.610755335, 1.452495411,
                          1.323245955, 1.205183973, 1.138220148, 1.217977576, 1.308689555,
                          1.328372681, 1.333320955],
}


@pytest.mark.parametrize("site", list(WORKED))
def test_worked_rows(site):
    row = cb14(*site)[0]
    assert row.tolist() == pytest.approx(WORKED[site], rel=5e-10, abs=0)


def test_worked_sites_in_one_call():
    sites = np.array(list(WORKED))
    matrix = cb14(sites[:, 0], sites[:, 1], sites[:, 2])
    assert matrix.shape == (5, 22)
    np.testing.assert_allclose(matrix, list(WORKED.values()), rtol=5e-10, atol=0)
    # 760 m/s exceeds k1 up to column 13: both site terms take the same linear form there.
    assert (matrix[0, :14] == 1.0).all()


def test_without_pga_a_power_of_the_velocity_ratio():
    rng = np.random.default_rng(11)
    vs30 = rng.uniform(100.0, 2000.0, 300)
    vs30_sim = rng.uniform(100.0, 2000.0, 300)
    rows = cb14(vs30, vs30_sim, np.zeros(300))
    exponent = np.array(ref.CB14_C11) + 1.18 * np.array(ref.CB14_K2)
    assert (exponent < 0).all()
    expected = (vs30 / vs30_sim)[:, None] ** exponent
    np.testing.assert_allclose(rows, expected, rtol=1e-13)
    # softer than the simulation: amplified; stiffer: deamplified
    assert ((rows > 1) == (vs30 < vs30_sim)[:, None]).all()


@pytest.mark.parametrize("vs30, pga", [(300.0, 0.4), (600.0, 0.1), (865.0, 1.5)])
def test_top_two_columns_agree_when_velocities_match(vs30, pga):
    row = cb14(vs30, vs30, pga)[0]
    assert row[20] == pytest.approx(row[21], rel=1e-14)


def test_site_at_k1_has_zero_site_term():
    row = cb14(400.0, 760.0, 0.3)[0]
    assert row[0] == pytest.approx(1.447311704, rel=5e-10)
    assert row[7] == pytest.approx(1.736601699, rel=5e-10)


def test_nan_pga_poisons_only_the_nonlinear_columns():
    row = cb14(900.0, 760.0, NAN)[0]
    assert np.isnan(row[15:19]).all()
    assert np.isfinite(np.delete(row, range(15, 19))).all()
    assert row[0] == pytest.approx(0.9072039735, rel=5e-10)
    assert row[21] == pytest.approx(0.9490196803, rel=5e-10)


@pytest.mark.parametrize("site", [(-300.0, 760.0, 0.2), (300.0, -760.0, 0.2), (-1500.0, 760.0, 0.0),
                                  (300.0, 0.0, 0.2), (NAN, 760.0, 0.2), (300.0, NAN, 0.2)])
def test_all_nan_rows(site):
    assert np.isnan(cb14(*site)).all()


@pytest.mark.parametrize("vs30", [0.0, -0.0])
def test_zero_site_velocity(vs30):
    row = cb14(vs30, 760.0, 0.2)[0]
    assert (row[:6] == INF).all()  # c11 < 0
    assert (row[6:] == 0.0).all() and not np.signbit(row[6:]).any()


# Values that sit on a branch, a pole or the edge of the double range.
SPECIAL_VELOCITIES = sorted(set(ref.CB14_K1)) + [
    0.0, -0.0, -1.0, -760.0, 5e-324, 2.2250738585072014e-308, 1e-310, 1e-3, 1.0, 250.0, 760.0,
    1100.0, 1200.0, 1e300, 1.7976931348623157e308, INF, -INF, NAN, -NAN,
    math.nextafter(865.0, 0.0), math.nextafter(865.0, INF), math.nextafter(1086.0, INF),
]
SPECIAL_PGAS = [0.0, -0.0, 0.3, -0.3, -1.88, -5.0, 5e-324, 1e300, INF, -INF, NAN, -NAN]


def random_sites(seed, count):
    rng = np.random.default_rng(seed)
    return np.column_stack([
        rng.uniform(50.0, 2500.0, count),
        rng.uniform(50.0, 2500.0, count),
        rng.choice([0.0, 1.0], count) * rng.lognormal(-1.5, 1.2, count),
    ])


@pytest.mark.parametrize("kind", ["special", "random"])
def test_bitwise_agreement_with_reference(kind):
    if kind == "special":
        vs30 = SPECIAL_VELOCITIES
        sites = np.array(list(itertools.product(vs30, vs30[::2], SPECIAL_PGAS[::2]))
                         + list(itertools.product(vs30[::2], vs30, SPECIAL_PGAS[1::2])))
    else:
        sites = random_sites(2014, 3000)
    got = cb14(sites[:, 0], sites[:, 1], sites[:, 2])
    assert_same_doubles(got, ref.cb14_amplification(*sites.T.tolist()))
