"""``--scheduler``: where the chunks of a store run, Dask's threads in this process or a cluster.

On a cluster the chunks are chosen to fit the workers' memory (or the run is refused, saying
what a task needs), a terminal shows how many chunks are done, and a cluster that fails (its
scheduler lost, workers killed, every worker paused for lack of memory or none left) ends the
run with one line naming the scheduler; what was being written is removed as for any error.
"""

from __future__ import annotations

import contextlib
import logging
import sys
import threading
import time
import warnings
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from .. import io
from .._optional import require
from ._errors import UsageError
from ._signals import Terminated
from ._progress import bar_shown

HELP = "address of a running Dask scheduler (tcp://host:8786) to run a store's chunks on its cluster"
# How long to wait for the scheduler before the command gives up.
CONNECT_SECONDS = 10
# A worker pauses when its process takes this fraction of its memory limit (Dask's default).
PAUSE_FRACTION = 0.8
# How often the cluster is looked at, and how long it may have every worker paused, or none,
# before the run is given up.
POLL_SECONDS = 1.0
STALLED_SECONDS = 30.0
MIB = 2**20
# Bytes a task takes for each sample of a station it works on, at most (its records as read, in
# double precision and in the frequency domain, the result): amplifying one component, and the
# measures of a pair.
AMPLIFY_BYTES = 48
MEASURES_BYTES = 96


def add_scheduler_option(parser: Any) -> None:
    """Adds --scheduler to a subcommand that reads stores."""
    parser.add_argument("--scheduler", metavar="ADDRESS", help=HELP)


def _first_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0]}" if text else type(error).__name__


class Cluster:
    """The cluster of a connected Client: its workers' memory, the run's progress on a terminal,
    and why it failed (set by the watch when it gives the run up)."""

    def __init__(self, client: Any, address: str) -> None:
        self.client, self.address = client, address
        self.failure: str | None = None
        self._stop = threading.Event()
        self._shown = False
        self._watch = threading.Thread(target=self._watching, name="vs30amp-cluster-watch", daemon=True)

    def workers(self) -> list[dict[str, Any]]:
        return list(self.client.scheduler_info(n_workers=-1)["workers"].values())

    def stations_per_chunk(self, station_bytes: int, what: str) -> int | None:
        """The most stations a task may take for the worker with least memory to spare (None:
        no worker has a memory limit); UsageError when not even one station fits."""
        workers = self.workers()
        limited = [w for w in workers if w.get("memory_limit")]
        if not limited:
            return None
        worker = min(limited, key=lambda w: (PAUSE_FRACTION * w["memory_limit"] - w["metrics"]["memory"]) / w["nthreads"])
        limit, used = worker["memory_limit"], worker["metrics"]["memory"]
        room = (PAUSE_FRACTION * limit - used) / worker["nthreads"]
        if room < station_bytes:
            raise UsageError(f"--scheduler {self.address}: {what} of one station needs about "
                             f"{station_bytes / MIB:.0f} MiB and the worker with least memory has "
                             f"{max(room, 0) / MIB:.0f} MiB of it to spare for each of its threads ({worker['nthreads']}; "
                             f"limit {limit / MIB:.0f} MiB, pauses at {PAUSE_FRACTION:.0%}, "
                             f"{used / MIB:.0f} MiB in use); give the workers more memory")
        return int(room // station_bytes)

    def _stalled(self, workers: list[dict[str, Any]]) -> str | None:
        """Why nothing can run on the cluster now, or None."""
        if not workers:
            return "the cluster has no workers"
        paused = [w for w in workers if w.get("status") == "paused"]
        if len(paused) < len(workers):
            return None
        worker = paused[0]
        return (f"every worker is paused for lack of memory (one uses {worker['metrics']['memory'] / MIB:.0f} MiB "
                f"of its {worker['memory_limit'] / MIB:.0f} MiB); give the workers more memory")

    def _watching(self) -> None:
        stalled_since: float | None = None
        while not self._stop.wait(POLL_SECONDS):
            try:
                workers = self.workers()
            except Exception:  # noqa: BLE001 - a lost scheduler is reported by the computation itself
                continue
            self._show(workers)
            stalled = self._stalled(workers)
            if stalled is None:
                stalled_since = None
                continue
            stalled_since = stalled_since or time.monotonic()
            if time.monotonic() - stalled_since >= STALLED_SECONDS:
                self.failure = f"{stalled}; nothing ran for {STALLED_SECONDS:.0f} s"
                self.client.close(timeout=CONNECT_SECONDS)  # the computation waiting on it ends
                return

    def _show(self, workers: list[dict[str, Any]]) -> None:
        """The chunks done of those asked for, on a terminal's line of its own."""
        states = [state.status for state in list(self.client.futures.values())]
        if not states or bar_shown() or not sys.stderr.isatty():  # a pass's bar says it already
            return
        paused = sum(w.get("status") == "paused" for w in workers)
        line = (f"vs30amp: {self.address}: {states.count('finished')} of {len(states)} chunks done on "
                f"{len(workers)} workers" + (f" ({paused} paused for lack of memory)" if paused else ""))
        print(f"\r{line}\033[K", end="", file=sys.stderr, flush=True)
        self._shown = True

    @contextlib.contextmanager
    def watched(self) -> Iterator[None]:
        self._watch.start()
        try:
            yield
        finally:
            self._stop.set()
            self._watch.join()
            if self._shown:
                print("\r\033[K", end="", file=sys.stderr, flush=True)

    def lost(self, error: BaseException) -> str | None:
        """What happened to the cluster when `error` ended the run, or None when it is not the
        cluster's doing."""
        distributed = sys.modules["distributed"]
        if self.failure is not None:
            return self.failure
        if self.client.status not in ("running", "newly-created"):
            return "lost the connection to its scheduler"
        if isinstance(error, distributed.KilledWorker):
            return f"workers died running a task ({_first_line(error)})"
        if isinstance(error, distributed.client.FutureCancelledError) or type(error).__module__.startswith(
                ("distributed.", "tornado.")):
            return f"the cluster failed ({_first_line(error)})"
        return None


def fitted(path: Path, names: list[str] | None, cluster: Cluster | None, bytes_per_sample: int,
           what: str) -> Any:
    """The store at `path` read as `io.read_store` does, in chunks no larger than the cluster's
    workers have memory for (a task taking `bytes_per_sample` for each sample of a station)."""
    store = io.read_store(path, names)
    if cluster is None:
        return store
    first = next(iter(store.components.values()))
    most = cluster.stations_per_chunk(bytes_per_sample * first.shape[1], what)
    if most is None or most >= max(first.chunks[0]):
        return store
    with warnings.catch_warnings():  # chunks that split the file's own cost a re-read, nothing more
        warnings.filterwarnings("ignore", "The specified chunks separate the stored chunks", UserWarning)
        return io.read_store(path, names, stations_per_chunk=most)


@contextlib.contextmanager
def _quiet() -> Iterator[None]:
    """Dask's own log lines (lost connections, retries) kept off the command's stderr."""
    logging.disable(logging.CRITICAL)
    try:
        yield
    finally:
        logging.disable(logging.NOTSET)


@contextlib.contextmanager
def scheduler(address: str | None) -> Iterator[Cluster | None]:
    """Within it, Dask computes on the cluster at `address` (a Client connected for the
    duration, the Cluster yielded), or on its threads in this process when `address` is None
    (None yielded). A cluster that fails ends the run with UsageError naming `address`."""
    if address is None:
        yield None
        return
    distributed = require("distributed", "distributed", "--scheduler")
    with _quiet():
        try:
            client = distributed.Client(address, timeout=CONNECT_SECONDS, set_as_default=True)
        except Exception as error:  # noqa: BLE001 - a bad address, TLS without its context, no answer
            raise UsageError(f"--scheduler {address}: cannot connect ({_first_line(error)})") from None
        cluster = Cluster(client, address)
        try:
            with cluster.watched():
                yield cluster
        except (KeyboardInterrupt, Terminated):
            raise
        except BaseException as error:
            what = cluster.lost(error)
            if what is None:
                raise
            raise UsageError(f"--scheduler {address}: {what}; nothing was written") from None
        finally:
            with contextlib.suppress(Exception):
                client.close(timeout=CONNECT_SECONDS)
