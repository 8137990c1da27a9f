"""The ``vs30amp`` command: amplification factors for a table of sites (``vs30amp factors``),
record files or a store amplified to each site's Vs30 (``vs30amp amplify``) and the measures of
records per station (``vs30amp measures``)."""

from __future__ import annotations

import argparse
import signal
import sys
from collections.abc import Sequence

from .._provenance import command_line
from .._version import __version__
from . import amplify, factors, measures
from ._errors import Parser, UsageError
from ._signals import Received, Terminated, stop_line, terminations_unwind
from ._terminal import keep_standard_descriptors, output_errors_suppressed

__all__ = ["main", "parser"]

EPILOG = """\
examples:
  vs30amp factors sites.csv --model ba18 --vs30-sim 760 -o factors.nc
  vs30amp amplify records/ --vs30 300 --vs30-sim 760 -o amplified/
  vs30amp amplify sims.nc --sites stations.csv --vs30-sim 760 -o amplified.zarr
  vs30amp measures amplified.zarr --rotd50 -o measures.nc

Each command's files, options and example: vs30amp COMMAND --help.
"""


def parser() -> argparse.ArgumentParser:
    top = Parser(prog="vs30amp", description="Vs30 site amplification factors for simulated ground motions.",
                         epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"vs30amp {__version__}")
    commands = top.add_subparsers(dest="command", required=True, parser_class=Parser)
    factors.add_parser(commands)
    amplify.add_parser(commands)
    measures.add_parser(commands)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status: 0, 2 after a one-line error on stderr, or
    128 + the signal's number after a SIGINT (130), SIGTERM or SIGHUP, with no output left half
    written. Without `argv` (the process's own command line) a signal that arrives after the
    run, while the interpreter exits, still ends the process with its line and status."""
    received = Received
    if argv is None:
        keep_standard_descriptors()
    with terminations_unwind(exiting=argv is None):
        status = _run(argv)
        with output_errors_suppressed():
            sys.stdout.flush()
    if received.signum is not None and not received.raised:  # came while the end was reported
        received.raised = True
        print(stop_line(received.signum), file=sys.stderr)
        status = 128 + received.signum
    return status


def _run(argv: Sequence[str] | None) -> int:
    """The command and its one line of error; signals are only recorded once it is done."""
    received = Received
    try:
        try:
            if not (sys.argv[1:] if argv is None else argv):  # nothing asked: what can be
                parser().print_help()
                received.held += 1
                return 2
            args = parser().parse_args(argv)
            # What the outputs' history says ran: as typed, or `vs30amp ...` for a call of main.
            args.command_line = command_line(sys.argv if argv is None else ["vs30amp", *argv])
            {"amplify": amplify.run, "factors": factors.run, "measures": measures.run}[args.command](args)
        except (UsageError, ImportError, OSError) as error:
            received.held += 1
            print(f"vs30amp: error: {error}", file=sys.stderr)
            return 2
        received.held += 1
        return 0
    except (KeyboardInterrupt, Terminated) as stop:
        received.held += 1
        signum = stop.signum if isinstance(stop, Terminated) else signal.SIGINT
        print(stop_line(signum), file=sys.stderr)
        return 128 + signum


if __name__ == "__main__":
    sys.exit(main())
