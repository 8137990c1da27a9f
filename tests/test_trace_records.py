"""The Broadband Platform's .bbp files and ObsPy's traces as records: read and written bit for
bit, amplified as the equivalent arrays (tests/data/README.md for the MiniSEED file)."""

import dataclasses
import importlib.util
import re
import sys
from pathlib import Path

import numpy as np
import pytest

import vs30amp
from vs30amp import io
from vs30amp.cli import main

DATA = Path(__file__).parent / "data"
HALF_MSEED, SAC_BE = DATA / "IU.COLA.00.LHZ.half.mseed", DATA / "IU.COLA.00.LHZ.be.sac"
NO_OBSPY = f"ObsPy is not installed for Python {sys.version_info.major}.{sys.version_info.minor} (the 3.13 lane has it)"
needs_obspy = pytest.mark.skipif(importlib.util.find_spec("obspy") is None, reason=NO_OBSPY)
# The header of the platform's user documentation's example (velocity, "%" comments, NPTS and DT).
PLATFORM_HEADER = """% --------------------------------------------------
% synthetic broadband seismogram (Mai&Olsen 2008)
% N = 8 header lines
% site:  5017-A-GLP
% NPTS, DT:  4 0.009372998029
%
% time(s)    NS (cm/s)      EW(cm/s)       UP (cm/s)
% --------------------------------------------------
"""
ROWS = "  0.00000    0.00000E+00    0.00000E+00    0.00000E+00\n  0.00937    0.13824E-01   -0.44237E-02   -0.41983E-02\n" \
       "  0.01875    0.64276E-01   -0.24146E-01   -0.31487E-01\n  0.02812    0.10083E+00   -0.45090E-01   -0.74688E-01\n"


def test_a_platform_file_reads_and_writes_back_bit_for_bit(tmp_path):
    path = tmp_path / "5017-A-GLP.vel.bbp"
    path.write_text(PLATFORM_HEADER + ROWS)
    record = io.read(path)
    assert (record.dt, record.units, record.acc.shape) == (0.009372998029, "cm/s", (3, 4))
    assert record.acc[:, 3].tolist() == [0.10083, -0.04509, -0.074688]
    rng = np.random.default_rng(36)  # every float64 survives the text, the tiny and the huge too
    samples = rng.standard_normal((3, 50)) * 10.0 ** rng.integers(-300, 300, (3, 50))
    for written in (record, dataclasses.replace(record, acc=samples, dt=0.1 + 0.2)):
        io.write(tmp_path / "back.bbp", written)
        back = io.read(tmp_path / "back.bbp")
        assert back.acc.tobytes() == np.asarray(written.acc).tobytes() and back.dt == written.dt
        assert back.units == "cm/s" and "% site:  5017-A-GLP" in back.header["comments"]


@pytest.mark.parametrize("name, header, units, dt", [
    ("S.acc.bbp", "#    units= cm/s/s\n", "cm/s2", 0.01),  # the platform's acceleration files
    ("S.acc.bbp", "# Column 1: Time (s)\n", "cm/s2", 0.01),  # named by the file: STATION.acc.bbp
    ("S.dis.bbp", "", "cm", 0.01),
    ("S.bbp", "# site S\n", "unknown", 0.01),
])
def test_units_and_dt_without_an_npts_line(tmp_path, name, header, units, dt):
    (tmp_path / name).write_text(header + "".join(f"{i * 0.01:.6e} 1.0 2.0 3.0\n" for i in range(7)))
    record = io.read(tmp_path / name)
    assert (record.units, record.dt) == (units, dt)


@pytest.mark.parametrize("body, message", [
    ("0.0 1 2 3\n0.01 1 2\n", "line 2: expected four finite numbers"),
    ("0.0 1 2 3\n0.01 1 nan 2\n", "line 2: expected four finite numbers"),
    ("# NPTS, DT: 4 0.01\n0.0 1 2 3\n0.01 1 2 3\n0.05 1 2 3\n0.03 1 2 3\n", "line 4: time 0.05 is not 0.0 + 2 DT"),
    ("0.0 1 2 3\n# late\n0.01 1 2 3\n", "line 2: a comment after the samples"),
    ("# NPTS, DT: 3 0.01\n0.0 1 2 3\n0.01 1 2 3\n", "2 samples, but the comment says NPTS = 3"),
    ("# only comments\n", "no samples"),
])
def test_malformed_bbp_files_name_the_file_and_line(tmp_path, body, message):
    path = tmp_path / "x.acc.bbp"
    path.write_text(body)
    with pytest.raises(io.RecordError, match=f"^{re.escape(str(path))}: .*{re.escape(message)}"):
        io.read(path)


def test_amplify_command_amplifies_the_horizontals_and_keeps_the_vertical(tmp_path, capsys):
    t = np.arange(3000) * 0.01
    acc = np.stack([f * np.sin(f * t) * np.sin(np.pi * t / t[-1]) ** 2 for f in (40.0, 25.0, 15.0)])
    io.write(tmp_path / "S1.acc.bbp", io.Record(acc, 0.01, "cm/s2", {"comments": ("# Station= S1",)}))
    assert main(["amplify", str(tmp_path / "S1.acc.bbp"), "--vs30", "300", "--vs30-sim", "760", "--fmax", "20",
                 "-o", str(tmp_path / "out")]) == 0
    assert "component 3 of 3 is vertical; left out" in capsys.readouterr().err
    out = io.read(tmp_path / "out" / "S1.acc.bbp")
    expected = vs30amp.amplify_waveforms(acc[:2], 0.01, 300.0, 760.0, units="cm/s2", fmax=20.0)
    assert out.acc[:2].tobytes() == expected.tobytes() and out.acc[2].tobytes() == acc[2].tobytes()
    assert any("amplified by vs30amp" in line for line in out.header["comments"])


@pytest.mark.skipif(importlib.util.find_spec("obspy") is not None, reason="ObsPy is installed here")
def test_miniseed_without_obspy_names_the_extra():
    with pytest.raises(ImportError, match=r"pip install 'vs30amp\[obspy\]'"):
        io.read(HALF_MSEED)


@needs_obspy
def test_miniseed_of_sac2mseed_reads_as_its_sac_and_writes_back_bit_for_bit(tmp_path):
    record = io.read(HALF_MSEED)  # sac2mseed's float32 copy of the halved SAC record
    assert record.acc.tobytes() == (io.read(SAC_BE).acc * np.float32(0.5)).tobytes() and record.dt == 1.0
    io.write(tmp_path / "back.mseed", record)
    back = io.read(tmp_path / "back.mseed")
    assert back.acc.dtype == np.float32 and back.acc.tobytes() == record.acc.tobytes()
    kept = ("network", "station", "location", "channel", "starttime", "delta", "npts")
    assert [back.header["stats"][key] for key in kept] == [record.header["stats"][key] for key in kept]
    trace = io.to_trace(record)  # and as ObsPy's own Trace, back and forth
    assert io.from_trace(trace).acc.tobytes() == record.acc.tobytes() and trace.stats.station == "COLA"


@needs_obspy
def test_a_stream_amplifies_and_measures_as_its_arrays(tmp_path):
    from obspy import Stream, Trace

    t = np.arange(2000) * 0.01
    rows = np.stack([0.1 * np.sin(f * t) * np.sin(np.pi * t / t[-1]) ** 2 for f in (6.0, 9.0)])
    stream = Stream([Trace(row, {"delta": 0.01, "station": "S", "channel": c}) for row, c in zip(rows, "NE")])
    out = vs30amp.amplify_waveforms(stream, None, [300.0, 400.0], 760.0, model="cb14", fmax=25.0)
    expected = vs30amp.amplify_waveforms(rows, 0.01, [300.0, 400.0], 760.0, model="cb14", fmax=25.0)
    assert np.stack([trace.data for trace in out]).tobytes() == expected.tobytes()
    assert [trace.stats.channel for trace in out] == ["N", "E"] and stream[0].data.tobytes() == rows[0].tobytes()
    peak = repr(float(np.abs(rows[1]).max()))
    assert out[1].stats.processing[-1].endswith("(model='cb14'::convention='module'::vs30=400.0::vs30_sim=760.0"
                                                f"::pga_g={peak} (the record's peak))")
    assert vs30amp.response_spectrum(stream, None, [0.1, 1.0]).tobytes() == \
        vs30amp.response_spectrum(rows, 0.01, [0.1, 1.0]).tobytes()
    assert vs30amp.eas(stream[0], stream[1], None).tobytes() == vs30amp.eas(rows[0], rows[1], 0.01).tobytes()
    with pytest.raises(ValueError, match="dt: 0.02 given for traces whose stats.delta is 0.01"):
        vs30amp.rotd(stream[0], stream[1], 0.02)


@needs_obspy
def test_the_command_amplifies_and_measures_miniseed_as_arrays(tmp_path, capsys):
    t = np.arange(1500) * 0.01
    rows = np.stack([(0.3 * np.sin(f * t) * np.sin(np.pi * t / t[-1]) ** 2).astype(np.float32) for f in (6.0, 8.0)])
    for row, name in zip(rows, ("S01.h1", "S01.h2")):
        io.write(tmp_path / f"{name}.mseed", io.Record(row, 0.01, "g"))
    assert main(["amplify", str(tmp_path / "S01.h1.mseed"), "--vs30", "300", "--vs30-sim", "760", "--fmax", "20",
                 "--units", "m/s2", "-o", str(tmp_path / "out")]) == 0
    out = io.read(tmp_path / "out" / "S01.h1.mseed")
    expected = vs30amp.amplify_waveforms(rows[0], 0.01, 300.0, 760.0, units="m/s2", fmax=20.0)
    assert out.acc.tobytes() == expected.tobytes() and out.header["stats"].mseed.encoding == "FLOAT32"
    assert main(["measures", str(tmp_path / "S01.h1.mseed"), str(tmp_path / "S01.h2.mseed"), "--units", "g",
                 "--periods", "0.1,1", "-o", str(tmp_path / "m.npz")]) == 0
    psa = np.load(tmp_path / "m.npz")["psa_h2"][0]
    assert psa.tobytes() == vs30amp.response_spectrum(rows[1], 0.01, [0.1, 1.0]).tobytes()


@needs_obspy
@pytest.mark.parametrize("source, format", [(SAC_BE, "SAC"), (SAC_BE, "MSEED"), (HALF_MSEED, "SAC")])
def test_obspy_formats_read_and_write_what_the_package_does(tmp_path, source, format):
    """ObsPy's readers and writers beside the package's own."""
    def bits(record):  # the values' bits in this machine's byte order (ObsPy keeps a file's own)
        return np.asarray(record.acc, dtype=np.float32).tobytes()

    [record] = io.read_traces(source)
    assert bits(record) == bits(io.read(source)) and record.dt == io.read(source).dt
    records = [record, record] if format == "MSEED" else [record]
    io.write_traces(tmp_path / "x", records, format)
    back = io.read_traces(tmp_path / "x")
    assert [bits(r) for r in back] == [bits(record)] * len(records)
    assert [r.header["stats"].station for r in back] == ["COLA"] * len(records)
    if format == "SAC":
        assert bits(io.read(tmp_path / "x", format="sac")) == bits(record)
