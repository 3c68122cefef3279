#!/usr/bin/env bash
# Builds the package into a virtual environment and runs the command-line tool
# on the bundled sample data (a GNSS track, observer/target pairs).
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/find-python.sh)
venv=.venv-demo
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q ".[cli]"
exec "$venv/bin/quorvane-ellipsoid" demo "$@"
