"""The groups' summed amplitudes of the definition's FFT length N from far shorter transforms.

The definition pads a record to N so that the window at the lowest centre has 4 bins in its
half-lobe: up to 32 times the record's length. The powers |X|^2 are a cosine sum of the
records' autocorrelation, whose lags are shorter than the record: a transform of it on a grid
of at least 8 times the record's length (L) holds them all, and Lagrange's polynomial through
8 of its bins gives them between its bins to about 1e-5 of the largest. They are interpolated
onto a grid REFINE times finer, whose amplitudes stand for the r = N / (REFINE L) bins of N
around each (the two at the edges shared half and half: a bin centred on its own bins, so the
sums have no bias of half a bin, which was 3e-3). The square root is taken on that finer grid:
a coarse bin's amplitude standing for the bins around it missed where |X| comes near zero
between the coarse bins, by up to 4.6e-4 for one component or two equal ones.

Where the finer grid is N's own (N = 4 L: 8,192 samples at dt 0.005 s and BA18's centres) it
gives every group. Where it is coarser, the low band, where the windows are narrowest, takes
N's own bins from a chirp-z transform of the autocorrelation (one convolution of about twice
the record's length), handed over to the grid across the band's top two thirds under a cos^2
taper: a hard edge left an error of the grid's end terms, 3e-4 at the centres on the edge.
The smoothed values are within about 2e-5 of the definition's in trials, for pairs, one component
and two equal ones alike.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from . import _native
from ._fft import complex_ffts, cosine_sums

# The coarse grid: a power of two at least this many times the record's length.
COARSE_PADDING = 8
# Its powers interpolated onto a grid this many times finer (where N's is not coarser), whose
# amplitudes stand for N's bins: the square root is taken where |X| comes near zero between the
# coarse bins, which a coarse amplitude cannot follow (4.6e-4 off for one component).
REFINE = 4
# The interpolation's nodes around the coarse bin j below the point: Lagrange's polynomial
# through the powers at j - 3 ... j + 4 (the native kernel's too). The powers are a cosine sum of
# the m lags on a grid of 8 m or more: within 2e-5 of the definition then, also at the lowest
# centres, whose windows hold few bins (6 nodes: 2e-4 there, 4 nodes: 1.5e-4 everywhere).
NODES = np.arange(-3, 5)
# The taper starts where the coarse grid has at least this many bins in the window's half-lobe,
# and ends at TAPER_RATIO times that frequency.
TAPER_BINS = 24
TAPER_RATIO = 3.0


@dataclass(frozen=True)
class Plan:
    """How the group sums of one (samples, N, dt) are made: the band of N's bins 0 ... band - 1
    with its taper, the transforms' lengths and the refined grid's (bin, group, weight) entries;
    band 0 where the refined grid is N's own, its groups' first bins in group_starts."""

    band: int
    coarse: int
    steps: int  # the refined grid's bins per coarse bin
    chirp: int  # the chirp-z transform's length
    values: int  # the largest number of values a record takes at once
    taper: NDArray[np.float64]  # weights of N's bins 1 ... band - 1
    band_starts: NDArray[np.intp]  # the groups' first bins within the band
    entries: NDArray[np.intp]  # the refined grid's bins, by group
    weights: NDArray[np.float64]
    group_starts: NDArray[np.intp]  # where each group's entries begin: groups first_group ... on
    first_group: int


@functools.lru_cache(maxsize=4)
def plan(samples: int, length: int, dt: float, lobe: float, starts_bytes: bytes) -> Plan | None:
    """The plan, or None where the band would be too wide to save the transform of length N."""
    coarse = 1 << (COARSE_PADDING * samples - 1).bit_length()
    if length // coarse < 2:  # no cheaper than the transform of length N
        return None
    steps = min(REFINE, length // coarse)
    starts = np.frombuffer(starts_bytes, dtype=np.intp)
    if steps * coarse == length:  # the refined grid is N's own: every group from it, in one native pass
        none = np.zeros(0, dtype=np.intp)
        return Plan(0, coarse, steps, 0, coarse + 2, np.zeros(0), none, none, np.zeros(0),
                    np.ascontiguousarray(starts, dtype=np.int64), 0)
    # The band reaches at least TAPER_RATIO times where the taper must start; as far as the
    # chirp-z transform's power-of-two length allows, and the taper over its top part.
    size = 1 << (samples + int(TAPER_RATIO * TAPER_BINS * (length // coarse) / lobe) + 1).bit_length()
    band = min(size - samples + 1, length // 2)
    if 2 * size + coarse > length // 2:
        return None
    last = band - 1.0
    first = last / TAPER_RATIO
    k = np.arange(1, length // 2 + 1)
    fine = np.cos(0.5 * np.pi * np.clip((k - first) / (last - first), 0.0, 1.0)) ** 2
    group = np.repeat(np.arange(starts.size), np.diff(np.r_[starts, k.size]))
    entries, weights, groups = _grid_entries(k, 1.0 - fine, group, length // (steps * coarse))
    order = np.lexsort((entries, groups))
    key = groups[order] * (steps * coarse // 2 + 1) + entries[order]
    unique = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
    summed = np.add.reduceat(weights[order], unique)
    entries, groups = entries[order][unique], groups[order][unique]
    group_starts = np.flatnonzero(np.r_[True, groups[1:] != groups[:-1]])
    values = max(2 * size, steps * coarse + 2, summed.size)  # the chirp-z transform's are complex
    # Every bin above the taper's start has a share: the groups from the first one's on, each.
    return Plan(band, coarse, steps, size, values, fine[:band - 1], starts[starts < band - 1], entries, summed,
                group_starts, int(groups[0]))


def _grid_entries(k: NDArray[np.intp], share: NDArray[np.float64], group: NDArray[np.intp],
                  ratio: int) -> tuple[NDArray[np.intp], NDArray[np.float64], NDArray[np.intp]]:
    """Each of N's bins k with its share for the refined grid, given to its bin j with
    |k - j r| < r/2, or half to each of the two with |k - j r| = r/2 (all to j = k for r = 1)."""
    used = share > 0.0
    k, share, group = k[used], share[used], group[used]
    nearest = (k + ratio // 2) // ratio
    edge = (k % ratio == ratio // 2) & (ratio > 1)
    half = np.where(edge, 0.5, 1.0) * share
    return (np.r_[nearest, nearest[edge] - 1], np.r_[half, half[edge]], np.r_[group, group[edge]])


def group_sums(lags: NDArray[np.float64], length: int, dt: float, groups: int, the: Plan) -> NDArray[np.float64]:
    """The groups' summed amplitudes dt sqrt(P) of N's bins, from the autocorrelations `lags`
    (rows, m), the negative lags folded in (every lag but 0 doubled)."""
    powers = cosine_sums(lags, the.coarse)
    if not the.band:  # the finer grid is N's own: its sums, without its amplitudes in memory
        out = np.empty((lags.shape[0], groups))
        _native.refined_sums(np.ascontiguousarray(powers), _lagrange(the.steps), dt, the.group_starts, out)
        return out
    out = np.zeros((lags.shape[0], groups))
    band = amplitudes(_chirp_z(lags, length, the.band)[:, 1:], dt)
    sums = np.add.reduceat(band * the.taper, the.band_starts, axis=1)
    out[:, :sums.shape[1]] = sums
    shares = np.take(refined_amplitudes(powers, the.steps, dt), the.entries, axis=1)
    shares *= the.weights
    out[:, the.first_group:] += np.add.reduceat(shares, the.group_starts, axis=1)
    return out


def refined_amplitudes(powers: NDArray[np.float64], steps: int, dt: float) -> NDArray[np.float64]:
    """dt sqrt(P) of the powers (rows, L/2 + 1) of a grid of L bins at bins 0 ... steps L / 2 of a
    grid of steps L: between two bins, Lagrange's polynomial through NODES (the powers even about
    bins 0 and L/2, as a cosine sum is)."""
    if steps == 1:
        return amplitudes(powers, dt)
    out = np.empty((powers.shape[0], steps * (powers.shape[1] - 1) + 1))
    _native.refined_amplitudes(np.ascontiguousarray(powers), _lagrange(steps), dt, out)
    return out


@functools.lru_cache(maxsize=4)
def _lagrange(steps: int) -> NDArray[np.float64]:
    """(steps - 1, nodes) weights of Lagrange's polynomial through NODES at t = 1 ... steps - 1 / steps."""
    t = np.arange(1, steps)[:, None] / steps
    weights = np.ones((steps - 1, NODES.size))
    for i, node in enumerate(NODES):
        for other in NODES[NODES != node]:
            weights[:, i] *= (t[:, 0] - other) / (node - other)
    weights.flags.writeable = False
    return weights


def amplitudes(powers: NDArray[np.float64], dt: float) -> NDArray[np.float64]:
    """dt sqrt(P) of powers that rounding may have left below 0, in place (they are the caller's
    temporaries)."""
    np.maximum(powers, 0.0, out=powers)
    np.sqrt(powers, out=powers)
    powers *= dt
    return powers


def _chirp_z(lags: NDArray[np.float64], length: int, count: int) -> NDArray[np.float64]:
    """Re sum_n c_n exp(-2 pi i n k / length), k = 0 ... count - 1 (Bluestein): with
    n k = (n^2 + k^2 - (k - n)^2) / 2, one convolution with the chirp exp(i pi l^2 / length)."""
    samples = lags.shape[1]
    size = 1 << (samples + count - 2).bit_length()
    chirp = _chirp(max(samples, count), length)
    forward, inverse = complex_ffts()
    spread = forward(lags * chirp[:samples], size, axis=1) * _kernel(samples, count, length, size)
    return (inverse(spread, axis=1)[:, :count] * chirp[:count]).real  # type: ignore[no-any-return]


def _chirp(count: int, length: int) -> NDArray[np.complex128]:
    n = np.arange(count, dtype=np.int64)
    # n^2 modulo 2 length, exact in integers: the phase keeps its digits at any n.
    return np.exp(-1j * np.pi * ((n * n) % (2 * length)) / length)  # type: ignore[no-any-return]


@functools.lru_cache(maxsize=4)
def _kernel(samples: int, count: int, length: int, size: int) -> NDArray[np.complex128]:
    """The transform of the conjugate chirp at l = -(samples - 1) ... count - 1, wrapped to size."""
    conjugate = np.conj(_chirp(max(samples, count), length))
    kernel = np.zeros(size, dtype=np.complex128)
    kernel[:count] = conjugate[:count]
    kernel[size - samples + 1:] = conjugate[1:samples][::-1]
    spectrum: NDArray[np.complex128] = complex_ffts()[0](kernel)
    spectrum.flags.writeable = False
    return spectrum
