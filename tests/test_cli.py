"""The vs30amp command, run in a child process on real files."""

import csv
import os
import resource
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import vs30amp

ROWS = [("A01", "250", "0.21", "760"), ("B 2", "4.805e2", "1e-2", "760.0"),
        ("C3", "1333.3333333333333", "0.30000000000000004", "180.25"), ("D4", "200", "0", " +1.5E3")]


def vs30amp_command(*args, cwd, program=None, **options):
    """The command in a child process; `program`: Python code run instead of ``-m vs30amp``."""
    start = ["-m", "vs30amp"] if program is None else ["-c", program]
    return subprocess.run([sys.executable, *start, *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=120, **options)


def write_table(path, sites, model_range=(200.0, 1400.0)):
    """A table of `sites` valid sites with ids."""
    vs30 = np.linspace(*model_range, sites)
    path.write_text("site,vs30,pga,vs30_sim\n" + "".join(f"S{i},{v!r},0.25,760\n" for i, v in enumerate(vs30.tolist())))


def read_output(path, provenance=None, ids="site"):
    """(site ids, factors, frequencies) from an output file of any format, the ids under the
    name `ids`; `provenance` (text that must be in what the file says made it) is checked."""
    if path.suffix == ".csv":
        with path.open(newline="") as file:
            about, header, *rows = list(csv.reader(file))
        assert provenance is None or provenance in ",".join(about).replace(";", "")
        assert header[0] == ids
        start = 5 if "y_ref" in header else 4  # cy14's sites carry their y_ref
        return ([r[0] for r in rows], np.array([[float(v) for v in r[start:]] for r in rows]),
                np.array(header[start:], float))
    if path.suffix == ".npz":
        saved = np.load(path)
        assert provenance is None or provenance in " ".join(f"{k} {saved[k]}" for k in ("source", "model", "convention"))
        return saved[ids].tolist(), saved["factors"], saved["frequencies"]
    xarray = pytest.importorskip("xarray")
    with xarray.open_dataset(path) as dataset:
        data = dataset["amplification"]
        assert data.dims == (ids, "frequency") and data.attrs["units"] == "1"
        assert dataset.attrs["Conventions"].startswith("CF-") and "vs30amp factors" in dataset.attrs["history"]
        assert provenance is None or provenance in " ".join(f"{k} {dataset.attrs[k]}" for k in
                                                            ("source", "model", "convention"))
        return data[ids].values.tolist(), data.values, data["frequency"].values


@pytest.mark.parametrize("suffix, model, convention, ids", [
    (".csv", "ba18", "module", "site"), (".csv", "ba18", "published", "Station"), (".npz", "cb14", "module", "site"),
    (".npz", "ba18", "published", "station"), (".nc", "ba18", "published", "STATION"), (".nc", "cb14", "module", "id"),
    (".csv", "bssa14", "module", "site"), (".nc", "nga_east", "collapsed", "site"), (".csv", "cy14", "module", "id"),
    (".npz", "cy14", "module", "site")])  # cy14: y_ref a column of the table, one value per site (and in .npz z1)
def test_round_trip_equals_a_direct_call_on_the_same_doubles(tmp_path, suffix, model, convention, ids):
    if suffix == ".nc":
        pytest.importorskip("netCDF4")
    y_ref = [0.3, 0.01, 1.2, 0.0] if model == "cy14" else None
    z1 = [5.0, 600.0, 0.0, 40.0] if model == "cy14" and suffix == ".npz" else None  # the basin term's column
    rows = ROWS if y_ref is None else [(*row, repr(y)) for row, y in zip(ROWS, y_ref)]
    rows = rows if z1 is None else [(*row, repr(z)) for row, z in zip(rows, z1)]
    (tmp_path / "sites.csv").write_text(f"{ids},vs30,pga,vs30_sim{',y_ref' * (y_ref is not None)}"
                                        f"{',z1' * (z1 is not None)}\n" + "\n".join(",".join(r) for r in rows) + "\n")
    done = vs30amp_command("factors", "sites.csv", "--model", model, "--convention", convention, "-o", f"out{suffix}",
                           cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    ids, factors, frequencies = read_output(tmp_path / f"out{suffix}",
                                            f"vs30amp {vs30amp.__version__} model {model} convention {convention}",
                                            ids.lower())
    vs30, pga, vs30_sim = (np.array([float(r[k]) for r in ROWS]) for k in (1, 2, 3))
    expected = vs30amp.amplification(vs30, vs30_sim, pga, model, convention=convention, y_ref=y_ref, z1=z1)
    assert ids == [r[0] for r in ROWS]
    assert factors.tobytes() == expected.factors.tobytes() and np.array_equal(frequencies, expected.frequencies)
    said = vs30amp._models.convention_words(model, convention)  # ba18's module convention: not the published model
    if suffix == ".csv":
        assert (tmp_path / "out.csv").read_text().splitlines()[0].endswith(f"; factors of {said}")
    elif suffix == ".nc":
        xarray = pytest.importorskip("xarray")
        with xarray.open_dataset(tmp_path / "out.nc") as dataset:
            assert dataset.attrs["comment"] == f"factors of {said}"
            if expected.sigma is not None:  # nga_east's epistemic sigma, per site and frequency
                assert dataset["sigma"].values.tobytes() == expected.sigma.tobytes()


@pytest.mark.parametrize("table, options, message", [
    ("vs30,vs30_sim\n300,760\n", [], "sites.csv: missing column 'pga' (or give --pga for every site)"),
    ("vs30,pga\n300,0.1\n", [], "sites.csv: missing column 'vs30_sim' (or give --vs30-sim for every site)"),
    ("site,vs30,pga,lat\nA,300,0.1,35.2\n", ["--vs30-sim", "760"], "unknown column 'lat' (column 4); a site table "
                                                                  "has an id (station, site, site_id, id, file)"),
    ("site,vs30,pga,fmax\nA,300,0.1,25\n", ["--vs30-sim", "760"],
     "column 'fmax' (column 4) is the simulation's maximum frequency, which only amplify --sites reads"),
    ("Station,site,vs30,pga\nA,A,300,0.1\n", ["--vs30-sim", "760"], "columns 'station' and 'site' both name the"),
    ("vs30,vs30_sim,pga\n300,760,0.1\n310,760,abc\n", [], "sites.csv: row 2, column 'pga': 'abc' is not a number"),
    ("vs30,pga\n300,0.1\n", ["--model", "ba20", "--vs30-sim", "760"], "unknown model 'ba20'"),
    ("vs30\n300\n", ["--model", "cy14", "--vs30-sim", "760"], "sites.csv: missing column 'y_ref': cy14 needs y_ref, "
                                                             "the PSA on 1130 m/s rock"),
    ("vs30,pga,y_ref\n300,0.1,0.2\n", ["--vs30-sim", "760"], "column 'y_ref' (column 3) is cy14's y_ref"),
    ("vs30,pga,z1\n300,0.1,20\n", ["--vs30-sim", "760"], "column 'z1' (column 3) is cy14's z1 (Z1 of the site"),
    ("vs30,y_ref,z1_sim\n300,0.1,-2\n", ["--model", "cy14", "--vs30-sim", "760"], "z1_sim: row 1 has -2.0 m"),
    ("vs30,pga\n300,0.1\n", ["--vs30-sim", "760", "-o", "factors.xlsx"], "unknown output format '.xlsx'"),
    ("vs30,pga\n300,0.1\n100,0.1\n", ["--vs30-sim", "760", "--check-ranges"], "vs30: row 2 has 100.0"),
    ("vs30,pga\n300,0.1\n\n100,0.1\n", ["--vs30-sim", "760", "--ranges", "raise"], "vs30: row 3 has 100.0"),
    ("vs30,pga\n" + "100,0.1\n" * 7, ["--vs30-sim", "760", "--ranges", "raise"], "; 7 of 7 sites are "
     "outside ba18's range of applicability or missing a value: row 1, row 2, row 3, row 4, row 5 and 2 more\n"),
    ("vs30,pga\n300,0.1\n", ["--vs30-sim", "760", "--check-ranges", "--ranges", "ignore"], "contradicts"),
    ("vs30,pga\n300,\n", ["--vs30-sim", "760"], "row 1, column 'pga': missing value"),
    ("vs30,pga\n300,0.1\n\n310,inf\n", ["--vs30-sim", "760"], "row 3, column 'pga': 'inf' is not a finite"),
    ("vs30,pga,vs30_sim\nnan,0.1,760\n", [], "row 1, column 'vs30': 'nan' is not a finite number"),
    ("vs30,pga,vs30_sim\n300,0.1,1e999\n", [], "row 1, column 'vs30_sim': '1e999' is not a finite number"),
    # Numbers as C and Fortran read them: no digit separators, no digits of other scripts.
    ("vs30,pga,vs30_sim\n1_000,0.1,760\n", [], "row 1, column 'vs30': '1_000' is not a number"),
    ("vs30,pga,vs30_sim\n\u0663\u0660\u0660,0.1,760\n", [], "row 1, column 'vs30': '\u0663\u0660\u0660' is not a number"),
    ("vs30,pga\n0,0.1\n", ["--vs30-sim", "760"], "vs30: row 1 has 0.0 m/s; it must be finite and positive"),
    ("vs30,pga\n300,0.1\n", ["--vs30-sim", "760", "--pga", "0.2"], "has a column 'pga' and --pga was given"),
    ("vs30,pga,vs30\n300,0.1,310\n", ["--vs30-sim", "760"], "column 'vs30' (column 3) repeats column 'vs30'"),
    ("Vs30,pga,vs30\n300,0.1,310\n", ["--vs30-sim", "760"], "column 'vs30' (column 3) differs only in case from "
                                                             "column 'Vs30' (column 1)"),
    ("id,vs30,pga\nA,300,0.1\nB,300,0.1\nA,310,0.1\n", ["--vs30-sim", "760"], "site id 'A' is in rows 1 and 3"),
    (None, ["--vs30-sim", "760"], "sites.csv: not a regular file"),  # a FIFO would block the read
])
@pytest.mark.parametrize("existing", [False, True])
def test_errors_are_one_line_exit_2_and_leave_outputs_alone(tmp_path, table, options, message, existing):
    if table is None:
        os.mkfifo(tmp_path / "sites.csv")
    else:
        (tmp_path / "sites.csv").write_text(table)
    target = tmp_path / ("factors.xlsx" if "factors.xlsx" in options else "factors.nc")
    if existing:
        target.write_text("earlier results")
    done = vs30amp_command("factors", "sites.csv", "-o", target.name, *options, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith("vs30amp: error: ") and done.stderr.count("\n") == 1 and message in done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["sites.csv"] + [target.name] * existing)
    assert not existing or target.read_text() == "earlier results"


@pytest.mark.parametrize("args, status", [(["factors", "--help"], 0), (["--help"], 0), ([], 2)])
def test_help_shows_an_example_of_each_command(tmp_path, args, status):
    done = vs30amp_command(*args, cwd=tmp_path)
    assert done.returncode == status and done.stdout.startswith("usage: vs30amp") and done.stderr == ""
    assert "vs30amp factors sites.csv --model ba18" in done.stdout
    for command in ([] if args else ["vs30amp amplify ", "vs30amp measures "]):
        assert command in done.stdout


def test_one_value_for_every_site_names_in_any_case_and_warnings_on_one_line(tmp_path):
    (tmp_path / "sites.csv").write_text("Site,VS30\nA,250\nB,480.5\nC,100\n")
    (tmp_path / "out.npz").write_text("earlier results")
    (tmp_path / "out.npz").chmod(0o640)  # a replaced output keeps its permission bits
    done = vs30amp_command("factors", "sites.csv", "--model", "CB14", "--pga", "0.2", "--vs30-sim", "760",
                           "-o", "out.npz", cwd=tmp_path)
    assert done.returncode == 0 and done.stderr.count("\n") == 1
    assert done.stderr.startswith("vs30amp: warning: sites.csv: 1 of 3 sites is outside cb14's range")
    assert "vs30: row 3 (site 'C') has 100.0 m/s" in done.stderr
    ids, factors, _ = read_output(tmp_path / "out.npz")
    expected = vs30amp.amplification([250, 480.5, 100], 760, 0.2, "cb14", ranges="ignore")
    assert ids == ["A", "B", "C"] and factors.tobytes() == expected.factors.tobytes()
    assert (tmp_path / "out.npz").stat().st_mode & 0o7777 == 0o640
    quiet = vs30amp_command("factors", "sites.csv", "--model", "cb14", "--pga", "0.2", "--vs30-sim", "760",
                            "--ranges", "ignore", "-o", "out.npz", cwd=tmp_path)
    assert quiet.returncode == 0 and quiet.stderr == ""


@pytest.mark.parametrize("spelling", ["sites.csv", "sub/../sites.csv", "{tmp}/sites.csv", "link.csv", "hard.csv"])
def test_the_input_table_is_never_the_output(tmp_path, spelling):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sites.csv").write_text("vs30,pga\n300,0.1\n")
    (tmp_path / "link.csv").symlink_to("sites.csv")
    os.link(tmp_path / "sites.csv", tmp_path / "hard.csv")
    done = vs30amp_command("factors", "sites.csv", "--vs30-sim", "760", "-o", spelling.format(tmp=tmp_path),
                           cwd=tmp_path)
    assert done.returncode == 2 and "is the input table sites.csv" in done.stderr and done.stderr.count("\n") == 1
    assert (tmp_path / "sites.csv").read_text() == "vs30,pga\n300,0.1\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["hard.csv", "link.csv", "sites.csv", "sub"]


def _file_size_limit(limit):
    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return limited


@pytest.mark.parametrize("suffix", [".csv", ".npz", ".nc"])
def test_a_write_that_fails_leaves_the_output_alone_and_nothing_behind(tmp_path, suffix):
    if suffix == ".nc":
        pytest.importorskip("netCDF4")
    write_table(tmp_path / "sites.csv", 400)
    target = tmp_path / f"factors{suffix}"
    target.write_text("earlier results")
    done = vs30amp_command("factors", "sites.csv", "-o", target.name, cwd=tmp_path,
                           preexec_fn=_file_size_limit(64 * 1024))
    assert done.returncode == 2 and done.stdout == "", done.stderr
    assert done.stderr.startswith(f"vs30amp: error: {target.name}: cannot be written (File too large)")
    assert done.stderr.count("\n") == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["sites.csv", target.name])
    assert target.read_text() == "earlier results"


# A real signal at the worst moments: as the temporary file has just been created (the trace
# function sends it as the function creating it returns), and while the interpreter exits.
SIGNAL_AT = {
    "creation": """
        def trace(frame, event, arg):
            if event == "return":
                os.kill(os.getpid(), signal.SIGTERM)
        sys.settrace(lambda frame, event, arg: trace if frame.f_code.co_name == "_mkstemp_inner" else None)
        status = cli.main()
    """,
    "exit": """
        status = cli.main()
        atexit.register(os.kill, os.getpid(), signal.SIGTERM)
    """,
}


@pytest.mark.parametrize("moment", SIGNAL_AT)
def test_a_signal_at_the_worst_moment_gives_its_line_and_status_and_leaves_no_file(tmp_path, moment):
    write_table(tmp_path / "sites.csv", 3)
    program = "import atexit, os, signal, sys\nfrom vs30amp import cli\n" + textwrap.dedent(SIGNAL_AT[moment]) + \
        "sys.exit(status)\n"
    done = vs30amp_command("factors", "sites.csv", "-o", "factors.csv", cwd=tmp_path, program=program)
    assert (done.returncode, done.stderr) == (143, "vs30amp: error: terminated by SIGTERM\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["factors.csv"] * (moment == "exit") + ["sites.csv"]


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_a_signal_during_a_write_removes_the_temporary_file(tmp_path, signum):
    write_table(tmp_path / "sites.csv", 6000)  # a CSV of about 40 MB: seconds of writing
    target = tmp_path / "factors.csv"
    target.write_text("earlier results")
    child = subprocess.Popen([sys.executable, "-m", "vs30amp", "factors", "sites.csv", "-o", target.name],
                             cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not any(p.name.startswith(".factors.csv.") and p.stat().st_size > 0 for p in tmp_path.iterdir()):
        assert child.poll() is None and time.monotonic() < deadline, "the write never started"
        time.sleep(0.005)
    child.send_signal(signum)
    stdout, stderr = child.communicate(timeout=60)
    assert child.returncode == 128 + signum, stderr
    assert stderr == f"vs30amp: error: {'interrupted' if signum == signal.SIGINT else 'terminated'} by " \
                     f"{signal.Signals(signum).name}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["factors.csv", "sites.csv"]
    assert target.read_text() == "earlier results"
