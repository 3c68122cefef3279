#!/usr/bin/env bash
# Builds the documentation site with the given Python, whose environment has the package and
# its docs extra installed (pip install '.[docs]'): warnings are errors, cross-references are
# checked (-n). Then runs every example of the pages (sphinx.ext.doctest: the >>> blocks, and the
# console sessions and example files of docs/_ext/examples.py) from the pages just read, so an
# example whose output changed fails. The figures are drawn from the committed bench/results/.
#
#   bash scripts/docs.sh PYTHON [OUTPUT_DIR]     # OUTPUT_DIR defaults to docs/_build/html
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:?usage: bash scripts/docs.sh PYTHON [OUTPUT_DIR]}
out=${2:-docs/_build/html}
doctrees=$out/.doctrees
# autosummary writes the API pages afresh: a module gone from the list leaves no page behind.
rm -rf docs/reference/api
# -E: read every page afresh.
"$python" -m sphinx -E -n -W --keep-going -q -d "$doctrees" -b html docs "$out"
"$python" -m sphinx -n -W --keep-going -q -d "$doctrees" -b doctest docs "$doctrees/doctest"
echo "docs.sh: the site is in $out/index.html; every example ran"
