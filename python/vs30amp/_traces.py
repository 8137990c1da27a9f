"""ObsPy's `Trace` and `Stream` as records: the samples and interval the functions take, and
amplified traces that keep their stats. ObsPy is imported only for objects that are its own."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from ._version import __version__

TRACE_TYPES = ("Trace", "Stream")


def is_obspy(value: object) -> bool:
    """Whether `value` is an ObsPy Trace or Stream (found without importing ObsPy)."""
    kind = type(value)
    return kind.__module__.split(".")[0] == "obspy" and kind.__name__ in TRACE_TYPES


def traces_of(value: Any) -> list[Any]:
    """The traces of a Trace (itself) or a Stream (its own, in order)."""
    return [value] if type(value).__name__ == "Trace" else list(value)


def as_records(name: str, value: Any, dt: object) -> tuple[Any, Any]:
    """`value`'s samples and sample interval: a Stream's traces as rows of one array, a Trace's
    as one record, its stats' delta as dt (a `dt` given must be None or the same); anything else
    as given. ValueError for traces that are not one array (other lengths or intervals)."""
    if not is_obspy(value):
        return value, dt
    traces = traces_of(value)
    if not traces:
        raise ValueError(f"{name}: an empty Stream; expected at least one Trace")
    deltas = {float(trace.stats.delta) for trace in traces}
    lengths = {int(trace.stats.npts) for trace in traces}
    if len(deltas) > 1 or len(lengths) > 1:
        raise ValueError(f"{name}: the Stream's traces have {len(lengths)} lengths and {len(deltas)} sample "
                         f"intervals; give traces of one length and interval (trim or resample them, or one "
                         f"Trace at a time)")
    delta = deltas.pop()
    if dt is not None and float(dt) != delta:  # type: ignore[arg-type]
        raise ValueError(f"dt: {dt!r} given for traces whose stats.delta is {delta!r}; give None (their own)")
    samples = traces[0].data if len(traces) == 1 and value is traces[0] else np.stack([t.data for t in traces])
    return samples, delta


def same_interval(name: str, first: Any, second: Any) -> None:
    """ValueError when a pair's two Trace or Stream objects differ in their sample interval."""
    one, other = (float(traces_of(v)[0].stats.delta) for v in (first, second))
    if one != other:
        raise ValueError(f"{name}: h1's traces have stats.delta {one!r}, h2's {other!r}; a pair shares one interval")


def taking_traces(function: Callable[..., Any], inputs: int = 1) -> Callable[..., Any]:
    """`function(records..., dt, ...)` that also takes Trace or Stream objects as its first
    `inputs` arguments, with dt None (their stats.delta)."""

    def measured(*args: Any, **kwargs: Any) -> Any:
        if not any(is_obspy(value) for value in args[:inputs]):
            return function(*args, **kwargs)
        given = list(args)
        dt = given[inputs] if len(given) > inputs else kwargs.pop("dt", None)
        if inputs == 2 and all(is_obspy(value) for value in given[:2]):
            same_interval(function.__name__, given[0], given[1])
        for index in range(inputs):
            given[index], step = as_records(("acc", "h1", "h2")[index + inputs - 1], given[index], dt)
            dt = step
        return function(*given[:inputs], dt, *given[inputs + 1:], **kwargs)

    measured.__wrapped__ = function  # type: ignore[attr-defined]
    measured.__name__, measured.__qualname__, measured.__doc__ = function.__name__, function.__qualname__, function.__doc__
    measured.__module__ = function.__module__
    return measured


def processing_entry(model: str, convention: str, vs30: float, vs30_sim: float, pga_g: float | None,
                     epsilon: float = 0.0, own_peak: bool = False) -> str:
    """The line an amplified trace's stats.processing gains, in ObsPy's own form
    ("ObsPy 1.5.1: filter(options={...}::type='lowpass')"): what amplified it and with what,
    the PGA in g (`own_peak`: the record's own, as the models took it; None: not known here)."""
    pga = "the record's peak" if pga_g is None else repr(float(pga_g)) + (" (the record's peak)" if own_peak else "")
    moved = f"::epsilon={float(epsilon)!r}" if epsilon else ""
    return (f"vs30amp {__version__}: amplify_waveforms(model={model!r}::convention={convention!r}::"
            f"vs30={float(vs30)!r}::vs30_sim={float(vs30_sim)!r}::pga_g={pga}{moved})")


def amplified_traces(value: Any, samples: Any, entries: list[str]) -> Any:
    """Copies of `value`'s traces holding the amplified `samples` (one row a trace), their stats
    kept, each with its line of `entries` added to its processing."""
    copy = value.copy()
    traces = traces_of(copy)
    rows = np.reshape(samples, (len(traces), -1))
    for trace, row, entry in zip(traces, rows, entries, strict=True):
        trace.data = row
        trace.stats.processing = [*trace.stats.get("processing", []), entry]
    return copy
