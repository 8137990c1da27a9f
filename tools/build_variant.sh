#!/bin/sh
# Builds a checking variant of the extension beside the normal build ($VS30AMP_BUILD, default
# build/py315) and prints its directory:
#   debug     for Debian's debug interpreter python3.15d (reference counting in debug mode),
#             with CPython's assertions left on
#   sanitize  for python3.15, instrumented with AddressSanitizer and UndefinedBehaviorSanitizer
#             (the ASan runtime must then be preloaded into the interpreter)
# Both are Debug builds (no NDEBUG); the module's own flags still compile them at -O2.
set -eu
kind=$1
build=${VS30AMP_BUILD:-build/py315}-$kind
case "$kind" in
  debug)
    VS30AMP_PYTHON=python3.15d VS30AMP_CXX_FLAGS="" VS30AMP_LINK_FLAGS="" ;;
  sanitize)
    VS30AMP_PYTHON=python3.15
    VS30AMP_CXX_FLAGS="-fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
    VS30AMP_LINK_FLAGS="-fsanitize=address,undefined" ;;
  *) echo "build_variant: unknown variant '$kind' (debug, sanitize)" >&2; exit 2 ;;
esac
VS30AMP_BUILD=$build VS30AMP_BUILD_TYPE=Debug VS30AMP_PYTHON=$VS30AMP_PYTHON VS30AMP_CXX_FLAGS=$VS30AMP_CXX_FLAGS \
  VS30AMP_LINK_FLAGS=$VS30AMP_LINK_FLAGS tools/build.sh >&2
echo "$build"
