"""The faces a user meets: the type stubs, the wheel, the demo and the Dask example."""

import os
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

import _utils

REPO = Path(__file__).resolve().parent.parent


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """A fresh venv (seeing the system's NumPy) with the wheel installed: its python."""
    tmp = tmp_path_factory.mktemp("installed")
    built = run([str(REPO / "tools" / "wheel.sh"), str(tmp / "dist")], cwd=REPO)
    assert built.returncode == 0, built.stderr
    wheel = next((tmp / "dist").glob("vs30amp-*.whl"))
    venv = tmp / "venv"
    assert run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)]).returncode == 0
    python = venv / "bin" / "python"
    done = run([str(python), "-m", "pip", "install", "--no-deps", "--no-index", str(wheel)])
    assert done.returncode == 0, done.stderr
    return python


def outside_checkout():
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}


def mypy_strict(installed, cwd, *checked):
    return run(["mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null", "--python-executable",
                str(installed), *checked], env=outside_checkout(), cwd=cwd)


# The files of tests/typing and the errors mypy must find in each.
TYPING = {
    "uses_all_functions.py": [],
    "uses_the_package.py": [],
    "passes_a_list.py": ['Argument 1 to "_campbell_bozorgnia_2014" has incompatible type "list[float]"'],
    "misuses_the_package.py": ['Argument "check_ranges" to "amplification" has incompatible type "str"'],
}


@pytest.fixture(scope="module")
def typing_checked(installed, tmp_path_factory):
    """One mypy run over every file of TYPING (mypy reads NumPy's stubs anew at each start)."""
    if shutil.which("mypy") is None:
        pytest.skip("mypy is not installed")
    tmp = tmp_path_factory.mktemp("typing")
    for name in TYPING:
        shutil.copy(REPO / "tests" / "typing" / name, tmp)
    result = mypy_strict(installed, tmp, *TYPING)
    assert f"(checked {len(TYPING)} source files)" in result.stdout, result.stdout + result.stderr
    return result.stdout


@pytest.mark.parametrize("name, errors", TYPING.items())
def test_mypy_strict_sees_the_installed_stubs(typing_checked, name, errors):
    found = "\n".join(line for line in typing_checked.splitlines()
                      if line.startswith(f"{name}:") and ": error:" in line)
    assert bool(found) == bool(errors), typing_checked
    assert all(error in found for error in errors), typing_checked


@pytest.mark.skipif(shutil.which("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_passes_the_packages_own_source(installed, tmp_path):
    result = mypy_strict(installed, tmp_path, str(REPO / "python" / "vs30amp"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_wheel_installs_and_works_in_a_fresh_venv(installed, tmp_path):
    script = (
        "import numpy as np, _utils, pathlib, vs30amp\n"
        "a = _utils._campbell_bozorgnia_2014(np.array([250.0]), np.array([760.0]), np.array([0.2]))\n"
        "assert abs(a[0, 0] - 1.897296407) < 1e-9\n"
        "assert _utils._bayless_abrahamson_2018_frequencies().shape == (301,)\n"
        "assert vs30amp.amplification(250, 760, 0.2, 'cb14').factors.tobytes() == a.tobytes()\n"
        "here = pathlib.Path(_utils.__file__).parent\n"
        "assert (here / '_utils-stubs' / '__init__.pyi').exists(), 'stub package not installed'\n"
        "assert (here / 'vs30amp' / 'py.typed').exists(), 'vs30amp not marked as typed'\n"
        "from importlib import metadata\n"
        "meta, dist = metadata.metadata('vs30amp'), metadata.distribution('vs30amp')\n"
        "assert meta['License-Expression'] == 'BSD-3-Clause', meta['License-Expression']\n"
        "assert sorted(meta.get_all('License-File')) == ['LICENSE', 'NOTICE'], meta.get_all('License-File')\n"
        "for name in ('LICENSE', 'NOTICE'):\n"
        f"    assert dist.read_text('licenses/' + name) == pathlib.Path({str(REPO)!r}, name).read_text(), name\n"
        "print(_utils.__file__, vs30amp.__file__)\n"
    )
    used = run([str(installed), "-c", script], env=outside_checkout(), cwd=tmp_path)
    assert used.returncode == 0, used.stderr
    assert used.stdout.count(str(installed.parent.parent)) == 2
    command = run([str(installed.parent / "vs30amp"), "factors", "--help"], env=outside_checkout(), cwd=tmp_path)
    assert command.returncode == 0 and "example:" in command.stdout, command.stderr


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    length, kind = struct.unpack(">I4s", data[8:16])
    assert kind == b"IHDR" and zlib.crc32(data[12:16 + length]) == struct.unpack(">I", data[16 + length:20 + length])[0]
    return struct.unpack(">II", data[16:24])


def test_demo_prints_tables_and_writes_a_plot(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "amplification.png"
    result = run([sys.executable, str(REPO / "examples" / "demo.py"), str(out)])
    assert result.returncode == 0, result.stderr
    for text in ("Campbell-Bozorgnia 2014: amplification factors", "Bayless-Abrahamson 2018 EAS: amplification factors",
                 "soft site, stiff simulation (200, 760, 0.2)", "2.6960"):
        assert text in result.stdout
    width, height = png_size(out)
    assert 600 <= width <= 4000 and 300 <= height <= 3000
    assert out.stat().st_size > 20_000  # curves and labels, not an empty canvas


def test_dask_example_matches_one_direct_call(tmp_path):
    pytest.importorskip("distributed")
    import vs30amp

    out = tmp_path / "factors.npz"
    result = run([sys.executable, str(REPO / "examples" / "dask_sites.py"), "--sites", "2500", "--chunk", "400",
                  "--workers", "2", "--records", "150", "--output", str(out)])
    assert result.returncode == 0, result.stderr
    saved = np.load(out)
    vs30, vs30_sim, pga = saved["vs30"], saved["vs30_sim"], saved["pga"]
    for name, direct in (("cb14", _utils._campbell_bozorgnia_2014), ("ba18", _utils._bayless_abrahamson_2018_eas)):
        expected = direct(vs30, vs30_sim, pga)
        assert saved[name].shape == expected.shape
        assert saved[name].tobytes() == expected.tobytes()
    amplified = vs30amp.amplify_waveforms(saved["acc"], 0.005, vs30[:150], vs30_sim[:150], fmax=25.0)
    assert saved["amplified"].tobytes() == amplified.tobytes()


@pytest.mark.parametrize("version, supported", [((3, 12, 9), False), ((3, 11, 7), False), (sys.version_info, True)])
def test_the_build_backend_names_the_supported_pythons_before_building(version, supported):
    """pip install . on an older Python: the in-tree backend says which Pythons, before anything is built."""
    program = (f"import sys; sys.version_info = {tuple(version)!r}; sys.path.insert(0, 'tools/backend');"
               "import vs30amp_backend as b; print(callable(b.build_wheel) and callable(b.get_requires_for_build_wheel))")
    done = run([sys.executable, "-c", program], cwd=REPO)
    if supported:
        assert (done.returncode, done.stdout) == (0, "True\n"), done.stderr
    else:
        assert done.returncode == 1 and done.stdout == ""
        assert done.stderr.startswith(f"vs30amp supports CPython 3.13, 3.14 and 3.15; this is Python "
                                      f"{version[0]}.{version[1]} ("), done.stderr


def test_every_example_is_run_by_a_test():
    """An example no test runs breaks unseen: each is run by name by some test of the suite."""
    tests = " ".join(path.read_text(encoding="utf-8") for path in (REPO / "tests").glob("test_*.py"))
    assert [path.name for path in (REPO / "examples").glob("*.py") if f'"{path.name}"' not in tests] == []
