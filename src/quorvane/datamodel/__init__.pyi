"""Type stubs of the structured record dtypes."""

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

# Fields (lat, lon), float64.
SurfCoord_dtype: np.dtype[np.void]
# Fields (lat, lon, alt), float64.
LLA_dtype: np.dtype[np.void]
# Fields (u_east, u_north, u_up), each float64 of shape (3,).
ENU_dtype: np.dtype[np.void]
# Fields (azimuth, elevation, range), float64.
AER_dtype: np.dtype[np.void]
# Fields (s12, azi1, azi2), float64: the inverse geodesic problem.
GeodesicInverse_dtype: np.dtype[np.void]
# Fields (lat2, lon2, azi2), float64: the direct problem and points along a geodesic.
GeodesicDirect_dtype: np.dtype[np.void]
# Fields (area, perimeter), float64: a polygon's area and perimeter.
PolygonArea_dtype: np.dtype[np.void]

__all__ += [
    "GeodesicDirectFull_dtype",
    "GeodesicInverseFull_dtype",
    "RhumbDirect_dtype",
    "RhumbInverse_dtype",
]
# Fields (s12, azi1, azi2, a12, m12, M12, M21, S12), float64.
GeodesicInverseFull_dtype: np.dtype[np.void]
# Fields (lat2, lon2, azi2, s12, a12, m12, M12, M21, S12), float64.
GeodesicDirectFull_dtype: np.dtype[np.void]
# Fields (s12, azi12, S12), float64: a rhumb line between two points.
RhumbInverse_dtype: np.dtype[np.void]
# Fields (lat2, lon2, S12), float64: the end of a rhumb line.
RhumbDirect_dtype: np.dtype[np.void]

__all__ += ["GeodesicIntersection_dtype", "SegmentIntersection_dtype"]
# Fields (x, y, lat, lon, coincident), float64: where two geodesics meet.
GeodesicIntersection_dtype: np.dtype[np.void]
# Fields (x, y, lat, lon, coincident, inside), float64: where two segments' geodesics meet.
SegmentIntersection_dtype: np.dtype[np.void]
