"""The smoke test of an installed wheel: `write DIR` in the source build saves the factors of
both models for a few sites and the output of one amplify run; `check DIR` in the wheel's venv
computes the same and compares bit for bit, and checks the command's version (`check DIR NAME`:
in DIR/NAME, for a second venv checked against the same reference)."""

import subprocess
import sys
from pathlib import Path

import numpy as np

import vs30amp

SITES = (np.array([180.0, 250.0, 400.0, 760.0, 1100.0, 1500.0]), np.full(6, 760.0),
         np.array([0.05, 0.2, 0.4, 0.8, 1.2, 0.01]))
RECORD = Path(__file__).resolve().parent.parent / "tests" / "data" / "NIS090.AT2"


def vs30amp_command(*args):
    """The command as the environment installs it: the script beside the interpreter in a venv,
    `python -m vs30amp` in the source build."""
    script = Path(sys.executable).with_name("vs30amp")
    command = [str(script)] if script.exists() else [sys.executable, "-m", "vs30amp"]
    done = subprocess.run(command + list(args), capture_output=True, text=True)
    assert done.returncode == 0, f"{' '.join(command + list(args))}: {done.stderr}"
    return done.stdout


def results(workdir):
    workdir.mkdir(parents=True)
    amplified = workdir / "amplified"
    vs30amp_command("amplify", str(RECORD), "--vs30", "300", "--vs30-sim", "760", "--model", "ba18", "-o",
                    str(amplified))
    return {"cb14": vs30amp.amplification(*SITES, model="cb14").factors,
            "ba18": vs30amp.amplification(*SITES, model="ba18").factors,
            "ba18_published": vs30amp.amplification(*SITES, model="ba18", convention="published").factors,
            "amplified": np.frombuffer((amplified / RECORD.name).read_bytes(), np.uint8)}


def main():
    mode, folder = sys.argv[1], Path(sys.argv[2])
    folder.mkdir(parents=True, exist_ok=True)
    if mode == "write":
        np.savez(folder / "reference.npz", **results(folder / "source"))
        return
    reference = np.load(folder / "reference.npz")
    here = results(folder / (sys.argv[3] if len(sys.argv) > 3 else "wheel"))  # one folder per venv checked
    for name, values in here.items():
        assert values.tobytes() == reference[name].tobytes(), f"{name} differs from the source build's"
    version = vs30amp_command("--version").strip()
    assert version == f"vs30amp {vs30amp.__version__}", version
    assert "site-packages" in vs30amp.__file__, vs30amp.__file__
    if sys.version_info >= (3, 15):
        import _utils
        assert "site-packages" in _utils.__file__, _utils.__file__
    print(f"{Path(vs30amp.__file__).parent.parent}: factors and amplify as the source build, {version}")


if __name__ == "__main__":
    main()
