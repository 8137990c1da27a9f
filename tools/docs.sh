#!/bin/sh
# The documentation site into build/docs/html, warnings as errors; then every Python example of
# its pages (tools/docs_examples.py) and every docstring's Examples section.
set -eu
out=${VS30AMP_DOCS_OUT:-build/docs}
rm -rf "$out/doctrees"
MPLBACKEND=Agg tools/python.sh -m sphinx -W --keep-going -q -b html -d "$out/doctrees" docs "$out/html"
echo "docs: the site is in $out/html"
MPLBACKEND=Agg tools/python.sh -m pytest -q -p no:cacheprovider --doctest-modules \
  -o doctest_optionflags="NORMALIZE_WHITESPACE ELLIPSIS" --ignore=python/vs30amp/__main__.py \
  python/vs30amp tools/docs_examples.py
