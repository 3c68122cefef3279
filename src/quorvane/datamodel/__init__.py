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
