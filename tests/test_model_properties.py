"""Properties every site model of vs30amp.MODELS has, through its kernel (the module's on 3.15 and later)."""

import math

import numpy as np
import pytest

import _utils
import vs30amp
from reference_models import assert_same_doubles

NAN = math.nan

CB14 = _utils._campbell_bozorgnia_2014
BA18 = _utils._bayless_abrahamson_2018_eas
MODELS = [pytest.param(model.kernel, model.frequencies.size, id=name) for name, model in vs30amp.MODELS.items()]


def call(function, vs30, vs30_sim, pga):
    return function(*(np.atleast_1d(np.asarray(x, dtype=np.float64)) for x in (vs30, vs30_sim, pga)))


@pytest.mark.parametrize("function, columns", MODELS)
def test_no_sites(function, columns):
    empty = np.empty(0)
    assert function(empty, empty, empty).shape == (0, columns)


@pytest.mark.parametrize("function, columns", MODELS)
def test_equal_velocities_without_pga_give_exactly_one(function, columns):
    vs30 = np.concatenate([[100.0, 400.0, 457.0, 760.0, 865.0, 1000.0, 1086.0, 1100.0, 3000.0],
                           np.random.default_rng(7).uniform(50.0, 2500.0, 500)])
    assert (call(function, vs30, vs30, np.zeros_like(vs30)) == 1.0).all()


# A site stiffer than every velocity threshold of its model's nonlinear term: 1086 m/s (the
# largest k1) for CB14, 760 m/s (the reference) for BA18; NaN is beyond every clamp. BSSA14's
# PGAr drives both velocities' terms, so both are stiff (760 m/s and above); so are CY14's, from
# 1130 m/s on, whatever y_ref (the kernel takes the pga as y_ref at every period); NGA-East's above
# every Vc (2990 m/s) and sigma_f2's 1000 m/s, in every convention and moved by epsilon.
BSSA14 = vs30amp.MODELS["bssa14"].kernel
CY14 = vs30amp.MODELS["cy14"].kernel
NGA_EAST = vs30amp.MODELS["nga_east"]
STIFF = [(CB14, 1200.0, 760.0), (CB14, 1087.0, 300.0), (CB14, 2500.0, 1500.0), (CB14, 1e6, 865.0)] + [
    (BA18, vs30, vs30_sim) for vs30 in (760.0, 900.0, 2000.0, NAN) for vs30_sim in (200.0, 760.0, 1500.0)] + [
    (BSSA14, 760.0, 1200.0), (BSSA14, 2000.0, 760.0), (BSSA14, 1e6, 1500.0),
    (CY14, 1130.0, 1500.0), (CY14, 2000.0, 1130.0)] + [
    (kernel, vs30, 3000.0) for kernel in (NGA_EAST.kernel, NGA_EAST.kernel_for("collapsed"),
                                          NGA_EAST.moved_kernel_for("median", 1.5)) for vs30 in (2995.0, 1e6)]


@pytest.mark.parametrize("function, vs30, vs30_sim", STIFF)
def test_stiff_site_ignores_pga(function, vs30, vs30_sim):
    pgas = [0.0, 0.2, 2.0, NAN, math.inf, -0.5]
    rows = call(function, [vs30] * len(pgas), [vs30_sim] * len(pgas), pgas)
    assert_same_doubles(rows, np.broadcast_to(rows[0], rows.shape))
    assert not np.isnan(rows).all(axis=1).any()


@pytest.mark.parametrize("vs30_sim", [180.0, 400.0, 760.0, 1129.0, 1130.0, 1500.0])
def test_rock_motion_inverts_the_factor_from_rock(vs30_sim):
    """y on rock, carried to vs30_sim by the model's own factor and back (`_rock_motion.rock_rows`),
    is y again, to the bisection's last steps (exactly on the rock itself); 0 stays 0, NaN NaN
    and a motion above the 5 g guard as it is."""
    from vs30amp._rock_motion import rock_rows

    model = vs30amp.MODELS["cy14"]
    y = np.random.default_rng(3).uniform(0.0, 2.0, (50, model.frequencies.size))
    y[0, :2] = [0.0, NAN]
    sites = np.full(50, vs30_sim)
    simulated = y * model.column_kernel_for("module")(sites, np.full(50, 1130.0), y)
    simulated[0, 2] = 6.0
    back = rock_rows(model, "module", simulated, sites)
    assert back[0, 0] == 0.0 and np.isnan(back[0, 1]) and back[0, 2] == 6.0 and np.isfinite(back[1:]).all()
    if vs30_sim == 1130.0:
        assert back.tobytes() == simulated.tobytes()
    within = simulated[1:] <= 5.0
    assert within.mean() > 0.8
    np.testing.assert_allclose(back[1:][within], y[1:][within], rtol=1e-14)
