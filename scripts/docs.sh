#!/usr/bin/env bash
# Builds the documentation site with the given Python, whose environment has the package and
# its docs extra installed (pip install '.[docs]'): warnings are errors, cross-references are
# checked (-n), and every example in the pages runs while its page is read, so an example whose
# output changed fails the build. The figures are drawn from the committed bench/results/.
#
#   bash scripts/docs.sh PYTHON [OUTPUT_DIR]     # OUTPUT_DIR defaults to docs/_build/html
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:?usage: bash scripts/docs.sh PYTHON [OUTPUT_DIR]}
out=${2:-docs/_build/html}
# -E: read every page afresh, so every example runs on every build.
"$python" -m sphinx -E -n -W --keep-going -q -b html docs "$out"
echo "docs.sh: the site is in $out/index.html"
