"""The models' coefficients and conventions against figures that none of this project's
transcriptions produced (the models' own verification is tests/test_model_verification.py).

Each file under tests/data/ names its source in its header: independently published coefficient
tables, and the published Bayless-Abrahamson (2018) site term as an independent implementation
computes it.
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


# ---- Bayless-Abrahamson (2018)'s default convention against the published model (pygmm) --------

_, PYGMM_ROWS = read_rows("ba18_published_pygmm.csv")
PYGMM_SITES = np.array([[float(x) for x in row[:3]] for row in PYGMM_ROWS])
PYGMM_LN_FACTORS = np.array([[float(x) for x in row[3:]] for row in PYGMM_ROWS])


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
