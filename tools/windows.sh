#!/bin/sh
# Windows x86-64 as far as Linux reaches: the model kernels and the vector-math gate built with
# mingw-w64 (build/windows), and their check against the plain formulas (tests/kernel_check.cpp)
# run under Wine, where the C library is Windows' (docs/windows.md).
set -eu
build=${VS30AMP_BUILD_WINDOWS:-build/windows}
mkdir -p "$build"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=AMD64 \
    -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix -DCMAKE_BUILD_TYPE=Release -DVS30AMP_KERNELS_ONLY=ON \
    -DVS30AMP_WERROR="${VS30AMP_WERROR:-OFF}" >"$build.configure.log" 2>&1 || { cat "$build.configure.log" >&2; exit 1; }
fi
cmake --build "$build" >"$build.log" 2>&1 || { cat "$build.log" >&2; exit 1; }
file "$build/kernel_check.exe"
# A private Wine prefix in the build folder; Wine's own messages are silenced.
export WINEPREFIX="$PWD/$build/wine" WINEDEBUG=-all XDG_RUNTIME_DIR="$PWD/$build/runtime"
mkdir -p "$WINEPREFIX" && mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
exec wine "$build/kernel_check.exe"
