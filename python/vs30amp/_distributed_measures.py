"""The measures of records (PSA, RotDnn, FAS, EAS) over Dask arrays chunked by station.

Each chunk of records is one call of the in-memory function on that chunk, so its rows are
those of one direct call, bit for bit. The options are checked when the graph is built, by the
in-memory function itself on a two-sample record: a refused argument raises then, with the
message a direct call gives, and the probe's result gives the width of the output.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from . import _fourier, _response
from ._optional import require
from ._record_checks import check_shape, refuse_non_finite

# The fewest samples the measures take: the probe's length.
_PROBE_SAMPLES = 2


def _dask_array() -> Any:
    return require("dask.array", "distributed", "vs30amp.distributed")


def _records(da: Any, name: str, values: Any) -> Any:
    """`values` as a 2-D Dask array of whole records (chunked along stations only)."""
    records = check_shape(name, values if isinstance(values, da.Array) else da.asarray(np.asarray(values)),
                          _PROBE_SAMPLES)
    return records.reshape(1, -1) if records.ndim == 1 else records.rechunk({1: -1})


def _block(*chunks: Any, function: Callable[..., Any], names: tuple[str, ...], options: dict[str, Any],
           block_info: dict[Any, Any] | None = None) -> Any:
    """One chunk's measures; `block_info` (from Dask) places the chunk's first record among all."""
    first = int(block_info[0]["array-location"][0][0]) if block_info else 0
    for name, chunk in zip(names, chunks):
        refuse_non_finite(name, chunk, first)
    return function(*chunks, **options)


def _measure(function: Callable[..., Any], names: tuple[str, ...], values: tuple[Any, ...],
             options: dict[str, Any]) -> Any:
    """Lazy `function(*records, **options)`, one call per chunk of records; (n, W) float64, or
    (W,) when one record (m,) was given for each name."""
    da = _dask_array()
    probe = function(*(np.zeros(_PROBE_SAMPLES) for _ in names), **options)  # refuses bad options now
    records = [_records(da, name, value) for name, value in zip(names, values)]
    one = all(np.ndim(value) == 1 for value in values)
    for name, other in zip(names[1:], records[1:]):
        if other.shape != records[0].shape:
            raise ValueError(f"{name}: shape {np.shape(values[1])} differs from {names[0]}'s {np.shape(values[0])}")
    records = [records[0]] + [other.rechunk(records[0].chunks) for other in records[1:]]

    out = da.map_blocks(_block, *records, function=function, names=names, options=options,
                        chunks=(records[0].chunks[0], (probe.shape[-1],)), dtype=np.float64, meta=np.empty((0, 0)))
    return out[0] if one else out


def response_spectrum(acc: Any, dt: float, periods: Any = None, damping: float = 0.05, *,
                      samples_only: bool = False) -> Any:
    """Lazy PSA of `vs30amp.response_spectrum`, one call per chunk of records.

    Parameters
    ----------
    acc : dask array or array_like, shape (n, m) or (m,)
        Records, float32 or float64; rechunked to whole records (chunks only along stations).
    dt, periods, damping, samples_only
        As for `vs30amp.response_spectrum`, checked now. Each chunk runs on one thread (Dask's
        workers run the chunks side by side); non-finite samples raise from the computation,
        naming the record by its place among all.

    Returns
    -------
    dask.array.Array, shape (n, P) or (P,) for one record, float64

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> import vs30amp
    >>> import vs30amp.distributed as vd
    >>> t = np.arange(2000) * 0.01
    >>> acc = 0.1 * np.sin(2 * np.pi * t) * np.sin(np.pi * t / t[-1]) ** 2
    >>> records = da.from_array(np.stack([acc, 2 * acc, 3 * acc]), chunks=(2, -1))
    >>> psa = vd.response_spectrum(records, 0.01, [0.5, 1.0])
    >>> psa.shape, psa.chunks[0]
    ((3, 2), (2, 1))
    >>> direct = vs30amp.response_spectrum(records.compute(), 0.01, [0.5, 1.0])
    >>> bool((psa.compute(scheduler="synchronous") == direct).all())   # bit for bit
    True
    """
    options = {"dt": dt, "periods": periods, "damping": damping, "workers": 1, "samples_only": samples_only}
    return _measure(_response.response_spectrum, ("acc",), (acc,), options)


def rotd(h1: Any, h2: Any, dt: float, periods: Any = None, percentile: float = 50.0, damping: float = 0.05, *,
         samples_only: bool = False) -> Any:
    """Lazy RotDnn of `vs30amp.rotd`, one call per chunk of pairs.

    Parameters
    ----------
    h1, h2 : dask array or array_like, shape (n, m) or (m,)
        The two horizontal components, of one shape; `h2` is chunked as `h1`.
    dt, periods, percentile, damping, samples_only
        As for `vs30amp.rotd`, checked now.

    Returns
    -------
    dask.array.Array, shape (n, P) or (P,) for one pair, float64

    Examples
    --------
    >>> import numpy as np
    >>> import vs30amp.distributed as vd
    >>> t = np.arange(2000) * 0.01
    >>> h1 = 0.1 * np.sin(2 * np.pi * t) * np.sin(np.pi * t / t[-1]) ** 2
    >>> rotd50 = vd.rotd(h1, 0.5 * h1, 0.01, [1.0])
    >>> rotd50.shape, rotd50.compute(scheduler="synchronous") > 0
    ((1,), array([ True]))
    """
    options = {"dt": dt, "periods": periods, "percentile": percentile, "damping": damping, "workers": 1,
               "samples_only": samples_only}
    return _measure(_response.rotd, ("h1", "h2"), (h1, h2), options)


def fas(acc: Any, dt: float, frequencies: Any = None) -> Any:
    """Lazy smoothed Fourier amplitude spectra of `vs30amp.fas`, one call per chunk of records.

    Parameters
    ----------
    acc : dask array or array_like, shape (n, m) or (m,)
        Records, float32 or float64; rechunked to whole records (chunks only along stations).
    dt, frequencies
        As for `vs30amp.fas`, checked now. Each chunk runs on one thread.

    Returns
    -------
    dask.array.Array, shape (n, F) or (F,) for one record, float64

    Examples
    --------
    >>> import numpy as np
    >>> import vs30amp
    >>> import vs30amp.distributed as vd
    >>> acc = np.random.default_rng(0).standard_normal((4, 1024)) * np.hanning(1024)
    >>> spectra = vd.fas(acc, 0.01, [1.0, 5.0])
    >>> bool((spectra.compute(scheduler="synchronous") == vs30amp.fas(acc, 0.01, [1.0, 5.0])).all())
    True
    """
    options = {"dt": dt, "frequencies": frequencies, "workers": 1}
    return _measure(_fourier.fas, ("acc",), (acc,), options)


def eas(h1: Any, h2: Any, dt: float, frequencies: Any = None) -> Any:
    """Lazy smoothed effective amplitude spectra of `vs30amp.eas`, one call per chunk of pairs.

    Parameters
    ----------
    h1, h2 : dask array or array_like, shape (n, m) or (m,)
        The two horizontal components, of one shape; `h2` is chunked as `h1`.
    dt, frequencies
        As for `vs30amp.eas`, checked now. Each chunk runs on one thread.

    Returns
    -------
    dask.array.Array, shape (n, F) or (F,) for one pair, float64

    Examples
    --------
    >>> import numpy as np
    >>> import vs30amp
    >>> import vs30amp.distributed as vd
    >>> h1, h2 = np.random.default_rng(0).standard_normal((2, 3, 1024)) * np.hanning(1024)
    >>> spectra = vd.eas(h1, h2, 0.01, [1.0, 5.0])
    >>> spectra.shape, bool((spectra.compute(scheduler="synchronous") == vs30amp.eas(h1, h2, 0.01, [1.0, 5.0])).all())
    ((3, 2), True)
    """
    options = {"dt": dt, "frequencies": frequencies, "workers": 1}
    return _measure(_fourier.eas, ("h1", "h2"), (h1, h2), options)
