"""The native code that must never see Python: the model, vector-math and response kernels and
the SIMD layer include only one another, the generated tables and the C++ and system headers, so
nothing reaches Python's or NumPy's headers, directly or through another header."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
KERNEL_ROOMS = ("models", "response_spectra", "simd", "vector_math")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


def foreign(path, bracket, name):
    if bracket == "<":
        return name in ("Python.h", "structmember.h") or name.startswith(("numpy/", "py", "Py"))
    return not (path.parent / name).is_file() and name.split("/")[0] not in (*KERNEL_ROOMS, "generated")


@pytest.mark.parametrize("room", KERNEL_ROOMS)
def test_kernel_rooms_include_nothing_of_python(room):
    sources = sorted(p for p in (SRC / room).iterdir() if p.suffix in (".cpp", ".hpp"))
    assert sources, f"src/{room} holds no sources"
    wrong = [f"{path.relative_to(SRC)}: {name}" for path in sources
             for bracket, name in INCLUDE.findall(path.read_text()) if foreign(path, bracket, name)]
    assert wrong == []
