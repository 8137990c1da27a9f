#!/bin/sh
# The package's tests on $VS30AMP_PYTHON (python3.14, python3.13) against its own build of the
# native module in $VS30AMP_BUILD; before 3.15 the tests of _utils itself are not collected
# (tests/conftest.py). Arguments narrow the run as pytest's do.
set -eu
python=${VS30AMP_PYTHON:?VS30AMP_PYTHON names the interpreter}
if ! command -v "$python" >/dev/null 2>&1; then
  echo "tests: no $python here; its run is skipped" >&2
  exit 0
fi
export VS30AMP_BUILD=${VS30AMP_BUILD:-build/$(echo "$python" | sed "s/^python3\./py3/")}
tools/build.sh
echo "tests: the package on $python ($("$python" -c 'import numpy; print("NumPy", numpy.__version__)'))"
if [ $# -eq 0 ]; then set -- tests; fi
exec tools/python.sh -m pytest -q -p no:cacheprovider "$@"
