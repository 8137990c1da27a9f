#!/bin/sh
# python3.15 with the freshly built _utils first on the path, then the vs30amp package source,
# then the packages no Debian package carries, installed for this build's Python in $build-site
# (./run's ObsPy for 3.13).
build=${VS30AMP_BUILD:-build/py315}
site=
[ -d "$build-site" ] && site=":$PWD/$build-site"
PYTHONPATH="$PWD/$build:$PWD/python$site${PYTHONPATH:+:$PYTHONPATH}" exec "${VS30AMP_PYTHON:-python3.15}" "$@"
