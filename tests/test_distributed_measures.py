"""The measures on Dask arrays: on a real cluster, bit for bit the in-memory functions."""

import numpy as np
import pytest

import vs30amp

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import vs30amp.distributed as vd  # noqa: E402


def test_measures_on_a_cluster_equal_direct_calls_bit_for_bit():
    rng = np.random.default_rng(5)
    h1 = (rng.standard_normal((45, 1500)) * 0.1).astype(np.float32)
    h2 = rng.standard_normal((45, 1500)) * 0.1  # float64 beside float32: both read as double
    lazy_h1 = da.from_array(h1, chunks=(13, 600))  # uneven chunks, records split along time
    periods, frequencies = [0.02, 0.3, 2.0], [0.5, 3.0, 30.0, 120.0]  # 120 Hz: above Nyquist, NaN
    lazy = [vd.response_spectrum(lazy_h1, 0.005, periods, damping=0.03),
            vd.rotd(lazy_h1, h2, 0.005, percentile=84.0),
            vd.fas(lazy_h1, 0.005, frequencies),
            vd.eas(lazy_h1, h2, 0.005),
            vd.rotd(h1[7], h2[7], 0.005, periods),
            vd.response_spectrum(lazy_h1, 0.005, periods, samples_only=True)]
    direct = [vs30amp.response_spectrum(h1, 0.005, periods, damping=0.03),
              vs30amp.rotd(h1, h2, 0.005, percentile=84.0),
              vs30amp.fas(h1, 0.005, frequencies),
              vs30amp.eas(h1, h2, 0.005),
              vs30amp.rotd(h1[7], h2[7], 0.005, periods),
              vs30amp.response_spectrum(h1, 0.005, periods, samples_only=True)]
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        computed = client.compute(lazy, sync=True)
        assert len(client.scheduler_info()["workers"]) == 2
    for result, expected in zip(computed, direct):
        assert result.shape == expected.shape and result.tobytes() == expected.tobytes()


@pytest.mark.parametrize("call, error, message", [
    (lambda a, b: vd.response_spectrum(a, 0.0), ValueError, "dt: expected one finite, positive"),
    (lambda a, b: vd.response_spectrum(a, 0.01, [0.1, -1.0]), ValueError, "periods: .* got -1.0 at index 1"),
    (lambda a, b: vd.rotd(a, b, 0.01, damping=1.0), ValueError, "damping: expected a damping ratio"),
    (lambda a, b: vd.rotd(a, b, 0.01, percentile=101), ValueError, "percentile: expected a value in"),
    (lambda a, b: vd.fas(a, 0.01, [0.0]), ValueError, "frequencies: expected finite, positive"),
    (lambda a, b: vd.eas(a, b[:, :50], 0.01), ValueError, r"h2: shape \(20, 50\) differs from h1's \(20, 60\)"),
    (lambda a, b: vd.fas(a[:, :1], 0.01), ValueError, "acc: expected records .* at least 2 samples"),
    (lambda a, b: vd.rotd(a > 0, b, 0.01), TypeError, "h1: expected real acceleration values"),
])
def test_arguments_are_refused_when_the_graph_is_built(call, error, message):
    acc = da.zeros((20, 60), chunks=5)
    with pytest.raises(error, match=message):
        call(acc, acc)


def test_a_non_finite_sample_is_named_by_its_record_among_all():
    h1 = np.ones((30, 40))
    h1[23, 7] = np.inf
    with pytest.raises(ValueError, match="h1: expected finite values, got inf in record 23 at sample 7"):
        vd.eas(da.from_array(h1, chunks=10), np.ones((30, 40)), 0.01).compute(scheduler="sync")
