"""vs30amp.io on real AT2 and SAC files (tests/data/README.md) and on malformed copies of them."""

import dataclasses
import shutil
import struct
import subprocess
from pathlib import Path

import numpy as np
import pytest

import vs30amp
from vs30amp import io
from vs30amp.io._formats import FORMATS

DATA = Path(__file__).parent / "data"
SAC_BE, SAC_LE = DATA / "IU.COLA.00.LHZ.be.sac", DATA / "IU.COLA.00.LHZ.le.sac"


@pytest.mark.parametrize("name, dt, first, last, line4", [
    ("NIS090.AT2", 0.01, 0.233833e-06, 0.131131, "1000    0.0100    NPTS, DT"),
    ("RSN8883_14383980_13849360.AT2", 0.005, -4.2537755e-07, 6.8535695e-05, "NPTS=   1000, DT=   0.005 SEC" + " " * 46),
])
def test_real_at2_files_read_and_write_back_unchanged(tmp_path, name, dt, first, last, line4):
    record = io.read(DATA / name)
    assert (record.acc.size, record.dt, record.units) == (1000, dt, "g")
    assert (record.acc[0], record.acc[-1]) == (first, last) and record.header["lines"][3] == line4
    copy = tmp_path / name.lower()  # the extension in any case
    io.write(copy, record)
    again = io.read(copy)
    assert again.acc.tobytes() == record.acc.tobytes() and again.dt == dt and again.header == record.header


# Form feed, VT, 0x1C-0x1E and 0x85 ("..." in cp1252) are characters of a line, not line breaks.
@pytest.mark.parametrize("line4", ["NPTS=  7, DT= .0050 SEC", "NPTS= 7, DT= 0.0050 SEC,", "7 0.0050 NPTS, DT",
                                   "   7    .005    NPTS, DT, SEC", "DT= .005 SEC, NPTS= 7", "NPTS= 7,\fDT= 5D-3\v"])
def test_at2_header_forms_and_fortran_numbers(tmp_path, line4):
    path = tmp_path / "a.at2"
    path.write_text(f"TITLE\nEVENT \x85 \x1c\x1d\x1e\nACCELERATION TIME SERIES IN UNITS OF G\n{line4}\n"
                    "  -.1234567E-02   .5E+00  1.0\n\n  0.1D-02 -2 3E-310  -0.0\n", encoding="latin-1")
    record = io.read(path)
    assert record.dt == 0.005 and record.header["columns"] == 3
    assert record.acc.tolist() == [-0.001234567, 0.5, 1.0, 0.001, -2.0, 3e-310, -0.0]


def test_at2_writes_every_float64_exactly_and_a_new_line_4(tmp_path):
    bits = np.random.default_rng(18).integers(0, 2**64, 5000, dtype=np.uint64).view(np.float64)
    acc = np.concatenate([bits[np.isfinite(bits)], [5e-324, -0.0, np.finfo(float).max, 1 / 3]])
    path = tmp_path / "x.AT2"
    io.write(path, io.Record(acc, 0.01, "m/s2", {"lines": ("T", "E", "ACCELERATION TIME SERIES IN UNITS OF G",
                                                         "NPTS=  3, DT= .0100 SEC")}))
    record = io.read(path)
    assert record.acc.tobytes() == (acc * io.in_g("m/s2")).tobytes()
    assert record.header["lines"][3] == f"NPTS= {acc.size}, DT= 0.01 SEC"


@pytest.mark.parametrize("body, message", [
    ("TITLE\nEVENT\n", "line 2: the file ends inside its header"),
    ("T\nE\nACCELERATION TIME SERIES IN UNITS OF CM/S/S\nNPTS= 2, DT= .01 SEC\n1 2\n", "line 3: units 'CM/S/S'"),
    ("T\nE\nU\nNPOINTS 2 DT .01\n1 2\n", "line 4: expected 'NPTS= n, DT= dt SEC'"),
    ("T\nE\nU\nNPTS= 2.5, DT= .01 SEC\n1 2\n", "line 4: NPTS '2.5' is not a whole number"),
    ("T\nE\nU\nNPTS= 2, DT= 0 SEC\n1 2\n", "line 4: DT is 0"),
    ("T\nE\nU\nNPTS= 2, DT= .01 SEC\n1\n\n", "line 5: the file ends after 1 of NPTS = 2"),
    ("T\nE\nU\nNPTS= 3, DT= .01 SEC\n1 2\n3 4\n", "line 6: more values than NPTS = 3"),
    ("T\nE\nU\nNPTS= 3, DT= .01 SEC\n1 2\n3,\n", "line 6: '3,' is not a number"),
    ("T\nE\nU\nNPTS= 2, DT= .01 SEC\nNaN 2\n", "line 5: 'NaN' is not a finite number"),
    ("T\nE\nU\nNPTS= 2, DT= .01 SEC\n1 -1e999\n", "line 5: '-1e999' is not a finite number"),
    # A claimed size bounds nothing: what is allocated is bounded by the file's own size.
    ("T\nE\nU\nNPTS= 10000000000, DT= .01 SEC\n1 2\n", "line 5: the file ends after 2 of NPTS = 10000000000"),
    ("T\nE\nU\nNPTS= 100000000000000000000, DT= .01 SEC\n1\n", "line 4: NPTS 100000000000000000000 is more"),
    # Numbers as Fortran and C read them: no digit separators, no spaces but ASCII ones.
    ("T\nE\nU\nNPTS= 2, DT= .01 SEC\n1_5 2\n", "line 5: '1_5' is not a number"),
    ("T\nE\nU\nNPTS= 2, DT= .01 SEC\n1\xa02\n", "line 5: '1\\xa02' is not a number"),
    ("T\nE\nU\nNPTS= 2, DT= .01 SEC\n1\x1c2\n", "line 5: '1\\x1c2' is not a number"),
    ("T\nE\nU\nNPTS= 1_0, DT= .01 SEC\n1\n", "line 4: NPTS '1_0' is not a whole number"),
    ("T\nE\nU\nNPTS= 1, DT= 1_0\n1\n", "line 4: DT '1_0' is not a number"),
])
def test_malformed_at2_files_name_the_file_and_line(tmp_path, body, message):
    path = tmp_path / "bad.AT2"
    path.write_text(body, encoding="latin-1")
    with pytest.raises(io.RecordError) as caught:
        io.read(path)
    assert isinstance(caught.value, ValueError) and str(caught.value).startswith(f"{path}: ")
    assert message in str(caught.value)


def test_sac_files_of_mseed2sac_in_both_byte_orders():
    big, little = io.read(SAC_BE), io.read(SAC_LE)
    assert big.acc.dtype == np.float32 and big.acc.tobytes() == little.acc.tobytes() and big.dt == 1.0
    assert (big.acc[0], big.acc[1], little.acc[-1]) == (-231946.0, -228438.0, -201796.0)
    assert (big.header["byteorder"], little.header["byteorder"], big.units) == (">", "<", "unknown")
    fields = {"KNETWK": "IU", "KSTNM": "COLA", "KHOLE": "00", "KCMPNM": "LHZ", "NPTS": 297, "NZYEAR": 2010}
    assert all(big.header[k] == little.header[k] == v for k, v in fields.items())
    assert (big.header["STLA"], big.header["KEVNM"]) == (np.float32(47.66), "Maule") and "STLA" not in little.header


@pytest.mark.parametrize("source", [SAC_BE, SAC_LE])
def test_sac_write_keeps_the_header_bytes_and_updates_the_statistics(tmp_path, source):
    record = io.read(source)
    io.write(tmp_path / "x.SAC", record)
    raw, written = source.read_bytes(), (tmp_path / "x.SAC").read_bytes()
    changed = {i // 4 for i in range(len(raw)) if raw[i] != written[i]}
    assert len(raw) == len(written) and changed == {1, 2, 56}  # DEPMIN, DEPMAX, DEPMEN were undefined
    order = record.header["byteorder"]
    expected = np.array([record.acc.min(), record.acc.max(), record.acc.mean(dtype=np.float64)], np.float32)
    assert struct.unpack(f"{order}3f", written[4:12] + written[224:228]) == tuple(expected.tolist())


def halved(tmp_path):
    """The record of the big-endian file with its samples halved, written little-endian by io.write
    (tests/data/README.md: the source of the IU.COLA.00.LHZ.half.* files)."""
    record = io.read(SAC_BE)
    path = tmp_path / "ours.sac"
    io.write(path, dataclasses.replace(record, acc=record.acc * 0.5,
                                       header={**record.header, "byteorder": "<", "KUSER0": "vs30amp"}))
    return path


def test_sac2mseed_reads_what_vs30amp_writes(tmp_path):
    ours = halved(tmp_path).read_bytes()
    back = (DATA / "IU.COLA.00.LHZ.half.back.sac").read_bytes()
    assert ours[632:] == back[632:] and len(ours) == 632 + 4 * 297
    meta = (DATA / "IU.COLA.00.LHZ.half.meta.csv").read_text().splitlines()[1].split(",")
    assert meta[:6] == ["IU", "COLA", "00", "LHZ", "47.66000", "-122.31000"]


@pytest.mark.skipif(not (shutil.which("sac2mseed") and shutil.which("mseed2sac")), reason="sac2mseed/mseed2sac absent")
def test_sac2mseed_and_back_live(tmp_path):
    path = halved(tmp_path)
    subprocess.run(["sac2mseed", "-e", "4", "-r", "512", "-o", "x.mseed", path.name], cwd=tmp_path, check=True)
    subprocess.run(["mseed2sac", "-f", "4", "x.mseed"], cwd=tmp_path, check=True, capture_output=True)
    back = io.read(next(tmp_path.glob("IU.COLA.00.LHZ.*.SAC")))
    assert back.acc.tobytes() == io.read(path).acc.tobytes() and back.header["byteorder"] == ">"


def patched(tmp_path, word, value, size=None):
    raw = bytearray(SAC_LE.read_bytes()[:size])
    if word is not None:
        raw[4 * word:4 * word + 4] = struct.pack("<f" if word < 70 else "<i", value)
    path = tmp_path / "bad.sac"
    path.write_bytes(raw)
    return path


@pytest.mark.parametrize("word, value, size, message", [
    (76, 7, None, "header field NVHDR is 7 (little-endian)"),
    (85, 2, None, "header field IFTYPE is 2, expected 1"),
    (105, 0, None, "header field LEVEN is 0, expected 1"),
    (0, 0.0, None, "header field DELTA is 0.0"),
    (79, -3, None, "header field NPTS is -3"),
    (None, None, 1000, "1000 bytes, but header field NPTS = 297 needs 1820"),
    (None, None, 600, "600 bytes, shorter than the SAC header"),
])
def test_malformed_sac_files_name_the_header_field(tmp_path, word, value, size, message):
    path = patched(tmp_path, word, value, size)
    with pytest.raises(ValueError) as caught:
        io.read(path)
    assert isinstance(caught.value, io.RecordError) and str(caught.value).startswith(f"{path}: ")
    assert message in str(caught.value)


@pytest.mark.parametrize("idep, units, pga", [(8, "nm/s2", 354811e-9 / 9.80665), (5, "unknown", None), (6, "nm", None)])
def test_sac_units_follow_idep(tmp_path, idep, units, pga):
    record = io.read(patched(tmp_path, 86, idep), format="SAC")
    assert record.units == units
    if pga is None:
        with pytest.raises(io.RecordError, match="not units of acceleration"):
            record.pga
    else:
        assert record.pga == pytest.approx(pga, rel=1e-15)
    io.write(tmp_path / "again.sac", record)
    assert io.read(tmp_path / "again.sac").header["IDEP"] == idep



AT2_LINES = ("T", "E", "ACCELERATION TIME SERIES IN UNITS OF G", "NPTS= 3, DT= .01 SEC")


@pytest.mark.parametrize("suffix, change, message", [
    (known.extension, change, message) for known in FORMATS.values() for change, message in [
        ({"dt": np.nan}, "dt is nan"), ({"dt": 0}, "dt is 0"), ({"dt": -1.0}, "dt is -1.0"),
        ({"dt": np.inf}, "dt is inf"), ({"dt": "0.01"}, "dt is '0.01'"),
        ({"acc": np.ones((2, 3))}, "acc of shape (2, 3); expected " + ("one record" if known.components == 1
                                                                          else f"{known.components} components")),
        ({"acc": np.array([1, 2j, 3])}, "acc of dtype complex128"),
    ]] + [
    (".AT2", {"header": {"lines": ("T", "E\nF", *AT2_LINES[2:])}}, "header line 2 'E\\nF' is not one line"),
    (".AT2", {"header": {"lines": ("T", "\u0151", *AT2_LINES[2:])}}, "header line 2 '\u0151' is not one line of Latin-1"),
    (".AT2", {"header": {"lines": ("T", "E", "UNITS OF CM/S2", AT2_LINES[3])}}, "line 3: units 'CM/S2'"),
    (".AT2", {"header": {"lines": AT2_LINES, "columns": 0}}, "header 'columns' is 0"),
    (".AT2", {"header": {"lines": AT2_LINES, "columns": -2}}, "header 'columns' is -2"),
    (".sac", {"acc": np.array([1.0, np.nan, 3.0])}, "sample 1 is nan, not a finite float32"),
    (".sac", {"acc": np.array([1.0, 2.0, -4e38])}, "sample 2 is -4e+38, not a finite float32"),
    (".sac", {"dt": 1e-50}, "dt is 1e-50, beyond what header field DELTA (float32) holds"),
    # Header fields the file would not hold as given: refused, never truncated or replaced.
    (".sac", {"header": {"NZYEAR": 2.5}}, "header field NZYEAR is 2.5, expected a whole number"),
    (".sac", {"header": {"NZYEAR": "x"}}, "header field NZYEAR is 'x', expected a whole number"),
    (".sac", {"header": {"NZYEAR": 2**40}}, "header field NZYEAR is 1099511627776, expected a whole number"),
    (".sac", {"header": {"STLA": 1e39}}, "header field STLA is 1e+39, expected a number of float32's range"),
    (".sac", {"header": {"KSTNM": "\u6771\u4eac"}}, "header field KSTNM '\u6771\u4eac' has characters beyond Latin-1"),
    (".bbp", {"units": "nm/s"}, "units 'nm/s'; .bbp files hold cm/s/s, cm/s or cm"),
    (".bbp", {"header": {"comments": ("# a", "no mark")}}, "header line 'no mark' is not one comment line"),
    (".bbp", {"acc": np.ones((3, 0))}, "needs at least one sample, all finite"),
])
def test_write_refuses_what_read_could_not_read_back(tmp_path, suffix, change, message):
    components = FORMATS[io.format_of(f"x{suffix}")].components  # a .bbp record is three rows
    samples = np.tile([0.1, -0.2, 0.3], (components, 1)) if components > 1 else np.array([0.1, -0.2, 0.3])
    record = dataclasses.replace(io.Record(samples, 0.01, "g", {}), **change)
    path = tmp_path / f"x{suffix}"
    with pytest.raises(io.RecordError) as caught:
        io.write(path, record)
    assert str(caught.value).startswith(f"{path}: ") and message in str(caught.value)
    assert not path.exists()


NOTE = f"amplified by vs30amp {vs30amp.__version__} (ba18, module): vs30 300 m/s, vs30_sim 760.5 m/s"
SAC_USER = {"KUSER0": "vs30amp", "KUSER1": vs30amp.__version__, "KUSER2": "ba18-mod", "USER0": 300.0, "USER1": 760.5}


@pytest.mark.parametrize("source, suffix, dtype", [
    (DATA / "NIS090.AT2", ".AT2", np.float64), (DATA / "NIS090.AT2", ".AT2", np.float32),
    (DATA / "RSN8883_14383980_13849360.AT2", ".sac", np.float64),  # an AT2 record written as SAC
    (SAC_BE, ".sac", np.float32), (SAC_LE, ".sac", np.float64), (SAC_LE, ".at2", np.float32),
])
def test_amplified_files_say_so_and_read_back_the_same_samples(tmp_path, source, suffix, dtype):
    record = io.read(source)
    samples = np.random.default_rng(25).standard_normal(record.acc.size).astype(dtype) * 1e-3
    once = io.amplified(io.Record(samples, record.dt, "g", record.header), io.RecordProvenance("cb14", 250, 400))
    marked = io.amplified(once, io.RecordProvenance("BA18", 300, 760.5))  # the last amplification's note only
    path = tmp_path / f"x{suffix}"
    io.write(path, marked)
    back = io.read(path)
    kept = np.float64 if suffix.lower() == ".at2" else np.float32
    assert back.acc.dtype == kept and back.acc.tobytes() == samples.astype(kept).tobytes()
    if suffix.lower() == ".at2":
        lines = record.header.get("lines", ("vs30amp record", "", "ACCELERATION TIME SERIES IN UNITS OF G"))
        assert back.header["lines"][1] == (f"{lines[1].rstrip()} | {NOTE}" if lines[1] else NOTE)
        assert back.header["lines"][::2] == lines[::2]
    else:
        assert {key: back.header[key] for key in SAC_USER} == SAC_USER
        assert back.header.get("KSTNM") == record.header.get("KSTNM")


@pytest.mark.parametrize("name", ["KOBE amplified by vs30amp before", f"amplified by vs30amp runs | {NOTE} | mine", ""])
@pytest.mark.parametrize("earlier, said", [
    (io.RecordProvenance("cb14", 250, 400, carried_to_rock=True), ""),  # cb14 takes the simulation's PGA
    (io.RecordProvenance("bssa14", 250, 400, carried_to_rock=True), ", pga carried to 760 m/s rock"),
    (io.RecordProvenance("nga_east", 250, 400, "collapsed", True, -1.0), ", pga carried to 3000 m/s rock, epsilon -1"),
    (io.RecordProvenance("cy14", 250, 400), ", y_ref from the records' PSA carried to 1130 m/s rock")])
def test_amplified_again_keeps_the_records_own_name(name, earlier, said):
    record = io.Record(np.ones(3), 0.01, "g", {"lines": ("T", name, "U", "NPTS= 3, DT= 0.01 SEC")})
    assert io.amplified(record, earlier).header["lines"][1].endswith(f"vs30_sim 400 m/s{said}")
    again = io.amplified(io.amplified(record, earlier), io.RecordProvenance("ba18", 300, 760.5))
    assert again.header["lines"][1] == (f"{name} | {NOTE}" if name else NOTE)


def test_an_empty_sac_record_keeps_no_statistics_of_its_source(tmp_path):
    record = io.read(SAC_LE)
    io.write(tmp_path / "x.sac", dataclasses.replace(record, acc=record.acc[:0], header={**record.header, "DEPMIN": 5.0,
                                                                                          "DEPMAX": 6.0, "DEPMEN": 5.5}))
    assert not {"DEPMIN", "DEPMAX", "DEPMEN"} & set(io.read(tmp_path / "x.sac").header)


@pytest.mark.parametrize("model, convention, message", [
    ("cb14", "published", "unknown convention 'published' for cb14"), ("ba14", "module", "unknown model 'ba14'")])
def test_a_provenance_names_only_what_exists(model, convention, message):
    with pytest.raises(ValueError, match=message):
        io.RecordProvenance(model, 300, 760, convention)
