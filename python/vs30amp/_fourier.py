"""Smoothed Fourier amplitude spectra of records: FAS of one component, EAS of two.

The effective amplitude spectrum (EAS) is the measure the BA18 model was developed on: the
orientation-independent sqrt((|FAS1|^2 + |FAS2|^2) / 2) of the two horizontal components,
smoothed with the Konno-Ohmachi window of bandwidth b = 188.5 (Goulet et al. 2018, PEER Report
2018/02, whose EAS Bayless and Abrahamson 2018, PEER Report 2018/07, model).
"""

from __future__ import annotations

import functools
import textwrap
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _zoom
from ._fft import real_ffts
from ._models import MODELS
from ._record_checks import Records, as_dt, as_pairs, as_positive, as_records
from ._traces import taking_traces
from ._record_chunks import chunk_slices, in_order, thread_count

# Konno and Ohmachi (1998), BSSA 88(1): w = [sin(b log10(f/fc)) / (b log10(f/fc))]^4.
BANDWIDTH = 188.5
# Half the width of the window's main lobe, relative to its centre: 10^(pi / b) - 1 = 3.9 %.
LOBE = 10.0 ** (np.pi / BANDWIDTH) - 1.0
# FFT bins within that half-lobe at the lowest centre (below the Nyquist frequency).
BINS_PER_LOBE = 4
# Where bins are denser than this (relative to their frequency), they are summed in groups of
# that relative width before the window is applied: 1/32 of the half-lobe.
GROUP_WIDTH = LOBE / 64.0
# And at least this many times the record's length: the spectrum's own detail, on the scale of
# 1 / (record's duration), is then resolved too.
PADDING = 2
# Spectra transformed together: about this many FFT values at a time, whatever the records.
VALUES_PER_BLOCK = 2**22
# The smoothing's product in two parts: each centre's weights within NEAR of x = b log10(f/fc)
# (the main lobe and 3 side lobes each side) group by group, the rest on SUPER groups at a time
# (each group's weight the mean over them, by bins): within 1e-5 of the whole product on
# records' spectra (4e-5 on random sums), a fifth of its work. Centres are taken BLOCK at a
# time, on the groups near any of them.
NEAR = 4 * np.pi
SUPER = 8
BLOCK = 16
# The longest FFT a (dt, frequencies) may ask for (8 TiB a record): beyond it they are refused.
MAX_FFT_LENGTH = 2**40


def fft_length(samples: int, dt: float, centres: NDArray[np.float64]) -> int:
    """The FFT length of records of `samples` samples: a power of two at least twice their length and
    fine enough to put BINS_PER_LOBE bins in the window's half-lobe at the lowest centre below
    the Nyquist frequency."""
    resolved = centres[centres <= 0.5 / dt]
    needed = PADDING * samples
    if resolved.size:
        needed = max(needed, int(np.ceil(BINS_PER_LOBE / (resolved.min() * LOBE * dt))))
    return 1 << max(0, (needed - 1).bit_length())


def _window(bins: NDArray[np.float64], centres: NDArray[np.float64]) -> NDArray[np.float64]:
    """The window of each centre (column) at each frequency (row), not normalised."""
    x = BANDWIDTH * np.log10(bins[:, None] / centres[None, :])
    with np.errstate(invalid="ignore", divide="ignore"):
        w = (np.sin(x) / x) ** 4
    w[x == 0.0] = 1.0
    return w


@functools.lru_cache(maxsize=4)
def _groups(length: int, dt: float) -> tuple[NDArray[np.intp], NDArray[np.float64], NDArray[np.float64]]:
    """The bins k / (N dt), k = 1 ... N/2, in groups: one bin each where bins are sparser than
    GROUP_WIDTH, then groups of relative width GROUP_WIDTH. Returns each group's first bin
    (index from 0), its mean frequency and its number of bins."""
    bins = np.arange(1, length // 2 + 1) / (length * dt)
    spacing = 1.0 / (length * dt)
    switch = spacing / GROUP_WIDTH
    single = int(np.searchsorted(bins, switch))
    index = np.arange(bins.size, dtype=np.float64)
    above = bins[single:]
    index[single:] = single + np.floor(np.log(above / switch) / np.log1p(GROUP_WIDTH))
    starts = np.flatnonzero(np.r_[True, index[1:] != index[:-1]])
    counts = np.diff(np.r_[starts, bins.size]).astype(np.float64)
    means = bins[starts] + 0.5 * (counts - 1.0) * spacing
    return starts, means, counts


# At most 28 MB each (9,000-12,000 groups x BA18's centres): the last two are kept.
@functools.lru_cache(maxsize=2)
def _operator(length: int, dt: float, centres_bytes: bytes) -> NDArray[np.float64]:
    """(groups, centres) weights: the groups' summed spectra @ operator smooths them."""
    centres = np.frombuffer(centres_bytes, dtype=np.float64)
    _, means, counts = _groups(length, dt)
    weights = _window(means, centres)
    weights /= (weights * counts[:, None]).sum(axis=0)
    weights.flags.writeable = False
    return weights


def _smooth(spectra: NDArray[np.float64], length: int, dt: float, centres: NDArray[np.float64]) -> NDArray[np.float64]:
    starts, _, _ = _groups(length, dt)
    # Typed here: NumPy's stubs give the product as Any on some versions, not on others.
    values: NDArray[np.float64] = np.add.reduceat(spectra, starts, axis=1) @ _operator(length, dt, centres.tobytes())
    return values


@dataclass(frozen=True)
class _Split:
    """The operator in its two parts: the far weights on super groups, and per block of
    centres a range of groups with the near weights."""

    supers: NDArray[np.intp]
    far: NDArray[np.float64]
    blocks: tuple[tuple[int, int, NDArray[np.intp], NDArray[np.float64]], ...]


@functools.lru_cache(maxsize=2)
def _split(length: int, dt: float, centres_bytes: bytes) -> _Split:
    centres = np.frombuffer(centres_bytes, dtype=np.float64)
    operator = _operator(length, dt, centres_bytes)
    _, means, counts = _groups(length, dt)
    supers = np.arange(0, means.size, SUPER)
    member = np.arange(means.size) // SUPER
    x = np.abs(BANDWIDTH * np.log10(means[:, None] / centres[None, :]))
    near = np.zeros((supers.size, centres.size), dtype=bool)
    np.logical_or.at(near, member, x <= NEAR)
    near = near[member]  # whole super groups, so that none is counted in both parts
    far = np.add.reduceat(np.where(near, 0.0, operator) * counts[:, None], supers) / np.add.reduceat(counts, supers)[:, None]
    blocks = []
    order = np.argsort(centres, kind="stable")
    for start in range(0, centres.size, BLOCK):
        columns = order[start:start + BLOCK]
        rows = np.flatnonzero(near[:, columns].any(axis=1))
        if rows.size:
            lo, hi = int(rows[0]), int(rows[-1]) + 1
            blocks.append((lo, hi, columns, np.where(near[lo:hi, columns], operator[lo:hi, columns], 0.0)))
    return _Split(supers, far, tuple(blocks))


def _smooth_split(sums: NDArray[np.float64], length: int, dt: float, centres: NDArray[np.float64]) -> NDArray[np.float64]:
    """The groups' summed amplitudes smoothed: `_smooth`'s product within 1e-5, in a fifth of its work."""
    split = _split(length, dt, centres.tobytes())
    out: NDArray[np.float64] = np.add.reduceat(sums, split.supers, axis=1) @ split.far
    for lo, hi, columns, weights in split.blocks:
        out[:, columns] += sums[:, lo:hi] @ weights
    return out


def _powers(records: Records, rows: slice, length: int) -> NDArray[np.float64]:
    """|DFT|^2 at DC and the positive frequencies of some records, computed in double."""
    block = records[rows].astype(np.float64, copy=False)
    spectrum = real_ffts()[0](block, length, axis=1)
    return spectrum.real**2 + spectrum.imag**2  # type: ignore[no-any-return]


def smoothed(first: Records, second: Records | None, dt: float, centres: NDArray[np.float64],
             threads: int = 1) -> NDArray[np.float64]:
    """The smoothed FAS of `first` (`second` None) or EAS of the pairs: the definition's groups
    of N's bins summed from short transforms (`_zoom`), or from one transform of length N of
    the autocorrelation where the band would be as costly, then smoothed; blocks of records on
    `threads` threads, VALUES_PER_BLOCK values at a time in all."""
    n, samples, length = first.shape[0], first.shape[1], fft_length(first.shape[1], dt, centres)
    own = min(length, 1 << max(0, (2 * samples - 1).bit_length()))
    starts, _, _ = _groups(length, dt)
    the = _zoom.plan(samples, length, dt, LOBE, starts.tobytes())
    values = max(length if the is None else the.values, own)
    out = np.empty((n, centres.size))

    def block(rows: slice) -> int:
        powers = _powers(first, rows, own)
        if second is not None:
            powers = (powers + _powers(second, rows, own)) / 2.0
        if own == length:
            sums = np.add.reduceat(np.sqrt(powers[:, 1:]) * dt, starts, axis=1)
        else:
            # The autocorrelation: exact on the records' own grid, its lags shorter than the records.
            lags = real_ffts()[1](powers, own, axis=1)[:, :samples]
            lags[:, 1:] *= 2.0  # the negative lags, the same
            sums = (_zoom.group_sums(lags, length, dt, starts.size, the) if the is not None else
                    np.add.reduceat(_zoom.amplitudes(real_ffts()[0](lags, length, axis=1).real[:, 1:], dt), starts, axis=1))
        out[rows] = _smooth_split(sums, length, dt, centres)
        return int(rows.stop - rows.start)

    rows = min(max(1, VALUES_PER_BLOCK // (values * threads)), -(-n // threads))
    for _ in in_order(block, chunk_slices(n, rows), min(threads, -(-n // rows))):  # no pool for one block
        pass
    out[:, centres > 0.5 / dt] = np.nan
    return out


def defined(first: Records, second: Records | None, dt: float, centres: NDArray[np.float64]) -> NDArray[np.float64]:
    """The definition (the tests' reference): each record's own transform of length N, every
    group weighted by the whole operator."""
    length = fft_length(first.shape[1], dt, centres)
    out = np.empty((first.shape[0], centres.size))
    for start in range(0, first.shape[0], _rows_per_block(length)):
        rows = slice(start, start + _rows_per_block(length))
        powers = _powers(first, rows, length)
        if second is not None:
            powers = (powers + _powers(second, rows, length)) / 2.0
        out[rows] = _smooth(np.sqrt(powers[:, 1:]) * dt, length, dt, centres)
    out[:, centres > 0.5 / dt] = np.nan
    return out


def _rows_per_block(length: int) -> int:
    return max(1, VALUES_PER_BLOCK // length)


def _centres(frequencies: ArrayLike | None) -> NDArray[np.float64]:
    if frequencies is None:
        return MODELS["ba18"].frequencies
    return as_positive("frequencies", frequencies, "frequencies (Hz)")


def _arguments(dt: object, frequencies: ArrayLike | None) -> tuple[float, NDArray[np.float64]]:
    """dt and the centres, checked; ValueError naming the argument when the lowest centre below
    the Nyquist frequency needs an FFT longer than MAX_FFT_LENGTH to be resolved at this dt."""
    step, centres = as_dt(dt), _centres(frequencies)
    resolved = centres[centres <= 0.5 / step]
    if resolved.size:
        low = float(resolved.min())
        if low * LOBE * step * MAX_FFT_LENGTH < BINS_PER_LOBE:
            name, hint = (("dt", f"give a dt of at least {BINS_PER_LOBE / (MAX_FFT_LENGTH * LOBE * low):.3g} s")
                          if frequencies is None else
                          ("frequencies", "give frequencies whose lowest times dt is at least "
                                          f"{BINS_PER_LOBE / (MAX_FFT_LENGTH * LOBE):.3g}"))
            raise ValueError(f"{name}: {low!r} Hz at dt {step!r} s needs an FFT of more than 2**"
                             f"{MAX_FFT_LENGTH.bit_length() - 1} points to be resolved; {hint}")
    return step, centres


_NOTES = """
    The amplitude spectrum is ``dt |DFT|`` (g s for records in g) of the record zero-padded to N,
    a power of two at least twice its length (so that the padding changes nothing of its
    ``|spectrum|^2``) and fine enough to put 4 frequencies k / (N dt) within the half main lobe
    (3.9 %) of the window at the lowest centre below the Nyquist frequency. DC is left out.
    The smoothed value at a centre fc is the mean of the amplitudes weighted by the
    Konno-Ohmachi window w = [sin(b log10(f/fc)) / (b log10(f/fc))]^4 (w = 1 at f = fc),
    b = 188.5 (the bandwidth of the NGA-West2 EAS, Goulet et al. 2018, PEER Report 2018/02,
    on which BA18 was developed), over all frequencies up to the Nyquist frequency 1 / (2 dt);
    a centre above it gives NaN. Where the frequencies are denser than 1/64 of the half-lobe
    (relative to their own frequency), they are summed in groups of that relative width and
    weighted at the group's mean frequency. The result is then a property of the record: it
    moves by less than 0.1 % when zeros are appended (about 0.05 % on NGA-West2 records), and
    agrees with the definition evaluated at far longer FFT lengths to about 0.1 %. The
    smoothing operator of one (N, dt, frequencies) is built once and kept for later calls.
    N's bins are not all transformed: the powers come from the record's autocorrelation (for
    EAS, the pair's: ``(|X1|^2 + |X2|^2) / 2`` at once), transformed on a grid of at least 8 times
    the record's length and interpolated onto one 4 times finer, whose amplitudes stand for the
    bins of N around them (N's own for 8,192 samples at dt 0.005 s and BA18's frequencies);
    where that grid is coarser than N's, the low band takes N's own bins from a chirp-z
    transform, handed over under a cos^2 taper; where that would cost as much, they come from
    one transform of length N of the autocorrelation. Within 2e-4 of the definition's N-point
    transforms (about 2e-5 in trials, for one component as for pairs), with transforms of 2 to 8
    times the record's length instead of up to 32.
"""


@taking_traces
def fas(acc: ArrayLike, dt: float, frequencies: ArrayLike | None = None, *,
        workers: int | None = None) -> NDArray[np.float64]:
    """Smoothed Fourier amplitude spectrum of single-component records.
    {notes}
    Parameters
    ----------
    acc : array_like, shape (n, m) or (m,), or ObsPy Trace or Stream
        Acceleration records, float32 or float64, finite, at least two samples.
    dt : float or None
        Sample interval (s), finite and positive; None for ObsPy Trace or Stream records (their
        stats.delta; the "obspy" extra).
    frequencies : array_like, shape (F,), optional
        Centre frequencies (Hz), finite and positive; by default BA18's frequencies,
        ``MODELS["ba18"].frequencies``.
    workers : int, optional
        Threads working on records: at least 1, or -1 (the default, None, too) for every CPU.

    Returns
    -------
    ndarray, shape (n, F) or (F,) for one record
        float64.

    Examples
    --------
    >>> import numpy as np
    >>> import vs30amp
    >>> dt = 0.01
    >>> t = np.arange(2000) * dt
    >>> acc = 0.1 * np.sin(2 * np.pi * t) * np.sin(np.pi * t / t[-1]) ** 2   # 1 Hz, at rest at both ends
    >>> vs30amp.fas(acc, dt, [1.0]).round(4)
    array([0.4868])
    """
    records, one = as_records("acc", acc)
    step, centres = _arguments(dt, frequencies)
    out = smoothed(records, None, step, centres, thread_count(workers))
    return out[0] if one else out


@functools.partial(taking_traces, inputs=2)
def eas(h1: ArrayLike, h2: ArrayLike, dt: float, frequencies: ArrayLike | None = None, *,
        workers: int | None = None) -> NDArray[np.float64]:
    """Smoothed effective amplitude spectrum of pairs of horizontal records.

    ``EAS = sqrt((|FAS1|^2 + |FAS2|^2) / 2)`` of the two components' unsmoothed spectra, then
    smoothed.
    {notes}
    Parameters
    ----------
    h1, h2 : array_like, shape (n, m) or (m,), or ObsPy Trace or Stream
        The two horizontal components, of one shape; float32 or float64.
    dt, frequencies, workers
        As for `fas`.

    Returns
    -------
    ndarray, shape (n, F) or (F,) for one pair
        float64.

    Examples
    --------
    >>> import numpy as np
    >>> import vs30amp
    >>> dt = 0.01
    >>> t = np.arange(2000) * dt
    >>> acc = 0.1 * np.sin(2 * np.pi * t) * np.sin(np.pi * t / t[-1]) ** 2   # 1 Hz, at rest at both ends
    >>> vs30amp.eas(acc, 0.5 * acc, dt, [1.0]).round(4)
    array([0.3848])
    """
    first, second, one = as_pairs(h1, h2)
    step, centres = _arguments(dt, frequencies)
    out = smoothed(first, second, step, centres, thread_count(workers))
    return out[0] if one else out


# Docstrings are dedented when compiled (Python 3.13+): the shared notes are too.
fas.__doc__ = (fas.__doc__ or "").format(notes=textwrap.dedent(_NOTES))
eas.__doc__ = (eas.__doc__ or "").format(notes=textwrap.dedent(_NOTES))
