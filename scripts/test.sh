#!/usr/bin/env bash
# Builds the package into a fresh virtual environment and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/find-python.sh)
venv=.venv
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q ".[test]"
# Run from outside the source tree so the installed package is the one tested.
cd tests
exec "../$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
