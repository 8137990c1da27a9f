"""What the benchmarks share to report: the machine, tables and the sections of results.md.

Imports NumPy only, so that a benchmark on another Python than the suite's (the peers' venv) can
use it.
"""

import os
import platform
import re
from pathlib import Path

import numpy as np


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        flags = next(line for line in Path("/proc/cpuinfo").read_text().splitlines() if line.startswith("flags"))
        seen = [f for f in flags.split(":", 1)[1].split() if f in ("avx2", "fma") or f.startswith("avx512")]
        cpu += f" ({' '.join(seen) or 'no AVX2'})"
    except (OSError, StopIteration):
        pass
    try:
        from numpy._core._multiarray_umath import __cpu_features__
        simd = "AVX-512" if __cpu_features__.get("AVX512_SKX") else "AVX2" if __cpu_features__.get("AVX2") else "baseline"
    except ImportError:
        simd = "unknown"
    return (f"{cpu}, {os.cpu_count()} cores; Python {platform.python_version()}, "
            f"NumPy {np.__version__} (SIMD: {simd})")


def table(header, rows):
    widths = [max(len(str(c)) for c in column) for column in zip(header, *rows)]
    line = lambda cells: "  ".join(str(c).rjust(w) for c, w in zip(cells, widths))  # noqa: E731
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def markdown(header, rows):
    return "\n".join(["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
                     + ["| " + " | ".join(str(c) for c in r) + " |" for r in rows])


def write_section(path, title, body):
    """Replaces the section "## `title`" of `path` (up to the next "## ") with `body`, or appends it."""
    text = f"## {title}\n\n{body}"
    old = path.read_text() if path.exists() else "# Benchmarks\n"
    pattern = re.compile(rf"^## {re.escape(title)}\n.*?(?=^## |\Z)", re.S | re.M)
    new = pattern.sub(lambda _: text, old) if pattern.search(old) else old.rstrip("\n") + "\n\n" + text
    path.write_text(new)
