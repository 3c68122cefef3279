#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter: python3.13 on PATH, else pyenv's.
set -euo pipefail
for candidate in "$(command -v python3.13 2>/dev/null || true)" \
                 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] &&
       "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
        echo "$candidate"
        exit 0
    fi
done
echo "no CPython 3.13 found (install python3.13 or pyenv's 3.13)" >&2
exit 1
