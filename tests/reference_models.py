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


# ---- The published model data, read as the build reads it --------------------------------

DATA = Path(__file__).resolve().parent.parent / "data"


def read_table(path):
    """The columns of a model data CSV (comment lines, a header, rows), by header name."""
    with open(path, newline="") as stream:
        rows = csv.reader(line for line in stream if not line.startswith("#"))
        header = next(rows)
        columns = [[] for _ in header]
        for fields in rows:
            for column, field in zip(columns, fields, strict=True):
                column.append(field)
    return dict(zip(header, columns))


_constants = read_table(DATA / "model_constants.csv")
CONSTANTS = {name: float(value) for name, value in zip(_constants["name"], _constants["value"])}
DERIVATIONS = dict(zip(_constants["name"], _constants["derivation"]))


def read_columns(path, *names):
    """The named columns of a model data CSV as tuples of floats."""
    table = read_table(path)
    return tuple(tuple(float(x) for x in table[name]) for name in names)


# ---- Campbell-Bozorgnia (2014) shallow-site term, 22 frequencies ----------------------------

CB14_PERIODS, CB14_FREQUENCIES, CB14_K1, CB14_K2, CB14_C11 = read_columns(
    DATA / "cb14_site_coefficients.csv", "period_s", "frequency_hz", "k1", "k2", "c11")

_CB14_C = CONSTANTS["CB14_NL_AMPLITUDE"]
_CB14_N = CONSTANTS["CB14_NL_EXPONENT"]
_CB14_MINUS_LN_C = CONSTANTS["CB14_MINUS_LN_NL_AMPLITUDE"]
_CB14_PGA_LINEAR_SLOPE = CONSTANTS["CB14_PGA_LINEAR_SLOPE"]
_CB14_ROCK_SITE_TERM = CONSTANTS["CB14_ROCK_SITE_TERM"]
_CB14_PGA_K1, _CB14_PGA_K2, _CB14_PGA_C11 = CB14_K1[-1], CB14_K2[-1], CB14_C11[-1]


def cb14_rock_pga(vs30_sim, pga):
    r = vs30_sim / _CB14_PGA_K1
    lr = c_log(r)
    if vs30_sim <= _CB14_PGA_K1:
        fref = lr * _CB14_PGA_C11 + (c_log(c_pow(r, _CB14_N) * _CB14_C + 0.0) + _CB14_MINUS_LN_C) * _CB14_PGA_K2
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

# The paper's c8, f4, f5 and f3, under the names the kernels give them.
(BA18_FREQUENCIES, BA18_VS30_EXPONENT, BA18_NL_AMPLITUDE, BA18_NL_VS30_RATE,
 BA18_NL_INTENSITY_OFFSET) = read_columns(DATA / "ba18_site_coefficients.csv", "frequency_hz", "c8", "f4", "f5", "f3")

BA18_COLUMNS = 301
BA18_LAST_POWER_LAW_ROW = 238
BA18_PGA_ROW = 170
_BA18_FROZEN_EXPONENT = BA18_VS30_EXPONENT[BA18_LAST_POWER_LAW_ROW]
_K = CONSTANTS


def ba18_reference_intensity(vs30_sim, pga):
    s = c_fmin(vs30_sim / _K["BA18_LINEAR_VS30_LIMIT"], 1.0)
    p = c_pow(s, BA18_VS30_EXPONENT[BA18_PGA_ROW])
    q = c_div(_K["BA18_PGA_REFERENCE_FACTOR"], p)
    return c_pow(q, _K["BA18_PGA_RATIO_EXPONENT"]) * pga


def ba18_nl_vs30_offset(vs30):
    return c_fmin(vs30, _K["BA18_REFERENCE_VS30"]) - _K["BA18_NL_VS30_SHIFT"]


def ba18_nonlinear_factor(k, intensity, offset):
    """exp(f_NL) = ((I_R + f3) / f3)^f2, f2 = f4 (exp(f5 o) - exp(f5 400)), o = min(Vs30, 760) - 360."""
    f3 = BA18_NL_INTENSITY_OFFSET[k]
    f4 = BA18_NL_AMPLITUDE[k]
    f5 = BA18_NL_VS30_RATE[k]
    base = (intensity + f3) / f3
    f2 = (c_exp(offset * f5) - c_exp(f5 * _K["BA18_NL_REFERENCE_OFFSET"])) * f4
    return c_pow(base, f2)


def ba18_floor(factors):
    """(value, row) of the first of the factors in IEEE 754 totalOrder."""
    floor, row = factors[0], 0
    for k in range(1, len(factors)):
        if total_order_before(factors[k], floor):
            floor, row = factors[k], k
    return floor, row


def ba18_kappa(vs30):
    return c_pow(vs30 / _K["BA18_REFERENCE_VS30"], _K["BA18_KAPPA_VS30_EXPONENT"]) / _K["BA18_KAPPA_DIVISOR"]


def ba18_site_quantities(vs30, vs30_sim, pga):
    """The per-site values, by name, that the frequency pass uses."""
    intensity = ba18_reference_intensity(vs30_sim, pga)
    offset = ba18_nl_vs30_offset(vs30)
    factors = [ba18_nonlinear_factor(k, intensity, offset) for k in range(BA18_COLUMNS)]
    floor, floor_row = ba18_floor(factors)
    base_site = c_fmin(vs30 / _K["BA18_LINEAR_VS30_LIMIT"], 1.0)
    base_sim = c_fmin(vs30_sim / _K["BA18_LINEAR_VS30_LIMIT"], 1.0)
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
    return c_exp((kappa * -math.pi) * (BA18_FREQUENCIES[k] - _K["BA18_DECAY_ANCHOR_HZ"])) * anchor


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
