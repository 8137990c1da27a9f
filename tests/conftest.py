"""Before Python 3.15 there is no _utils: only the package's tests run, the files that test
_utils itself (those importing it or its call helpers at the top) are not collected.

--cpu-durations=N lists the N tests that took most CPU time (the test process's and its
children's) and each file's total: on a shared machine wall-clock durations measure the load."""

import re
import resource
import sys
from collections import Counter
from pathlib import Path

import pytest

collect_ignore = []
if sys.version_info < (3, 15):
    _UTILS_IMPORT = re.compile(r"^(import _utils|from call_helpers import|import call_helpers)", re.MULTILINE)
    collect_ignore = [path.name for path in Path(__file__).parent.glob("test_*.py")
                      if _UTILS_IMPORT.search(path.read_text())]

_CPU_SECONDS = Counter()


def pytest_configure(config):
    config.addinivalue_line("markers", "peers: vs30amp against the field's own tools (./run peers --check)")


def pytest_addoption(parser):
    parser.addoption("--cpu-durations", type=int, metavar="N", default=None,
                     help="list the N tests that took most CPU time, their children's included")


def _cpu_seconds():
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    start = _cpu_seconds()
    yield
    _CPU_SECONDS[item.nodeid] += _cpu_seconds() - start


def pytest_terminal_summary(terminalreporter, config):
    count = config.getoption("cpu_durations")
    if count is None:
        return
    write = terminalreporter.write_line
    terminalreporter.section(f"CPU time: the {count} costliest tests, then each file's")
    for nodeid, seconds in _CPU_SECONDS.most_common(count):
        write(f"{seconds:8.2f}s {nodeid}")
    files = Counter()
    for nodeid, seconds in _CPU_SECONDS.items():
        files[nodeid.split("::")[0]] += seconds
    for name, seconds in files.most_common():
        write(f"{seconds:8.2f}s {name}")
    write(f"{sum(files.values()):8.2f}s in all")
