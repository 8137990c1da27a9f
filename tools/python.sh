#!/bin/sh
# python3.15 with the freshly built _utils first on the path, then the vs30amp package source.
build=${VS30AMP_BUILD:-build/py315}
PYTHONPATH="$PWD/$build:$PWD/python${PYTHONPATH:+:$PYTHONPATH}" exec "${VS30AMP_PYTHON:-python3.15}" "$@"
