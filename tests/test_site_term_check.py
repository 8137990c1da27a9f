"""examples/site_term_check.py runs and finds BA18's factors in the EAS of the amplified records."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "site_term_check.py"


def test_the_example_draws_its_figure_and_ba18_holds_on_records(tmp_path):
    pytest.importorskip("matplotlib")
    output = tmp_path / "check.png"
    result = subprocess.run([sys.executable, str(EXAMPLE), "--records", "2", "--output", str(output)],
                            capture_output=True, text=True, env=os.environ | {"MPLBACKEND": "Agg"}, check=True)
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    deviations = re.findall(r"^ba18 .*= ([0-9.]+)$", result.stdout, re.M)
    assert len(deviations) == 3 and max(map(float, deviations)) < 0.15, result.stdout
