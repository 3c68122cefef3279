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
    "SurfCoord_dtype",
]

SurfCoord_dtype = np.dtype([("lat", np.float64), ("lon", np.float64)])
LLA_dtype = np.dtype([("lat", np.float64), ("lon", np.float64), ("alt", np.float64)])
ENU_dtype = np.dtype(
    [
        ("u_east", np.float64, (3,)),
        ("u_north", np.float64, (3,)),
        ("u_up", np.float64, (3,)),
    ]
)
AER_dtype = np.dtype([("azimuth", np.float64), ("elevation", np.float64), ("range", np.float64)])

# The geodesic problems' results (quorvane.mathtools.ellipsoid.geodesic).
GeodesicInverse_dtype = np.dtype([("s12", np.float64), ("azi1", np.float64), ("azi2", np.float64)])
GeodesicDirect_dtype = np.dtype([("lat2", np.float64), ("lon2", np.float64), ("azi2", np.float64)])
