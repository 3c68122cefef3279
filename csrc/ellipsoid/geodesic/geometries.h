// Areas, perimeters and lengths of whole arrays of geometries (polygons, lines
// and their multi-part forms), for geodesic.geometry_area_perimeter and
// geodesic.geometry_length.
#ifndef QUORVANE_ELLIPSOID_GEODESIC_GEOMETRIES_H
#define QUORVANE_ELLIPSOID_GEODESIC_GEOMETRIES_H

#include <Python.h>

namespace quorvane::geodesic {

// (x, y, ring_offsets, part_offsets, geometry_offsets, length, area, *, closed=False),
// the ellipsoid (a, f) already read and checked: see geometries.cpp.
PyObject* geometry_rings(double a, double f, PyObject* const* args, PyObject* kwnames) noexcept;

}  // namespace quorvane::geodesic

#endif  // QUORVANE_ELLIPSOID_GEODESIC_GEOMETRIES_H
