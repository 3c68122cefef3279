#!/usr/bin/env bash
# Builds the package into a fresh virtual environment of its own (build/venv-test)
# and runs the whole test
# suite (warnings are errors in this build), then runs the suite again against
# an AddressSanitizer/UndefinedBehaviorSanitizer build (scripts/sanitize.sh).
#
#   bash scripts/test.sh [pytest arguments, relative to tests/]
#
# QUORVANE_SKIP_SANITIZE=1 skips the sanitizer run (about 4 minutes on 2 cores).
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/find-python.sh)
venv=build/venv-test  # its own: a developer's .venv is left alone
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -C cmake.define.QUORVANE_WERROR=ON ".[test]"
# Run from outside the source tree so the installed package is the one tested.
(cd tests && "../$venv/bin/python" -m pytest -q -p no:cacheprovider "$@")
if [ "${QUORVANE_SKIP_SANITIZE:-0}" != 1 ]; then
    bash scripts/sanitize.sh "$@"
fi
