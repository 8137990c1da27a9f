"""``vs30amp measures``: per-station tables read back equal to direct calls bit for bit."""

import csv
import shutil
from pathlib import Path

import numpy as np
import pytest

import vs30amp
from vs30amp import io
from vs30amp.cli import main

pytest.importorskip("xarray")
pytest.importorskip("zarr")
pytest.importorskip("dask.distributed")
import xarray as xr  # noqa: E402

DT, PERIODS = 0.01, [0.1, 0.5, 2.0]
RNG = np.random.default_rng(25)
RECORDS = (0.1 * RNG.standard_normal((3, 2, 1500)) * np.hanning(1500)).astype(np.float32)


def at2_pairs(tmp_path):
    paths = []
    for station, pair in zip(("S1", "S2", "S3"), RECORDS):
        for component, acc in zip(("h1", "h2"), pair):
            paths.append(tmp_path / f"{station}.{component}.AT2")
            io.write(paths[-1], io.Record(acc.astype(np.float64), DT, "g"))
    return paths, []


def sac_pairs(tmp_path):
    paths = []
    for station, pair in zip(("S1", "S2", "S3"), RECORDS):
        for component, acc in zip(("h1", "h2"), pair):
            paths.append(tmp_path / f"{station}.{component}.sac")
            io.write(paths[-1], io.Record(acc, DT, "unknown"))
    return paths, ["--units", "cm/s2", "--samples-only", "--damping", "0"]


def store(tmp_path):
    path = tmp_path / "sims.zarr"
    io.write_store(path, {"h1": RECORDS[:, 0], "h2": RECORDS[:, 1]}, DT, station=np.array(["S1", "S2", "S3"], dtype=object),
                   vs30=[250.0, 500.0, 900.0], vs30_sim=[700.0, 760.0, 800.0], model="cb14",
                   stations_per_chunk=2, history="2026-01-01T00:00:00+00:00: simulated")  # as amplified
    return [path], ["--rotd50"]


def odd_store(station=("S1", "S2", "S3"), units=("g", "g")):
    """A maker of a store that write_store would not write: ids repeated or none, components' units differing."""
    def make(tmp_path):
        path = tmp_path / "odd.nc"
        xr.Dataset({name: (("station", "time"), RECORDS[:len(station), i], {"units": unit, "dt": DT})
                    for i, (name, unit) in enumerate(zip(("h1", "h2"), units))},
                   coords={"station": list(station)}).to_netcdf(path)
        return [path], []
    return make


def read_back(path):
    """Stations, measures and provenance (the csv's comment line, else the attributes) with each
    measure's units, damping and percentile ("said") and the vs30_sim of each station."""
    if path.suffix == ".csv":
        with path.open(newline="") as file:
            comment = file.readline()
            rows = list(csv.reader(file))
        header, body = rows[0], rows[1:]
        stations, values, about = [row[0] for row in body], {}, {"history": comment, "said": {}}
        for column, name in enumerate(header[1:], start=1):
            values.setdefault(name.split("@")[0], []).append([float(row[column]) for row in body])
        for part in comment.split("; "):  # "rotd50 in g, damping 0.05, percentile 50"
            name, _, said = part.partition(" in ")
            if name in ("psa_h1", "psa_h2", "rotd50", "eas"):
                units, *numbers = said.split(", ")
                about["said"][name] = {"units": units} | {k: float(v) for k, v in (n.split(" ") for n in numbers)}
        about["vs30_sim"] = values.pop("vs30_sim", [None])[0]
        values.pop("vs30", None)
        return stations, {name: np.array(v).T for name, v in values.items()}, about
    if path.suffix == ".npz":
        with np.load(path) as saved:
            names = [n for n in ("psa_h1", "psa_h2", "rotd50", "eas") if n in saved]
            about = {k: str(saved[k]) for k in saved if k in ("source", "model", "history")}
            about["said"] = {n: {k.removeprefix(n + "_"): saved[k].item() for k in saved if k.startswith(n + "_")}
                             for n in names}
            about["vs30_sim"] = saved["vs30_sim"].tolist() if "vs30_sim" in saved else None
            return list(saved["station"]), {n: saved[n] for n in names}, about
    table = xr.open_dataset(path, **({"engine": "zarr", "consolidated": False} if path.suffix == ".zarr" else {})).load()
    about = dict(table.attrs, vs30_sim=table["vs30_sim"].values.tolist() if "vs30_sim" in table.coords else None)
    about["said"] = {n: {k: v for k, v in table[n].attrs.items() if k != "long_name"} for n in table.data_vars}
    return [str(s) for s in table["station"].values], {n: table[n].values for n in table.data_vars}, about


@pytest.mark.parametrize("ext", [".csv", ".npz", ".nc", ".zarr"])
@pytest.mark.parametrize("inputs", [at2_pairs, sac_pairs, store])
def test_tables_equal_direct_calls(tmp_path, capsys, ext, inputs):
    paths, options = inputs(tmp_path)
    output = tmp_path / f"measures{ext}"
    periods = ["--periods", ",".join(map(str, PERIODS))] if inputs is not sac_pairs else []
    assert main(["measures", *map(str, paths), *options, *periods, "-o", str(output)]) == 0
    said = capsys.readouterr()
    assert said.err == "" and said.out.startswith(f"{output}: ") and " of 3 stations " in said.out
    assert said.out.count("\n") == 1
    stations, values, about = read_back(output)
    named = ["S1", "S2", "S3"]
    version = f"vs30amp {vs30amp.__version__}"
    assert stations == named and about.get("source", version) == version
    if inputs is store:  # the measures of amplified records say what amplified them, after the store's history
        assert ext == ".csv" or about["model"] == "cb14"
        history = about["history"]
        assert history.index("simulated") < history.index("write_store in") < history.index("vs30amp measures")
        assert about["vs30_sim"] == [700.0, 760.0, 800.0]
    else:
        assert "model" not in about and about["vs30_sim"] is None
    chosen = PERIODS if periods else None
    only, damping = "--samples-only" in options, 0.0 if "--damping" in options else 0.05
    h1, h2, dt = RECORDS[:, 0], RECORDS[:, 1], DT
    if inputs is not store:  # as the files hold them (SAC: dt in float32)
        read = [io.read(p) for p in paths]
        h1, h2, dt = np.stack([r.acc for r in read[::2]]), np.stack([r.acc for r in read[1::2]]), read[0].dt
    if "--rotd50" in options:
        expected = {"rotd50": vs30amp.rotd(h1, h2, dt, chosen)}
    else:
        expected = {f"psa_{c}": vs30amp.response_spectrum(acc, dt, chosen, damping, samples_only=only)
                    for c, acc in (("h1", h1), ("h2", h2))}
    expected["eas"] = vs30amp.eas(h1, h2, dt, vs30amp.MODELS["ba18"].frequencies)
    assert values.keys() == expected.keys()
    units = "cm/s2" if inputs is sac_pairs else "g"
    for name in expected:  # EAS in g s; PSA at its damping, RotD50 at its percentile too
        described = {"units": f"{units} s"} if name == "eas" else {"units": units, "damping": damping}
        assert about["said"][name] == described | ({"percentile": 50.0} if name == "rotd50" else {}), name
    for name, direct in expected.items():
        assert values[name].tobytes() == direct.tobytes(), name


@pytest.mark.parametrize("make, argv, message", [
    (at2_pairs, lambda p, o: [*p[:5], "-o", o], "S3.h1.AT2: station 'S3' has 1 horizontal component; give two"),
    (at2_pairs, lambda p, o: [p[0], p[0], "-o", o], "S1.h1.AT2: is also given as"),  # paired with itself
    (at2_pairs, lambda p, o: [*p[:2], p[0][:-4] + ".sac", "-o", o], "S1.h1.AT2 and "),  # one component twice
    (at2_pairs, lambda p, o: [*p[:2], str(Path(o).parent / "empty"), "-o", o], "empty: no .AT2, .sac, .mseed or .bbp files"),
    (at2_pairs, lambda p, o: [*p[:2], str(Path(o).parent / "x.AT2"), "-o", o], "x.AT2: its name gives no station"),
    (at2_pairs, lambda p, o: [*p[:2], "--periods", "1,0.5,1.0", "-o", o], "--periods: 1,0.5,1.0; 1.0 s is given twice"),
    (at2_pairs, lambda p, o: [*p[:2], "-o", p[0]], "unknown output format '.AT2'"),
    (store, lambda p, o: [p[0], "-o", p[0]], "is the input"),
    (sac_pairs, lambda p, o: [*p[:2], "-o", o], "give the records' units with --units"),
    (at2_pairs, lambda p, o: [*p[:2], "--periods", "1,-2", "-o", o], "--periods: 1,-2; every period must be positive"),
    (at2_pairs, lambda p, o: [*p[:2], "--damping", "1", "-o", o], "error: --damping: 1; a fraction of critical in"),
    (at2_pairs, lambda p, o: [p[2], p[3], "-o", o], None),
    (store, lambda p, o: [p[0], "--variables", "h1", "-o", o], "--variables: 'h1'"),
    (odd_store(units=("g", "cm/s2")), lambda p, o: [p[0], "-o", o], "odd.nc: 'h1' is in g and 'h2' in cm/s2"),
    (odd_store(station=("A", "B", "A")), lambda p, o: [p[0], "-o", o], "station 'A' is both record 0 and record 2"),
    (odd_store(station=()), lambda p, o: [p[0], "-o", o], "odd.nc: dimension 'station' has 0 stations"),
])
def test_refusals_are_one_line_and_write_nothing(tmp_path, capsys, make, argv, message):
    paths, _ = make(tmp_path)
    (tmp_path / "empty").mkdir()
    if make is at2_pairs:  # a file named by no rule; S1.h1 as SAC too
        shutil.copy(paths[0], tmp_path / "x.AT2")
        shutil.copy(paths[1], paths[0].with_suffix(".sac"))
    before = sorted(tmp_path.rglob("*"))
    if message is None:  # a pair whose H2 differs in length from its H1
        io.write(paths[2], io.Record(np.zeros(100), DT, "g"))
        before, message = sorted(tmp_path.rglob("*")), "differ in number of samples (100 and 1500)"
    argv = argv([str(p) for p in paths], str(tmp_path / "out.csv"))
    assert main(["measures", *argv]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("vs30amp: error: ") and message in err, err
    assert sorted(tmp_path.rglob("*")) == before


def test_files_pair_by_station_and_component_whatever_their_order(tmp_path, capsys):
    """The issue's order S1.h1 S1.h2 S1.z S2.h1 ...: paired by name, verticals left out with a
    warning, an AT2 beside a SAC file of float32 dt 0.005 s; the same as each pair given alone."""
    acc = RECORDS.astype(np.float64)
    names = {"S1": ("h1", "h2", "z"), "RSN9_X_CLS": ("090", "000", "-UP")}  # RSN9_X_CLS000.AT2: NGA's names
    for (station, components), pair in zip(names.items(), acc):
        for component, samples in zip(components, [*pair, pair[0]]):
            io.write(tmp_path / f"{station}.{component}.AT2".replace(".0", "0").replace(".-", "-"),
                     io.Record(samples, 0.005, "g"))
    io.write(tmp_path / "S2.h2.sac", io.Record(RECORDS[2, 1], 0.005, "g"))
    io.write(tmp_path / "S2.h1.AT2", io.Record(acc[2, 0], 0.005, "g"))
    given = sorted(tmp_path.iterdir())  # RSN9_X_CLS-UP, ..000, ..090, S1.h1, S1.h2, S1.z, S2.h1, S2.h2
    assert main(["measures", *map(str, given), "--units", "g", "--periods", "0.2", "-o", str(tmp_path / "m.npz")]) == 0
    err = capsys.readouterr().err.splitlines()
    assert [Path(line.split(": ")[2]).name for line in err] == ["RSN9_X_CLS-UP.AT2", "S1.z.AT2"], err
    stations, values, _ = read_back(tmp_path / "m.npz")
    assert stations == ["RSN9_X_CLS", "S1", "S2"]
    sac = io.read(tmp_path / "S2.h2.sac").acc
    h1, h2 = [acc[1, 1], acc[0, 0], acc[2, 0]], [acc[1, 0], acc[0, 1], sac]  # H1: 000 before 090, h1 before h2
    for row, (first, second) in enumerate(zip(h1, h2)):
        direct = vs30amp.response_spectrum(np.stack([first, second]), 0.005, [0.2])
        assert values["psa_h1"][row].tobytes() + values["psa_h2"][row].tobytes() == direct.tobytes(), row
    io.write(tmp_path / "S2.h2.sac", io.Record(RECORDS[2, 1], 0.01, "g"))
    assert main(["measures", str(tmp_path), "--units", "g", "-o", str(tmp_path / "n.csv")]) == 2
    assert "differ in dt (0.005 s and 0.009999999776482582 s)" in capsys.readouterr().err
