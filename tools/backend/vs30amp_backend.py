"""The build backend of ``pip install .``: scikit-build-core's, once the Python is one the package
supports. Checked before anything else, so an older Python is told which ones are supported
instead of failing while it fetches or runs the build requirements (which pyproject.toml asks
only of supported Pythons)."""

import sys

# As vs30amp/__init__.py and pyproject.toml's requires-python say.
SUPPORTED = "CPython 3.13, 3.14 and 3.15"

if sys.version_info < (3, 13):
    sys.exit(f"vs30amp supports {SUPPORTED}; this is Python {sys.version_info[0]}.{sys.version_info[1]} "
             f"({sys.executable}): install it with one of those, e.g. python3.13 -m pip install .")

from scikit_build_core.build import *  # noqa: E402,F403  (the hooks pip calls)
