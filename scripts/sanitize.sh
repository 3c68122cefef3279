#!/usr/bin/env bash
# Sanitizer run: builds the package with AddressSanitizer and
# UndefinedBehaviorSanitizer (the CMake option QUORVANE_SANITIZE) into a
# virtual environment of its own, then runs the whole test suite against it.
#
#   bash scripts/sanitize.sh [pytest arguments, relative to tests/]
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded into it. Set for the run:
#   ASAN_OPTIONS  detect_leaks=0: the interpreter keeps objects alive until
#                 exit by design (reference and memory leaks are what
#                 tests/test_leaks.py checks); allocator_may_return_null=1:
#                 an impossible allocation (a fuzzed shape) is a MemoryError,
#                 as without the sanitizer, not an abort.
#   PYTHONMALLOC=malloc   every allocation goes through the instrumented malloc.
#   QUORVANE_SANITIZED=1  tells the tests that resident-set sizes mean nothing
#                 here (ASan's quarantine holds freed memory back on purpose).
# Tests marked `slow` (time and memory bounds of the command-line tool) are
# deselected for the same reason.
#
# Any sanitizer report aborts the process, which fails the run.
#
# Environment: QUORVANE_SANITIZE_VENV (default build/venv-asan),
# QUORVANE_SANITIZE_BUILD_DIR (default build/asan), CXX (default c++; its
# runtime libraries are the ones preloaded), CMAKE_BUILD_PARALLEL_LEVEL
# (default 2).
#
# Time on two cores: about 1 minute to build from scratch, about 3 minutes for
# the suite (the fuzz and leak files take most of it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=$(bash scripts/find-python.sh)
venv=${QUORVANE_SANITIZE_VENV:-build/venv-asan}
build_dir=${QUORVANE_SANITIZE_BUILD_DIR:-build/asan}
cxx=${CXX:-c++}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

echo "sanitize.sh: building the C++ extension with ASan/UBSan into $venv (about 1 minute)..."
if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi
case "$venv" in /*) ;; *) venv="$root/$venv" ;; esac
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q scikit-build-core numpy
"$venv/bin/python" -m pip install -q --no-build-isolation -C "build-dir=$build_dir" \
    -C cmake.define.QUORVANE_SANITIZE=ON ".[test]"

runtime=""
for lib in libasan.so libubsan.so; do
    path=$("$cxx" -print-file-name="$lib")
    if [ ! -e "$path" ]; then
        echo "sanitize.sh: $cxx has no $lib" >&2
        exit 1
    fi
    runtime="${runtime:+$runtime:}$path"
done

echo "sanitize.sh: running the test suite under ASan/UBSan (the whole suite: about 3 minutes)..."
# Run from outside the source tree so the installed package is the one tested.
cd tests
LD_PRELOAD="$runtime" \
ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
UBSAN_OPTIONS="print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
PYTHONMALLOC=malloc \
QUORVANE_SANITIZED=1 \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not slow" "$@"
