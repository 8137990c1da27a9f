"""``--scheduler``: where the chunks of a store run, Dask's threads in this process or a cluster."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import Any

from .._optional import require
from ._files import UsageError

HELP = "address of a running Dask scheduler (tcp://host:8786) to run a store's chunks on its cluster"
# How long to wait for the scheduler before the command gives up.
CONNECT_SECONDS = 10


def add_scheduler_option(parser: Any) -> None:
    """Adds --scheduler to a subcommand that reads stores."""
    parser.add_argument("--scheduler", metavar="ADDRESS", help=HELP)


@contextlib.contextmanager
def scheduler(address: str | None) -> Iterator[None]:
    """Within it, Dask computes on the cluster at `address` (a Client connected for the
    duration), or on its threads in this process when `address` is None."""
    if address is None:
        yield
        return
    distributed = require("distributed", "distributed", "--scheduler")
    try:
        client = distributed.Client(address, timeout=CONNECT_SECONDS, set_as_default=True)
    except (OSError, TimeoutError, ValueError) as error:
        raise UsageError(f"--scheduler: cannot connect to {address} ({error})") from None
    with client:
        yield
