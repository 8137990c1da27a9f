"""vs30amp against the field's own tools on the same inputs (benchmarks/peers.py calls them).

Run by `./run peers --check` in the peers' venv; elsewhere (a peer not installed) each case skips
naming the peer. Each tolerance is the measured difference with its reason: the peer computes the
same thing (a few ulps), or a documented choice of the peer moves it (benchmarks/peers.py, NOTES).
"""

import importlib.util
import sys
from pathlib import Path

import numpy as np
import pytest

import vs30amp

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))

pytestmark = pytest.mark.peers

IMPORTS = {"openquake-engine": "openquake", "pygmm": "pygmm", "pyrotd": "pyrotd", "eqsig": "eqsig",
           "pykooh": "pykooh", "obspy": "obspy"}


def needs(peer):
    if importlib.util.find_spec(IMPORTS[peer].split(".")[0]) is None:
        pytest.skip(f"{peer} is not installed (./run peers --check installs it from PyPI)")
    import peers
    return peers


# (peer, model, lowest and highest frequency compared (Hz), tolerance, why)
FACTORS = [
    ("openquake-engine", "bssa14", 0.1, 100, 1e-6, "the same equations"),
    ("pygmm", "bssa14", 0.1, 100, 1e-6, "the same equations"),
    ("openquake-engine", "cy14", 0.1, 25, 1e-6, "the same equations, y_ref its own at 1130 m/s"),
    ("openquake-engine", "cb14", 0.1, 0.34, 1e-6, "the same equations where SA is above PGA"),
    ("openquake-engine", "cb14", 0.1, 5, 0.025, "ours takes the simulation's site term linear (A1100 0), theirs at "
                                                "the scenario's A1100: they part where 760 m/s is below k1"),
    ("pygmm", "cy14", 0.1, 100, 1e-6, "the same equations, y_ref its own at 1130 m/s"),
    ("pygmm", "cb14", 0.1, 4, 0.015, "ours takes the simulation's site term linear (A1100 0), theirs at the "
                                     "scenario's A1100: they part where 760 m/s is below k1"),
    ("openquake-engine", "nga_east", 0.1, 6.7, 0.01, "its site coefficients interpolated between periods: 0.8 % at 2.5 Hz"),
]


@pytest.mark.parametrize("peer, model, low, high, tolerance, why", FACTORS)
def test_factors_as_the_peers_model_at_two_vs30(peer, model, low, high, tolerance, why):
    peers = needs(peer)
    if peer == "openquake-engine":
        tasks = [(k, n, n, p, o, f) for k, n, p, o, f in peers.openquake_tasks([20])]
    else:
        tasks = list(peers.pygmm_tasks([20]))
    [(_, _, looped, peer_call, ours, frequencies)] = [t for t in tasks if t[0] == model]
    theirs, mine = peer_call(), ours()
    i, j = peers.common(vs30amp.MODELS[model].frequencies, np.asarray(frequencies))
    band = (vs30amp.MODELS[model].frequencies[i] >= low) & (vs30amp.MODELS[model].frequencies[i] <= high)
    assert band.sum() >= 3
    np.testing.assert_allclose(mine[:looped, i[band]], theirs[:, j[band]], rtol=tolerance, err_msg=why)


# (peer, task, tolerance from the published spectra, why)
MEASURES = [
    ("pyrotd", "PSA", 0.03, "the record's own FFT: the response wraps around"),
    ("eqsig", "PSA", 0.07, "no sub-steps between samples, PGA below 6 dt"),
    ("pyrotd", "RotD50", 0.015, "the record's own FFT: the response wraps around"),
    ("pykooh", "FAS", 0.05, "the record's own FFT: from 1 Hz up enough bins fall in the window"),
]


@pytest.mark.parametrize("peer, task, tolerance, why", MEASURES)
def test_measures_as_ours_and_the_published_spectra(peer, task, tolerance, why):
    peers = needs(peer)
    if task == "FAS":
        row = peers._fas_row(peer, task, 1, peers.records(), None, peers.fas_peers()[peer])
        assert row["above_1hz"] < tolerance, why
        return
    functions = peers.psa_peers() if task == "PSA" else peers.rotd_peers()
    row = peers._measure_row(peer, task, 1, peers.records(), peers.published(), functions[peer])
    assert row["ours_published"] < 1e-4
    assert row["published"] < tolerance, why
    assert row["vs30amp"] < tolerance + 1e-4, why
