"""``vs30amp amplify`` in a child process, on the real record files of tests/data."""

import dataclasses
import fcntl
import os
import pty
import re
import resource
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

from vs30amp.io._sac import OTHER_FORMATS_FIELDS

import vs30amp
from subprocess_helpers import run_child
from vs30amp import io
from vs30amp._models import convention_words
from vs30amp._units import G_IN_UNITS

DATA = Path(__file__).parent / "data"
AT2 = ["NIS090.AT2", "RSN8883_14383980_13849360.AT2"]
SAC = "IU.COLA.00.LHZ.le.sac"


# The factors at every frequency and no taper, said explicitly (the defaults before fmax was asked for).
UNLIMITED = ("--fmax", "inf", "--taper", "0")


def amplify(*args, cwd, settings=UNLIMITED):
    return subprocess.run([sys.executable, "-m", "vs30amp", "amplify", *settings, *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=120)


# Records made of another's file: a second component of one station.
COPIES = {"NIS000.AT2": "NIS090.AT2"}


def folder(path, names):
    path.mkdir()
    for name in names:
        shutil.copy(DATA / COPIES.get(name, name), path / name)
    return path


def snapshot(root):
    return {p.relative_to(root): p.read_bytes() if p.is_file() and not p.is_fifo() else None
            for p in sorted(root.rglob("*"))}


@pytest.mark.parametrize("model, vs30_sim, epsilon", [
    ("cb14", 760.0, 0.0), ("bssa14", 500.0, 0.0),  # bssa14: PGA carried to rock
    ("nga_east", 500.0, 1.5), ("cy14", 500.0, 0.0)])  # cy14: y_ref from each record's PSA carried to rock
def test_outputs_equal_a_direct_call_with_headers_kept(tmp_path, model, vs30_sim, epsilon):
    folder(tmp_path / "records", AT2 + [SAC])
    moved = ["--epsilon", f"{epsilon:g}"] if epsilon else []
    done = amplify("records", "--vs30", "300", "--vs30-sim", f"{vs30_sim:g}", "--model", model, "--units", "cm/s2",
                   *moved, "-o", "out", cwd=tmp_path)
    # The SAC file's counts read as cm/s2 make a PGA of hundreds of g: one warning line.
    assert done.returncode == 0 and done.stderr.startswith(f"vs30amp: warning: records/{SAC}: 1 of 1 sites")
    assert done.stderr.count("\n") == 1 and "above 5 g" in done.stderr
    lines = done.stdout.splitlines()
    for name, line in zip(sorted(AT2 + [SAC]), lines, strict=True):
        given, written = io.read(tmp_path / "records" / name), io.read(tmp_path / "out" / name)
        units = "g" if name in AT2 else "cm/s2"
        to_g = io.in_g(units)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", vs30amp.RangeWarning)
            expected = vs30amp.amplify_waveforms(given.acc, given.dt, 300.0, vs30_sim, model=model, units=units,
                                                 epsilon=epsilon)
        assert written.acc.dtype == given.acc.dtype and written.acc.tobytes() == expected.tobytes()
        before = np.abs(given.acc).max() * to_g
        assert line == f"out/{name}: PGA {before:.6g} g -> {np.abs(expected).max() * to_g:.6g} g"
        statistics = {"DEPMIN", "DEPMAX", "DEPMEN"}
        # The file says it is amplified, for bssa14 that its PGA was carried to rock, and the epsilon.
        marked = io.amplified(given, io.RecordProvenance(model, 300, vs30_sim, carried_to_rock=True,
                                                         epsilon=epsilon)).header
        kept = {"lines", "columns"} if name in AT2 else set(marked) - set(OTHER_FORMATS_FIELDS)
        assert {k: v for k, v in written.header.items() if k not in statistics} == {k: marked[k] for k in kept}


@pytest.mark.parametrize("arguments, message", [
    (["records/NIS090.AT2", "-o", "records/../records"], "NIS090.AT2: is the input records/NIS090.AT2; write the"),
    (["records", SAC, "-o", "out"], "vs30amp: error: IU.COLA.00.LHZ.le.sac: no such file or directory"),
    (["records", "records/NIS090.AT2", "-o", "out"], "NIS090.AT2 and records/NIS090.AT2 would both be written to out/"),
    (["bad", "-o", "out"], "bad/BAD.AT2: line 5: '0.2338x3E-06' is not a number"),
    (["records", "bad", "--units", "g", "-o", "out"], "bad/BAD.AT2: line 5"),
    (["records", "-o", "out"], "le.sac: units not given by the file; give the records' units with --units"),
    (["records", "empty", "--units", "g", "-o", "out"], "empty: no .AT2, .sac, .mseed or .bbp files in this directory"),
    (["records", "--units", "g", "-o", "missing/out"], "missing/out: its parent directory does not exist"),
    # Checked before the first write, however late the input that fails.
    (["records", "--units", "g", "-o", "taken"], "taken/NIS090.AT2: exists and is a directory; it is not replaced"),
    (["records", "huge", "--units", "g", "-o", "out"], "huge/HUGE.AT2: acc: record 0 amplified for site 0 overflows"),
    (["records", "fifo.AT2", "--units", "g", "-o", "out"], "fifo.AT2: not a regular file or directory"),
    # Errors name what is wrong: the option, the link.
    (["records", "--units", "g", "--fmax", "0", "-o", "out"], "vs30amp: error: --fmax: 0 Hz; it must be positive"),
    (["records", "--units", "g", "--vs30", "-0", "-o", "out"], "vs30amp: error: --vs30: -0 m/s; it must be positive"),
    (["records", "--units", "g", "-o", "dangling"], "dangling: a symbolic link to nowhere, which does not exist"),
    (["records", "--scheduler", "tcp://127.0.0.1:1", "-o", "out"], "--scheduler: is for a store (.nc, .zarr); RECORDS"),
])
def test_bad_input_writes_nothing(tmp_path, arguments, message):
    folder(tmp_path / "records", AT2 + [SAC])
    folder(tmp_path / "bad", []).joinpath("BAD.AT2").write_text(
        (DATA / "NIS090.AT2").read_text().replace("0.233833E-06", "0.2338x3E-06"))
    folder(tmp_path / "huge", []).joinpath("HUGE.AT2").write_text("T\nE\nU\nNPTS= 4, DT= .01 SEC\n1.7E308 -1.7E308 0 0\n")
    (tmp_path / "empty").mkdir()
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "NIS090.AT2").write_text("an earlier result")
    (tmp_path / "taken" / AT2[0]).mkdir(parents=True)
    os.mkfifo(tmp_path / "fifo.AT2")
    (tmp_path / "dangling").symlink_to("nowhere")
    before = snapshot(tmp_path)
    done = amplify("--vs30", "300", "--vs30-sim", "760", *arguments, cwd=tmp_path)
    # Warnings about the records read before the bad one may come first; the error is one line.
    *warned, error = done.stderr.splitlines()
    assert done.returncode == 2 and done.stdout == "" and all(w.startswith("vs30amp: warning: ") for w in warned)
    assert error.startswith("vs30amp: error: ") and message in error
    assert snapshot(tmp_path) == before


def many_records(tmp_path, copies):
    """records/ with the SAC file, the AT2 files and `copies` copies of one; out/ with an earlier result."""
    folder(tmp_path / "records", AT2 + [SAC])
    for i in range(copies):
        shutil.copy(DATA / AT2[0], tmp_path / "records" / f"copy{i:04d}.AT2")
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / AT2[0]).write_text("an earlier result")
    return snapshot(tmp_path / "out")


def _file_size_limit(limit):
    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return limited


def test_a_write_that_fails_halfway_leaves_outdir_as_it_was(tmp_path):
    before = many_records(tmp_path, 3)
    # Records are written in name order: copy0000-2.AT2 fit, the 4th file, of twice as many samples, does not.
    record = io.read(DATA / AT2[0])
    io.write(tmp_path / "records" / "long.AT2", dataclasses.replace(record, acc=np.tile(record.acc, 2)))
    done = subprocess.run([sys.executable, "-m", "vs30amp", "amplify", *UNLIMITED,
                           "records", "--vs30", "300", "--vs30-sim", "760",
                           "--units", "g", "-o", "out"], capture_output=True, text=True, cwd=tmp_path, timeout=120,
                          preexec_fn=_file_size_limit(24 * 1024))
    assert done.returncode == 2 and done.stdout == "", done.stderr
    assert done.stderr.splitlines()[-1] == "vs30amp: error: out/long.AT2: cannot be written (File too large); " \
                                           "OUTDIR left as it was"
    assert snapshot(tmp_path / "out") == before  # no staging directory either


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_a_signal_mid_run_leaves_outdir_as_it_was(tmp_path, signum):
    before = many_records(tmp_path, 150)
    child = subprocess.Popen([sys.executable, "-m", "vs30amp", "amplify", *UNLIMITED,
                           "records", "--vs30", "300", "--vs30-sim",
                              "760", "--units", "g", "-o", "out"], cwd=tmp_path, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 100
    while not any(p.name.startswith(".vs30amp-staging-") and any(p.iterdir()) for p in (tmp_path / "out").iterdir()):
        assert child.poll() is None and time.monotonic() < deadline, "the writing never started"
        time.sleep(0.005)
    child.send_signal(signum)
    stdout, stderr = child.communicate(timeout=60)
    assert child.returncode == 128 + signum and stdout == "", stderr
    assert stderr.endswith(f"by {signal.Signals(signum).name}\n")
    assert snapshot(tmp_path / "out") == before


def test_a_signal_during_the_moves_waits_until_every_file_is_in_place(tmp_path):
    many_records(tmp_path, 3)
    # The child signals itself once the first staged file is moved: the moves must all be done.
    child = run_child(f"""
        import os, signal
        from vs30amp.cli import main
        replace = os.replace

        def replace_then_signal(source, target):
            replace(source, target)
            if ".vs30amp-staging-" in str(source):
                os.kill(os.getpid(), signal.SIGTERM)

        os.replace = replace_then_signal
        os.chdir({str(tmp_path)!r})
        sys.exit(main(["amplify", "records", "--vs30", "300", "--vs30-sim", "760", "--units", "g", "-o", "out"]))
    """)
    assert child.returncode == 128 + signal.SIGTERM and child.stderr.endswith("terminated by SIGTERM\n"), child.stderr
    uninterrupted = amplify("records", "--vs30", "300", "--vs30-sim", "760", "--units", "g", "-o", "whole",
                            cwd=tmp_path)
    assert uninterrupted.returncode == 0 and snapshot(tmp_path / "out") == snapshot(tmp_path / "whole")


def test_one_run_at_a_time_and_a_killed_runs_staging_is_removed(tmp_path):
    many_records(tmp_path, 150)
    command = [sys.executable, "-m", "vs30amp", "amplify", *UNLIMITED,
                           "records", "--vs30", "300", "--vs30-sim", "760", "--units",
               "g", "-o", "out"]
    first = subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 100
    while not any(p.name.startswith(".vs30amp-staging-") and any(p.iterdir()) for p in (tmp_path / "out").iterdir()):
        assert first.poll() is None and time.monotonic() < deadline, "the writing never started"
        time.sleep(0.005)
    first.send_signal(signal.SIGSTOP)
    try:
        second = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    finally:
        first.kill()  # as a power cut: its staging directory stays
        first.wait()
    assert second.returncode == 2 and second.stdout == ""
    assert second.stderr == "vs30amp: error: out: another vs30amp run is writing into it; wait until it ends or " \
                            "choose another OUTDIR\n"
    staged = [p.name for p in (tmp_path / "out").iterdir() if p.name.startswith(".vs30amp-staging-")]
    assert len(staged) == 1  # left by the killed run
    third = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert third.returncode == 0
    assert third.stderr.splitlines()[0] == f"vs30amp: warning: out/{staged[0]}: the staging directory of a run " \
                                           "that was killed; removed"
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == \
        sorted(p.name for p in (tmp_path / "records").iterdir())


@pytest.mark.parametrize("stdout", ["a closed pipe", "/dev/full", "ascii", "closed"])
def test_the_report_on_stdout_decides_nothing(tmp_path, stdout):
    folder(tmp_path / "records", AT2)
    shutil.copy(DATA / AT2[0], tmp_path / "records" / "\u00f3.AT2")  # "ó": no name in ASCII
    options = {}
    if stdout == "a closed pipe":
        reader, writer = os.pipe()
        os.close(reader)
        options["stdout"] = writer
    elif stdout == "/dev/full":
        options["stdout"] = os.open("/dev/full", os.O_WRONLY)
    elif stdout == "closed":  # `>&-`: the process begins without descriptor 1
        options.update(stdout=subprocess.DEVNULL, preexec_fn=lambda: os.close(1))
    else:
        options.update(stdout=subprocess.DEVNULL, env={**os.environ, "PYTHONIOENCODING": "ascii"})
    try:
        done = subprocess.run([sys.executable, "-m", "vs30amp", "amplify", *UNLIMITED,
                           "records", "--vs30", "300", "--vs30-sim",
                               "760", "-o", "out"], stderr=subprocess.PIPE, text=True, cwd=tmp_path, timeout=120,
                              **options)
    finally:
        if isinstance(options["stdout"], int) and options["stdout"] > 0:
            os.close(options["stdout"])
    assert done.returncode == 2 and done.stderr.count("\n") == 1
    assert done.stderr.startswith("vs30amp: error: stdout: cannot be written (")
    assert done.stderr.endswith("all 3 records were written to out\n")
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted([*AT2, "\u00f3.AT2"])


# Each record its own site: (table, options, each file's vs30, vs30_sim and pga in g (None: its own peak)).
@pytest.mark.parametrize("table, options, sites", [
    (f"file,vs30,pga\n{AT2[0]},300,0.2\n{AT2[1]},450,0.05\n", ["--vs30-sim", "760"],
     {AT2[0]: (300, 760, 0.2), AT2[1]: (450, 760, 0.05)}),
    (f"Station,VS30,vs30_sim\n{AT2[1][:-4]},450,620\n{AT2[0][:-4]},300,760\n", [],
     {AT2[0]: (300, 760, None), AT2[1]: (450, 620, None)}),
    # The ids' column under any name factors reads too.
    (f"Site,vs30\n{AT2[1][:-4]},450\n{AT2[0][:-4]},300\n", ["--vs30-sim", "700"],
     {AT2[0]: (300, 700, None), AT2[1]: (450, 700, None)}),
    # A station's row for each of its components, named as measures pairs them.
    ("station,vs30\nNIS,300\n", ["--vs30-sim", "760"], {"NIS090.AT2": (300, 760, None), "NIS000.AT2": (300, 760, None)}),
    # The row's PGA (g) into the SAC record's units, m/s2, as the models see it.
    (f"file,vs30,pga\n{SAC},300,0.2\n{AT2[0]},450,0.05\n", ["--vs30-sim", "760", "--units", "m/s2"],
     {SAC: (300, 760, 0.2), AT2[0]: (450, 760, 0.05)}),
])
def test_sites_give_each_record_its_own_row(tmp_path, table, options, sites):
    folder(tmp_path / "records", list(sites))
    (tmp_path / "stations.csv").write_text(table)
    done = amplify("records", "--sites", "stations.csv", *options, "--ranges", "ignore", "-o", "out", cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    for name, (vs30, vs30_sim, pga) in sites.items():
        given = io.read(tmp_path / "records" / name)
        units = "m/s2" if name == SAC else "g"
        pga = None if pga is None else pga * G_IN_UNITS[units]
        expected = vs30amp.amplify_waveforms(given.acc, given.dt, vs30, vs30_sim, pga, units=units, ranges="ignore")
        assert io.read(tmp_path / "out" / name).acc.tobytes() == expected.tobytes(), name


@pytest.mark.parametrize("table, options, message", [
    (f"station,vs30\n{AT2[0][:-4]},300\n", [], f"records/{AT2[1]}: no row of stations.csv has station "
                                                f"'{AT2[1][:-4]}'; give --skip-unmatched"),
    (f"station,vs30\n{AT2[0][:-4]},300\n{AT2[1][:-4]},300\nGHOST,300\n", [],
     "stations.csv: row 3 (station 'GHOST') matches no record"),
    (f"station,vs30\n{AT2[0][:-4]},300\n{AT2[0][:-4]},310\n", [], f"station '{AT2[0][:-4]}' is in rows 1 and 2"),
    ("vs30\n300\n", [], "stations.csv: missing column 'station', which names each record"),
    (f"station,vs30,lat\n{AT2[0][:-4]},300,35\n", [], "stations.csv: unknown column 'lat' (column 3); a site "
                                                  "table has an id (station, site, site_id, id, file) and vs30, "
                                                  "vs30_sim, pga, fmax: remove"),
    (f"station,vs30\n{AT2[0][:-4]},300\n", ["--vs30", "300"], "with --sites (one of them)"),
    (f"station,vs30\n{AT2[0][:-4]},300\n{AT2[1][:-4]},50\n", ["--ranges", "raise"],
     f"records/{AT2[1]}: vs30: site 0 has 50.0 m/s"),
    # A value no site can have is the table's, named by its row, before any record is read.
    (f"station,vs30\n{AT2[0][:-4]},300\n{AT2[1][:-4]},-300\n", [],
     f"error: stations.csv: vs30: row 2 (station '{AT2[1][:-4]}') has -300.0 m/s; it must be finite and positive"),
    (f"station,vs30\n{AT2[0][:-4]},0\n{AT2[1][:-4]},300\n", [], "error: stations.csv: vs30: row 1"),
    (f"station,vs30,pga\n{AT2[0][:-4]},300,0.1\n{AT2[1][:-4]},300,-0.1\n", [], "error: stations.csv: pga: row 2"),
    (f"station,vs30\n{AT2[0][:-4]},1e-300\n{AT2[1][:-4]},300\n", ["--ranges", "ignore"],
     "vs30, vs30_sim: site 0 has vs30 1e-300 m/s and vs30_sim 760.0 m/s, whose factors overflow float64"),
    ("station,vs30\n", ["--skip-unmatched"], "stations.csv: none of the 2 records has a row; nothing was amplified"),
])
def test_sites_that_do_not_match_the_records_write_nothing(tmp_path, table, options, message):
    folder(tmp_path / "records", AT2)
    (tmp_path / "stations.csv").write_text(table)
    before = snapshot(tmp_path)
    done = amplify("records", "--sites", "stations.csv", "--vs30-sim", "760", *options, "-o", "out", cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == "" and message in done.stderr, done.stderr
    assert snapshot(tmp_path) == before


def test_skip_unmatched_leaves_out_records_without_a_row_and_says_how_many(tmp_path):
    folder(tmp_path / "records", AT2)
    (tmp_path / "stations.csv").write_text(f"file,vs30\n{AT2[0]},300\n")
    done = amplify("records", "--sites", "stations.csv", "--vs30-sim", "760", "--skip-unmatched", "-o", "out",
                   cwd=tmp_path)
    assert done.returncode == 0
    assert done.stderr == "vs30amp: warning: stations.csv: 1 of 2 records have no row and are left out\n"
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [AT2[0]]


def sims_store(tmp_path, acc=None, **options):
    """sims.nc: two components of 5 stations S0-S4 (store vs30 250-650 m/s), 3 to a chunk."""
    pytest.importorskip("xarray")
    pytest.importorskip("distributed")
    if acc is None:
        acc = (np.random.default_rng(3).standard_normal((2, 5, 1500)) * 0.05).astype(np.float32)
    io.write_store(tmp_path / "sims.nc", {"h1": acc[0], "h2": acc[1]}, 0.01, station=[f"S{i}" for i in range(5)],
                   vs30=[250.0, 350.0, 450.0, 550.0, 650.0], stations_per_chunk=3, **options)
    return acc


# A store amplified into a store: (options, table, output, the stations written and their vs30, vs30_sim, pga
# (g), each component's units).
@pytest.mark.parametrize("options, table, output, sites, units", [
    (["--vs30-sim", "760"], None, "amplified.zarr", [(f"S{i}", 250.0 + 100 * i, 760.0, None) for i in range(5)],
     dict(h1="g", h2="g")),
    (["--vs30", "300", "--vs30-sim", "620"], None, "amplified.nc", [(f"S{i}", 300.0, 620.0, None) for i in range(5)],
     dict(h1="m/s2", h2="cm/s2")),
    (["--skip-unmatched"], "station,vs30,vs30_sim,pga\nS3,400,760,0.2\nS1,300,700,0.1\n", "amplified.zarr",
     [("S1", 300.0, 700.0, 0.1), ("S3", 400.0, 760.0, 0.2)], dict(h1="g", h2="g")),
    # The rows' PGA (g) into each component's own units.
    (["--skip-unmatched"], "station,vs30,vs30_sim,pga\nS3,400,760,0.2\nS1,300,700,0.1\n", "amplified.nc",
     [("S1", 300.0, 700.0, 0.1), ("S3", 400.0, 760.0, 0.2)], dict(h1="m/s2", h2="cm/s2")),
    # A model that takes the PGA on rock: the records' own carried there, as the history says.
    (["--vs30", "300", "--vs30-sim", "620", "--model", "bssa14"], None, "amplified.zarr",
     [(f"S{i}", 300.0, 620.0, None) for i in range(5)], dict(h1="m/s2", h2="g")),
    (["--vs30-sim", "760", "--model", "nga_east", "--convention", "collapsed", "--epsilon", "-1"], None,
     "amplified.nc", [(f"S{i}", 250.0 + 100 * i, 760.0, None) for i in range(5)], dict(h1="g", h2="cm/s2")),
    # cy14: y_ref from each record's own PSA carried to 1130 m/s rock, by the chunks.
    (["--vs30", "300", "--vs30-sim", "620", "--model", "cy14"], None, "amplified.zarr",
     [(f"S{i}", 300.0, 620.0, None) for i in range(5)], dict(h1="m/s2", h2="g")),
])
def test_a_store_amplified_into_a_store_equals_direct_calls(tmp_path, options, table, output, sites, units):
    if output.endswith(".zarr"):
        pytest.importorskip("zarr")
    acc = sims_store(tmp_path, units=units, history="2026-01-01T00:00:00+00:00: simulated")
    if table is not None:
        (tmp_path / "stations.csv").write_text(table)
        options = [*options, "--sites", "stations.csv"]
    model, convention, epsilon = (options[options.index(name) + 1] if name in options else default
                                  for name, default in (("--model", "ba18"), ("--convention", "module"),
                                                        ("--epsilon", "0")))
    done = amplify("sims.nc", *options, "--ranges", "ignore", "-o", output, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.startswith(f"{output}: {len(sites)} stations of sims.nc (h1, h2) "
                                                           f"amplified with {convention_words(model, convention)}")
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["sims.nc", output] + ["stations.csv"] * bool(table))
    back = io.read_store(tmp_path / output, ("h1", "h2"))
    stations, vs30, vs30_sim, pga = zip(*sites)
    assert list(back.station) == list(stations) and back.attrs["model"] == model and back.variable_units == units
    assert back.attrs.get("epsilon") == (repr(float(epsilon)) if float(epsilon) else None)
    assert back.vs30.tolist() == list(vs30) and back.vs30_sim.tolist() == list(vs30_sim)
    # The input's history, then the command as typed (no path of the installation).
    history, typed = back.attrs["history"].splitlines(), shlex.join([*UNLIMITED, "sims.nc", *options, "--ranges",
                                                                     "ignore", "-o", output])
    assert len(history) == 3 and history[0].endswith(": simulated") and "write_store" in history[1]
    carried = {"bssa14": " (pga carried to 760 m/s rock)", "nga_east": " (pga carried to 3000 m/s rock)",
               "cy14": " (y_ref from the records' PSA carried to 1130 m/s rock)"}.get(model, "")
    assert history[2].endswith(f"+00:00: python -m vs30amp amplify {typed}{carried}")
    rows = [int(s[1]) for s in stations]
    for component, records in zip(("h1", "h2"), acc):
        given = None if pga[0] is None else np.array(pga) * G_IN_UNITS[units[component]]
        direct = vs30amp.amplify_waveforms(records[rows], 0.01, vs30, vs30_sim, given, model, units=units[component],
                                           ranges="ignore", convention=convention, epsilon=float(epsilon))
        assert back.components[component].compute().tobytes() == direct.tobytes(), component


def odd_store(path, station=("S0", "S1", "S2", "S3", "S4"), vs30=(250.0, 350.0, np.nan, 550.0, 650.0),
              units=("g", "g")):
    """A store of 5 stations (or as many as `station` names) written as no write_store call would."""
    acc = np.random.default_rng(3).standard_normal((2, len(station), 100)) * 0.05
    data = {name: (("station", "time"), records, {"units": unit, "dt": 0.01})
            for name, records, unit in zip(("h1", "h2"), acc, units)}
    xr = pytest.importorskip("xarray")
    dataset = xr.Dataset(data, coords={"station": list(station), "vs30": ("station", list(vs30))})
    if path.suffix == ".zarr":
        dataset.chunk({"station": 3}).to_zarr(path, consolidated=False)
        (path / "h1" / "c" / "1" / "0").unlink()  # stations 3-4: never written, or removed while read
    else:
        dataset.to_netcdf(path)


ODD_STORES = {"nan.nc": {}, "holed.zarr": {}, "twice.nc": dict(station=("S0", "S1", "S2", "S0", "S4")),
              "empty.nc": dict(station=(), vs30=()), "furlongs.nc": dict(units=("g", "ft/s2"))}


@pytest.mark.parametrize("arguments, message", [
    (["--sites", "stations.csv"], "sims.nc (record 2): no row of stations.csv has station 'S2'; give --skip-unmatched"),
    (["--sites", "files.csv"], "files.csv: a store's records are matched by their station; name the column 'station'"),
    (["--units", "g"], "--units: a store's records are in its variables' 'units' attribute"),
    (["--variables", "h1,acc"], "sims.nc: no variable 'acc'; the store's variables are 'h1', 'h2'"),
    (["--ranges", "raise", "--vs30", "90"], "sims.nc: vs30: station 'S0' has 90.0 m/s, outside ba18's range"),
    (["--ranges", "raise", "--vs30", "90"], "; 5 of 5 sites are outside ba18's range of applicability or missing a "
                                            "value: station 'S0', station 'S1', station 'S2', station 'S3', station "
                                            "'S4'\n"),
    (["--model", "cy14", "--ranges", "raise", "--vs30", "170"], "vs30: station 'S0' has 170.0 m/s, outside cy14's"),
    (["--model", "cy14", "--epsilon", "1", "--vs30", "300"], "epsilon: cy14 has no uncertainty; only epsilon 0"),
    (["NIS090.AT2"], "sims.nc: a store is amplified on its own; give it as the only RECORDS"),
    (["-o", "sims.nc"], "sims.nc: is the input sims.nc; write the amplified records elsewhere"),
    (["-o", "mine.zarr"], "mine.zarr: exists and is a directory that is not a Zarr store; it is not replaced"),
    (["--sites", "header.csv", "--skip-unmatched"], "header.csv: none of the 5 records has a row; nothing was amplified"),
    (["-o", "out"], "out: the amplified store's name must end in .nc or .zarr"),
    # Stores of their own, given instead of sims.nc.
    (["nan.nc"], "nan.nc: coordinate 'vs30' of station 'S2' is nan; give every station a finite Vs30"),
    (["holed.zarr", "--vs30", "300"], "holed.zarr: data missing for records 3 to 4 of 'h1': chunk 'c/1/0' is not in"),
    (["twice.nc", "--vs30", "300"], "twice.nc: station 'S0' is both record 0 and record 3; station ids must be "
                                    "unique"),
    (["empty.nc", "--vs30", "300"], "empty.nc: dimension 'station' has 0 stations; the store holds no records"),
    (["furlongs.nc", "--vs30", "300"], "furlongs.nc: 'h2' is in 'ft/s2' (attribute 'units'); expected one of g,"),
    (["--scheduler", "tls://127.0.0.1:1"], "--scheduler tls://127.0.0.1:1: cannot connect (TypeError: TLS expects"),
])
def test_a_bad_store_or_site_writes_nothing(tmp_path, arguments, message):
    sims_store(tmp_path)
    odd = arguments[0] in ODD_STORES
    if odd:
        if arguments[0].endswith(".zarr"):
            pytest.importorskip("zarr")
        odd_store(tmp_path / arguments[0], **ODD_STORES[arguments[0]])
    (tmp_path / "stations.csv").write_text("station,vs30\nS0,300\nS1,300\nS3,300\nS4,300\n")
    (tmp_path / "files.csv").write_text("file,vs30\nS0,300\n")
    (tmp_path / "header.csv").write_text("station,vs30\n")
    (tmp_path / "mine.zarr").mkdir()
    (tmp_path / "mine.zarr" / "notes.txt").write_text("not a store")
    before = snapshot(tmp_path)
    done = amplify("--vs30-sim", "760", "-o", "out.nc", *[] if odd else ["sims.nc"], *arguments, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == "" and message in done.stderr, done.stderr
    assert snapshot(tmp_path) == before


def test_a_store_that_fails_while_amplified_leaves_the_earlier_store(tmp_path):
    acc = sims_store(tmp_path)
    assert amplify("sims.nc", "--vs30", "300", "--vs30-sim", "760", "-o", "out.nc", cwd=tmp_path).returncode == 0
    acc[1, 4, 7] = 3e38  # finite, but its amplification overflows float32: found only while writing
    sims_store(tmp_path, acc, overwrite=True)
    before = snapshot(tmp_path)
    done = amplify("sims.nc", "--vs30", "300", "--vs30-sim", "760", "--ranges", "ignore", "-o", "out.nc", cwd=tmp_path)
    assert done.returncode == 2 and "overflows float32" in done.stderr and "out.nc left as it was" in done.stderr
    assert snapshot(tmp_path) == before
    acc[0, 2, 5] = np.nan  # found by the checks, before anything is written
    sims_store(tmp_path, acc, overwrite=True)
    done = amplify("sims.nc", "--vs30", "300", "--vs30-sim", "760", "-o", "out.nc", cwd=tmp_path)
    assert done.returncode == 2 and "sims.nc: 'h1' of station 'S2' has a non-finite sample" in done.stderr


@pytest.mark.parametrize("limit", [2 * 1024, 40 * 1024])  # in the netCDF header, in the records
def test_a_netcdf_store_that_fills_the_disk_is_one_line_and_nothing_left(tmp_path, limit):
    sims_store(tmp_path)
    before = snapshot(tmp_path)
    done = subprocess.run([sys.executable, "-m", "vs30amp", "amplify", "sims.nc", "--vs30-sim", "760", *UNLIMITED,
                           "-o", "out.nc"], capture_output=True, text=True, cwd=tmp_path, timeout=120,
                          preexec_fn=_file_size_limit(limit))
    assert (done.returncode, done.stdout) == (2, ""), done.stderr
    assert done.stderr == "vs30amp: error: out.nc: cannot be written (File too large); left as it was\n"
    assert snapshot(tmp_path) == before


def test_a_signal_late_in_a_netcdf_write_is_one_line_and_nothing_left(tmp_path):
    acc = (np.random.default_rng(3).standard_normal((2, 40, 20000)) * 0.05).astype(np.float32)
    io.write_store(tmp_path / "sims.nc", {"h1": acc[0], "h2": acc[1]}, 0.01, vs30=np.full(40, 400.0),
                   stations_per_chunk=2)
    before = snapshot(tmp_path)
    child = subprocess.Popen([sys.executable, "-m", "vs30amp", "amplify", "sims.nc", "--vs30-sim", "760", *UNLIMITED,
                              "-o", "out.nc"], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 100
    while not any(tmp_path.glob(".out.nc.*/.out.nc.partial-*/out.nc")):  # the netCDF file is begun
        assert child.poll() is None and time.monotonic() < deadline, "the records were never written"
        time.sleep(0.005)
    child.send_signal(signal.SIGTERM)
    try:
        stdout, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
    assert (child.returncode, stdout, stderr) == (128 + signal.SIGTERM, "", "vs30amp: error: terminated by SIGTERM\n")
    assert snapshot(tmp_path) == before


def test_a_store_on_a_cluster_gives_the_bits_of_one_on_threads(tmp_path):
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("zarr")
    long_store(tmp_path)
    runs = {"threads": []}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster:  # its workers' directory is not tmp_path
        runs["cluster"] = ["--scheduler", cluster.scheduler_address]
        for run, options in runs.items():
            done = amplify("sims.nc", "--vs30-sim", "760", *options, "-o", f"{run}.zarr", cwd=tmp_path)
            assert done.returncode == 0 and "vs30amp: checking sims.nc: 4 of 4 chunks (100%)\n" in done.stderr
            measured = subprocess.run([sys.executable, "-m", "vs30amp", "measures", f"{run}.zarr", *options, "-o",
                                       f"{run}.csv"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
            assert measured.returncode == 0 and measured.stderr.endswith(": 6 of 6 chunks (100%)\n"), measured.stderr
        assert cluster.scheduler.transition_counter > 0  # the cluster's workers did the work
    for name in ("h1", "h2"):
        on = [io.read_store(tmp_path / f"{run}.zarr", name).components[name].compute() for run in runs]
        assert on[0].tobytes() == on[1].tobytes(), name
    tables = [(tmp_path / f"{run}.csv").read_text().split("\n", 1)[1] for run in runs]  # after the comment line
    assert tables[0] == tables[1]


# A station of 2.5e6 samples needs more than a 120 MiB worker can ever spare (96 MiB before it
# pauses), whatever the worker already uses when asked.
@pytest.mark.parametrize("command, shape, memory, closed, message", [
    (["amplify", "--vs30-sim", "760", *UNLIMITED, "-o", "out.nc"], (2, 2_500_000), "120MiB", False,
     "amplifying a record of one station needs about 114 MiB and the worker with least memory has"),
    (["measures", "-o", "out.nc"], (2, 2_500_000), "120MiB", False,
     "the measures of a pair of records of one station needs about 229 MiB"),
    (["amplify", "--vs30-sim", "760", *UNLIMITED, "-o", "out.nc"], (40, 20000), "1GiB", True,
     "lost the connection to its scheduler"),
])
def test_a_cluster_that_cannot_or_does_not_finish_is_one_line_and_nothing_left(tmp_path, command, shape, memory, closed,
                                                                                message):
    distributed = pytest.importorskip("distributed")
    if memory == "120MiB" and ("libasan" in os.environ.get("LD_PRELOAD", "") or hasattr(sys, "gettotalrefcount")):
        pytest.skip("a worker of the debug interpreter or under AddressSanitizer takes more than 120 MiB as it "
                    "starts, and is stopped")
    acc = (np.random.default_rng(3).standard_normal((2, *shape)) * 0.05).astype(np.float32)
    io.write_store(tmp_path / "sims.nc", {"h1": acc[0], "h2": acc[1]}, 0.01, vs30=np.full(shape[0], 400.0),
                   stations_per_chunk=2)
    before = snapshot(tmp_path)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, host="127.0.0.1", dashboard_address=None,
                                  memory_limit=memory) as cluster:
        address = cluster.scheduler_address
        run = subprocess.Popen([sys.executable, "-m", "vs30amp", command[0], "sims.nc", "--scheduler", address,
                                *command[1:]], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        while closed and not cluster.scheduler.tasks and run.poll() is None:  # computing: the cluster goes
            time.sleep(0.02)
        if closed:
            cluster.close()
        stdout, stderr = run.communicate(timeout=120)
    said = [line for line in stderr.splitlines() if not re.fullmatch(r"vs30amp: .*: \d+ of \d+ chunks \(\d+%\)", line)]
    assert (run.returncode, stdout) == (2, ""), stderr
    assert len(said) == 1 and said[0].startswith(f"vs30amp: error: --scheduler {address}: "), stderr
    assert message in stderr and snapshot(tmp_path) == before


@pytest.mark.parametrize("command", [
    ["amplify", *UNLIMITED, "records", "--vs30", "300", "--vs30-sim", "760", "-o", "out"],
    ["measures", f"records/{AT2[0]}", "records/NIS000.AT2", "-o", "m.csv"],
])
def test_units_that_no_record_takes_are_a_warning(tmp_path, command):
    folder(tmp_path / "records", AT2)
    shutil.copy(DATA / AT2[0], tmp_path / "records" / "NIS000.AT2")  # station NIS's other component
    done = subprocess.run([sys.executable, "-m", "vs30amp", *command, "--units", "cm/s2"], capture_output=True,
                          text=True, cwd=tmp_path, timeout=120)
    assert done.returncode == 0 and done.stderr == ("vs30amp: warning: --units cm/s2 is not used: every record gives "
                                                    "its own units (AT2 files are in g); --units is for files that "
                                                    "give none (SAC)\n")


# One rule for every output (store or table): never holding an input, never inside one, replacing only its kind.
@pytest.mark.parametrize("command, message", [
    (["amplify", "outer.zarr/inner.zarr", "--vs30-sim", "760", "-o", "outer.zarr"],
     "outer.zarr: holds the input outer.zarr/inner.zarr, which replacing it would delete"),
    (["measures", "outer.zarr/inner.zarr", "-o", "outer.zarr"], "outer.zarr: holds the input outer.zarr/inner.zarr"),
    (["measures", "outer.zarr/inner.zarr", "-o", "mine.zarr"],
     "mine.zarr: exists and is a directory that is not a Zarr store; it is not replaced"),
    (["measures", "outer.zarr/inner.zarr", "-o", "outer.zarr/inner.zarr/m.csv"], "is inside the input outer.zarr/"),
])
def test_an_output_never_replaces_an_input_or_what_is_not_of_its_kind(tmp_path, command, message):
    pytest.importorskip("zarr")
    acc = sims_store(tmp_path)
    io.write_store(tmp_path / "outer.zarr", {"acc": acc[0]}, 0.01)
    io.write_store(tmp_path / "outer.zarr" / "inner.zarr", {"h1": acc[0], "h2": acc[1]}, 0.01, vs30=np.full(5, 400.0))
    (tmp_path / "mine.zarr").mkdir()
    (tmp_path / "mine.zarr" / "thesis.tex").write_text("not a store")
    before = snapshot(tmp_path)
    done = subprocess.run([sys.executable, "-m", "vs30amp", *command], capture_output=True, text=True, cwd=tmp_path,
                          timeout=120)
    assert done.returncode == 2 and done.stdout == "" and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith("vs30amp: error: ") and message in done.stderr, done.stderr
    assert snapshot(tmp_path) == before


# Simulation-safe amplification of a file: (options, --sites table, the direct call's options, stderr's lines).
REST = "vs30amp: warning: records/NIS090.AT2: the record does not start and end at rest: first sample 0%, last 26%"
UNLIMITED_LINE = "vs30amp: warning: 1 of 1 records: fmax not given: factors up to 17.93 (at 50 Hz)"


@pytest.mark.parametrize("options, table, library, stderr", [
    (["--vs30", "1100"], None, {}, [REST, UNLIMITED_LINE]),
    (["--vs30", "1100", "--fmax", "12", "--taper", "2"], None, {"fmax": 12.0, "taper": 2.0}, []),
    (["--vs30", "1100", "--fmax", "12", "--above-fmax", "hold", "--taper", "0"], None,
     {"fmax": 12.0, "above_fmax": "hold"}, []),
    (["--sites", "s.csv"], "station,vs30,fmax\nNIS090,1100,12\n", {"fmax": 12.0}, [REST]),
    (["--sites", "s.csv", "--fmax", "inf", "--taper", "1"], "station,vs30\nNIS090,1100\n", {"taper": 1.0}, []),
])
def test_records_are_tapered_above_fmax_and_at_their_ends_as_asked(tmp_path, options, table, library, stderr):
    folder(tmp_path / "records", AT2[:1])
    if table is not None:
        (tmp_path / "s.csv").write_text(table)
    done = amplify("records", "--vs30-sim", "200", *options, "-o", "out", cwd=tmp_path, settings=())
    assert done.returncode == 0 and len(done.stderr.splitlines()) == len(stderr)
    assert all(line.startswith(start) for line, start in zip(done.stderr.splitlines(), stderr))
    given = io.read(DATA / AT2[0])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vs30amp.AmplificationWarning)
        direct = vs30amp.amplify_waveforms(given.acc, given.dt, 1100.0, 200.0, **library)
    assert io.read(tmp_path / "out" / AT2[0]).acc.tobytes() == direct.tobytes()


@pytest.mark.parametrize("source, options, table, message", [
    ("attribute", ["--vs30", "300"], None, None),
    ("table", ["--sites", "s.csv"], "station,vs30,vs30_sim,fmax\n" + "".join(f"S{i},300,760,12\n" for i in range(5)),
     None),
    ("option", ["--vs30", "300", "--fmax", "12"], None, None),
    ("none", ["--vs30", "300"], None, "vs30amp: warning: sims.nc: fmax not given: factors up to "),
    ("table", ["--sites", "s.csv"],
     "station,vs30,vs30_sim,fmax\n" + "".join(f"S{i},300,760,{i + 9}\n" for i in range(5)),
     "vs30amp: error: s.csv: column 'fmax' gives 5 values; a store's records are one simulation's"),
    ("table", ["--sites", "s.csv", "--fmax", "9"], "station,vs30,vs30_sim,fmax\nS0,300,760,12\n",
     "vs30amp: error: s.csv: has a column 'fmax' and --fmax was given; use one of them"),
])
def test_a_store_takes_its_simulations_fmax(tmp_path, source, options, table, message):
    xr = pytest.importorskip("xarray")
    acc = sims_store(tmp_path)
    with xr.open_dataset(tmp_path / "sims.nc") as opened:
        dataset = opened.load()
    (tmp_path / "sims.nc").unlink()
    if source == "attribute":
        dataset.attrs["fmax"] = 12.0
    dataset.to_netcdf(tmp_path / "sims.nc")
    if table is not None:
        (tmp_path / "s.csv").write_text(table)
    vs30_sim = [] if table is not None else ["--vs30-sim", "760"]
    done = amplify("sims.nc", *vs30_sim, *options, "--taper", "0", "-o", "out.nc", cwd=tmp_path, settings=())
    if message is not None and "error" in message:
        assert done.returncode == 2 and done.stderr.startswith(message)
        return
    assert done.returncode == 0 and done.stderr.startswith(message or "")
    assert len(done.stderr.splitlines()) == bool(message)
    back = io.read_store(tmp_path / "out.nc", ("h1",))
    # The history names an fmax that the command line does not.
    noted = {"attribute": " (fmax 12 Hz from the store's attribute)", "table": " (fmax 12 Hz from a column of --sites)"}
    assert back.attrs["history"].splitlines()[-1].endswith("-o out.nc" + noted.get(source, ""))
    fmax = None if message else 12.0
    direct = vs30amp.amplify_waveforms(acc[0], 0.01, 300.0, 760.0, fmax=fmax, not_at_rest="ignore")
    assert back.components["h1"].compute().tobytes() == direct.tobytes()


def test_a_stores_records_not_at_rest_are_named_by_station_or_tapered(tmp_path):
    acc = sims_store(tmp_path)  # noise: no record is at rest
    done = amplify("sims.nc", "--vs30", "300", "--vs30-sim", "760", "--fmax", "20", "-o", "out.nc", cwd=tmp_path,
                   settings=())
    lines = done.stderr.splitlines()
    assert done.returncode == 0 and len(lines) == 2 and all(line.startswith(
        f"vs30amp: warning: sims.nc ({name}): 5 of 5 records do not start and end at rest; the first, station 'S0'")
        for line, name in zip(lines, ("h1", "h2")))
    done = amplify("sims.nc", "--vs30", "300", "--vs30-sim", "760", "--fmax", "20", "--taper", "1.5", "-o", "out.nc",
                   cwd=tmp_path, settings=())
    assert done.returncode == 0 and done.stderr == ""
    direct = vs30amp.amplify_waveforms(acc[1], 0.01, 300.0, 760.0, fmax=20.0, taper=1.5)
    assert io.read_store(tmp_path / "out.nc", ("h2",)).components["h2"].compute().tobytes() == direct.tobytes()


def long_store(tmp_path):
    pytest.importorskip("distributed")
    acc = np.random.default_rng(5).standard_normal((2, 5, 2**18)).astype(np.float32) * 0.01
    io.write_store(tmp_path / "sims.nc", {"h1": acc[0], "h2": acc[1]}, 0.01, vs30=np.full(5, 400.0),
                   stations_per_chunk=1)


def test_on_a_terminal_a_long_store_run_draws_a_bar(tmp_path):
    pytest.importorskip("tqdm")
    long_store(tmp_path)
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # 100 columns
    done = subprocess.run([sys.executable, "-m", "vs30amp", "amplify", "sims.nc", "--vs30", "300", "--vs30-sim", "760",
                           "--ranges", "ignore", *UNLIMITED, "-o", "amp.nc"], stdout=subprocess.PIPE, stderr=follower,
                          cwd=tmp_path, timeout=300)
    os.close(follower)
    drawn = os.read(leader, 65536).decode()
    os.close(leader)
    assert done.returncode == 0 and "vs30amp:" not in drawn, drawn  # a bar, not lines
    assert "\rchecking sims.nc: 100%|" in drawn and "\ramplifying sims.nc: 100%|" in drawn and "| 4/4 [" in drawn


# Long runs: (command, each pass's steps, their unit). 22 files of 11 stations; a store of 5 records of 2**18 samples,
# 4 to a chunk (at least 4 MiB of records), two chunks of each component.
@pytest.mark.parametrize("command, passes, unit", [
    (["amplify", "records", "--vs30", "300", "--vs30-sim", "760", "--ranges", "ignore", *UNLIMITED, "-o", "out"],
     {"reading": 22, "writing": 22}, "file"),
    (["measures", "records", "--periods", "1", "-o", "m.csv"], {"measuring": 11}, "station"),
    (["amplify", "sims.nc", "--vs30", "300", "--vs30-sim", "760", "--ranges", "ignore", *UNLIMITED, "-o",
      "amp.nc"],
     {"checking sims.nc": 4, "amplifying sims.nc": 4}, "chunk"),  # 2 of each component
    (["measures", "sims.nc", "--periods", "1", "-o", "m.npz"], {"measuring sims.nc": 6}, "chunk"),  # 2 of psa_h1, ...
])
def test_long_runs_say_their_progress_on_stderr_a_line_a_step(tmp_path, command, passes, unit):
    folder(tmp_path / "records", [])
    for name in (f"S{i:02d}.{c}.AT2" for i in range(11) for c in ("h1", "h2")):
        shutil.copy(DATA / AT2[0], tmp_path / "records" / name)
    long_store(tmp_path)
    done = subprocess.run([sys.executable, "-m", "vs30amp", *command], capture_output=True, text=True, cwd=tmp_path,
                          timeout=300)
    assert done.returncode == 0 and done.stdout, done.stderr
    said = [line.removeprefix("vs30amp: ").rsplit(": ", 1) for line in done.stderr.splitlines()]
    assert list(dict.fromkeys(what for what, _ in said)) == list(passes), done.stderr
    for what, steps in passes.items():  # a line a step, or at most 20 a pass, up to the last
        counts = [int(step.split(" of ")[0]) for name, step in said if name == what]
        assert counts == (list(range(1, steps + 1)) if steps <= 20 else sorted(set(counts))) and len(counts) <= 20
        assert [step for name, step in said if name == what][-1] == f"{steps} of {steps} {unit}s (100%)"
