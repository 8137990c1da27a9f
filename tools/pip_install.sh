#!/bin/sh
# vs30amp installed as users install it, on $VS30AMP_PYTHON (python3.13): `pip install .` and
# `pip install '.[all]'`, each into a fresh venv without the system's packages, with build
# isolation (scikit-build-core and NumPy fetched from the package index pip is configured for);
# then the wheel smoke test (tools/wheel_smoke.py) in the first venv against the source build,
# and the extras imported in the second. Skips, saying why, when no package index is reached.
set -eu
python=${VS30AMP_PYTHON:-python3.13}
tag=$(echo "$python" | sed 's/^python3\./py3/')
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if ! "$python" -m pip download --quiet --no-deps --only-binary=:all: -d "$tmp/probe" scikit-build-core \
    >"$tmp/probe.log" 2>&1; then
  echo "pip-install: skipped: no package index reached from here ($(tail -n 1 "$tmp/probe.log"))"
  exit 0
fi
install() {  # install VENV TARGET: a fresh venv with TARGET installed as pip does it by default
  "$python" -m venv "$tmp/$1"
  (cd "$tmp" && env -u PYTHONPATH "$tmp/$1/bin/python" -m pip install --quiet "$OLDPWD/$2") >"$tmp/$1.log" 2>&1 ||
    { cat "$tmp/$1.log" >&2; echo "pip-install: pip install $2 failed on $python" >&2; exit 1; }
  echo "pip-install: $python -m pip install $2: $("$tmp/$1/bin/python" -m pip list 2>/dev/null |
    grep -i -E '^(vs30amp|numpy|obspy|xarray) ' | tr -s ' ' | tr '\n' ';')"
}
install plain .
install all ".[all]"
VS30AMP_BUILD=build/$tag VS30AMP_PYTHON=$python tools/build.sh
VS30AMP_BUILD=build/$tag VS30AMP_PYTHON=$python tools/python.sh tools/wheel_smoke.py write "$tmp/smoke"
(cd "$tmp" && env -i PATH="$tmp/plain/bin" HOME="$tmp" "$tmp/plain/bin/python" "$OLDPWD/tools/wheel_smoke.py" check "$tmp/smoke")
(cd "$tmp" && env -i PATH="$tmp/all/bin" HOME="$tmp" "$tmp/all/bin/python" -c '
import vs30amp, xarray, netCDF4, matplotlib, tqdm, dask, distributed, scipy, zarr, obspy
print("pip-install: every extra imports beside vs30amp", vs30amp.__version__, "(ObsPy", obspy.__version__ + ")")')
