// The ten computing methods of Ellipsoid.
//
// Each method classifies its inputs (one point or many), checks shapes while
// assertions are active, allocates its result once with NumPy, applies its
// kernel element by element with an error test after every call, and returns
// a float or an array. Any failure drops the partly filled result; the method
// object appends the traceback entry.
#include "ellipsoid/binding/arguments.h"
#include "ellipsoid/binding/docstrings.h"
#include "ellipsoid/binding/element_loop.h"
#include "ellipsoid/binding/globals.h"
#include "ellipsoid/binding/method_type.h"
#include "ellipsoid/binding/numbers.h"
#include "ellipsoid/binding/results.h"

namespace quorvane::ellipsoid {
namespace {

// -- Positions to records ----------------------------------------------------------
//
// surf_coord_from_surf_pos, lla_from_pos and aer_coords map one 3-vector, or
// the rows of an (N, 3) input, to records of a result allocated with a module
// dtype: kernel(_r, &record) per point.

// One point into a one-record result allocated with `shape` ((1,) or 1).
template <class Record, class Kernel>
View one_record(PyObject* x, PyObject* shape, PyObject* dtype_name, const py::ElementSpec& spec,
                const Kernel& kernel) noexcept {
    View view = allocate_records(shape, dtype_name, spec);
    if (!view) return {};
    double _r[3];
    if (!read_vector3(x, _r) || !in_bounds(view, 0)) return {};
    kernel(_r, view.element<Record>(0));
    if (kernel_failed()) return {};
    return view;
}

// The rows of x (checked as (N, 3)) into N records; the loop may be split over
// threads when `may_split` (the kernel is this module's and stays off the
// interpreter) and every read and write goes straight to memory.
template <class Record, class Kernel>
View many_records(PyObject* x, PyObject* dtype_name, const py::ElementSpec& spec, const Kernels& k,
                  bool may_split, const Kernel& kernel) noexcept {
    if (!check_rows3(x)) return {};
    Ref rows = first_dimension(x);
    if (!rows) return {};
    View view = allocate_records(rows.get(), dtype_name, spec);
    if (!view) return {};
    Rows positions(x);
    positions.set_fast(k.own());
    const bool ok = for_each_element<3>(x, positions, Elements<Record>{view}, may_split, kernel);
    return ok ? std::move(view) : View();
}

// -- Latitude conversions ---------------------------------------------------------

template <double (*kernel)(QuorvaneEllipsoid, double) noexcept>
PyObject* latitude_method(Object* self, PyObject* x) noexcept {
    double value;
    const int real = real_numbers({x}, &value);
    if (real < 0) return nullptr;
    if (real) {
        const double result = kernel(self, value);
        if (kernel_failed()) return nullptr;
        return PyFloat_FromDouble(result);
    }
    Ref array = zeros_like(x);
    if (!array) return nullptr;
    View view = View::acquire(array.get(), py::kDoubleSpec, 1);
    if (!view) return nullptr;
    const Column column(x);  // the latitude kernels are final: nothing foreign runs
    const bool ok = for_each_element<1>(
        x, column, Elements<double>{view}, true,
        [self](const double* value, double* out) { *out = kernel(self, *value); });
    return ok ? asarray(view.object()).release() : nullptr;
}

PyObject* reduced_lat_from_geodetic_lat(Object* self, PyObject* const* args) noexcept {
    return latitude_method<kernels::c_reduced_lat_from_geodetic_lat<Direct>>(self, args[0]);
}

PyObject* geodetic_lat_from_reduced_lat(Object* self, PyObject* const* args) noexcept {
    return latitude_method<kernels::c_geodetic_lat_from_reduced_lat<Direct>>(self, args[0]);
}

// -- Surface methods -----------------------------------------------------------------

PyObject* enu(Object* self, PyObject* const* args) noexcept {
    PyObject *lat = args[0], *lon = args[1];
    const Kernels k(self);
    double v[2];
    const int real = real_numbers({lat, lon}, v);
    if (real < 0) return nullptr;
    if (real) {
        View view = allocate_records(state.c.tuple_1, state.c.ENU_dtype, py::kENUSpec);
        if (!view) return nullptr;
        k.call<Slot::c_enu>(SurfCoord{v[0], v[1]}, view.element<ENU_Frame>(0));
        if (kernel_failed()) return nullptr;
        return return_records(view, state.c.ENU_dtype);
    }
    if (!check_columns({lat, lon})) return nullptr;
    Ref shape = Ref::steal(PyObject_GetAttr(lat, state.c.shape));
    if (!shape) return nullptr;
    View view = allocate_records(shape.get(), state.c.ENU_dtype, py::kENUSpec);
    if (!view) return nullptr;
    const Columns<2> coords({lat, lon}, k.own());
    const bool ok = for_each_element<2>(
        lat, coords, Elements<ENU_Frame>{view}, true,
        [&k](const double* v, ENU_Frame* enu) { k.call<Slot::c_enu>(SurfCoord{v[0], v[1]}, enu); });
    return ok ? return_records(view, state.c.ENU_dtype) : nullptr;
}

PyObject* surf_pos_from_surf_coord(Object* self, PyObject* const* args) noexcept {
    PyObject *lat = args[0], *lon = args[1];
    const Kernels k(self);
    double v[2];
    const int real = real_numbers({lat, lon}, v);
    if (real < 0) return nullptr;
    if (real) {
        double r_surf[3];
        k.call<Slot::c_surf_pos_from_surf_coord>(SurfCoord{v[0], v[1]}, r_surf);
        if (kernel_failed()) return nullptr;
        return asarray_vector3(r_surf).release();
    }
    if (!check_columns({lat, lon})) return nullptr;
    Ref r_surf = zeros_rows_of(lat);
    if (!r_surf) return nullptr;
    const Columns<2> coords({lat, lon}, k.own());
    const bool ok = for_each_element<2>(
        lat, coords, RowSink(r_surf.get()), true, [&k](const double* v, double* _r_surf) {
            k.call<Slot::c_surf_pos_from_surf_coord>(SurfCoord{v[0], v[1]}, _r_surf);
        });
    return ok ? asarray(r_surf.get()).release() : nullptr;
}

PyObject* surf_coord_from_surf_pos(Object* self, PyObject* const* args) noexcept {
    PyObject* r_surf = args[0];
    const Kernels k(self);
    const int one_point = attr_equals(r_surf, state.c.ndim, state.c.one);
    if (one_point < 0) return nullptr;
    const auto kernel = [&k](const double* _r_surf, SurfCoord* point) {
        k.call<Slot::c_surf_coord_from_surf_pos>(_r_surf, point);
    };
    View view;
    if (one_point) {
        if (state.assertions && !check_attr(r_surf, state.c.shape, state.c.tuple_3)) return nullptr;
        view = one_record<SurfCoord>(r_surf, state.c.tuple_1, state.c.SurfCoord_dtype,
                                     py::kSurfCoordSpec, kernel);
    } else {
        view = many_records<SurfCoord>(r_surf, state.c.SurfCoord_dtype, py::kSurfCoordSpec, k, true,
                                       kernel);
    }
    return view ? return_records(view, state.c.SurfCoord_dtype) : nullptr;
}

// -- Geodetic position methods ---------------------------------------------------

PyObject* solve_reduced_lat_equation(Object* self, PyObject* const* args) noexcept {
    PyObject* r = args[0];
    const Kernels k(self);
    const int one_point = attr_equals(r, state.c.shape, state.c.tuple_3);
    if (one_point < 0) return nullptr;
    if (one_point) {
        double _r[3];
        if (!read_vector3(r, _r)) return nullptr;
        const double beta = k.call<Slot::c_solve_reduced_lat_equation>(_r);
        if (kernel_failed()) return nullptr;
        return PyFloat_FromDouble(beta);
    }
    if (!check_rows3(r)) return nullptr;
    Ref array = zeros_column_of(r);
    if (!array) return nullptr;
    View view = View::acquire(array.get(), py::kDoubleSpec, 1);
    if (!view) return nullptr;
    Rows positions(r);
    positions.set_fast(k.own());
    const bool ok = for_each_element<3>(r, positions, Elements<double>{view}, true,
                                        [&k](const double* _r, double* beta) {
                                            *beta = k.call<Slot::c_solve_reduced_lat_equation>(_r);
                                        });
    return ok ? asarray(view.object()).release() : nullptr;
}

PyObject* lla_from_pos(Object* self, PyObject* const* args) noexcept {
    PyObject* r = args[0];
    const Kernels k(self);
    const int one_point = attr_equals(r, state.c.shape, state.c.tuple_3);
    if (one_point < 0) return nullptr;
    const auto kernel = [&k](const double* _r, LLA* lla) { k.call<Slot::c_lla_from_pos>(_r, lla); };
    View view = one_point ? one_record<LLA>(r, state.c.one, state.c.LLA_dtype, py::kLLASpec, kernel)
                          : many_records<LLA>(r, state.c.LLA_dtype, py::kLLASpec, k, true, kernel);
    return view ? return_records(view, state.c.LLA_dtype) : nullptr;
}

PyObject* pos_from_lla(Object* self, PyObject* const* args) noexcept {
    PyObject *lat = args[0], *lon = args[1], *alt = args[2];
    const Kernels k(self);
    double v[3];
    const int real = real_numbers({lat, lon, alt}, v);
    if (real < 0) return nullptr;
    if (real) {
        double _r[3];
        k.call<Slot::c_pos_from_lla>(LLA{v[0], v[1], v[2]}, _r);
        if (kernel_failed()) return nullptr;
        return asarray_vector3(_r).release();
    }
    if (!check_columns({lat, lon, alt})) return nullptr;
    Ref array = zeros_rows_of(lat);
    if (!array) return nullptr;
    View view = View::acquire(array.get(), py::kDoubleSpec, 2);
    if (!view) return nullptr;
    const Columns<3> coords({lat, lon, alt}, k.own());
    const bool ok =
        for_each_element<3>(lat, coords, RowSink(view), true, [&k](const double* v, double* _r) {
            k.call<Slot::c_pos_from_lla>(LLA{v[0], v[1], v[2]}, _r);
        });
    return ok ? asarray(view.object()).release() : nullptr;
}

// -- Observation methods ----------------------------------------------------------

PyObject* surf_pos_of_ray_first_intersection(Object* self, PyObject* const* args) noexcept {
    PyObject *r_source = args[0], *u_ray = args[1];
    const Kernels k(self);
    if (state.assertions && !check_attr(r_source, state.c.shape, state.c.tuple_3)) return nullptr;
    double _r_source[3];
    if (!read_vector3(r_source, _r_source)) return nullptr;
    const int one_ray = attr_equals(u_ray, state.c.ndim, state.c.one);
    if (one_ray < 0) return nullptr;
    if (one_ray) {
        if (state.assertions && !check_attr(u_ray, state.c.shape, state.c.tuple_3)) return nullptr;
        double _u_ray[3], _r_surf[3];
        if (!read_vector3(u_ray, _u_ray)) return nullptr;
        k.call<Slot::c_surf_pos_of_ray_first_intersection>(_r_source, _u_ray, _r_surf);
        if (kernel_failed()) return nullptr;
        return asarray_vector3(_r_surf).release();
    }
    if (!check_rows3(u_ray)) return nullptr;
    Ref array = zeros_rows_of(u_ray);
    if (!array) return nullptr;
    View view = View::acquire(array.get(), py::kDoubleSpec, 2);
    if (!view) return nullptr;
    Rows rays(u_ray);
    rays.set_fast(k.own());
    const bool ok = for_each_element<3>(
        u_ray, rays, RowSink(view), true, [&](const double* _u_ray, double* _r_surf) {
            k.call<Slot::c_surf_pos_of_ray_first_intersection>(_r_source, _u_ray, _r_surf);
        });
    return ok ? asarray(view.object()).release() : nullptr;
}

PyObject* aer_coords(Object* self, PyObject* const* args) noexcept {
    PyObject* r_target = args[0];
    const Kernels k(self);
    LLA _lla_obs;
    if (!to_double(args[1], &_lla_obs.lat) || !to_double(args[2], &_lla_obs.lon) ||
        !to_double(args[3], &_lla_obs.alt)) {
        return nullptr;
    }
    const Kernels::Observer observer(k, _lla_obs);
    const int one_point = attr_equals(r_target, state.c.ndim, state.c.one);
    if (one_point < 0) return nullptr;
    const auto kernel = [&observer](const double* _r_target, AER* aer) {
        observer.c_aer_coords(_r_target, aer);
    };
    View view;
    if (one_point) {
        if (state.assertions && !check_attr(r_target, state.c.shape, state.c.tuple_3)) {
            return nullptr;
        }
        view = one_record<AER>(r_target, state.c.one, state.c.AER_dtype, py::kAERSpec, kernel);
    } else {
        // Split over threads only when the bound vector routines are the
        // package's own: another module's code stays on the calling thread.
        view = many_records<AER>(r_target, state.c.AER_dtype, py::kAERSpec, k,
                                 observer.self_contained(), kernel);
    }
    return view ? return_records(view, state.c.AER_dtype) : nullptr;
}

constexpr char kDoubleOrArray[] = "double | ndarray[double]";
constexpr char kArray[] = "ndarray[double]";

}  // namespace

// In the order of definition of the type.
const MethodSpec method_specs[kMethodCount] = {
    {"reduced_lat_from_geodetic_lat",
     {"geodetic_lat"},
     {{"geodetic_lat", kDoubleOrArray}, {"return", kDoubleOrArray}},
     docs::kReducedLatFromGeodeticLat,
     reduced_lat_from_geodetic_lat},
    {"geodetic_lat_from_reduced_lat",
     {"reduced_lat"},
     {{"reduced_lat", kDoubleOrArray}, {"return", kDoubleOrArray}},
     docs::kGeodeticLatFromReducedLat,
     geodetic_lat_from_reduced_lat},
    {"enu",
     {"lat", "lon"},
     {{"lat", kDoubleOrArray}, {"lon", kDoubleOrArray}, {"return", "ndarray[ENU_dtype]"}},
     docs::kEnu,
     enu},
    {"surf_pos_from_surf_coord",
     {"lat", "lon"},
     {{"lat", kDoubleOrArray}, {"lon", kDoubleOrArray}, {"return", kArray}},
     docs::kSurfPosFromSurfCoord,
     surf_pos_from_surf_coord},
    {"surf_coord_from_surf_pos",
     {"r_surf"},
     {{"r_surf", kArray}, {"return", "ndarray[SurfCoord_dtype]"}},
     docs::kSurfCoordFromSurfPos,
     surf_coord_from_surf_pos},
    {"solve_reduced_lat_equation",
     {"r"},
     {{"r", kArray}, {"return", kDoubleOrArray}},
     docs::kSolveReducedLatEquation,
     solve_reduced_lat_equation},
    {"lla_from_pos",
     {"r"},
     {{"r", kArray}, {"return", "ndarray[LLA_dtype]"}},
     docs::kLlaFromPos,
     lla_from_pos},
    {"pos_from_lla",
     {"lat", "lon", "alt"},
     {{"lat", kDoubleOrArray},
      {"lon", kDoubleOrArray},
      {"alt", kDoubleOrArray},
      {"return", kArray}},
     docs::kPosFromLla,
     pos_from_lla},
    {"surf_pos_of_ray_first_intersection",
     {"r_source", "u_ray"},
     {{"r_source", kArray}, {"u_ray", kArray}, {"return", kArray}},
     docs::kSurfPosOfRayFirstIntersection,
     surf_pos_of_ray_first_intersection},
    {"aer_coords",
     {"r_target", "lat_obs", "lon_obs", "alt_obs"},
     {{"r_target", kArray},
      {"lat_obs", "double"},
      {"lon_obs", "double"},
      {"alt_obs", "double"},
      {"return", "ndarray[AER_dtype]"}},
     docs::kAerCoords,
     aer_coords},
};

}  // namespace quorvane::ellipsoid
