#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html, offline, with warnings
# as errors. Every page is read again and every gallery example run again, so
# a warning or a failing example of an earlier build is never hidden by the
# cache. Extra arguments go to sphinx-build.
set -euo pipefail
cd "$(dirname "$0")/.."
exec .venv/bin/python -m sphinx -b html -E -W --keep-going -q \
    -d docs/_build/doctrees docs docs/_build/html "$@"
