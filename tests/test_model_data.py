"""The configure step that turns the coefficient CSVs into the kernels' arrays (cmake/model_data.cmake).

Every data/<model>_site_coefficients.csv becomes generated/<model>_site_coefficients.hpp, one array
per column named after its symbol (<MODEL>_<SYMBOL>): a file with its columns in another order
gives the same arrays, a symbol that is not a lower-case name or is named twice stops the
configuration with a message naming the file and the column, and a file that lacks a column its
kernel reads stops the kernel's compilation naming the array.
"""

import shutil
import subprocess
from pathlib import Path

import pytest

import vs30amp

REPO = Path(__file__).resolve().parent.parent
CMAKE = shutil.which("cmake")
pytestmark = pytest.mark.skipif(CMAKE is None, reason="cmake is not installed")

# The coefficient tables CMakeLists.txt finds by their names.
TABLES = sorted(path.name for path in (REPO / "data").glob("*_site_coefficients.csv"))


def generate(csv, tmp_path):
    """(exit status, generated header without its first line naming the CSV, stderr)."""
    output = tmp_path / "generated" / f"{csv.stem}.hpp"
    output.unlink(missing_ok=True)
    script = tmp_path / "generate.cmake"
    script.write_text(f'include("{REPO}/cmake/model_data.cmake")\n'
                      f'generate_site_coefficients("{csv}" "{tmp_path / "generated"}")\n'
                      f'generate_model_constants("{REPO}/data/model_constants.csv" '
                      f'"{tmp_path / "generated" / "model_constants.hpp"}")\n')
    done = subprocess.run([CMAKE, "-P", str(script)], capture_output=True, text=True)
    header = output.read_text().split("\n", 1)[1] if output.exists() else None
    return done.returncode, header, done.stderr


def rewritten(name, tmp_path, change):
    """data/<name> with its header and rows, as lists of fields, passed through change()."""
    lines = (REPO / "data" / name).read_text().splitlines()
    first = next(i for i, line in enumerate(lines) if line and not line.startswith("#"))
    table = change([line.split(",") for line in lines[first:]])
    path = tmp_path / "data" / name
    path.parent.mkdir(exist_ok=True)
    path.write_text("\n".join(lines[:first] + [",".join(fields) for fields in table]) + "\n")
    return path


def reversed_columns(table):
    return [fields[::-1] for fields in table]


def renamed(old, new):
    return lambda table: [[new if f == old else f for f in table[0]]] + table[1:]


def doubled(column):
    def change(table):
        at = table[0].index(column)
        return [fields + [fields[at]] for fields in table]
    return change


def test_every_models_table_is_generated():
    assert TABLES == sorted(model.coefficients[0] for model in vs30amp.MODELS.values())


@pytest.mark.parametrize("name", TABLES)
def test_column_order_does_not_matter(name, tmp_path):
    status, expected, _ = generate(REPO / "data" / name, tmp_path)
    assert status == 0 and "inline constexpr double" in expected
    status, header, _ = generate(rewritten(name, tmp_path, reversed_columns), tmp_path)
    assert status == 0
    assert header == expected


@pytest.mark.parametrize(
    "name, change, message",
    [
        ("cb14_site_coefficients.csv", renamed("k2", "K2"), "column 'K2' is not a lower-case symbol"),
        ("ba18_site_coefficients.csv", renamed("f4", "f-4"), "column 'f-4' is not a lower-case symbol"),
        ("ba18_site_coefficients.csv", doubled("f5"), "names column 'f5' twice"),
    ],
    ids=["cb14-case", "ba18-not-a-name", "ba18-twice"],
)
def test_a_misnamed_or_doubled_column_stops_the_configuration(name, change, message, tmp_path):
    path = rewritten(name, tmp_path, change)
    status, header, stderr = generate(path, tmp_path)
    assert status != 0 and header is None
    assert str(path) in stderr and message in " ".join(stderr.split())


KERNELS = {"ba18_site_coefficients.csv": "bayless_abrahamson_2018.cpp",
           "cb14_site_coefficients.csv": "campbell_bozorgnia_2014.cpp"}


@pytest.mark.skipif(shutil.which("g++") is None, reason="g++ is not installed")
@pytest.mark.parametrize("name, change, array", [
    ("ba18_site_coefficients.csv", renamed("f4", "f_4"), "BA18_F4"),
    ("ba18_site_coefficients.csv", renamed("c8", "vs30_exponent"), "BA18_C8"),
    ("cb14_site_coefficients.csv", renamed("k1", "k_1"), "CB14_K1"),
])
def test_a_column_its_kernel_reads_missing_stops_the_build(name, change, array, tmp_path):
    def compiles():
        return subprocess.run(["g++", "-std=c++20", "-fsyntax-only", "-I", str(REPO / "src"), "-I", str(tmp_path),
                               str(REPO / "src" / "models" / KERNELS[name])], capture_output=True, text=True)

    assert generate(REPO / "data" / name, tmp_path)[0] == 0 and compiles().returncode == 0
    assert generate(rewritten(name, tmp_path, change), tmp_path)[0] == 0
    done = compiles()
    assert done.returncode != 0 and array in done.stderr
