#!/bin/sh
# Builds the distributable wheel into dist/ with the environment's scikit-build-core.
set -eu
out=${1:-dist}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"${VS30AMP_PYTHON:-python3.15}" -m pip wheel . --no-deps --no-build-isolation --no-index \
  --config-settings=build-dir="$tmp/build" -w "$out" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; exit 1; }
ls "$out"/vs30amp-*.whl
