"""Running small Python programs in a fresh interpreter and reading back what they observed.

Behaviour that depends on process-wide state (whether NumPy is importable, which NumPy is found,
the one-time import of NumPy's array API table, sub-interpreters) can only be tested in a process
of its own. The child inherits the environment, so PYTHONPATH still points at the fresh build.
"""

import json
import os
import subprocess
import sys
import textwrap

INTERNAL_ERROR_PREFIX = "Failed to access NumPy array API capsule: "

# Helpers available to every child program.
CHILD_PRELUDE = r'''
import json
import sys


def outcome(fn, *args):
    """Call fn and describe its result or the exception it raised, as plain JSON data."""
    try:
        try:
            value = fn(*args)
        except Exception as exc:
            return {"kind": "exception", "type": type(exc).__name__, "message": str(exc)}
    except BaseException as exc:
        cls = type(exc)
        return {
            "kind": "base_exception",
            "type": cls.__name__,
            "qualname": cls.__qualname__,
            "module": cls.__module__,
            "direct_base_exception": cls.__bases__ == (BaseException,),
            "doc": cls.__doc__,
            "args_are_one_str": len(exc.args) == 1 and isinstance(exc.args[0], str),
            "message": str(exc),
            "class_id": id(cls),
        }
    return {
        "kind": "ok",
        "type": type(value).__module__ + "." + type(value).__qualname__,
        "values": [float(x) for x in value],
    }


def report(**observed):
    print("\n" + json.dumps(observed))
'''

# Makes every import of numpy (and its submodules) fail while BLOCKER.active is true.
BLOCK_NUMPY = r'''
class _NumpyBlocker:
    active = True

    def find_spec(self, name, path=None, target=None):
        if self.active and (name == "numpy" or name.startswith("numpy.")):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None


BLOCKER = _NumpyBlocker()
sys.meta_path.insert(0, BLOCKER)
'''


def run_child(code, *, timeout=120):
    """Runs the prelude followed by `code` in a new interpreter; returns the CompletedProcess."""
    program = CHILD_PRELUDE + "\n" + textwrap.dedent(code)
    return subprocess.run(
        [sys.executable, "-c", program],
        env=dict(os.environ),
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def run_child_report(code, *, timeout=120):
    """Runs `code` (which ends with a call of report(...)) and returns the reported dict."""
    proc = run_child(code, timeout=timeout)
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    )
    last = proc.stdout.rstrip().rsplit("\n", 1)[-1]
    return json.loads(last)
