"""The tool's name and its two kinds of error, as its messages show them: bad input data
(exit status 1) and inconsistent options (exit status 2)."""

from __future__ import annotations

PROG = "quorvane-ellipsoid"
INSTALL_HINT = "pip install 'quorvane-ellipsoid[cli]'"


class InputError(Exception):
    """Bad input data, reported with the file, line and column where it was found."""

    def __init__(
        self,
        source: str,
        message: str,
        line: int | None = None,
        column: str | None = None,
        row: int | None = None,
    ) -> None:
        where = source
        if line is not None:
            where += f", line {line}"
        if row is not None:
            where += f", row {row}"
        if column is not None:
            where += f", column {column!r}"
        super().__init__(f"{where}: {message}")


class UsageError(Exception):
    """Inconsistent command-line options."""
