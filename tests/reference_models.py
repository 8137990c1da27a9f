"""Scalar Python versions of the two site amplification models.

Each function evaluates its formula one double operation at a time, in the same order as the
C++ kernels, so that the results can be compared with the module's bit for bit. Python's float
arithmetic is the machine's double arithmetic; the only differences from C are that Python
raises where C returns an IEEE value (division by zero, math.log/math.pow/math.exp domain and
range errors). The c_* helpers below give back the C library's result in those cases.

Nothing here is vectorised: these are slow, obviously-correct transcriptions for tests and
benchmarks to check against.
"""

import csv
import math
import struct
from pathlib import Path

import numpy as np

# The NaN an invalid operation yields on this machine (what the C library returns for the
# logarithm of a negative number or a negative number to a non-integer power).
DEFAULT_NAN = math.inf - math.inf


def _is_odd_integer(y):
    return math.isfinite(y) and y == math.floor(y) and math.fmod(y, 2.0) != 0.0


def c_log(x):
    """log(x) as the C library returns it: -inf at zero, NaN below."""
    try:
        return math.log(x)
    except ValueError:
        return -math.inf if x == 0.0 else DEFAULT_NAN


def c_exp(x):
    """exp(x) as the C library returns it: inf on overflow."""
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def c_pow(x, y):
    """pow(x, y) as the C library returns it, instead of raising."""
    try:
        return math.pow(x, y)
    except OverflowError:
        # finite operands whose power lies beyond the largest double
        return -math.inf if x < 0.0 and _is_odd_integer(y) else math.inf
    except ValueError:
        if x == 0.0:  # zero to a negative power: a pole
            negative_zero = math.copysign(1.0, x) < 0.0
            return -math.inf if negative_zero and _is_odd_integer(y) else math.inf
        return DEFAULT_NAN  # negative base, non-integer exponent


def c_div(a, b):
    """a / b with IEEE semantics for a zero divisor."""
    if b != 0.0:  # also true for a NaN divisor
        return a / b
    if math.isnan(a):
        return a
    if a == 0.0:
        return DEFAULT_NAN
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def c_fmin(x, bound):
    """fmin(x, bound) for a bound that is a nonzero number: the bound when x is NaN."""
    if math.isnan(x):
        return bound
    return x if x < bound else bound


def total_order_key(x):
    """An integer whose order is the IEEE 754 totalOrder of the double x."""
    (bits,) = struct.unpack("<q", struct.pack("<d", x))
    if bits < 0:
        bits ^= 0x7FFFFFFFFFFFFFFF
    return bits


def total_order_before(a, b):
    return total_order_key(a) < total_order_key(b)


# ---- Campbell-Bozorgnia (2014) shallow-site term, 22 frequencies ----------------------------

CB14_PERIODS = (10, 7.5, 5, 4, 3, 2, 1.5, 1, 0.75, 0.5, 0.4, 0.3, 0.25, 0.2, 0.15, 0.1, 0.075,
                0.05, 0.03, 0.02, 0.01, 0.001)
CB14_FREQUENCIES = (
    0.1, 0.13333333333333333, 0.2, 0.25, 0.3333333333333333, 0.5, 0.6666666666666666, 1.0,
    1.3333333333333333, 2.0, 2.5, 3.3333333333333335, 4.0, 5.0, 6.666666666666667, 10.0,
    13.333333333333334, 20.0, 33.333333333333336, 50.0, 100.0, 1000.0,
)
CB14_K1 = (400.0, 400.0, 400.0, 400.0, 400.0, 400.0, 400.0, 400.0, 410.0, 457.0, 503.0, 587.0,
           654.0, 748.0, 878.0, 1032.0, 1086.0, 1054.0, 908.0, 865.0, 865.0, 865.0)
CB14_K2 = (0.0, 0.0, 0.0, 0.0, 0.0, -0.299, -1.025, -1.955, -2.401, -2.669, -2.657, -2.518,
           -2.381, -2.188, -1.931, -1.624, -1.471, -1.346, -1.273, -1.219, -1.186, -1.186)
CB14_C11 = (-0.576, -0.664, -0.748, -0.793, -0.848, -0.514, 0.33, 1.447, 1.995, 2.355, 2.398,
            2.306, 2.205, 2.069, 1.877, 1.615, 1.535, 1.449, 1.29, 1.149, 1.094, 1.09)

_CB14_C = 1.88
_CB14_N = 1.18
_CB14_MINUS_LN_C = -0.6312717768418578
_CB14_PGA_LINEAR_SLOPE = -0.30947999999999976
_CB14_ROCK_SITE_TERM = -0.07437917037995617


def cb14_rock_pga(vs30_sim, pga):
    r = vs30_sim / 865.0
    lr = c_log(r)
    if vs30_sim <= 865.0:
        fref = lr * 1.09 + (c_log(c_pow(r, _CB14_N) * _CB14_C + 0.0) + _CB14_MINUS_LN_C) * -1.186
    else:
        fref = lr * _CB14_PGA_LINEAR_SLOPE
    return c_exp(_CB14_ROCK_SITE_TERM - fref) * pga


def cb14_row(vs30, vs30_sim, pga):
    """The 22 factors of one site."""
    a = cb14_rock_pga(vs30_sim, pga)
    g = c_log(_CB14_C + a)
    row = []
    for k1, k2, c11 in zip(CB14_K1, CB14_K2, CB14_C11):
        s = vs30 / k1
        ls = c_log(s)
        if vs30 <= k1:
            f_site = ls * c11 + (c_log(c_pow(s, _CB14_N) * _CB14_C + a) - g) * k2
        else:
            f_site = ls * (k2 * _CB14_N + c11)
        t = vs30_sim / k1
        lt = c_log(t)
        if vs30_sim <= k1:
            f_sim = k2 * (c_log(c_pow(t, _CB14_N) * _CB14_C + 0.0) + _CB14_MINUS_LN_C) + c11 * lt
        else:
            f_sim = lt * (c11 + k2 * _CB14_N)
        row.append(c_exp(f_site - f_sim))
    return row


def cb14_amplification(vs30, vs30_sim, pga):
    return [cb14_row(v, s, p) for v, s, p in zip(vs30, vs30_sim, pga)]


# ---- Bayless-Abrahamson (2018) EAS site term, 301 frequencies ------------------------------

BA18_CSV = Path(__file__).resolve().parent.parent / "data" / "ba18_site_coefficients.csv"


def _read_ba18_table(path):
    columns = ([], [], [], [], [])
    with open(path, newline="") as stream:
        rows = csv.reader(line for line in stream if not line.startswith("#"))
        header = next(rows)
        assert header[0] == "frequency_hz", header
        for fields in rows:
            for column, field in zip(columns, fields, strict=True):
                column.append(float(field))
    return tuple(tuple(column) for column in columns)


(BA18_FREQUENCIES, BA18_VS30_EXPONENT, BA18_NL_AMPLITUDE, BA18_NL_VS30_RATE,
 BA18_NL_INTENSITY_OFFSET) = _read_ba18_table(BA18_CSV)

BA18_COLUMNS = 301
BA18_LAST_POWER_LAW_ROW = 238
_BA18_PI = 3.141592653589793
_BA18_FROZEN_EXPONENT = 0.501182975301589


def ba18_reference_intensity(vs30_sim, pga):
    s = c_fmin(vs30_sim / 1000.0, 1.0)
    p = c_pow(s, -0.484947178274669)
    q = c_div(1.1423498055712635, p)
    return c_pow(q, 0.846) * pga


def ba18_nl_vs30_offset(vs30):
    return c_fmin(vs30, 760.0) - 360.0


def ba18_nonlinear_factor(k, intensity, offset):
    f2 = BA18_NL_AMPLITUDE[k]
    f3 = BA18_NL_VS30_RATE[k]
    f4 = BA18_NL_INTENSITY_OFFSET[k]
    base = (intensity + f4) / f4
    exponent = (c_exp(offset * f3) - c_exp(f3 * 400.0)) * f2
    return c_pow(base, exponent)


def ba18_floor(factors):
    """(value, row) of the first of the factors in IEEE 754 totalOrder."""
    floor, row = factors[0], 0
    for k in range(1, len(factors)):
        if total_order_before(factors[k], floor):
            floor, row = factors[k], k
    return floor, row


def ba18_kappa(vs30):
    return c_pow(vs30 / 760.0, -0.4) / 33.11545195869231


def ba18_site_quantities(vs30, vs30_sim, pga):
    """The per-site values, by name, that the frequency pass uses."""
    intensity = ba18_reference_intensity(vs30_sim, pga)
    offset = ba18_nl_vs30_offset(vs30)
    factors = [ba18_nonlinear_factor(k, intensity, offset) for k in range(BA18_COLUMNS)]
    floor, floor_row = ba18_floor(factors)
    base_site = c_fmin(vs30 / 1000.0, 1.0)
    base_sim = c_fmin(vs30_sim / 1000.0, 1.0)
    return {
        "reference_intensity": intensity,
        "nl_vs30_offset": offset,
        "nonlinear_factors": factors,
        "nl_floor": floor,
        "nl_floor_row": floor_row,
        "nl_floor_frequency": BA18_FREQUENCIES[floor_row],
        "kappa_site": ba18_kappa(vs30),
        "kappa_sim": ba18_kappa(vs30_sim),
        "base_site": base_site,
        "base_sim": base_sim,
        "anchor_site": c_pow(base_site, _BA18_FROZEN_EXPONENT),
        "anchor_sim": c_pow(base_sim, _BA18_FROZEN_EXPONENT),
    }


def _ba18_linear_factor(k, base, kappa, anchor):
    if k <= BA18_LAST_POWER_LAW_ROW:
        return c_pow(base, BA18_VS30_EXPONENT[k])
    return c_exp((kappa * -_BA18_PI) * (BA18_FREQUENCIES[k] - 24.0)) * anchor


def ba18_row(vs30, vs30_sim, pga):
    """The 301 factors of one site."""
    q = ba18_site_quantities(vs30, vs30_sim, pga)
    row = []
    for k in range(BA18_COLUMNS):
        l_site = _ba18_linear_factor(k, q["base_site"], q["kappa_site"], q["anchor_site"])
        l_sim = _ba18_linear_factor(k, q["base_sim"], q["kappa_sim"], q["anchor_sim"])
        if q["nl_floor_frequency"] > BA18_FREQUENCIES[k]:
            n = q["nonlinear_factors"][k]
        else:
            n = q["nl_floor"]
        row.append(c_div(l_site, l_sim) * n)
    return row


def ba18_amplification(vs30, vs30_sim, pga):
    return [ba18_row(v, s, p) for v, s, p in zip(vs30, vs30_sim, pga)]


def assert_same_doubles(got, expected):
    """Numbers (zeros and infinities with their signs) equal bit for bit, NaN where expected.

    The sign of a NaN is not compared: when two NaNs meet in a sum or product, the compiler is
    free to order the operands either way, and which one survives is not defined."""
    got = np.asarray(got, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    assert got.shape == expected.shape
    nan = np.isnan(expected)
    wrong = (np.isnan(got) != nan) | (~nan & (got.view(np.uint64) != expected.view(np.uint64)))
    first = [tuple(i) for i in np.argwhere(wrong)[:10]]
    assert not first, [(i, got[i], expected[i]) for i in first]
