"""The Bayless-Abrahamson (2018) coefficient table in data/ba18_site_coefficients.csv.

The kernels' arrays are generated from this file at build time, so a damaged or mis-edited row
shows up here first: the frequency grid must be exactly the published one, and each column must
have the model's plateaus, monotonic stretches and values at telling rows.
"""

import math

import pytest

import reference_models as ref
from published_grids import BA18_FREQUENCIES

FREQ = ref.BA18_FREQUENCIES
EXPONENT = ref.BA18_VS30_EXPONENT
AMPLITUDE = ref.BA18_NL_AMPLITUDE
RATE = ref.BA18_NL_VS30_RATE
OFFSET = ref.BA18_NL_INTENSITY_OFFSET

GRID = BA18_FREQUENCIES

# Row: frequency, c8 (Vs30 exponent), f4 (nonlinear amplitude), f5 (Vs30 rate), f3 (intensity
# offset), as published.
TELLING_ROWS = {
    0: ("0.1", "-0.743231724355658", "-0.0001", "-0.02", "1.0"),
    40: ("0.2511886", "-0.995534660535561", "-0.0001", "-0.02", "1.0"),
    41: ("0.25703954", "-1.00159256523449", "-0.0001000082157", "-0.02", "1.0"),
    50: ("0.3162278", "-1.05349580761516", "-0.000159591301258", "-0.02", "1.0"),
    56: ("0.3630781", "-1.08471640107818", "-0.000413627069605", "-0.02", "1.0"),
    57: ("0.37153521", "-1.08957748729428", "-0.000485175378636", "-0.019999999840182", "1.0"),
    60: ("0.39810714", "-1.10344717793688", "-0.000759950648419", "-0.019999941181157", "1.0"),
    61: ("0.4073803", "-1.10780488890817", "-0.000871896068829", "-0.019999834722203",
         "0.999998882421677"),
    81: ("0.6456543", "-1.15274866990319", "-0.006328207987205", "-0.019674395516987",
         "0.957549143000436"),
    100: ("1.0", "-1.11837939643176", "-0.023957696293207", "-0.017869964413333",
          "0.752487118225351"),
    146: ("2.884031", "-0.760782226564136", "-0.242930016307596", "-0.007052430202559",
          "0.200003375054025"),
    147: ("2.951209", "-0.749662749301971", "-0.251511437358201", "-0.006869709562283", "0.2"),
    150: ("3.162278", "-0.715873759142178", "-0.277968571230485", "-0.006360934584857", "0.2"),
    170: ("5.011872", "-0.484947178274669", "-0.491916040743114", "-0.004150478627776", "0.2"),
    200: ("10.0", "-0.08290215930284", "-0.880079287299555", "-0.001538719350981", "0.2"),
    205: ("11.220183", "-0.00653896410321", "-0.922741589721515", "-0.001199615851207", "0.2"),
    206: ("11.481534", "0.008673572948807", "-0.930275507390603", "-0.001136840659696", "0.2"),
    231: ("20.41738", "0.392305152462936", "-0.999999934220686", "-0.000245781718958", "0.2"),
    232: ("20.89296", "0.407834341645654", "-1.0", "-0.000231733202771", "0.2"),
    238: ("23.988321", "0.501182975301589", "-1.0", "-0.000164067874525", "0.2"),
    239: ("24.54708", "nan", "-1.0", "-0.000155346152676", "0.2"),
    250: ("31.62278", "nan", "-1.0", "-0.000103805640805", "0.2"),
    277: ("58.884361", "nan", "-1.0", "-0.000100000000878", "0.2"),
    278: ("60.255954", "nan", "-1.0", "-0.0001", "0.2"),
    300: ("100.0", "nan", "-1.0", "-0.0001", "0.2"),
}


def agrees_to_given_digits(value, text):
    """Equal to the decimal text, or (for a text of 10 or more significant digits) within half
    a unit of its last digit."""
    expected = float(text)
    if math.isnan(expected):
        return math.isnan(value)
    if value == expected:
        return True
    mantissa = text.lstrip("-").split("e")[0]
    digits = mantissa.replace(".", "").lstrip("0")
    if len(digits) < 10:
        return False
    decimals = len(mantissa.split(".")[1]) if "." in mantissa else 0
    return abs(value - expected) <= 0.5 * 10.0**-decimals * (1 + 1e-9)


def strictly(values, first, last, step):
    """True when values[first..last] strictly increase (step +1) or decrease (step -1)."""
    return all((values[k + 1] - values[k]) * step > 0 for k in range(first, last))


def test_every_column_has_301_rows():
    assert [len(c) for c in (FREQ, EXPONENT, AMPLITUDE, RATE, OFFSET)] == [301] * 5
    assert len(GRID) == 301


def test_frequencies_are_the_published_grid():
    mismatched = [(k, FREQ[k], GRID[k]) for k in range(301) if FREQ[k] != GRID[k]]
    assert mismatched == []


def test_grid_is_strictly_increasing_and_near_decades():
    assert GRID[0] == 0.1 and GRID[100] == 1.0 and GRID[200] == 10.0 and GRID[300] == 100.0
    assert strictly(GRID, 0, 300, +1)
    assert all(abs(GRID[k] / 10.0 ** (-1 + k / 100) - 1) < 5e-7 for k in range(301))


@pytest.mark.parametrize("row", sorted(TELLING_ROWS))
def test_telling_row(row):
    got = (FREQ[row], EXPONENT[row], AMPLITUDE[row], RATE[row], OFFSET[row])
    texts = TELLING_ROWS[row]
    assert got[0] == float(texts[0])
    for value, text in zip(got[1:], texts[1:]):
        assert agrees_to_given_digits(value, text), (row, value, text)


def test_vs30_exponent_shape():
    assert all(math.isfinite(EXPONENT[k]) for k in range(239))
    assert all(math.isnan(EXPONENT[k]) for k in range(239, 301))
    assert strictly(EXPONENT, 0, 81, -1) and strictly(EXPONENT, 81, 238, +1)
    assert min(EXPONENT[:239]) == EXPONENT[81] == -1.15274866990319
    assert max(EXPONENT[:239]) == EXPONENT[238] == 0.501182975301589
    assert all(EXPONENT[k] < 0 for k in range(206))
    assert all(EXPONENT[k] > 0 for k in range(206, 239))


def test_nl_amplitude_shape():
    assert all(AMPLITUDE[k] == -0.0001 for k in range(41))
    assert strictly(AMPLITUDE, 40, 232, -1)
    nearly = {284, 287, 298}
    expected = [-0.999999999999999 if k in nearly else -1.0 for k in range(232, 301)]
    assert list(AMPLITUDE[232:]) == expected


def test_nl_vs30_rate_shape():
    assert all(RATE[k] == -0.02 for k in range(57))
    assert strictly(RATE, 56, 278, +1)
    assert all(RATE[k] == -0.0001 for k in range(278, 301))


def test_nl_intensity_offset_shape():
    assert all(OFFSET[k] == 1.0 for k in range(61))
    assert strictly(OFFSET, 60, 147, -1)
    assert all(OFFSET[k] == 0.2 for k in range(147, 301))
