#!/bin/sh
# The test suite (or the tests given) against a build of the modules by Clang in
# build/py315-clang; the exactness tests then hold for Clang's code as for GCC's.
set -eu
export VS30AMP_CXX=clang++ VS30AMP_BUILD=${VS30AMP_BUILD:-build/py315}-clang
tools/build.sh
if [ $# -eq 0 ]; then set -- tests; fi
echo "tests: against the build by $(clang++ --version | head -n 1)"
exec tools/python.sh -m pytest -q -p no:cacheprovider "$@"
