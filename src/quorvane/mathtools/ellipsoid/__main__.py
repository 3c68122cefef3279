"""``python -m quorvane.mathtools.ellipsoid``: the command-line tool."""

import sys

from quorvane.mathtools.ellipsoid.cli import main

sys.exit(main())
