"""Geodesy on a reference ellipsoid of revolution.

The compiled module :mod:`quorvane.mathtools.ellipsoid.ellipsoid` holds the
``Ellipsoid`` type. This package adds helpers around it and does not import
the compiled module until it is needed.
"""

from pathlib import Path


def get_include() -> str:
    """Directory to add to the include path of a compiled module that uses the
    Ellipsoid kernel table (``quorvane/mathtools/ellipsoid/ellipsoid.h``), the
    geodetic records and the vector routines."""
    return str(Path(__file__).resolve().parents[3])
