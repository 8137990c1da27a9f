#!/bin/sh
# The test suite against the fresh build; arguments (files, -k ...) narrow it to those tests.
set -eu
if [ $# -eq 0 ]; then set -- tests; fi
exec tools/python.sh -m pytest -q "$@"
