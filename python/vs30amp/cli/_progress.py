"""Progress of a long run on stderr: a bar on a terminal (tqdm, the "progress" extra), else a
line per step of work (a file, a station, a chunk), at most one per 5 % of a pass, for logs."""

from __future__ import annotations

import contextlib
import sys
import threading
from collections.abc import Iterator
from typing import Any

import numpy as np

from .._optional import require

# A run of more files or stations than this shows its progress; a shorter one ends before it
# would matter. A store's chunks are larger (at least 4 MiB of records): two of them show it.
PROGRESS_ABOVE = 10
# A pass that is not on a terminal says at most this many lines: one per step, or per 5 %.
LINES = 20
# The bars on the terminal now.
_BARS: set[Progress] = set()


def bar_shown() -> bool:
    """Whether a bar is on the terminal now: other status lines then keep quiet."""
    return bool(_BARS)


class Progress:
    """The progress of one run, pass after pass (`stage`): `advance` by steps done, or `reach`
    a number done (never backwards). Silent for runs of `above` steps or fewer."""

    def __init__(self, total: int, unit: str, what: str, above: int = PROGRESS_ABOVE) -> None:
        self.total, self.unit, self.what, self.done = total, unit, what, 0
        self.shown = total > above
        self.bar = _bar(total, unit, what) if self.shown and _terminal() else None
        self._lock = threading.Lock()  # chunks may finish on several threads
        if self.bar is not None:
            _BARS.add(self)

    def stage(self, what: str) -> None:
        """Begins another pass over the same steps, named `what` ("amplifying sims.nc")."""
        with self._lock:
            self.what, self.done = what, 0
            if self.bar is not None:
                self.bar.reset(total=self.total)
                self.bar.set_description(what)

    def advance(self, steps: int = 1) -> None:
        self.reach(self.done + steps)

    def reach(self, done: int) -> None:
        """`done` steps of the pass are done (a lower number than before is ignored)."""
        with self._lock:
            done = min(done, self.total)
            if done <= self.done:
                return
            before, self.done = self.done, done
            if self.bar is not None:
                self.bar.update(done - before)
                if done == self.total:  # drawn now: the next pass resets it
                    self.bar.refresh()
            elif self.shown and (self.total <= LINES or done * LINES // self.total > before * LINES // self.total):
                _say(f"vs30amp: {self.what}: {done} of {self.total} {self.unit}s ({100 * done // self.total}%)")

    def write(self, line: str, file: Any) -> None:
        """Prints `line` on `file` without breaking the bar."""
        if self.bar is not None:
            self.bar.write(line, file=file)
        else:
            print(line, file=file)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            _BARS.discard(self)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()


def _say(line: str) -> None:
    """A line on stderr, if there is one: progress that cannot be said never stops the run."""
    if sys.stderr is None:  # the process began without one (`2>&-`)
        return
    try:
        print(line, file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def _terminal() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):  # no stderr, or a closed one
        return False


def _bar(total: int, unit: str, what: str) -> Any:
    """A tqdm bar, or None without tqdm (lines then)."""
    try:
        return require("tqdm", "progress", "the progress bar").tqdm(total=total, unit=unit, desc=what)
    except ImportError:
        return None


@contextlib.contextmanager
def dask_progress(progress: Progress) -> Iterator[None]:
    """Within it, the tasks Dask finishes in this process (its threads, as the command computes a
    store without --scheduler) move `progress` on: the pass's steps in proportion to the tasks
    of the graph done. Graphs of fewer tasks than steps (coordinates, metadata) are not counted."""
    if not progress.shown:
        yield
        return
    callbacks = require("dask.callbacks", "distributed", "the progress of a store")

    def finished(key: Any, result: Any, dsk: Any, state: dict[str, Any], worker: Any) -> None:
        tasks = sum(len(state[name]) for name in ("ready", "waiting", "running", "finished"))
        if tasks >= progress.total:
            progress.reach(len(state["finished"]) * progress.total // tasks)

    with callbacks.Callback(posttask=finished):
        yield


def compute(progress: Progress, *arrays: Any) -> tuple[Any, ...]:
    """``dask.compute(*arrays)``, `progress` moved on a step for each chunk (along the first
    axis) of each array: through `dask_progress` on this process's threads, and on a
    ``dask.distributed`` cluster (a Client the default, as with --scheduler) as each chunk's
    result comes back. The same values either way: each chunk is the same task."""
    dask = require("dask", "distributed", "the progress of a store")
    client = _default_client()
    if client is None or not progress.shown:
        with dask_progress(progress):
            return tuple(dask.compute(*arrays))
    distributed = require("distributed", "distributed", "the progress of a store")
    blocks = [[array.blocks[i] for i in range(array.numblocks[0])] for array in arrays]
    futures = client.compute([block for chunks in blocks for block in chunks])
    for _ in distributed.as_completed(futures):
        progress.advance()
    results = iter(client.gather(futures))
    return tuple(np.concatenate([next(results) for _ in chunks]) for chunks in blocks)


def _default_client() -> Any:
    """The ``dask.distributed`` Client that computes Dask collections, or None."""
    try:
        return require("distributed", "distributed", "--scheduler").default_client()
    except (ImportError, ValueError):  # no distributed, or no Client
        return None
