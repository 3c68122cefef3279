# Shortcuts for the scripts in scripts/; see each script for what it does.

.PHONY: test sanitize fuzz-long fuzz-long-sanitized

# Build into a fresh .venv and run the whole test suite.
test:
	bash scripts/test.sh

# ASan/UBSan build, whole test suite under it.
sanitize:
	bash scripts/sanitize.sh

# The long fuzz run (Hypothesis profile "fuzz-long"), on the normal build and
# on the sanitizer build.
fuzz-long:
	QUORVANE_FUZZ=long bash scripts/test.sh test_fuzz.py

fuzz-long-sanitized:
	QUORVANE_FUZZ=long bash scripts/sanitize.sh test_fuzz.py
