#!/usr/bin/env bash
# Builds the package into a fresh virtual environment of its own (build/venv-test)
# and runs the whole test suite (warnings are errors in this build), then runs
# the suite again against an AddressSanitizer/UndefinedBehaviorSanitizer build
# (scripts/sanitize.sh). Without pytest arguments it also builds the documentation
# (scripts/docs.sh: warnings are errors, the examples run) and the wheel (scripts/wheel.sh:
# repaired by auditwheel, smoke-tested where no compiler is reachable). Prints one line per
# stage.
#
#   bash scripts/test.sh [pytest arguments, relative to tests/]
#
# Time on two cores: about 2 minutes to build, 6 for the suite, then about
# 14 for the sanitizer run, which QUORVANE_SKIP_SANITIZE=1 skips; QUORVANE_SKIP_DOCS=1
# skips the documentation, QUORVANE_SKIP_WHEEL=1 the wheel (about a minute).
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/find-python.sh)
venv=build/venv-test  # its own: a developer's .venv is left alone
rm -rf "$venv"
echo "test.sh: building the C++ extension into $venv, with the test dependencies (about 2 minutes)..."
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -C cmake.define.QUORVANE_WERROR=ON ".[test,docs]"
echo "test.sh: running the test suite (the whole suite: about 6 minutes)..."
# Run from outside the source tree so the installed package is the one tested.
(cd tests && "../$venv/bin/python" -m pytest -q -p no:cacheprovider "$@")
# The documentation once, on the whole run only: warnings are errors and every example runs.
if [ $# -eq 0 ] && [ "${QUORVANE_SKIP_DOCS:-0}" != 1 ]; then
    echo "test.sh: building the documentation, running its examples (scripts/docs.sh, about 1 minute)..."
    bash scripts/docs.sh "$venv/bin/python" build/docs-html
fi
# The wheel once, on the whole run only: built, repaired to a manylinux tag, installed where no
# compiler is reachable, and smoke-tested there.
if [ $# -eq 0 ] && [ "${QUORVANE_SKIP_WHEEL:-0}" != 1 ]; then
    echo "test.sh: the wheel, installed without a compiler (scripts/wheel.sh, about a minute)..."
    bash scripts/wheel.sh "$python"
fi
if [ "${QUORVANE_SKIP_SANITIZE:-0}" != 1 ]; then
    echo "test.sh: again under ASan/UBSan (scripts/sanitize.sh, about 14 minutes)"
    bash scripts/sanitize.sh "$@"
fi
