"""vs30amp beside the field's own tools, installed from PyPI: the same work, timed and compared.

    ./run peers [--sizes 1,100,10000] [--repeats 3] [--output DIR]

Runs in the venv `./run peers` makes (tools/peers.sh; the peers pinned in peers.txt beside this
file). For every peer and task: the peer's time over vs30amp's (median of the repeats, each side
timed alone), the largest relative difference from vs30amp and, where published values exist,
from them (vs30amp's own difference from them beside it). Each peer is called as its
documentation shows; `NOTES` states the documented choices that explain a difference.

- Site factors: the ratio of a model's median at the site's Vs30 and at the simulation's
  (760 m/s; 1130 m/s rock for CY14's y_ref, 3000 m/s for NGA-East), one scenario per site
  (M 6.5 strike-slip, distances 5 to 100 km), against `vs30amp.amplification` given the PGA
  (or y_ref) the same model predicts there. OpenQuake's GSIMs: CB14, BSSA14, CY14, NGA-East
  (one call on all sites); pygmm's: CB14, BSSA14, CY14 (one scenario at a time, as it works),
  BA19's EAS against vs30amp's ba18 on their common frequencies.
- Measures of the NGA-West2 record pairs in tests/data: PSA (5 %) and RotD50 (5 %) against
  vs30amp and the database's published spectra (pyrotd, eqsig, gmprocess); the smoothed FAS
  (b = 188.5) against vs30amp.fas (pykooh, ObsPy's konno_ohmachi_smoothing, gmprocess).

The section "Peers" of results.md beside this file (or in DIR) is replaced (or added), with the
figure peers.png; docs/performance.md shows both.
"""

import argparse
import csv
import datetime
import gzip
import importlib.metadata
import math
import os
import statistics
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

import vs30amp

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from report import machine, markdown, table, write_section  # noqa: E402

DATA = HERE.parent / "tests" / "data"
PAIRS = {8883: ("13849360", "13849090"), 8884: ("13873360", "13873090")}
PEERS = ["openquake-engine", "pygmm", "pyrotd", "eqsig", "gmprocess", "pykooh", "obspy"]
VS30_SIM = 760.0
BANDWIDTH = 188.5
# A peer's loop over sites is timed on at most this many and scaled (marked "~").
LOOP_SITES = 1000
# "peer, task": why it could not run.
ERRORS = {}

NOTES = {
    "openquake-engine": "CB14 raises SA below 0.25 s to its PGA where lower (Campbell and Bozorgnia 2013); "
                        "CB14's simulation term at the scenario's A1100 (vs30amp's linear, A1100 0); "
                        "NGA-East's table GMPE interpolates its site coefficients between the tables' periods",
    "pygmm": "CB14's simulation term at the scenario's A1100 (vs30amp's linear, A1100 0); BA19 is a later "
             "model than BA18, its nonlinear term driven by its own reference motion",
    "pyrotd": "steps the oscillator in the frequency domain on the record's own FFT (no padding: the "
              "response wraps around) and upsamples only below 5 times the oscillator's frequency",
    "eqsig": "Nigam-Jennings at the samples only (no sub-steps) and PSA = PGA below 6 dt; no RotD "
             "function: the pair is rotated by eqsig's combine_at_angle at 0..179 degrees, median taken",
    "gmprocess": "peak total acceleration (SA, not PSA) after an FFT resampling to 10 steps per period "
                 "under a 2 % Hann taper; RotD over 181 angles 0..180 (180 repeating 0); FAS on the "
                 "record's own length, its Konno-Ohmachi by esi-core",
    "pykooh": "smooths the record's own FFT (no padding): below about 1 Hz few bins fall in the window",
    "obspy": "konno_ohmachi_smoothing smooths at every FFT bin of the record's own length (read at the "
             "centres by linear interpolation)",
}


# ---- timing and agreement -------------------------------------------------------------------

def timed(function, repeats):
    """(result, median seconds); one run when it takes more than 2 s."""
    result, times = None, []
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
        if times[0] > 2.0:
            break
    return result, statistics.median(times)


def largest_difference(got, expected):
    """max |got / expected - 1| over finite pairs."""
    got, expected = np.asarray(got, float), np.asarray(expected, float)
    ok = np.isfinite(got) & np.isfinite(expected) & (expected != 0)
    return float(np.max(np.abs(got[ok] / expected[ok] - 1.0))) if ok.any() else math.nan


def version(peer):
    try:
        return importlib.metadata.version(peer)
    except importlib.metadata.PackageNotFoundError:
        return None


# ---- site factors ---------------------------------------------------------------------------

def sites(n, seed=0):
    rng = np.random.default_rng(seed)
    return np.exp(rng.uniform(np.log(200.0), np.log(1000.0), n)), rng.uniform(5.0, 100.0, n)


def common(ours, theirs, rtol=1e-4):
    """Indices into `ours` and `theirs` of the frequencies they share."""
    i, j = np.nonzero(np.isclose(ours[:, None], theirs[None, :], rtol=rtol, atol=0))
    return i, j


class OpenQuakeModel:
    """An OpenQuake GSIM's median on n sites of one M 6.5 strike-slip scenario: ln g (M, n)."""

    def __init__(self, gsim, periods):
        from openquake.hazardlib.contexts import simple_cmaker
        self.cmaker = simple_cmaker([gsim], ["PGA"], mags=["6.50"])
        # Only the periods the GSIM has (NGA-East's tables stop short of 10 s).
        kept = [p for p in periods if self._has(simple_cmaker, gsim, p)]
        self.periods = np.asarray(kept, float)
        self.cmaker = simple_cmaker([gsim], ["PGA"] + [f"SA({p:g})" for p in kept], mags=["6.50"])

    def _has(self, simple_cmaker, gsim, period):
        self.cmaker = simple_cmaker([gsim], [f"SA({period:g})"], mags=["6.50"])
        try:
            return bool(np.isfinite(self(np.array([VS30_SIM]), np.array([20.0]))).all())
        except (KeyError, ValueError):
            return False

    def __call__(self, vs30, distance):
        ctx = self.cmaker.new_ctx(len(vs30))
        fields = {"mag": 6.5, "rake": 0.0, "dip": 90.0, "width": 12.0, "ztor": 0.0, "hypo_depth": 8.0,
                  "vs30": vs30, "vs30measured": True, "rrup": distance, "rjb": distance, "rx": distance,
                  "ry0": 0.0, "z2pt5": 2.0, "z1pt0": self.mean_z1(vs30)}
        for name in ctx.dtype.names:
            if name in fields:
                ctx[name] = fields[name]
        return self.cmaker.get_mean_stds([ctx])[0, 0]

    def mean_z1(self, vs30):
        """CY14's mean Z1 for the Vs30 (m; its basin term zero); BSSA14 takes the same kind."""
        from openquake.hazardlib.gsim.chiou_youngs_2014 import global_mean_z1pt0
        return np.exp(global_mean_z1pt0(vs30))


def openquake_tasks(sizes):
    """(model key, label, peer callable of n, ours callable of n, periods compared)."""
    from openquake.hazardlib.gsim.boore_2014 import BooreEtAl2014
    from openquake.hazardlib.gsim.campbell_bozorgnia_2014 import CampbellBozorgnia2014
    from openquake.hazardlib.gsim.chiou_youngs_2014 import ChiouYoungs2014
    from openquake.hazardlib.gsim.nga_east import NGAEastGMPE
    gsims = {"cb14": CampbellBozorgnia2014(), "bssa14": BooreEtAl2014(region="nobasin"),
             "cy14": ChiouYoungs2014(), "nga_east": NGAEastGMPE(gmpe_table="NGAEast_DARRAGH_1CCSP.hdf5")}
    rock = {"cb14": VS30_SIM, "bssa14": 760.0, "cy14": 1130.0, "nga_east": 3000.0}
    for key, gsim in gsims.items():
        frequencies = vs30amp.MODELS[key].frequencies
        periods = 1.0 / frequencies[frequencies <= 100.0 - 1e-9]
        model = OpenQuakeModel(gsim, periods)
        periods = model.periods
        sim = rock[key] if key in ("cy14", "nga_east") else VS30_SIM
        for n in sizes:
            vs30, distance = sites(n)

            def peer(vs30=vs30, distance=distance, model=model, sim=sim):
                return np.exp(model(vs30, distance) - model(np.full_like(vs30, sim), distance))[1:].T

            ln_rock = model(np.full_like(vs30, rock[key]), distance)
            if key == "cy14":
                y_ref = np.exp(ln_rock[1:]).T
                args = dict(pga=None, y_ref=_per_model_column(key, periods, y_ref))
            else:
                args = dict(pga=np.exp(ln_rock[0]))

            def ours(vs30=vs30, key=key, sim=sim, args=args):
                return vs30amp.amplification(vs30, sim, args["pga"], key, ranges="ignore",
                                             **({"y_ref": args["y_ref"]} if "y_ref" in args else {})).factors

            yield key, n, peer, ours, 1.0 / periods


def _per_model_column(key, periods, values):
    """values (n, P) at `periods` in the model's frequency order (every model frequency present)."""
    frequencies = vs30amp.MODELS[key].frequencies
    out = np.empty((values.shape[0], frequencies.size))
    for column, f in enumerate(frequencies):
        out[:, column] = values[:, np.argmin(np.abs(1.0 / periods - f))]
    return out


def pygmm_tasks(sizes):
    import pygmm
    models = {"cb14": pygmm.CampbellBozorgnia2014, "bssa14": pygmm.BooreStewartSeyhanAtkinson2014,
              "cy14": pygmm.ChiouYoungs2014}

    def scenario(v, r):
        # Z2.5 2 km: CB14's basin term zero at every Vs30, as for OpenQuake's
        return pygmm.Scenario(mag=6.5, dist_rup=r, dist_jb=r, dist_x=r, v_s30=v, mechanism="SS",
                              depth_tor=0.0, dip=90.0, width=12.0, depth_2_5=2.0)

    for key, cls in models.items():
        rock = 1130.0 if key == "cy14" else VS30_SIM
        periods = cls(scenario(VS30_SIM, 20.0)).periods
        for n in sizes:
            vs30, distance = sites(n)
            looped = min(n, LOOP_SITES)

            def peer(vs30=vs30[:looped], distance=distance[:looped], cls=cls, rock=rock):
                return np.array([cls(scenario(v, r)).spec_accels / cls(scenario(rock, r)).spec_accels
                                 for v, r in zip(vs30, distance)])

            on_rock = [cls(scenario(rock, r)) for r in distance]
            if key == "cy14":
                args = {"pga": None, "y_ref": _per_model_column(key, periods, np.array([m.spec_accels for m in on_rock]))}
                sim = 1130.0
            else:
                args = {"pga": np.array([m.pga for m in on_rock])}
                sim = VS30_SIM

            def ours(vs30=vs30, key=key, args=args, sim=sim):
                extra = {"y_ref": args["y_ref"]} if "y_ref" in args else {}
                return vs30amp.amplification(vs30, sim, args["pga"], key, ranges="ignore", **extra).factors

            yield key, n, looped, peer, ours, 1.0 / periods
    for n in sizes:
        vs30, distance = sites(n)
        looped = min(n, LOOP_SITES)

        def ba19(v, r):
            return pygmm.BaylessAbrahamson2019(pygmm.Scenario(mag=6.5, dist_rup=r, v_s30=v, mechanism="SS",
                                                              depth_tor=0.0))

        def peer(vs30=vs30[:looped], distance=distance[:looped]):
            return np.array([ba19(v, r).eas / ba19(VS30_SIM, r).eas for v, r in zip(vs30, distance)])

        pga = np.full(n, 0.1)

        def ours(vs30=vs30, pga=pga):
            return vs30amp.amplification(vs30, VS30_SIM, pga, "ba18", ranges="ignore").factors

        yield "ba18", n, looped, peer, ours, pygmm.BaylessAbrahamson2019.FREQS


def factor_rows(sizes, repeats):
    rows = []
    tasks = []
    if version("openquake-engine"):
        tasks += [("openquake-engine", key, n, n, peer, ours, f) for key, n, peer, ours, f in openquake_tasks(sizes)]
    if version("pygmm"):
        tasks += [("pygmm", key, n, looped, peer, ours, f) for key, n, looped, peer, ours, f in pygmm_tasks(sizes)]
    for peer_name, key, n, looped, peer, ours, frequencies in tasks:
        try:
            theirs, peer_time = timed(peer, repeats)
        except Exception as error:  # a peer that cannot run this task is listed, the run goes on
            ERRORS[f"{peer_name}, {key} factors"] = f"{type(error).__name__}: {error}"[:200]
            continue
        mine, our_time = timed(ours, repeats)
        i, j = common(vs30amp.MODELS[key].frequencies, np.asarray(frequencies))
        difference = largest_difference(theirs[:, j], mine[:looped, i])
        scaled = peer_time * n / looped
        rows.append(dict(peer=peer_name, task=f"{key} factors", n=n, peer_time=scaled, ours=our_time,
                         vs30amp=difference, published=None, approximate=looped < n, columns=len(i)))
    return rows


# ---- measures of records --------------------------------------------------------------------

def records():
    """{rsn: (dt, h1, h2)} read by vs30amp.io from the gzipped AT2 files of tests/data."""
    out = {}
    with tempfile.TemporaryDirectory() as folder:
        for rsn, names in PAIRS.items():
            pair = []
            for name in names:
                path = Path(folder) / f"RSN{rsn}_{name}.AT2"
                path.write_bytes(gzip.decompress((DATA / f"RSN{rsn}_14383980_{name}.AT2.gz").read_bytes()))
                pair.append(vs30amp.io.read(path))
            out[rsn] = (pair[0].dt, pair[0].acc, pair[1].acc)
    return out


def published():
    """{(rsn, column): (periods, values)} of tests/data/nga_west2_published_spectra.csv."""
    with open(DATA / "nga_west2_published_spectra.csv") as file:
        rows = list(csv.reader(line for line in file if not line.startswith("#")))
    header, rows = rows[0], rows[1:]
    out = {}
    for rsn in PAIRS:
        mine = [r for r in rows if int(r[0]) == rsn]
        periods = np.array([float(r[1]) for r in mine])
        for c, name in enumerate(header[2:], start=2):
            out[rsn, name] = periods, np.array([float(r[c]) for r in mine])
    return out


# RotD50 at CB14's periods that the database also publishes: the peers' rotations are slow.
ROTD_PERIODS = np.array([0.01, 0.02, 0.03, 0.05, 0.075, 0.1, 0.15, 0.2, 0.25, 0.3, 0.4, 0.5, 0.75, 1.0,
                         1.5, 2.0, 3.0, 4.0, 5.0, 7.5, 10.0])


def psa_peers():
    """{peer: function(acc, dt, periods) -> PSA (g)}, those installed."""
    out = {}
    if version("pyrotd"):
        import pyrotd
        out["pyrotd"] = lambda acc, dt, periods: pyrotd.calc_spec_accels(dt, acc, 1.0 / periods, 0.05).spec_accel
    if version("eqsig"):
        import eqsig.sdof
        out["eqsig"] = lambda acc, dt, periods: eqsig.sdof.pseudo_response_spectra(acc, dt, periods, 0.05)[2]
    if version("gmprocess"):
        out["gmprocess"] = gmprocess_psa
    return out


def gmprocess_psa(acc, dt, periods):
    from gmprocess.metrics.oscillator import calculate_spectrals
    from obspy import Trace
    trace = Trace(np.asarray(acc, float), header={"delta": dt})
    return np.array([np.max(np.abs(calculate_spectrals(trace, period=p, damping=0.05)[0])) for p in periods])


def rotd_peers():
    out = {}
    if version("pyrotd"):
        import pyrotd

        def pyrotd_rotd(h1, h2, dt, periods):
            r = pyrotd.calc_rotated_spec_accels(dt, h1, h2, 1.0 / periods, 0.05, percentiles=[50])
            return r.spec_accel
        out["pyrotd"] = pyrotd_rotd
    if version("eqsig"):
        import eqsig
        import eqsig.multiple
        import eqsig.sdof

        def eqsig_rotd(h1, h2, dt, periods):
            s1, s2 = eqsig.AccSignal(h1, dt), eqsig.AccSignal(h2, dt)
            peaks = [eqsig.sdof.pseudo_response_spectra(eqsig.multiple.combine_at_angle(s1, s2, a).values,
                                                        dt, periods, 0.05)[2] for a in range(180)]
            return np.median(peaks, axis=0)
        out["eqsig"] = eqsig_rotd
    if version("gmprocess"):
        out["gmprocess"] = gmprocess_rotd
    return out


def gmprocess_rotd(h1, h2, dt, periods):
    from gmprocess.metrics.oscillator import calculate_spectrals
    from obspy import Trace
    angles = np.deg2rad(np.linspace(0, 180, 181))[:, None]
    rotated = np.cos(angles) * h1 + np.sin(angles) * h2
    out = []
    for p in periods:
        peaks = [np.max(np.abs(calculate_spectrals(Trace(r, header={"delta": dt}), period=p, damping=0.05)[0]))
                 for r in rotated]
        out.append(np.percentile(peaks, 50))
    return np.array(out)


def fas_peers():
    out = {}
    if version("pykooh"):
        import pykooh
        out["pykooh"] = lambda spectrum, freqs, centres: pykooh.smooth(centres, freqs, spectrum, BANDWIDTH)
    if version("obspy"):
        from obspy.signal.konnoohmachismoothing import konno_ohmachi_smoothing

        def obspy_fas(spectrum, freqs, centres):
            smoothed = konno_ohmachi_smoothing(spectrum, freqs, bandwidth=BANDWIDTH, normalize=True)
            return np.interp(centres, freqs, smoothed)
        out["obspy"] = obspy_fas
    if version("gmprocess"):
        from esi_core.gmprocess.waveform_processing.smoothing import konno_ohmachi

        def gmprocess_fas(spectrum, freqs, centres):
            smoothed = np.empty_like(centres)
            konno_ohmachi.konno_ohmachi_smooth(spectrum.astype(np.double), freqs, centres, smoothed, BANDWIDTH)
            return smoothed
        out["gmprocess"] = gmprocess_fas
    return out


def spectrum(acc, dt):
    """The record's own FFT as the peers' users take it: dt |rfft|, DC left out."""
    return np.abs(np.fft.rfft(acc))[1:] * dt, np.fft.rfftfreq(len(acc), dt)[1:]


def measure_rows(repeats):
    pairs, printed = records(), published()
    rows = []
    tasks = [("PSA", psa_peers, _measure_row), ("RotD50", rotd_peers, _measure_row), ("FAS", fas_peers, _fas_row)]
    for task, peers, row in tasks:
        for peer, function in peers().items():
            try:
                rows.append(row(peer, task, repeats, pairs, printed, function))
            except Exception as error:
                ERRORS[f"{peer}, {task}"] = f"{type(error).__name__}: {error}"[:200]
    return rows


def _measure_row(peer, task, repeats, pairs, printed, function):
    peer_time = our_time = 0.0
    difference = from_published = ours_published = 0.0
    for rsn, (dt, h1, h2) in pairs.items():
        if task == "PSA":
            periods = printed[rsn, "h1_d05"][0]
            theirs, t = timed(lambda: np.array([function(h, dt, periods) for h in (h1, h2)]), repeats)
            mine, o = timed(lambda: vs30amp.response_spectrum(np.stack([h1, h2]), dt, periods), repeats)
            reference = np.array([printed[rsn, "h1_d05"][1], printed[rsn, "h2_d05"][1]])
        else:
            periods = ROTD_PERIODS
            theirs, t = timed(lambda: function(h1, h2, dt, periods), repeats)
            mine, o = timed(lambda: vs30amp.rotd(h1, h2, dt, periods), repeats)
            all_periods, values = printed[rsn, "rotd50_d05"]
            reference = values[[int(np.argmin(np.abs(all_periods - p))) for p in periods]]
        peer_time, our_time = peer_time + t, our_time + o
        difference = max(difference, largest_difference(theirs, mine))
        from_published = max(from_published, largest_difference(theirs, reference))
        ours_published = max(ours_published, largest_difference(mine, reference))
    return dict(peer=peer, task=task, n=len(pairs), peer_time=peer_time, ours=our_time, vs30amp=difference,
                published=from_published, ours_published=ours_published, approximate=False)


def _fas_row(peer, task, repeats, pairs, printed, function):
    peer_time = our_time = difference = above = 0.0
    for dt, h1, h2 in pairs.values():
        centres = vs30amp.MODELS["ba18"].frequencies
        centres = centres[centres < 0.5 / dt]
        for h in (h1, h2):
            amplitude, freqs = spectrum(h, dt)
            theirs, t = timed(lambda: function(amplitude, freqs, centres), repeats)
            mine, o = timed(lambda: vs30amp.fas(h, dt, centres), repeats)
            peer_time, our_time = peer_time + t, our_time + o
            difference = max(difference, largest_difference(theirs, mine))
            high = centres >= 1.0
            above = max(above, largest_difference(theirs[high], mine[high]))
    return dict(peer=peer, task="FAS", n=2 * len(pairs), peer_time=peer_time, ours=our_time, vs30amp=difference,
                above_1hz=above, published=None, approximate=False)


# ---- report ---------------------------------------------------------------------------------

def failed_peers():
    """{peer: reason} of those pip could not install (tools/peers.sh) or that are missing."""
    out = {}
    path = os.environ.get("VS30AMP_PEERS_FAILED")
    if path and Path(path).exists():
        for line in Path(path).read_text().splitlines():
            name, _, reason = line.partition("\t")
            out[name.split("==")[0]] = f"not installed: {reason or 'pip failed'}"
    for peer in PEERS:
        if peer not in out and version(peer) is None:
            out[peer] = "not installed"
    return out | ERRORS


def percent(x):
    return "" if x is None or (isinstance(x, float) and math.isnan(x)) else f"{100 * x:.3g} %"


def cells(row):
    ratio = row["peer_time"] / row["ours"]
    return [f"{row['peer']} {version(row['peer'])}", row["task"], row["n"],
            f"{row['peer_time'] * 1e3:.3g}{' ~' if row['approximate'] else ''}", f"{row['ours'] * 1e3:.3g}",
            f"{ratio:.3g}", percent(row["vs30amp"])
            + (f" ({percent(row['above_1hz'])} from 1 Hz)" if "above_1hz" in row else ""),
            "" if row["published"] is None else f"{percent(row['published'])} ({percent(row['ours_published'])})"]


HEADER = ["peer", "task", "n", "peer (ms)", "vs30amp (ms)", "peer / vs30amp", "largest difference from vs30amp",
          "from published (vs30amp's)"]


def plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    labels = [f"{r['peer']}: {r['task']}{'' if r['task'] in ('PSA', 'RotD50', 'FAS') else f', n={r[chr(110)]}'}"
              for r in rows]
    ratios = [r["peer_time"] / r["ours"] for r in rows]
    fig, axis = plt.subplots(figsize=(8, 0.25 * len(rows) + 1.2))
    axis.barh(range(len(rows)), ratios, color=["tab:blue" if "factors" in r["task"] else "tab:orange" for r in rows])
    axis.set_yticks(range(len(rows)), labels, fontsize=7)
    axis.invert_yaxis()
    axis.set_xscale("log")
    axis.axvline(1.0, color="black", lw=0.8)
    axis.set_xlabel("peer's time / vs30amp's (log scale; above 1: vs30amp faster)")
    axis.grid(True, axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1,100,10000", help="site counts of the factors, comma-separated")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--output", type=Path, default=HERE)
    parser.add_argument("--figure", type=Path, help="the figure (docs/peers.png; with --output DIR, DIR/peers.png)")
    parser.add_argument("--quick", action="store_true", help="1 and 100 sites, one repeat")
    args, _ = parser.parse_known_args()  # ./run bench passes the other benchmarks' options too
    sizes = [1, 100] if args.quick else [int(s) for s in args.sizes.split(",")]
    args.repeats = 1 if args.quick else args.repeats
    if args.figure is None:
        args.figure = HERE.parent / "docs" / "peers.png" if args.output == HERE else args.output / "peers.png"
    start = time.perf_counter()
    warnings.simplefilter("ignore")
    rows = factor_rows(sizes, args.repeats) + measure_rows(args.repeats)
    print(table(HEADER, [cells(r) for r in rows]))
    failed = failed_peers()
    for peer, reason in failed.items():
        print(f"{peer}: {reason}")
    args.output.mkdir(parents=True, exist_ok=True)
    plot(rows, args.figure)
    notes = "\n".join(f"- {p} {version(p) or ''}: {NOTES[p]}" for p in PEERS if version(p))
    missing = "\n".join(f"- {p}: {reason}" for p, reason in failed.items()) or "- none"
    body = (f"`./run peers` on {datetime.date.today()}, {machine()}; load average "
            f"{os.getloadavg()[0]:.2f}; {time.perf_counter() - start:.0f} s. Times: median of {args.repeats} "
            f"repeats (one when a run takes over 2 s); \"~\": a peer's loop over sites timed on "
            f"{LOOP_SITES} and scaled. Differences: max |peer / vs30amp - 1| (factors on the frequencies "
            f"both give; PSA and RotD50 at the published periods; FAS at BA18's frequencies below "
            f"Nyquist); published: the NGA-West2 database's spectra (tests/data).\n\n"
            + markdown(HEADER, [cells(r) for r in rows])
            + f"\n\n![peer's time over vs30amp's]({os.path.relpath(args.figure, args.output)})\n\n"
            f"The peers' documented choices behind the differences:\n\n{notes}\n\nNot run:\n\n{missing}\n")
    write_section(args.output / "results.md", "Peers", body)


if __name__ == "__main__":
    main()
