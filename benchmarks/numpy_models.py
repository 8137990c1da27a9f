"""Both models as a NumPy user would write them: ufuncs over the whole n x F grid at once.

The operations are those of the module's kernels, in the same order; both branches of every
threshold are evaluated over the whole grid and np.where picks one, as vectorised code does.
NumPy's exp, log and power are SIMD implementations that may differ from the C library's in the
last bit, so results agree with the module to a few units in the last place, not bit for bit.
"""

from pathlib import Path

import numpy as np

# ---- Campbell-Bozorgnia (2014), 22 frequencies ------------------------------------------------

CB14_K1 = np.array([400.0, 400.0, 400.0, 400.0, 400.0, 400.0, 400.0, 400.0, 410.0, 457.0, 503.0,
                    587.0, 654.0, 748.0, 878.0, 1032.0, 1086.0, 1054.0, 908.0, 865.0, 865.0, 865.0])
CB14_K2 = np.array([0.0, 0.0, 0.0, 0.0, 0.0, -0.299, -1.025, -1.955, -2.401, -2.669, -2.657,
                    -2.518, -2.381, -2.188, -1.931, -1.624, -1.471, -1.346, -1.273, -1.219, -1.186,
                    -1.186])
CB14_C11 = np.array([-0.576, -0.664, -0.748, -0.793, -0.848, -0.514, 0.33, 1.447, 1.995, 2.355,
                     2.398, 2.306, 2.205, 2.069, 1.877, 1.615, 1.535, 1.449, 1.29, 1.149, 1.094,
                     1.09])

_C = 1.88
_N = 1.18
_MINUS_LN_C = -0.6312717768418578
_PGA_LINEAR_SLOPE = -0.30947999999999976
_ROCK_SITE_TERM = -0.07437917037995617


def cb14(vs30, vs30_sim, pga):
    """n x 22 factors."""
    with np.errstate(all="ignore"):
        r = vs30_sim / 865.0
        lr = np.log(r)
        fref = np.where(vs30_sim <= 865.0,
                        lr * 1.09 + (np.log(np.power(r, _N) * _C + 0.0) + _MINUS_LN_C) * -1.186,
                        lr * _PGA_LINEAR_SLOPE)
        a = (np.exp(_ROCK_SITE_TERM - fref) * pga)[:, None]
        g = np.log(_C + a)

        v = vs30[:, None]
        s = v / CB14_K1
        ls = np.log(s)
        f_site = np.where(v <= CB14_K1,
                          ls * CB14_C11 + (np.log(np.power(s, _N) * _C + a) - g) * CB14_K2,
                          ls * (CB14_K2 * _N + CB14_C11))

        vs = vs30_sim[:, None]
        t = vs / CB14_K1
        lt = np.log(t)
        f_sim = np.where(vs <= CB14_K1,
                         CB14_K2 * (np.log(np.power(t, _N) * _C + 0.0) + _MINUS_LN_C) + CB14_C11 * lt,
                         lt * (CB14_C11 + CB14_K2 * _N))
        return np.exp(f_site - f_sim)


# ---- Bayless-Abrahamson (2018), 301 frequencies -----------------------------------------------

def _read_table(path):
    """The five columns of the coefficient table (comment lines and the header skipped)."""
    lines = [line for line in path.read_text().splitlines() if line and not line.startswith("#")]
    assert lines[0].startswith("frequency_hz"), lines[0]
    return np.array([[float(field) for field in line.split(",")] for line in lines[1:]]).T


_TABLE = _read_table(Path(__file__).resolve().parent.parent / "data" / "ba18_site_coefficients.csv")
BA18_FREQUENCIES, BA18_VS30_EXPONENT, BA18_NL_AMPLITUDE, BA18_NL_VS30_RATE, BA18_NL_INTENSITY_OFFSET = _TABLE
_POWER_LAW = slice(0, 239)
_DECAY = slice(239, 301)
_PI = 3.141592653589793
_FROZEN_EXPONENT = 0.501182975301589


def _linear_factors(vs30):
    """n x 301 linear factors of one velocity."""
    base = np.fmin(vs30 / 1000.0, 1.0)[:, None]
    kappa = (np.power(vs30 / 760.0, -0.4) / 33.11545195869231)[:, None]
    out = np.empty((len(vs30), 301))
    out[:, _POWER_LAW] = np.power(base, BA18_VS30_EXPONENT[_POWER_LAW])
    out[:, _DECAY] = (np.exp((kappa * -_PI) * (BA18_FREQUENCIES[_DECAY] - 24.0))
                      * np.power(base, _FROZEN_EXPONENT))
    return out


def ba18(vs30, vs30_sim, pga):
    """n x 301 factors."""
    with np.errstate(all="ignore"):
        s = np.fmin(vs30_sim / 1000.0, 1.0)
        q = 1.1423498055712635 / np.power(s, -0.484947178274669)
        intensity = (np.power(q, 0.846) * pga)[:, None]
        offset = (np.fmin(vs30, 760.0) - 360.0)[:, None]

        f2, f3, f4 = BA18_NL_AMPLITUDE, BA18_NL_VS30_RATE, BA18_NL_INTENSITY_OFFSET
        factors = np.power((intensity + f4) / f4, (np.exp(offset * f3) - np.exp(f3 * 400.0)) * f2)

        # The floor: first row in IEEE 754 totalOrder (signed bit patterns, the 63 low bits of
        # negative patterns flipped); argmin keeps the first of equal keys.
        keys = factors.view(np.int64)
        keys = np.where(keys < 0, keys ^ np.int64(0x7FFFFFFFFFFFFFFF), keys)
        floor_row = np.argmin(keys, axis=1)
        floor = factors[np.arange(len(factors)), floor_row][:, None]
        floor_frequency = BA18_FREQUENCIES[floor_row][:, None]
        held = np.where(floor_frequency > BA18_FREQUENCIES, factors, floor)

        return (_linear_factors(vs30) / _linear_factors(vs30_sim)) * held
