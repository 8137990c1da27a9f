#!/bin/sh
# Configures (once) and builds a checking variant of the extension beside the normal build
# ($VS30AMP_BUILD, default build/py315), and prints its directory:
#   debug     for Debian's debug interpreter python3.15d, with its headers (reference
#             counting in debug mode) and with CPython's assertions left on
#   sanitize  for python3.15, instrumented with AddressSanitizer and UndefinedBehaviorSanitizer
#             (the ASan runtime must then be preloaded into the interpreter)
set -eu
kind=$1
base=${VS30AMP_BUILD:-build/py315}
build=$base-$kind
case "$kind" in
  debug)
    python=python3.15d
    flags="-O2 -g"
    link=""
    ;;
  sanitize)
    python=python3.15
    flags="-O2 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
    link="-fsanitize=address,undefined"
    ;;
  *) echo "build_variant: unknown variant '$kind' (debug, sanitize)" >&2; exit 2 ;;
esac
mkdir -p "$build"
if [ ! -f "$build/build.ninja" ]; then
  # Debian's debug include directory holds symbolic links to the release headers beside its own
  # pyconfig.h; searched as a system directory, GCC follows the links and finds the release
  # pyconfig.h (no Py_DEBUG), so the Python headers are searched as ordinary ones here.
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$link" -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON \
    -DPython_EXECUTABLE="$(command -v "$python")" -DVS30AMP_WERROR="${VS30AMP_WERROR:-OFF}" \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log" >&2; exit 1; }
fi
cmake --build "$build" >"$build.log" 2>&1 || { cat "$build.log" >&2; exit 1; }
test -n "$(ls "$build"/_utils*.so 2>/dev/null)" || { echo "build_variant: no _utils module in $build" >&2; exit 1; }
echo "$build"
