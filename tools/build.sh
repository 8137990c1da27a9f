#!/bin/sh
# Configures (once) and builds the extension into $VS30AMP_BUILD (default build/py315) for
# $VS30AMP_PYTHON (default python3.15) with $VS30AMP_CXX (default: CMake's choice, g++ here).
# VS30AMP_BUILD_TYPE, VS30AMP_CXX_FLAGS and VS30AMP_LINK_FLAGS shape checking variants
# (tools/build_variant.sh). Before Python 3.15 only the package's native module is built.
set -eu
build=${VS30AMP_BUILD:-build/py315}
python=${VS30AMP_PYTHON:-python3.15}
mkdir -p "$build"
# One build of a directory at a time: commands run at once (./run test, CI) may share it.
exec 9>"$build.lock"
flock 9
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja ${VS30AMP_CXX:+-DCMAKE_CXX_COMPILER="$VS30AMP_CXX"} -DCMAKE_BUILD_TYPE="${VS30AMP_BUILD_TYPE:-Release}" \
    -DCMAKE_CXX_FLAGS="${VS30AMP_CXX_FLAGS:-}" -DCMAKE_MODULE_LINKER_FLAGS="${VS30AMP_LINK_FLAGS:-}" \
    -DPython_EXECUTABLE="$(command -v "$python")" -DVS30AMP_WERROR="${VS30AMP_WERROR:-OFF}" -DVS30AMP_PLAIN_MODELS=ON \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log" >&2; exit 1; }
fi
cmake --build "$build" >"$build.log" 2>&1 || { cat "$build.log" >&2; exit 1; }
test -n "$(ls "$build"/vs30amp/_native*.so 2>/dev/null)" || { echo "build: no vs30amp._native in $build" >&2; exit 1; }
if "$python" -c 'import sys; sys.exit(sys.version_info < (3, 15))'; then
  test -n "$(ls "$build"/_utils*.so 2>/dev/null)" || { echo "build: no _utils module in $build" >&2; exit 1; }
fi
