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


# Lazy re-exports: importing the package loads neither the catalogue nor the compiled module.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from quorvane.mathtools.ellipsoid import catalogue
    from quorvane.mathtools.ellipsoid.catalogue import get as get_ellipsoid
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = ["Ellipsoid", "catalogue", "get_ellipsoid", "get_include"]

_LAZY = {
    "catalogue": ("catalogue", None),
    "get_ellipsoid": ("catalogue", "get"),
    "Ellipsoid": ("ellipsoid", "Ellipsoid"),
}


def __getattr__(name: str) -> object:
    import importlib

    if name not in _LAZY:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    module_name, attribute = _LAZY[name]
    module = importlib.import_module(f"{__name__}.{module_name}")
    return module if attribute is None else getattr(module, attribute)
