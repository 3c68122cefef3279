# Shortcuts for the scripts in scripts/; see each script for what it does.

.PHONY: test dev docs sanitize fuzz-long fuzz-long-sanitized

# Build into a fresh build/venv-test and run the whole test suite, then again
# under the sanitizers.
test:
	bash scripts/test.sh

# An editable install into .venv that rebuilds the changed C++ on import.
dev:
	[ -x .venv/bin/python ] || $$(bash scripts/find-python.sh) -m venv .venv
	.venv/bin/python -m pip install -q scikit-build-core numpy
	.venv/bin/python -m pip install -q --no-build-isolation -C build-dir=build/dev \
		-C editable.rebuild=true -C editable.verbose=false -e ".[test,docs]"

# The documentation site into docs/_build/html, from the editable install in .venv (made by
# `make dev` when missing): warnings are errors and every example runs (scripts/docs.sh).
docs:
	[ -x .venv/bin/python ] && .venv/bin/python -c "import sphinx, sphinxarg, furo, myst_parser, matplotlib" \
		2>/dev/null || $(MAKE) dev
	bash scripts/docs.sh .venv/bin/python

# ASan/UBSan build, whole test suite under it.
sanitize:
	bash scripts/sanitize.sh

# The long fuzz run (Hypothesis profile "fuzz-long", some 200,000 calls), on
# the normal build (about 4 minutes) and on the sanitizer build (about 20).
fuzz-long:
	QUORVANE_SKIP_SANITIZE=1 QUORVANE_FUZZ=long bash scripts/test.sh test_fuzz.py

fuzz-long-sanitized:
	QUORVANE_FUZZ=long bash scripts/sanitize.sh test_fuzz.py
