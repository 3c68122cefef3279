"""Named reference ellipsoids.

Each entry records the equatorial radius ``Re`` (metres) and the inverse flattening ``1/f``
as published for that ellipsoid, with a short note on where the values come from.
:func:`get` returns a ready :class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid`::

    >>> from quorvane.mathtools.ellipsoid import catalogue
    >>> wgs84 = catalogue.get("wgs84")
    >>> wgs84.Re
    6378137.0

Names are matched without regard to case, spaces, hyphens, underscores and dots, so
``"WGS 84"``, ``"wgs-84"`` and ``"WGS84"`` are the same entry. Importing this module does not
import the compiled extension; :func:`get` does, on first use.
"""

from __future__ import annotations

import functools
from collections.abc import Mapping
from dataclasses import dataclass
from types import MappingProxyType
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "DEFAULT",
    "REFERENCE_ELLIPSOIDS",
    "ReferenceEllipsoid",
    "get",
    "lookup",
    "names",
]


@dataclass(frozen=True)
class ReferenceEllipsoid:
    """Defining parameters of a named reference ellipsoid.

    ``Re`` is the equatorial radius in metres and ``inv_f`` the inverse flattening ``1/f``;
    ``source`` says where the numbers come from.
    """

    name: str
    Re: float
    inv_f: float
    source: str
    aliases: tuple[str, ...] = ()

    @property
    def f(self) -> float:
        """Flattening ``f = 1 / inv_f``."""
        return 1.0 / self.inv_f

    @property
    def Rp(self) -> float:
        """Polar radius ``(1 - f) * Re`` in metres, as the extension derives it."""
        return (1.0 - self.f) * self.Re

    def ellipsoid(self) -> Ellipsoid:
        """Return the :class:`Ellipsoid` with these parameters (shared, immutable)."""
        return _build(self.Re, self.f)


_ENTRIES = (
    ReferenceEllipsoid(
        "WGS84",
        6378137.0,
        298.257223563,
        "World Geodetic System 1984, NIMA TR8350.2 (3rd ed., 2000); the GPS datum",
    ),
    ReferenceEllipsoid(
        "GRS80",
        6378137.0,
        298.257222101,
        "Geodetic Reference System 1980 (Moritz, 1980), 1/f derived from J2; ITRF, ETRS89, NAD83",
    ),
    ReferenceEllipsoid(
        "WGS72",
        6378135.0,
        298.26,
        "World Geodetic System 1972, Defense Mapping Agency (1974)",
    ),
    ReferenceEllipsoid(
        "PZ-90",
        6378136.0,
        298.25784,
        "Parametry Zemli 1990 (PZ-90.11), the GLONASS datum",
        aliases=("PZ90.11", "GLONASS"),
    ),
    ReferenceEllipsoid(
        "IERS2003",
        6378136.6,
        298.25642,
        "IERS Conventions (2003 and 2010), numerical standards",
        aliases=("IERS2010",),
    ),
    ReferenceEllipsoid(
        "Clarke1866",
        6378206.4,
        294.9786982138982,
        "Clarke 1866, defined by a = 6378206.4 m and b = 6356583.8 m; NAD27",
    ),
    ReferenceEllipsoid(
        "International1924",
        6378388.0,
        297.0,
        "International (Hayford 1909), adopted by the IUGG in 1924; ED50",
        aliases=("Hayford", "Intl1924"),
    ),
    ReferenceEllipsoid(
        "Bessel1841",
        6377397.155,
        299.1528128,
        "Bessel 1841, as used for DHDN, MGI and the Tokyo datum",
        aliases=("Bessel",),
    ),
    ReferenceEllipsoid(
        "Airy1830",
        6377563.396,
        299.32496126649505,
        "Airy 1830, defined by a = 6377563.396 m and b = 6356256.909 m; OSGB36",
        aliases=("Airy",),
    ),
    ReferenceEllipsoid(
        "Krassovsky1940",
        6378245.0,
        298.3,
        "Krassovsky 1940; SK-42 (Pulkovo 1942)",
        aliases=("Krasovsky1940", "Krassowsky1940", "Krassovsky"),
    ),
)

REFERENCE_ELLIPSOIDS: Mapping[str, ReferenceEllipsoid] = MappingProxyType(
    {entry.name: entry for entry in _ENTRIES}
)
"""Every catalogued ellipsoid, keyed by its canonical name, in catalogue order."""

DEFAULT = "WGS84"
"""Name of the ellipsoid used when none is asked for."""


def _key(name: str) -> str:
    return "".join(ch for ch in name.casefold() if ch not in " -_.")


_INDEX: dict[str, ReferenceEllipsoid] = {}
for _entry in _ENTRIES:
    for _alias in (_entry.name, *_entry.aliases):
        _INDEX[_key(_alias)] = _entry
del _entry, _alias


def names() -> list[str]:
    """Return the canonical names of the catalogued ellipsoids, in catalogue order."""
    return list(REFERENCE_ELLIPSOIDS)


def lookup(name: str) -> ReferenceEllipsoid:
    """Return the catalogue entry called ``name`` (case, spaces and hyphens ignored).

    Raises :class:`KeyError` naming the known ellipsoids when there is no such entry.
    """
    try:
        return _INDEX[_key(name)]
    except KeyError:
        known = ", ".join(REFERENCE_ELLIPSOIDS)
        raise KeyError(f"unknown ellipsoid {name!r}; known ellipsoids: {known}") from None


def get(name: str = DEFAULT) -> Ellipsoid:
    """Return the :class:`Ellipsoid` of the catalogue entry called ``name``.

    The same immutable object is returned for every spelling of a name. Raises
    :class:`KeyError` naming the known ellipsoids when there is no such entry.
    """
    return lookup(name).ellipsoid()


@functools.cache
def _build(Re: float, f: float) -> Ellipsoid:
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

    return Ellipsoid(Re, f)
