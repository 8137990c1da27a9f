"""Record stores (netCDF, Zarr): read lazily, amplified on a real cluster, written back whole."""

import numpy as np
import pytest

import vs30amp
import vs30amp.io as vio

xr = pytest.importorskip("xarray")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import vs30amp.distributed as vd  # noqa: E402

RNG = np.random.default_rng(8)
H1, H2 = ((RNG.standard_normal((23, 300)) * 0.1).astype(np.float32) for _ in range(2))
VS30 = np.linspace(180.0, 1200.0, 23)
IDS = np.array([f"ST{i:03d}" for i in range(23)], dtype=object)


@pytest.mark.parametrize("suffix", [".zarr", ".nc"])
def test_a_store_amplified_on_a_cluster_reads_back_as_one_direct_call(tmp_path, suffix):
    if suffix == ".zarr":
        pytest.importorskip("zarr")
    source, target = tmp_path / f"sims{suffix}", tmp_path / f"amplified{suffix}"
    vio.write_store(source, {"h1": H1, "h2": da.from_array(H2, chunks=5)}, 0.005, station=IDS, vs30=VS30,
                    stations_per_chunk=5)
    store = vio.read_store(source, ("h1", "h2"), stations_per_chunk=10)
    assert store.dt == 0.005 and list(store.station) == list(IDS) and store.vs30.tobytes() == VS30.tobytes()
    assert all(c.chunks == ((10, 10, 3), (300,)) and c.dtype == np.float32 for c in store.components.values())
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        amplified = {name: vd.amplify_waveforms(records, store.dt, store.vs30, 760.0, model="ba18", ranges="ignore",
                                                convention="published")
                     for name, records in store.components.items()}
        vio.write_store(target, amplified, store.dt, station=store.station, vs30=store.vs30, model="ba18",
                        convention="published")
    back = vio.read_store(target, ["h2", "h1"])
    for name, records in (("h1", H1), ("h2", H2)):
        direct = vs30amp.amplify_waveforms(records, 0.005, VS30, 760.0, model="ba18", ranges="ignore",
                                           convention="published")
        assert back.components[name].compute().tobytes() == direct.tobytes()
    assert {k: back.attrs[k] for k in ("Conventions", "source", "model", "convention")} == {
        "Conventions": "CF-1.8", "source": f"vs30amp {vs30amp.__version__}", "model": "ba18", "convention": "published"}
    assert "Bayless-Abrahamson 2018" in back.attrs["title"] and "write_store" in back.attrs["history"]
    with pytest.raises(FileExistsError, match="amplified"):
        vio.write_store(target, {"h1": H1}, 0.01)
    vio.write_store(target, {"h1": H1[:2]}, 0.01, overwrite=True)
    assert vio.read_store(target, "h1").components["h1"].shape == (2, 300)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([source.name, target.name])  # nothing left behind


def plain_store(path, acc=H1[:4], dims=("station", "time"), time=np.arange(300) * 0.01, time_units="s",
                dt=None, vs30_dims=("station",), station=None):
    variable = xr.Variable(dims, acc, {} if dt is None else {"dt": dt})
    coords = {} if time is None else {"time": ("time", time, {"units": time_units})}
    coords["vs30"] = (vs30_dims, np.full(acc.shape[:len(vs30_dims)], 500.0))
    if station is not None:
        coords["station"] = ("station", station)
    xr.Dataset({"acc": variable}, coords=coords).to_netcdf(path)
    return path


@pytest.mark.parametrize("store, message", [
    (dict(), None),  # dt from the time coordinate
    (dict(time=None, dt=0.01), None),
    (dict(time_units="seconds since 2020-01-01"), None),  # decoded to dates, stepped in seconds
    (dict(time=None, dt="fast"), "the 'dt' attribute of 'acc' is 'fast'; expected a number"),
    (dict(time=None), "no sample interval for 'acc'"),
    (dict(dims=("station", "sample")), r"variable 'acc' has dimensions \('station', 'sample'\)"),
    (dict(acc=np.ones((4, 300), dtype=np.int16)), "variable 'acc' holds int16 values"),
    (dict(acc=H1[:4, :1], time=np.zeros(1)), "dimension 'time' has 1 samples"),
    (dict(time=np.arange(300) * 10.0, time_units="ms"), "coordinate 'time' is in 'ms'"),
    (dict(time=np.arange(300) ** 1.5), "coordinate 'time' is not evenly spaced"),
    (dict(dt=0.02), "'acc' has dt = 0.02 s but coordinate 'time' steps by 0.01 s"),
    (dict(vs30_dims=("station", "time")), r"'vs30' has dimensions \('station', 'time'\)"),
    # dt from the axis's ends, to the precision of its values: not 0.009999999999999787, not uneven
    (dict(time=10.0 + np.arange(300) * 0.01, station=np.array([b"S0", b"S1", b"S2", b"S3"])), None),  # ids: |S2
    (dict(time=(np.arange(300) * 0.01).astype(np.float32)), None),
    (dict(station=np.array(["A", "B", "A", "C"])), "station 'A' is both record 0 and record 2; station ids must be"),
    (dict(acc=H1[:0]), "dimension 'station' has 0 stations; the store holds no records"),
])
def test_stores_of_the_wrong_shape_are_named(tmp_path, store, message):
    path = plain_store(tmp_path / "s.nc", **store)
    if message is None:
        read = vio.read_store(path)
        assert read.dt == 0.01 and read.components["acc"].compute().tobytes() == H1[:4].tobytes()
        assert read.station.tolist() == (["S0", "S1", "S2", "S3"] if "station" in store else [0, 1, 2, 3])
        assert list(vio.read_store(path, None).components) == ["acc"]  # every (station, time) variable
    else:
        with pytest.raises(vio.RecordError, match=message):
            vio.read_store(path)
    with pytest.raises(vio.RecordError, match="no variable 'h1'; the store's variables are 'acc'"):
        vio.read_store(path, "h1")


def test_reading_loads_only_the_chunks_computed(tmp_path):
    pytest.importorskip("zarr")
    path = tmp_path / "s.zarr"
    vio.write_store(path, {"acc": H1}, 0.005, stations_per_chunk=8)
    (path / "acc" / "c" / "2" / "0").write_bytes(b"not a chunk")  # stations 16-22
    acc = vio.read_store(path, stations_per_chunk=8).components["acc"]
    assert acc[:16].compute(scheduler="sync").tobytes() == H1[:16].tobytes()
    with pytest.raises(Exception):
        acc.compute(scheduler="sync")
    (path / "acc" / "c" / "1" / "0").unlink()  # Zarr would fill stations 8-15 with NaN
    with pytest.raises(vio.RecordError, match="data missing for records 8 to 15 of 'acc': chunk 'c/1/0' is not"):
        acc[:16].compute(scheduler="sync")


# What write_store accepts reads back as written; what it refuses, read_store would.
@pytest.mark.parametrize("components, options, error", [
    ({"h1": H1[:2].astype(">f8"), "h2": H2[:2]}, dict(units={"h1": "g", "h2": "cm/s2"}), None),
    ({"h1": H1[:2]}, dict(station=[b"S0", b"S1"]), None),
    ({"h1": H1[:2]}, dict(station=["S0", None]), "station: id 1 is None; ids are all strings or all integers"),
    ({"h1": H1[:3]}, dict(station=[7, 8, 7]), "station: 7 is the id of stations 0 and 2; ids must be unique"),
    ({"h1": H1[:2, :1]}, {}, r"h1: shape \(2, 1\); a store holds at least one record of at least 2 samples"),
    ({"h1": H1[:0]}, {}, r"h1: shape \(0, 300\)"),
    ({"h1": H1[:2], "h2": H2[:2]}, dict(units={"h1": "g"}), "units: no units for 'h2'"),
])
def test_what_write_store_accepts_reads_back(tmp_path, components, options, error):
    path = tmp_path / "s.nc"
    if error is not None:
        with pytest.raises(ValueError, match=error):
            vio.write_store(path, components, 0.01, **options)
        assert list(tmp_path.iterdir()) == []
        return
    vio.write_store(path, components, 0.01, **options)
    back = vio.read_store(path, list(components))
    for name, records in components.items():
        read = back.components[name].compute()
        assert read.dtype.isnative and read.tolist() == records.tolist(), name
    assert back.variable_units == options.get("units", dict.fromkeys(components, "g"))
    if "station" in options:
        assert back.station.tolist() == [s.decode() for s in options["station"]]


@pytest.mark.parametrize("header", ["station,vs30", "Station,VS30"])
def test_the_station_study_example_amplifies_and_measures_each_station_at_its_own_vs30(tmp_path, header):
    import subprocess
    import sys
    from pathlib import Path

    pytest.importorskip("zarr")
    ids = [f"S{i:05d}" for i in range(6)]  # less than one chunk (250) of the demo store, as 40 were
    vs30 = np.linspace(200.0, 1100.0, 6)[::-1]
    sites = tmp_path / "stations.csv"
    sites.write_text(f"{header}\n" + "".join(f"{s},{float(v)!r}\n" for s, v in reversed(list(zip(ids, vs30)))))
    example = Path(__file__).resolve().parent.parent / "examples" / "station_study.py"
    done = subprocess.run([sys.executable, str(example), "--demo", "6", "--sites", str(sites), "-o",
                           str(tmp_path / "amplified.zarr"), "--measures", str(tmp_path / "measures.nc")],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    sims, amplified = (vio.read_store(tmp_path / name, ("h1", "h2")) for name in ("sims.zarr", "amplified.zarr"))
    h1, h2 = (vs30amp.amplify_waveforms(sims.components[n].compute(), 0.005, vs30, 760.0, fmax=25.0) for n in ("h1", "h2"))
    assert amplified.components["h1"].compute().tobytes() == h1.tobytes() and list(amplified.station) == ids
    measures = xr.open_dataset(tmp_path / "measures.nc")
    assert measures["rotd50"].values.tobytes() == vs30amp.rotd(h1, h2, 0.005).tobytes()
    assert measures["eas"].values.tobytes() == vs30amp.eas(h1, h2, 0.005).tobytes()
    assert measures.attrs["model"] == "ba18" and measures.attrs["source"] == f"vs30amp {vs30amp.__version__}"


def test_a_netcdf_store_larger_than_the_free_space_is_not_begun(tmp_path):
    import errno

    huge = da.zeros((10**6, 10**7), dtype=np.float32, chunks=(1, 10**7))  # 40 TB, never computed
    with pytest.raises(OSError, match="No space left on device: the store needs 40,000,000,000,000 bytes") as error:
        vio.write_store(tmp_path / "huge.nc", {"acc": huge}, 0.01)
    assert error.value.errno == errno.ENOSPC and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name, make", [
    ("mydata.zarr", lambda path: path.mkdir() or (path / "thesis.tex").write_text("mine")),
    ("dir.nc", lambda path: path.mkdir() or (path / "thesis.tex").write_text("mine")),
    ("notes.nc", lambda path: path.write_text("not netCDF")),
    ("link.zarr", lambda path: path.symlink_to(path.parent)),
])
def test_overwrite_replaces_only_a_store_of_its_kind(tmp_path, name, make):
    pytest.importorskip("zarr")
    make(tmp_path / name)
    before = sorted(tmp_path.rglob("*"))
    with pytest.raises(FileExistsError, match=f"{name}: exists and is .*; it is not replaced"):
        vio.write_store(tmp_path / name, {"h1": H1[:2]}, 0.01, overwrite=True)
    assert sorted(tmp_path.rglob("*")) == before


def test_a_zarr_write_that_fails_leaves_nothing_once_its_chunks_end(tmp_path):
    """A chunk that fails while others still run: none of them may write after the clean-up."""
    pytest.importorskip("zarr")
    import itertools
    import time

    started = itertools.count()

    def slow_or_failing(block):
        if next(started) == 1:  # the second chunk fails while the first still runs
            time.sleep(0.1)
            raise ValueError("a chunk fails")
        time.sleep(0.5)
        return block

    records = da.from_array(H1, chunks=(5, 300)).map_blocks(slow_or_failing, meta=np.empty((0, 0), H1.dtype))
    with pytest.raises(ValueError, match="a chunk fails"):
        vio.write_store(tmp_path / "out.zarr", {"h1": records}, 0.01)
    time.sleep(1.0)  # what a chunk left running would still write
    assert list(tmp_path.iterdir()) == []
