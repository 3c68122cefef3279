/* The Ellipsoid object and its kernel table, for other compiled modules.
 *
 * An Ellipsoid instance starts with the interpreter's object header, then a
 * pointer to its type's kernel table, then Re, f and Rp. The table is
 * published in the type's dictionary under "__pyx_vtable__" as a capsule
 * without a name; an extension obtains it with
 *
 *     PyObject *cap = PyDict_GetItemString(type->tp_dict, "__pyx_vtable__");
 *     const QuorvaneEllipsoidKernels *k = PyCapsule_GetPointer(cap, NULL);
 *
 * or simply reads obj->kernels of an instance. Kernels need no interpreter
 * lock, allocate nothing and write through the pointers they are given.
 * A kernel that calls another kernel (or a vector routine) tests for a
 * pending interpreter error after the call, taking the interpreter lock for
 * the test only; on an error it appends a traceback entry naming itself and
 * returns at once, leaving outputs it has not written untouched.
 *
 * Slots 1 and 2 are final: every caller calls the latitude conversions
 * directly. All other kernel-to-kernel and method-to-kernel calls go through
 * obj->kernels, so a compiled subclass that installs its own table (with
 * some slots replaced) changes what the methods compute.
 */
#ifndef QUORVANE_MATHTOOLS_ELLIPSOID_H
#define QUORVANE_MATHTOOLS_ELLIPSOID_H

#include <Python.h>
#include <stddef.h>

#include "quorvane/datamodel/structured.h"

#ifdef __cplusplus
extern "C" {
#endif

struct QuorvaneEllipsoidKernels;

typedef struct QuorvaneEllipsoidObject {
    PyObject_HEAD
    const struct QuorvaneEllipsoidKernels* kernels; /* shared by all instances of a type */
    double Re;                                      /* equatorial radius, metres */
    double f;                                       /* flattening */
    double Rp;                                      /* polar radius (1 - f) * Re, metres */
} QuorvaneEllipsoidObject;

typedef const QuorvaneEllipsoidObject* QuorvaneEllipsoid;

/* The twelve kernels, in slot order. Angles in radians, lengths in metres,
 * 3-vectors are three consecutive doubles in Earth-centred Earth-fixed axes. */
typedef struct QuorvaneEllipsoidKernels {
    /* 1 */ double (*c_reduced_lat_from_geodetic_lat)(QuorvaneEllipsoid self, double geodetic_lat);
    /* 2 */ double (*c_geodetic_lat_from_reduced_lat)(QuorvaneEllipsoid self, double reduced_lat);
    /* 3 */ void (*surf_normal_vector)(QuorvaneEllipsoid self, SurfCoord point, double* u_normal);
    /* 4 */ void (*surf_tangent_vector)(QuorvaneEllipsoid self, SurfCoord point, double* u_east,
                                        double* u_north);
    /* 5 */ void (*c_enu)(QuorvaneEllipsoid self, SurfCoord point, ENU_Frame* enu);
    /* 6 */ void (*c_surf_pos_from_surf_coord)(QuorvaneEllipsoid self, SurfCoord point,
                                               double* r_surf);
    /* 7 */ void (*c_surf_coord_from_surf_pos)(QuorvaneEllipsoid self, const double* r_surf,
                                               SurfCoord* point);
    /* 8 */ double (*c_solve_reduced_lat_equation)(QuorvaneEllipsoid self, const double* r);
    /* 9 */ void (*c_lla_from_pos)(QuorvaneEllipsoid self, const double* r, LLA* lla);
    /* 10 */ void (*c_pos_from_lla)(QuorvaneEllipsoid self, LLA lla, double* r);
    /* 11 */ void (*c_surf_pos_of_ray_first_intersection)(QuorvaneEllipsoid self,
                                                          const double* r_ray, const double* u_ray,
                                                          double* r_surf);
    /* 12 */ void (*c_aer_coords)(QuorvaneEllipsoid self, const double* r_target, LLA lla_obs,
                                  AER* aer);
} QuorvaneEllipsoidKernels;

#define QUORVANE_ELLIPSOID_KERNELS_CAPSULE_KEY "__pyx_vtable__"

#ifdef __cplusplus
}

static_assert(offsetof(QuorvaneEllipsoidObject, kernels) == sizeof(PyObject),
              "the kernel table pointer follows the object header");
static_assert(sizeof(QuorvaneEllipsoidObject) ==
                  sizeof(PyObject) + sizeof(void*) + 3 * sizeof(double),
              "header, table pointer and three doubles");
static_assert(offsetof(QuorvaneEllipsoidKernels, c_aer_coords) == 11 * sizeof(void*),
              "twelve slots in order");
#endif

#endif /* QUORVANE_MATHTOOLS_ELLIPSOID_H */
