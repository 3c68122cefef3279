"""Structured NumPy dtypes of the geodetic records.

Each dtype of a geodetic record describes, field for field, the C record of the
same name in ``structured.h``: native doubles, no padding, East-North-Up members
as sub-arrays of three doubles. The geodesic results are records of three
doubles with no C counterpart.
"""

import numpy as np

__all__ = [
    "AER_dtype",
    "ENU_dtype",
    "GeodesicDirect_dtype",
    "GeodesicInverse_dtype",
    "LLA_dtype",
    "PolygonArea_dtype",
    "SurfCoord_dtype",
]

#: A point of the surface, geodetic ``lat`` and ``lon`` (radians). C record ``SurfCoord``.
SurfCoord_dtype = np.dtype([("lat", np.float64), ("lon", np.float64)])
#: A point in space, geodetic ``lat``, ``lon`` (radians) and ``alt`` along the normal
#: (metres). C record ``LLA``.
LLA_dtype = np.dtype([("lat", np.float64), ("lon", np.float64), ("alt", np.float64)])
#: The local East-North-Up frame, unit vectors ``u_east``, ``u_north``, ``u_up``, each three
#: ECEF components. C record ``ENU_Frame``.
ENU_dtype = np.dtype(
    [
        ("u_east", np.float64, (3,)),
        ("u_north", np.float64, (3,)),
        ("u_up", np.float64, (3,)),
    ]
)
#: A target seen from an observer, ``azimuth`` from north towards east and ``elevation``
#: (radians), slant ``range`` (metres). C record ``AER``.
AER_dtype = np.dtype([("azimuth", np.float64), ("elevation", np.float64), ("range", np.float64)])

# The geodesic problems' results (quorvane.mathtools.ellipsoid.geodesic).
#: The inverse geodesic problem's result: distance ``s12`` (metres), forward azimuths ``azi1``
#: and ``azi2`` at both ends (radians, clockwise from north).
GeodesicInverse_dtype = np.dtype([("s12", np.float64), ("azi1", np.float64), ("azi2", np.float64)])
#: The direct geodesic problem's result: the end point ``lat2``, ``lon2`` and the forward
#: azimuth ``azi2`` there (radians).
GeodesicDirect_dtype = np.dtype([("lat2", np.float64), ("lon2", np.float64), ("azi2", np.float64)])
#: A polygon's ``area`` (square metres) and ``perimeter`` (metres).
PolygonArea_dtype = np.dtype([("area", np.float64), ("perimeter", np.float64)])

# The geodesic problems with every quantity, and rhumb lines.
__all__ += [
    "GeodesicDirectFull_dtype",
    "GeodesicInverseFull_dtype",
    "RhumbDirect_dtype",
    "RhumbInverse_dtype",
]
_FULL = [(n, np.float64) for n in ("a12", "m12", "M12", "M21", "S12")]
#: The inverse geodesic problem with every quantity: ``s12``, ``azi1``, ``azi2``, then the arc
#: ``a12`` on the auxiliary sphere (radians), the reduced length ``m12`` (metres), the geodesic
#: scales ``M12`` and ``M21``, and the area ``S12`` between the geodesic and the equator
#: (square metres).
GeodesicInverseFull_dtype = np.dtype([(n, np.float64) for n in ("s12", "azi1", "azi2")] + _FULL)
#: The direct geodesic problem with every quantity: ``lat2``, ``lon2``, ``azi2``, the distance
#: ``s12`` (metres), then the fields of ``GeodesicInverseFull_dtype`` from ``a12`` on.
GeodesicDirectFull_dtype = np.dtype(
    [(n, np.float64) for n in ("lat2", "lon2", "azi2", "s12")] + _FULL
)
#: A rhumb line between two points: its length ``s12`` (metres), its constant azimuth ``azi12``
#: (radians) and the area ``S12`` between it and the equator (square metres).
RhumbInverse_dtype = np.dtype([("s12", np.float64), ("azi12", np.float64), ("S12", np.float64)])
#: The end of a rhumb line: ``lat2``, ``lon2`` (radians) and the area ``S12`` (square metres).
RhumbDirect_dtype = np.dtype([("lat2", np.float64), ("lon2", np.float64), ("S12", np.float64)])
del _FULL

# Intersections of geodesics.
__all__ += ["GeodesicIntersection_dtype", "SegmentIntersection_dtype"]
#: Where two geodesics meet: ``x`` and ``y``, the signed distances (metres) along each from its
#: start, the point ``lat``, ``lon`` (radians), and ``coincident``: 0, or +1 (-1) where the
#: lines run along each other in the same (opposite) direction.
GeodesicIntersection_dtype = np.dtype(
    [(n, np.float64) for n in ("x", "y", "lat", "lon", "coincident")]
)
#: Where two segments' geodesics meet: the fields of ``GeodesicIntersection_dtype`` and
#: ``inside``, 1.0 where the point lies within both segments, else 0.0.
SegmentIntersection_dtype = np.dtype(
    [(n, np.float64) for n in ("x", "y", "lat", "lon", "coincident", "inside")]
)
