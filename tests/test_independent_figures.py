"""The models against figures that none of this project's transcriptions produced.

Each file under tests/data/ names its source in its header: the Campbell-Bozorgnia (2014)
developers' verification tables, independently published coefficient tables, and the published
Bayless-Abrahamson (2018) site term as an independent implementation computes it.
"""

import csv
import math
from pathlib import Path

import numpy as np
import pytest

import reference_models as ref
import vs30amp

DATA = Path(__file__).resolve().parent / "data"


def read_rows(name):
    """(header, rows of strings) of a CSV under tests/data, its comment lines skipped."""
    with open(DATA / name, newline="") as stream:
        rows = list(csv.reader(line for line in stream if not line.startswith("#")))
    return rows[0], rows[1:]


# ---- Campbell-Bozorgnia (2014): ratios of two sites in the developers' tables ----------------
#
# For one rupture and distance, every term of the model but the shallow-site term is the same at
# two sites whose basin term is zero (Z2.5 from 1 to 3 km): there
#     ln SA(570) - ln SA(760) = f_site(570, A1100) - f_site(760, A1100),
# A1100 being the rock PGA both sites share. The factors of the two sites under a simulation on
# 1100 m/s rock with that PGA give the same difference: the simulation's site term is linear
# (1100 m/s lies above every k1) and cancels, and its rock PGA is the PGA given. The tables do
# not print A1100; it is fitted to the PGA column, and the sixteen SA columns test.

HEADER, ROWS = read_rows("cb14_verification_ratios.csv")
PERIODS = HEADER[5:]
TABLE = {(rake, rx, vs30): [float(x) for x in values] for rake, rx, vs30, _, *values in ROWS}
PAIRS = sorted({(rake, rx) for rake, rx, _ in TABLE})
CB14_COLUMN = {f"{p:.3f}": j for j, p in enumerate(ref.CB14_PERIODS)} | {"pga": len(ref.CB14_PERIODS) - 1}
COLUMNS = [CB14_COLUMN[name] for name in ["pga", *PERIODS]]


def cb14_log_ratio(rock_pga):
    """ln factor(570) - ln factor(760) under a simulation on 1100 m/s rock, table columns."""
    factors = vs30amp.MODELS["cb14"].kernel(np.array([570.0, 760.0]), np.array([1100.0, 1100.0]),
                                             np.array([rock_pga, rock_pga]))
    return np.log(factors[0, COLUMNS]) - np.log(factors[1, COLUMNS])


def print_error(values):
    """Half a unit in the last printed digit (7 significant), relative, for each value."""
    values = np.asarray(values)
    return 0.5e-6 / (values / 10.0 ** np.floor(np.log10(values)))


@pytest.mark.parametrize("rake, rx", PAIRS)
def test_cb14_ratio_of_two_sites_matches_the_developers_tables(rake, rx):
    soft, stiff = np.array(TABLE[rake, rx, "570"]), np.array(TABLE[rake, rx, "760"])
    observed = np.log(soft) - np.log(stiff)
    low, high = 1e-4, 3.0  # the softer site's relative amplification falls as A1100 grows
    for _ in range(200):
        middle = math.sqrt(low * high)
        low, high = (middle, high) if cb14_log_ratio(middle)[0] > observed[0] else (low, middle)
    predicted = cb14_log_ratio(low)
    error = print_error(soft) + print_error(stiff)
    tolerance = error + 2.0 * error[0]  # the cell's printing and the fitted A1100's
    assert np.all(np.abs(predicted - observed)[1:] <= tolerance[1:]), (predicted - observed)[1:] / tolerance[1:]


# ---- The coefficient tables against independently published copies ---------------------------

def pygmm_columns(name, *columns):
    header, rows = read_rows(name)
    index = [header.index(column) for column in columns]
    return [[float(row[i]) if row[i] else math.nan for row in rows] for i in index]


CB14_COPY = dict(zip(("period", "c11", "k1", "k2"), pygmm_columns("cb14_coefficients_pygmm.csv", "period", "c_11",
                                                                "k_1", "k_2")))
# The copy lists PGA as period 0; the module's table as 0.001 s, its 1000 Hz column.
CB14_ROW_OF_PERIOD = {period or 0.001: i for i, period in enumerate(CB14_COPY["period"])}
BA18_COPY = dict(zip(("frequency", "c8", "f3", "f4", "f5"), pygmm_columns("ba18_coefficients_pygmm.csv", "freq_hz",
                                                                        "c8", "f3", "f4", "f5")))


@pytest.mark.parametrize("ours, theirs", [("CB14_K1", "k1"), ("CB14_K2", "k2"), ("CB14_C11", "c11")])
def test_cb14_coefficients_are_the_published_doubles(ours, theirs):
    assert sorted(CB14_ROW_OF_PERIOD) == sorted(ref.CB14_PERIODS)
    copy = [CB14_COPY[theirs][CB14_ROW_OF_PERIOD[period]] for period in ref.CB14_PERIODS]
    assert list(getattr(ref, ours)) == copy


@pytest.mark.parametrize("ours, theirs, rows", [
    ("BA18_FREQUENCIES", "frequency", 301),
    ("BA18_VS30_EXPONENT", "c8", ref.BA18_LAST_POWER_LAW_ROW + 1),  # none above 23.988321 Hz
    ("BA18_NL_AMPLITUDE", "f4", 301),
    ("BA18_NL_VS30_RATE", "f5", 301),
    ("BA18_NL_INTENSITY_OFFSET", "f3", 301),
])
def test_ba18_coefficients_are_the_published_doubles(ours, theirs, rows):
    assert list(getattr(ref, ours)[:rows]) == BA18_COPY[theirs][:rows]
    assert all(math.isnan(x) for x in BA18_COPY[theirs][rows:])


# ---- Bayless-Abrahamson (2018) under the published convention, against pygmm ------------------

_, PYGMM_ROWS = read_rows("ba18_published_pygmm.csv")
PYGMM_SITES = np.array([[float(x) for x in row[:3]] for row in PYGMM_ROWS])
PYGMM_LN_FACTORS = np.array([[float(x) for x in row[3:]] for row in PYGMM_ROWS])


def test_ba18_published_convention_is_the_published_site_term():
    # Linear scaling, nonlinear term with its floor, and decay, in every cell of every site; the
    # file's logs are pygmm's sums of the terms, good to a few 1e-15.
    factors = vs30amp.amplification(*PYGMM_SITES.T, model="ba18", convention="published").factors
    difference = np.abs(np.log(factors) - PYGMM_LN_FACTORS)
    worst = np.unravel_index(np.argmax(difference), difference.shape)
    assert difference[worst] <= 1e-12, (PYGMM_SITES[worst[0]], worst[1], difference[worst])


def test_ba18_module_convention_departs_from_it_where_its_two_choices_act():
    factors = vs30amp.amplification(*PYGMM_SITES.T, model="ba18").factors
    difference = np.abs(np.log(factors) - PYGMM_LN_FACTORS)
    vs30, vs30_sim, pga = PYGMM_SITES.T
    # The intensity (larger by 0.76^(0.846 c8) at 5 Hz in the module's) wherever the nonlinear
    # term acts, with a PGA at a site below 760 m/s; the decay's anchor above 23.988321 Hz,
    # wherever the two kappas differ.
    acts = (pga > 0) & (vs30 < 760)
    first_decay_row = ref.BA18_LAST_POWER_LAW_ROW + 1
    assert np.all((difference[:, :first_decay_row].max(axis=1) > 1e-6) == acts)
    assert np.all((difference[:, first_decay_row:].min(axis=1) > 1e-6) == (acts | (vs30 != vs30_sim)))
