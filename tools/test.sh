#!/bin/sh
# The test suite against the fresh build; arguments (files, -k ...) narrow it to those tests.
# Without arguments the suite then runs a second time, in Debian's debug interpreter against a
# debug build of the module: reference counts are kept there (the leak checks compare them)
# and CPython checks its API's use with assertions.
set -eu
if [ $# -gt 0 ]; then exec tools/python.sh -m pytest -q "$@"; fi
tools/python.sh -m pytest -q tests
if ! command -v python3.15d >/dev/null 2>&1; then
  echo "tests: no debug interpreter (python3.15d) here; the debug run is skipped" >&2
  exit 0
fi
echo "tests: again in the debug interpreter (python3.15d)"
debug_build=$(tools/build_variant.sh debug)
VS30AMP_BUILD=$debug_build VS30AMP_PYTHON=python3.15d exec tools/python.sh -m pytest -q tests
