#!/bin/sh
# Inside the Debian 13 root: the peers' venv (made once at $VENV, kept), each peer of
# benchmarks/peers.txt installed into it on its own (one that fails is recorded with pip's last
# line and the rest go on), vs30amp's 3.13 build on its path, then benchmarks/peers.py with the
# arguments given; --check runs the agreement tests (tests/test_peers.py) instead, --python ARGS
# the venv's Python. pip reads the host's certificates and index, passed in by ./run.
set -eu
VENV=${VS30AMP_PEERS_VENV:-/var/cache/vs30amp/peers-venv}
export VS30AMP_BUILD=build/py313 VS30AMP_PYTHON=python3.13
tools/build.sh
mkdir -p "$VENV"
exec 9>"$VENV.lock"
flock 9
[ -x "$VENV/bin/python" ] || python3.13 -m venv --system-site-packages "$VENV"
want=$(grep -v '^#' benchmarks/peers.txt | sort)
if [ "$want" != "$(cat "$VENV/.installed" 2>/dev/null)" ]; then
  : >"$VENV/failed"
  for req in $want; do
    echo "peers: pip install $req" >&2
    if ! "$VENV/bin/python" -m pip install -q "$req" >"$VENV/pip.log" 2>&1; then
      printf '%s\t%s\n' "$req" "$(grep -v '^ *$' "$VENV/pip.log" | grep -iE 'error' | tail -n 1 | cut -c1-200)" >>"$VENV/failed"
      tail -n 5 "$VENV/pip.log" >&2
    fi
  done
  # Kept as installed only when all went in: a peer that failed (PyPI unreachable) is tried again.
  [ -s "$VENV/failed" ] || echo "$want" >"$VENV/.installed"
fi
export PYTHONPATH="$PWD/$VS30AMP_BUILD:$PWD/python" VS30AMP_PEERS_FAILED="$VENV/failed"
case "${1:-}" in
  --check) shift; exec "$VENV/bin/python" -m pytest -q -p no:cacheprovider -m peers tests/test_peers.py "$@" ;;
  --python) shift; exec "$VENV/bin/python" "$@" ;;
  *) exec "$VENV/bin/python" benchmarks/peers.py "$@" ;;
esac
