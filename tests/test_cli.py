"""The vs30amp command, run in a child process on real files."""

import csv
import subprocess
import sys

import numpy as np
import pytest

import vs30amp

ROWS = [("A01", "250", "0.21", "760"), ("B 2", "4.805e2", "1e-2", "760.0"),
        ("C3", "1333.3333333333333", "0.30000000000000004", "180.25"), ("D4", "200", "0", "1_500")]


def vs30amp_command(*args, cwd):
    return subprocess.run([sys.executable, "-m", "vs30amp", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=120)


def read_output(path):
    """(site ids, factors, frequencies) from an output file of any format."""
    if path.suffix == ".csv":
        with path.open(newline="") as file:
            header, *rows = list(csv.reader(file))
        return [r[0] for r in rows], np.array([[float(v) for v in r[4:]] for r in rows]), np.array(header[4:], float)
    if path.suffix == ".npz":
        saved = np.load(path)
        return saved["site"].tolist(), saved["factors"], saved["frequencies"]
    xarray = pytest.importorskip("xarray")
    with xarray.open_dataarray(path) as data:
        assert data.dims == ("site", "frequency") and data.attrs["units"] == "1"
        return data["site"].values.tolist(), data.values, data["frequency"].values


@pytest.mark.parametrize("suffix, model", [(".csv", "ba18"), (".npz", "cb14"), (".nc", "ba18"), (".nc", "cb14")])
def test_round_trip_equals_a_direct_call_on_the_same_doubles(tmp_path, suffix, model):
    if suffix == ".nc":
        pytest.importorskip("netCDF4")
    (tmp_path / "sites.csv").write_text("site,vs30,pga,vs30_sim\n" + "\n".join(",".join(r) for r in ROWS) + "\n")
    done = vs30amp_command("factors", "sites.csv", "--model", model, "-o", f"out{suffix}", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    ids, factors, frequencies = read_output(tmp_path / f"out{suffix}")
    vs30, pga, vs30_sim = (np.array([float(r[k]) for r in ROWS]) for k in (1, 2, 3))
    expected = vs30amp.amplification(vs30, vs30_sim, pga, model)
    assert ids == [r[0] for r in ROWS]
    assert factors.tobytes() == expected.factors.tobytes() and np.array_equal(frequencies, expected.frequencies)


@pytest.mark.parametrize("table, options, message", [
    ("vs30,vs30_sim\n300,760\n", [], "sites.csv: missing column 'pga'"),
    ("vs30,vs30_sim,pga\n300,760,0.1\n310,760,abc\n", [], "sites.csv: row 2, column 'pga': 'abc' is not a number"),
    ("vs30,pga\n300,0.1\n", ["--model", "ba20", "--vs30-sim", "760"], "unknown model 'ba20'"),
    ("vs30,pga\n300,0.1\n", ["--vs30-sim", "760", "-o", "factors.xlsx"], "unknown output format '.xlsx'"),
    ("vs30,pga\n300,0.1\n100,0.1\n", ["--vs30-sim", "760", "--check-ranges"], "vs30: site 1 has 100.0"),
])
@pytest.mark.parametrize("existing", [False, True])
def test_errors_are_one_line_exit_2_and_leave_outputs_alone(tmp_path, table, options, message, existing):
    (tmp_path / "sites.csv").write_text(table)
    target = tmp_path / ("factors.xlsx" if "factors.xlsx" in options else "factors.nc")
    if existing:
        target.write_text("earlier results")
    done = vs30amp_command("factors", "sites.csv", "-o", target.name, *options, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith("vs30amp: error: ") and done.stderr.count("\n") == 1 and message in done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["sites.csv"] + [target.name] * existing)
    assert not existing or target.read_text() == "earlier results"


def test_help_shows_an_example(tmp_path):
    done = vs30amp_command("factors", "--help", cwd=tmp_path)
    assert done.returncode == 0 and "vs30amp factors sites.csv --model ba18" in done.stdout
