"""The models as a NumPy user would write them: ufuncs over the whole n x F grid at once.

The operations are those of the module's kernels, in the same order; both branches of every
threshold are evaluated over the whole grid and np.where picks one, as vectorised code does.
NumPy's exp, log and power are SIMD implementations that may differ from the C library's in the
last bit, so results agree with the module to a few units in the last place, not bit for bit.
"""

import csv
import math
import sys
from pathlib import Path

import numpy as np

# The model data as the tests' reference reads it from data/.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import reference_models as ref  # noqa: E402

K = ref.CONSTANTS

# ---- Campbell-Bozorgnia (2014), 22 frequencies ------------------------------------------------

CB14_K1, CB14_K2, CB14_C11 = (np.array(column) for column in (ref.CB14_K1, ref.CB14_K2, ref.CB14_C11))
_PGA_K1, _PGA_K2, _PGA_C11 = CB14_K1[-1], CB14_K2[-1], CB14_C11[-1]
_C = K["CB14_NL_AMPLITUDE"]
_N = K["CB14_NL_EXPONENT"]
_MINUS_LN_C = K["CB14_MINUS_LN_NL_AMPLITUDE"]


def cb14(vs30, vs30_sim, pga):
    """n x 22 factors."""
    with np.errstate(all="ignore"):
        r = vs30_sim / _PGA_K1
        lr = np.log(r)
        fref = np.where(vs30_sim <= _PGA_K1,
                        lr * _PGA_C11 + (np.log(np.power(r, _N) * _C + 0.0) + _MINUS_LN_C) * _PGA_K2,
                        lr * K["CB14_PGA_LINEAR_SLOPE"])
        a = (np.exp(K["CB14_ROCK_SITE_TERM"] - fref) * pga)[:, None]
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

BA18_FREQUENCIES, BA18_VS30_EXPONENT, BA18_NL_AMPLITUDE, BA18_NL_VS30_RATE, BA18_NL_INTENSITY_OFFSET = (
    np.array(column) for column in (ref.BA18_FREQUENCIES, ref.BA18_VS30_EXPONENT, ref.BA18_NL_AMPLITUDE,
                                    ref.BA18_NL_VS30_RATE, ref.BA18_NL_INTENSITY_OFFSET))
_POWER_LAW = slice(0, ref.BA18_LAST_POWER_LAW_ROW + 1)
_DECAY = slice(ref.BA18_LAST_POWER_LAW_ROW + 1, 301)
_FROZEN_EXPONENT = BA18_VS30_EXPONENT[ref.BA18_LAST_POWER_LAW_ROW]
_PGA_EXPONENT = BA18_VS30_EXPONENT[ref.BA18_PGA_ROW]
_LIMIT = K["BA18_LINEAR_VS30_LIMIT"]
_REFERENCE = K["BA18_REFERENCE_VS30"]


def _linear_factors(vs30):
    """n x 301 linear factors of one velocity."""
    base = np.fmin(vs30 / _LIMIT, 1.0)[:, None]
    kappa = (np.power(vs30 / _REFERENCE, K["BA18_KAPPA_VS30_EXPONENT"]) / K["BA18_KAPPA_DIVISOR"])[:, None]
    out = np.empty((len(vs30), 301))
    out[:, _POWER_LAW] = np.power(base, BA18_VS30_EXPONENT[_POWER_LAW])
    out[:, _DECAY] = (np.exp((kappa * -np.pi) * (BA18_FREQUENCIES[_DECAY] - K["BA18_DECAY_ANCHOR_HZ"]))
                      * np.power(base, _FROZEN_EXPONENT))
    return out


def ba18(vs30, vs30_sim, pga):
    """n x 301 factors."""
    with np.errstate(all="ignore"):
        s = np.fmin(vs30_sim / _LIMIT, 1.0)
        q = K["BA18_PGA_REFERENCE_FACTOR"] / np.power(s, _PGA_EXPONENT)
        intensity = (np.power(q, K["BA18_PGA_RATIO_EXPONENT"]) * pga)[:, None]
        offset = (np.fmin(vs30, _REFERENCE) - K["BA18_NL_VS30_SHIFT"])[:, None]

        f2, f3, f4 = BA18_NL_AMPLITUDE, BA18_NL_VS30_RATE, BA18_NL_INTENSITY_OFFSET
        factors = np.power((intensity + f4) / f4, (np.exp(offset * f3) - np.exp(f3 * K["BA18_NL_REFERENCE_OFFSET"])) * f2)

        # The floor: first row in IEEE 754 totalOrder (signed bit patterns, the 63 low bits of
        # negative patterns flipped); argmin keeps the first of equal keys.
        keys = factors.view(np.int64)
        keys = np.where(keys < 0, keys ^ np.int64(0x7FFFFFFFFFFFFFFF), keys)
        floor_row = np.argmin(keys, axis=1)
        floor = factors[np.arange(len(factors)), floor_row][:, None]
        floor_frequency = BA18_FREQUENCIES[floor_row][:, None]
        held = np.where(floor_frequency > BA18_FREQUENCIES, factors, floor)

        return (_linear_factors(vs30) / _linear_factors(vs30_sim)) * held


# ---- Chiou-Youngs (2014), 24 periods --------------------------------------------------------

CY14_PHI1, CY14_PHI2, CY14_PHI3, CY14_PHI4 = (np.array(column) for column in ref.read_columns(
    ref.DATA / "cy14_site_coefficients.csv", "phi1", "phi2", "phi3", "phi4"))
_CY14_EXP_REFERENCE = np.exp(CY14_PHI3 * (1130.0 - 360.0))


def _cy14_total(v, log_term):
    """F of velocities v (n, 1) at ln((y_ref + phi4) / phi4) (n, 24); the nonlinear term from
    1130 m/s on is zero whatever y_ref."""
    linear = CY14_PHI1 * np.fmin(np.log(v / 1130.0), 0.0)
    slope = CY14_PHI2 * (np.exp(CY14_PHI3 * (v - 360.0)) - _CY14_EXP_REFERENCE)
    return np.where(v < 1130.0, linear + slope * log_term, linear)


def cy14(vs30, vs30_sim, y_ref):
    """n x 24 factors; y_ref per site and period (n, 24), or one per site (n,)."""
    with np.errstate(all="ignore"):
        y = y_ref if np.ndim(y_ref) == 2 else np.asarray(y_ref)[:, None]
        log_term = np.log((y + CY14_PHI4) / CY14_PHI4)
        return np.exp(_cy14_total(vs30[:, None], log_term) - _cy14_total(vs30_sim[:, None], log_term))


CY14_PHI5, CY14_PHI6 = (np.array(column) for column in ref.read_columns(
    ref.DATA / "cy14_site_coefficients.csv", "phi5", "phi6"))


def _cy14_basin(v, z1):
    """B (n, 24) of velocities v (n, 1) at depths z1 (n, 1) in m; 0 where z1 is NaN (dZ1 = 0)."""
    knee = 570.94 ** 4
    z1_ref = np.exp(-7.15 / 4.0 * np.log((v ** 4 + knee) / (1360.0 ** 4 + knee)))
    return np.where(np.isnan(z1), 0.0, CY14_PHI5 * (1.0 - np.exp(-(z1 - z1_ref) / CY14_PHI6)))


def cy14_basin(vs30, vs30_sim, y_ref, z1, z1_sim):
    """cy14's factors with the basin term of depths z1, z1_sim (n,; m, NaN not given)."""
    with np.errstate(all="ignore"):
        y = y_ref if np.ndim(y_ref) == 2 else np.asarray(y_ref)[:, None]
        log_term = np.log((y + CY14_PHI4) / CY14_PHI4)
        site, sim = vs30[:, None], vs30_sim[:, None]
        return np.exp((_cy14_total(site, log_term) + _cy14_basin(site, z1[:, None]))
                      - (_cy14_total(sim, log_term) + _cy14_basin(sim, z1_sim[:, None])))


# ---- NGA-East (Stewart et al. 2020, Hashash et al. 2020), 22 periods, the "median" convention --

def _nga_east_columns():
    path = Path(__file__).resolve().parent.parent / "data" / "nga_east_site_coefficients.csv"
    header, *rows = (line.split(",") for line in path.read_text().splitlines() if not line.startswith("#"))
    return {name: np.array([float(row[k]) for row in rows]) for k, name in enumerate(header)}


NGA_EAST = _nga_east_columns()


def _nga_east_terms(v, rock):
    """F and s (n x 22) of one velocity per site, ln((PGAr + f3) / f3) given."""
    c = NGA_EAST
    w_imp = np.where(v < 400.0, 0.1, np.where(v >= 600.0, 0.767,
                                              (0.767 - 0.1) * (np.log(v / 400.0) / np.log(600.0 / 400.0)) + 0.1))
    w_gr = 1.0 - w_imp
    f760 = w_imp * c["f760i"] + w_gr * c["f760g"]
    sigma_760 = w_imp * c["f760is"] + w_gr * c["f760gs"]
    f_2000 = c["c"] * np.log(c["v2"] / 760.0)
    ln_u = np.log(v / 2000.0) / np.log(3000.0 / 2000.0)
    fv = np.where(v <= c["v1"], c["c"] * np.log(c["v1"] / 760.0),
                  np.where(v <= c["v2"], c["c"] * np.log(v / 760.0),
                           np.where(v <= 2000.0, f_2000,
                                    np.where(v >= 3000.0, -f760, f_2000 - (f_2000 + f760) * ln_u))))
    spread = c["sigma_l"] - c["sigma_vc"]
    d_low = (v - 200.0) / (c["vf"] - 200.0)
    d_high = (v - c["v2"]) / (2000.0 - c["v2"])
    sigma_v = np.where(v < c["vf"], c["sigma_l"] - 2.0 * spread * d_low + spread * (d_low * d_low),
                       np.where(v <= c["v2"], c["sigma_vc"],
                                np.where(v <= 2000.0, c["sigma_vc"] + (c["sigma_u"] - c["sigma_vc"]) * (d_high * d_high),
                                         np.where(v >= 3000.0, 0.0, c["sigma_u"] * (1.0 - ln_u)))))
    sigma_f2 = np.where(v < 1000.0, np.where(v < 300.0, c["sigma_c"], c["sigma_c"] - c["sigma_c"] / np.log(
        1000.0 / 300.0) * np.log(v / 300.0)), 0.0)
    v_ref = np.where(c["period_s"] < 0.4, 760.0, 3000.0)
    f2 = c["f4"] * (np.exp(c["f5"] * (np.fmin(v, v_ref) - 360.0)) - np.exp(c["f5"] * (v_ref - 360.0)))
    f_nl = np.where(v < c["vc"], f2 * rock, 0.0)
    sigma_nl = np.where(v < 1000.0, sigma_f2 * rock, 0.0)
    return (fv + f760) + f_nl, np.sqrt((sigma_760 * sigma_760 + sigma_v * sigma_v) + sigma_nl * sigma_nl)


def nga_east(vs30, vs30_sim, pga):
    """n x 22 factors (the median convention)."""
    with np.errstate(all="ignore"):
        rock = np.log((pga[:, None] + NGA_EAST["f3"]) / NGA_EAST["f3"])
        own, _ = _nga_east_terms(vs30[:, None], rock)
        simulation, _ = _nga_east_terms(vs30_sim[:, None], rock)
        return np.exp(own - simulation)


# ---- Boore-Stewart-Seyhan-Atkinson (2014), 105 periods ----------------------------------------

def _coefficients(table):
    """The columns of data/`table` by name, rows in the file's order (the model's ascending frequencies)."""
    lines = (Path(__file__).resolve().parent.parent / "data" / table).read_text().splitlines()
    rows = list(csv.DictReader(line for line in lines if not line.startswith("#")))
    return {name: np.array([float(row[name]) for row in rows]) for name in rows[0]}


_BSSA14 = _coefficients("bssa14_site_coefficients.csv")
BSSA14_C, BSSA14_VC, BSSA14_F1, BSSA14_F4, BSSA14_F5 = (_BSSA14[name] for name in ("c", "vc", "f1", "f4", "f5"))
_BSSA14_VREF, _BSSA14_F3 = float(_BSSA14["vref"][0]), float(_BSSA14["f3"][0])
# The kernel's per-column constants, each from the C library's scalar call as the kernel's are.
_BSSA14_LOG_VC_RATIO = np.array([math.log(vc / _BSSA14_VREF) for vc in BSSA14_VC])
_BSSA14_EXP_REFERENCE = np.array([math.exp(f5 * (760.0 - 360.0)) for f5 in BSSA14_F5])


def _bssa14_exponents(v, nl_log):
    """n x 105 F = F_lin + F_nl of one velocity."""
    v = v[:, None]
    linear = BSSA14_C * np.where(BSSA14_VC < v, _BSSA14_LOG_VC_RATIO, np.log(v / _BSSA14_VREF))
    f2 = BSSA14_F4 * (np.exp(BSSA14_F5 * (v - 360.0)) - _BSSA14_EXP_REFERENCE)
    return linear + np.where(v < 760.0, BSSA14_F1 + f2 * nl_log, BSSA14_F1)


def bssa14(vs30, vs30_sim, pga):
    """n x 105 factors."""
    with np.errstate(all="ignore"):
        nl_log = np.log((pga + _BSSA14_F3) / _BSSA14_F3)[:, None]
        return np.exp(_bssa14_exponents(vs30, nl_log) - _bssa14_exponents(vs30_sim, nl_log))
