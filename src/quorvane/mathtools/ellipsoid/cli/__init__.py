"""The ``quorvane-ellipsoid`` command-line tool."""

from quorvane.mathtools.ellipsoid.cli.operations import (
    OPERATIONS,
    SAMPLE_OBSERVATIONS,
    SAMPLE_TRACK,
    build_parser,
    main,
    sample_path,
)

__all__ = ["OPERATIONS", "SAMPLE_OBSERVATIONS", "SAMPLE_TRACK", "build_parser", "main", "sample_path"]
