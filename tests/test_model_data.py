"""The configure step that turns the coefficient CSVs into the kernels' arrays (cmake/model_data.cmake).

Columns are found by their header names, as CMakeLists.txt names them: a file with its columns
in another order gives the same arrays, and a file that lacks a named column stops the
configuration with a message naming the file and the column.
"""

import re
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
CMAKE = shutil.which("cmake")
pytestmark = pytest.mark.skipif(CMAKE is None, reason="cmake is not installed")

# The coefficient tables as CMakeLists.txt generates them: (CSV file name, the call's arguments
# after the CSV and the output).
CALLS = {
    Path(csv).name: rest.split()
    for csv, rest in re.findall(r"generate_coefficient_table\(\$\{DATA\}/(\S+)\s+\S+\s+([^)]*)\)",
                                (REPO / "CMakeLists.txt").read_text())
}


def generate(csv, tmp_path):
    """(exit status, generated header without its first line naming the CSV, stderr)."""
    output = tmp_path / f"{csv.stem}.hpp"
    output.unlink(missing_ok=True)
    script = tmp_path / "generate.cmake"
    arguments = " ".join(CALLS[csv.name])
    script.write_text(f'include("{REPO}/cmake/model_data.cmake")\n'
                      f'generate_coefficient_table("{csv}" "{output}" {arguments})\n')
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


def test_both_tables_are_generated():
    assert sorted(CALLS) == ["ba18_site_coefficients.csv", "cb14_site_coefficients.csv"]


@pytest.mark.parametrize("name", sorted(CALLS))
def test_column_order_does_not_matter(name, tmp_path):
    status, expected, _ = generate(REPO / "data" / name, tmp_path)
    assert status == 0 and "inline constexpr double" in expected
    status, header, _ = generate(rewritten(name, tmp_path, reversed_columns), tmp_path)
    assert status == 0
    assert header == expected


@pytest.mark.parametrize(
    "name, change, message",
    [
        ("ba18_site_coefficients.csv", renamed("f4", "f_4"), "no column 'f4' (for BA18_NL_AMPLITUDE)"),
        ("ba18_site_coefficients.csv", renamed("c8", "vs30_exponent"), "no column 'c8' (for BA18_VS30_EXPONENT)"),
        ("cb14_site_coefficients.csv", renamed("k2", "K2"), "no column 'k2' (for CB14_K2)"),
        ("ba18_site_coefficients.csv", doubled("f5"), "names column 'f5' twice"),
    ],
    ids=["ba18-renamed", "ba18-old-name", "cb14-case", "ba18-twice"],
)
def test_a_missing_or_doubled_column_stops_the_configuration(name, change, message, tmp_path):
    path = rewritten(name, tmp_path, change)
    status, header, stderr = generate(path, tmp_path)
    assert status != 0 and header is None
    assert str(path) in stderr and message in " ".join(stderr.split())
