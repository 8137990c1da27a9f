#!/bin/sh
# The test suite (or the tests given) in Debian's debug interpreter against a debug build of the
# modules (build/py315-debug): reference counts are kept there (the leak checks compare them)
# and CPython checks its API's use with assertions.
set -eu
if ! command -v python3.15d >/dev/null 2>&1; then
  echo "tests: no debug interpreter (python3.15d) here; the debug run is skipped" >&2
  exit 0
fi
debug_build=$(tools/build_variant.sh debug)
if [ $# -eq 0 ]; then set -- tests; fi
echo "tests: in the debug interpreter (python3.15d)"
VS30AMP_BUILD=$debug_build VS30AMP_PYTHON=python3.15d exec tools/python.sh -m pytest -q -p no:cacheprovider "$@"
