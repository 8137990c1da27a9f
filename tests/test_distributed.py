"""vs30amp.distributed on a real cluster: a scheduler and two worker processes on the loopback."""

import re

import numpy as np
import pytest

import vs30amp


@pytest.mark.parametrize("factors_model, records_model, convention, epsilon", [
    ("cb14", "ba18", "published", 0.0), ("bssa14", "bssa14", "module", 0.0),  # bssa14's records: PGA carried to rock
    ("nga_east", "nga_east", "collapsed", -1.5),  # moved by epsilon sigma, records' PGA carried to 3000 m/s
    ("ba18", "cy14", "module", 0.0)])  # cy14's y_ref from each chunk's records' own PSA
def test_cluster_results_equal_one_direct_call_bit_for_bit(factors_model, records_model, convention, epsilon):
    da = pytest.importorskip("dask.array")
    distributed = pytest.importorskip("distributed")
    import vs30amp.distributed as vd

    rng = np.random.default_rng(11)
    n = 1000
    vs30, pga = rng.uniform(150, 1500, n), rng.uniform(0, 1.5, n)
    acc = (rng.standard_normal((60, 2000)) * 0.1).astype(np.float32)
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        factors = vd.amplification(da.from_array(vs30, chunks=170), 500.0, pga, model=factors_model,
                                   epsilon=epsilon, ranges="ignore")
        waves = vd.amplify_waveforms(da.from_array(acc, chunks=(13, 700)), 0.005, vs30[:60], 500.0, model=records_model,
                                     ranges="ignore", convention=convention, epsilon=epsilon)
        computed_factors, computed_waves = client.compute([factors, waves], sync=True)
        assert len(client.scheduler_info()["workers"]) == 2
    assert computed_factors.tobytes() == vs30amp.amplification(vs30, 500.0, pga, factors_model, epsilon=epsilon,
                                                               ranges="ignore").factors.tobytes()
    direct = vs30amp.amplify_waveforms(acc, 0.005, vs30[:60], 500.0, model=records_model, ranges="ignore",
                                       convention=convention, epsilon=epsilon)
    assert computed_waves.dtype == np.float32 and computed_waves.tobytes() == direct.tobytes()


def test_one_record_for_every_site_and_checks_that_count_sites_across_chunks():
    da = pytest.importorskip("dask.array")
    import vs30amp.distributed as vd

    acc = (np.random.default_rng(3).standard_normal(900) * 0.5).astype(np.float32)
    vs30 = np.linspace(200, 1200, 25)
    lazy = vd.amplify_waveforms(acc, 0.005, da.from_array(vs30, chunks=6), 760.0, units="m/s2", fmax=20.0)
    direct = vs30amp.amplify_waveforms(acc, 0.005, vs30, 760.0, units="m/s2", fmax=20.0)
    assert lazy.shape == (25, 900) and lazy.compute(scheduler="threads").tobytes() == direct.tobytes()
    for safe in ({"fmax": 10.0, "taper": 0.5}, {"fmax": 10.0, "above_fmax": "hold"}):
        lazy = vd.amplify_waveforms(acc, 0.005, da.from_array(vs30, chunks=6), 760.0, **safe)
        assert lazy.compute(scheduler="threads").tobytes() == vs30amp.amplify_waveforms(acc, 0.005, vs30, 760.0,
                                                                                        **safe).tobytes()
    vs30[20] = 100.0  # in the fourth chunk: named by its place among all sites
    with pytest.raises(ValueError, match="vs30: site 20 has 100.0"):
        vd.amplification(da.from_array(vs30, chunks=6), 760.0, 0.1, ranges="raise").compute(scheduler="sync")
    with pytest.warns(vs30amp.RangeWarning, match="1 of 6 sites is outside .* vs30: site 20 has 100.0"):
        vd.amplify_waveforms(acc, 0.005, da.from_array(vs30, chunks=6), 760.0).compute(scheduler="sync")


def test_what_values_do_not_decide_is_checked_when_the_graph_is_built():
    pytest.importorskip("dask.array")
    import vs30amp.distributed as vd

    acc = (np.random.default_rng(4).standard_normal((3, 500)) * 0.2).astype(">f8")  # as the in-memory function takes
    lazy = vd.amplify_waveforms(acc, 0.01, [300.0, 500.0, 900.0], 760.0)
    assert lazy.compute(scheduler="sync").tobytes() == vs30amp.amplify_waveforms(acc, 0.01, [300.0, 500.0, 900.0],
                                                                                 760.0).tobytes()
    for change, message in (({"units": "gal"}, "units: unknown units 'gal'"), ({"fmax": 0.0}, "fmax: expected"),
                            ({"dt": -0.01}, "dt: expected one finite, positive"), ({"dt": np.nan}, "dt: "),
                            ({"above_fmax": "cut"}, "above_fmax: "), ({"taper": -1.0}, "taper: "),
                            ({"not_at_rest": "no"}, "not_at_rest: ")):
        with pytest.raises(ValueError, match=message):
            vd.amplify_waveforms(acc, **{"dt": 0.01, "vs30": 300.0, "vs30_sim": 760.0, **change})


# The call's own warnings: (records as a Dask array, fmax, taper, what the one warning says).
@pytest.mark.parametrize("lazy_records, fmax, taper, said", [
    (False, None, 0.0, "fmax not given: factors up to "),  # the highest factor: sites and peaks known now
    (True, None, 0.0, "fmax not given: the model's factors applied up to the records' Nyquist frequency 100 Hz"),
    (False, 20.0, None, "25 of 25 records do not start and end at rest; the first, record 0"),
])
def test_a_missing_fmax_and_records_not_at_rest_are_one_warning_at_the_callers_line(lazy_records, fmax, taper, said):
    da = pytest.importorskip("dask.array")
    import warnings

    import vs30amp.distributed as vd

    acc = np.random.default_rng(3).standard_normal((25, 400)) * 0.01  # noise: not at rest
    vs30 = np.linspace(200, 1200, 25)
    records = da.from_array(acc, chunks=(6, 400)) if lazy_records else acc
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        lazy = vd.amplify_waveforms(records, 0.005, vs30, 760.0, fmax=fmax, taper=taper)
        lazy.compute(scheduler="sync")  # five chunks, none of which warns again
        direct = vs30amp.amplify_waveforms(acc, 0.005, vs30, 760.0, fmax=fmax, taper=taper)
    assert len(caught) == 2 and all(w.filename == __file__ for w in caught), [str(w.message) for w in caught]
    assert issubclass(caught[0].category, vs30amp.AmplificationWarning) and str(caught[0].message).startswith(said)
    if not lazy_records:  # the same words as the in-process call's
        assert str(caught[0].message) == str(caught[1].message)


@pytest.mark.parametrize("call, later", [("amplification", []), ("amplify_waveforms", ["1 of 6 sites is outside ba18's "
                                                                                        "range .* pga: site 21 has"])])
def test_numpy_sites_are_checked_once_at_the_call_at_the_callers_line(call, later):
    da = pytest.importorskip("dask.array")
    import warnings

    import vs30amp.distributed as vd

    vs30 = np.linspace(200, 1200, 25)
    vs30[[2, 20]] = 100.0  # in two chunks of six
    acc = np.random.default_rng(5).standard_normal((25, 400)) * 0.1
    acc[21] *= 100.0  # above 5 g: the records' own PGA is known only in its chunk
    build = {"amplification": lambda ranges: vd.amplification(vs30, 760.0, 0.1, chunks=6, ranges=ranges),
             "amplify_waveforms": lambda ranges: vd.amplify_waveforms(da.from_array(acc, chunks=(6, 400)), 0.005,
                                                                      vs30, 760.0, ranges=ranges, fmax=np.inf)}[call]
    with pytest.warns(vs30amp.RangeWarning) as caught:
        lazy = build("warn")
    assert len(caught) == 1 and caught[0].filename == __file__
    assert str(caught[0].message).startswith("2 of 25 sites are outside ba18's range")
    with warnings.catch_warnings(record=True) as computed:
        warnings.simplefilter("always")
        lazy.compute(scheduler="sync")
    assert len(computed) == len(later) and all(re.search(p, str(w.message)) for p, w in zip(later, computed))
    with pytest.raises(ValueError, match="vs30: site 2 has 100.0 .*; 2 of 25 sites are .*: site 2, site 20$"):
        build("raise")  # refused at the call, before anything is computed
