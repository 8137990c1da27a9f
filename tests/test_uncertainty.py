"""A model's epistemic sigma and epsilon through the public functions, for every model of
vs30amp.MODELS with uncertainty and each of its conventions."""

import math

import numpy as np
import pytest

import vs30amp
import vs30amp.cli

UNCERTAIN = [pytest.param(name, convention.name, id=f"{name}-{convention.name}")
             for name, model in vs30amp.MODELS.items() if model.uncertainty for convention in model.conventions]
# Sites across every branch of the velocity terms, from two simulations, soft and hard rock; the
# last site's own Vs30 is the simulation's.
VS30 = np.array([150.0, 200.0, 300.0, 450.0, 600.0, 760.0, 1000.0, 1500.0, 2000.0, 2500.0, 3500.0, 3000.0])
PGA = np.linspace(0.01, 0.9, VS30.size)


@pytest.mark.parametrize("vs30_sim", [760.0, 3000.0])
@pytest.mark.parametrize("epsilon", [1.0, -1.0, 2.5])
@pytest.mark.parametrize("model, convention", UNCERTAIN)
def test_epsilon_moves_ln_factors_by_epsilon_sigma_on_one_branch(model, convention, epsilon, vs30_sim):
    sites = (np.append(VS30[:-1], vs30_sim), vs30_sim, PGA)
    median = vs30amp.amplification(*sites, model, convention=convention, ranges="ignore")
    moved = vs30amp.amplification(*sites, model, convention=convention, epsilon=epsilon, ranges="ignore")
    step = np.log(moved.factors) - np.log(median.factors)
    assert np.allclose(np.abs(step), abs(epsilon) * median.sigma, rtol=1e-9, atol=1e-14)
    same = (sites[0] == vs30_sim) | (np.fmin(sites[0], vs30_sim) >= 3000.0)  # s is sigma_760 alone from 3000 m/s
    assert (median.sigma[~same].max(axis=1) > 0.0).all() and (median.sigma[same] == 0.0).all()
    assert (moved.factors[same] == 1.0).all() and moved.epsilon == epsilon
    assert f"moved by epsilon {epsilon:g} times" in repr(moved) and "epsilon" not in repr(median)
    assert np.array_equal(moved.sigma, median.sigma)
    flipped = vs30amp.amplification(*sites, model, convention=convention, epsilon=-epsilon, ranges="ignore")
    assert np.allclose(np.log(flipped.factors) - np.log(median.factors), -step, rtol=1e-9, atol=1e-14)


@pytest.mark.parametrize("model, convention", UNCERTAIN)
def test_sigma_of_a_missing_site_is_nan_and_epsilon_zero_is_the_median(model, convention):
    median = vs30amp.amplification(VS30, 3000.0, np.append(PGA[:-1], math.nan), model, convention=convention,
                                   ranges="ignore")
    again = vs30amp.amplification(VS30, 3000.0, np.append(PGA[:-1], math.nan), model, convention=convention,
                                  epsilon=0.0, ranges="ignore")
    assert np.isnan(median.sigma[-1]).all() and not np.isnan(median.sigma[:-1]).any()
    assert median.factors[:-1].tobytes() == again.factors[:-1].tobytes()


@pytest.mark.parametrize("model, epsilon, error, match", [
    ("bssa14", 1.0, ValueError, "bssa14 has no uncertainty"),
    ("nga_east", math.nan, ValueError, "finite"),
    ("nga_east", math.inf, ValueError, "finite"),
    ("nga_east", "1", TypeError, "expected a number"),
    ("nga_east", True, TypeError, "expected a number"),
])
def test_epsilon_refused(model, epsilon, error, match):
    with pytest.raises(error, match=match):
        vs30amp.amplification(300.0, 760.0, 0.1, model, epsilon=epsilon)
    with pytest.raises(error, match=match):
        vs30amp.amplify_spectrum([1.0, 1.0], [1.0, 2.0], 300.0, 760.0, 0.1, model, epsilon=epsilon)


def test_a_model_without_uncertainty_has_no_sigma_and_module_names_a_default():
    assert vs30amp.amplification(300.0, 760.0, 0.1, "bssa14").sigma is None
    assert vs30amp.amplification(300.0, 3000.0, 0.1, "NGA_EAST", convention="MODULE").convention == "median"
    with pytest.raises(ValueError, match="'median', 'collapsed'"):
        vs30amp.amplification(300.0, 3000.0, 0.1, "nga_east", convention="published")


@pytest.mark.parametrize("epsilon", [0.0, 1.5])
def test_spectra_and_records_move_with_the_factors(epsilon):
    model = vs30amp.MODELS["nga_east"]
    result = vs30amp.amplification([300.0, 600.0], 3000.0, 0.2, "nga_east", epsilon=epsilon)
    spectrum = vs30amp.amplify_spectrum(np.ones(model.frequencies.size), model.frequencies, [300.0, 600.0],
                                        3000.0, 0.2, "nga_east", epsilon=epsilon)
    assert spectrum.tobytes() == result.factors.tobytes()
    acc = np.sin(np.linspace(0.0, 40.0, 1000)) * np.hanning(1000) * 0.1
    out = [vs30amp.amplify_waveforms(acc, 0.01, 300.0, 3000.0, 0.1, "nga_east", fmax=25.0, epsilon=e)
           for e in (0.0, epsilon)]
    assert (np.abs(out[1] - out[0]).max() > 1e-3) == (epsilon != 0.0)


def test_command_says_the_factors_are_moved(tmp_path, capsys):
    (tmp_path / "sites.csv").write_text("site,vs30,pga\nA,300,0.1\nB,3000,0.2\n")
    out = tmp_path / "out.csv"
    assert vs30amp.cli.main(["factors", str(tmp_path / "sites.csv"), "--model", "nga_east", "--vs30-sim", "3000",
                             "--epsilon", "-1", "-o", str(out)]) == 0
    comment, header, *rows = out.read_text().splitlines()
    assert "convention median" in comment and "moved by epsilon -1 times its sigma" in comment
    moved = vs30amp.amplification([300.0, 3000.0], 3000.0, [0.1, 0.2], "nga_east", epsilon=-1.0).factors
    assert np.array_equal(np.array([row.split(",")[4:] for row in rows], dtype=float), moved)
    assert vs30amp.cli.main(["factors", str(tmp_path / "sites.csv"), "--model", "bssa14", "--vs30-sim", "760",
                             "--epsilon", "1", "-o", str(tmp_path / "no.csv")]) == 2
    assert capsys.readouterr().err.count("\n") == 1 and not (tmp_path / "no.csv").exists()
    xarray = pytest.importorskip("xarray")
    factors = vs30amp.amplification(300.0, 3000.0, 0.1, "nga_east", epsilon=0.5).to_xarray()
    assert isinstance(factors, xarray.DataArray) and factors.attrs["epsilon"] == 0.5
