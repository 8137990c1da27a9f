#!/bin/sh
# A wheel for each supported Python found here (python3.15, python3.14, python3.13) into DIR
# (default dist/), each installed into a fresh venv that reaches no compiler and smoke-tested
# there against the source build (tools/wheel_smoke.py), then into one filled from the package
# index.
#   tools/wheels.sh DIR           build, repair with auditwheel (where installed), smoke-test
#   tools/wheels.sh DIR repair    only repair the wheels left unrepaired in DIR/unrepaired by an
#                                 environment without auditwheel (Debian 13 has none)
#   tools/wheels.sh DIR check     only smoke-test the wheels of this environment's Pythons in DIR
set -eu
out=${1:-dist}
step=${2:-all}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

repair() {  # repair WHEEL: the wheel with the platform tag auditwheel finds, into $out
  python3 -m auditwheel show "$1" 2>/dev/null | tr '\n' ' ' | sed 's/  */ /g'; echo
  python3 -m auditwheel repair -w "$out" "$1" >"$tmp/audit.log" 2>&1 || { cat "$tmp/audit.log" >&2; exit 1; }
  rm "$1"
}

if [ "$step" = repair ]; then
  for wheel in "$out"/unrepaired/vs30amp-*.whl; do [ -f "$wheel" ] && repair "$wheel"; done
  rmdir "$out/unrepaired" 2>/dev/null || true
  ls "$out"/vs30amp-*.whl
  exit 0
fi

for python in python3.15 python3.14 python3.13; do
  command -v "$python" >/dev/null 2>&1 && "$python" -c 'import numpy' 2>/dev/null || continue
  tag=$(echo "$python" | sed 's/^python3\./py3/')
  abi=$(echo "$python" | sed 's/^python3\./cp3/')
  if [ "$step" = all ]; then
    echo "wheel: $python"
    VS30AMP_PYTHON=$python tools/wheel.sh "$tmp/$tag" >/dev/null
    rm -f "$out"/vs30amp-*-"$abi"-*.whl "$out"/unrepaired/vs30amp-*-"$abi"-*.whl
    if python3 -c 'import auditwheel' 2>/dev/null; then
      repair "$tmp/$tag"/vs30amp-*.whl
    else
      mkdir -p "$out/unrepaired" && cp "$tmp/$tag"/vs30amp-*.whl "$out/unrepaired/"
    fi
  fi
  wheel=$(ls "$out"/vs30amp-*-"$abi"-*.whl "$out"/unrepaired/vs30amp-*-"$abi"-*.whl 2>/dev/null | head -n 1)
  [ -n "$wheel" ] || { echo "wheels: no $abi wheel in $out" >&2; exit 1; }
  # The reference: the source build of the same Python.
  VS30AMP_BUILD=build/$tag VS30AMP_PYTHON=$python tools/build.sh
  VS30AMP_BUILD=build/$tag VS30AMP_PYTHON=$python tools/python.sh tools/wheel_smoke.py write "$tmp/$tag/smoke"
  "$python" -m venv --system-site-packages "$tmp/$tag/venv"
  venv=$tmp/$tag/venv/bin
  # Only the venv on PATH and the compilers named as missing: installing must not build.
  env -i PATH="$venv" HOME="$tmp" CC=/nonexistent/cc CXX=/nonexistent/c++ \
    "$venv/python" -m pip install --no-deps --no-index -q "$wheel"
  (cd "$tmp" && env -i PATH="$venv" HOME="$tmp" "$venv/python" "$OLDPWD/tools/wheel_smoke.py" check "$tmp/$tag/smoke")
  echo "wheel: $wheel"
  # Again in a venv filled from the package index pip is configured for (./run passes the host's
  # configuration in), NumPy as users get it; skipped, saying why, without an index or a NumPy
  # wheel for this Python there.
  index=$tmp/$tag/index
  pip_env=$(env | grep '^PIP_' || true)
  # shellcheck disable=SC2086  # one word per variable
  if env -i PATH=/usr/bin:/bin HOME="$tmp" $pip_env "$python" -m pip download -q --no-deps --only-binary=:all: \
      -d "$tmp/$tag/probe" numpy >"$tmp/$tag/probe.log" 2>&1; then
    "$python" -m venv "$index"
    # shellcheck disable=SC2086
    env -i PATH="$index/bin" HOME="$tmp" $pip_env CC=/nonexistent/cc CXX=/nonexistent/c++ \
      "$index/bin/python" -m pip install -q --only-binary=:all: "$wheel"
    (cd "$tmp" && env -i PATH="$index/bin" HOME="$tmp" "$index/bin/python" "$OLDPWD/tools/wheel_smoke.py" check \
      "$tmp/$tag/smoke" index)
    echo "wheel: $wheel, in a venv from the package index ($("$index/bin/python" -c 'import numpy; print("NumPy", numpy.__version__)'))"
  else
    echo "wheel: not checked in a venv from the package index on $python: $(tail -n 1 "$tmp/$tag/probe.log")"
  fi
done
