// How the kernels reach each other, without any interpreter state: the one
// declaration of every kernel, and the direct policy.
//
// A policy tells a kernel (formulas.h) what `self` is, how a nested kernel is
// called, what the vector routines are and whether a call can fail. The
// policy here calls nested kernels straight to the formulas and the vector
// routines of vectools/routines.h inline; nothing can fail, so no probe
// follows a call. The extension modules compute with it whenever an object
// carries the module's own kernel table; the policies bound to a table and to
// the module's state are in ellipsoid/kernel_table.h.
#ifndef QUORVANE_ELLIPSOID_KERNELS_DISPATCH_H
#define QUORVANE_ELLIPSOID_KERNELS_DISPATCH_H

#include <array>
#include <cstddef>

#include "ellipsoid/kernels/formulas.h"
#include "vectools/routines.h"

namespace quorvane::ellipsoid {

// How traceback entries name the methods and kernels of Ellipsoid: this, then
// the method's or kernel's name.
inline constexpr char kTracebackPrefix[] = "quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid.";

}  // namespace quorvane::ellipsoid

namespace quorvane::ellipsoid::kernels {

// The traceback entry of kernel `name`, as a constant.
template <std::size_t N>
constexpr auto traceback_name(const char (&name)[N]) noexcept {
    constexpr std::size_t prefix = sizeof kTracebackPrefix - 1;
    std::array<char, prefix + N> out{};
    for (std::size_t i = 0; i < prefix; ++i) out[i] = kTracebackPrefix[i];
    for (std::size_t i = 0; i < N; ++i) out[prefix + i] = name[i];
    return out;
}

// The one declaration of each kernel: its slot in a kernel table (the table
// type is a parameter, so that this header needs no interpreter headers), its
// formula (instantiated with a policy), and its traceback entry.
template <Slot S>
struct Kernel;

#define QUORVANE_DECLARE_KERNEL(NAME)                            \
    template <>                                                  \
    struct Kernel<Slot::NAME> {                                  \
        template <class Table>                                   \
        static constexpr auto slot = &Table::NAME;               \
        template <class K>                                       \
        static constexpr auto formula = &kernels::NAME<K>;       \
        static constexpr auto traceback = traceback_name(#NAME); \
    }
QUORVANE_DECLARE_KERNEL(c_reduced_lat_from_geodetic_lat);
QUORVANE_DECLARE_KERNEL(c_geodetic_lat_from_reduced_lat);
QUORVANE_DECLARE_KERNEL(surf_normal_vector);
QUORVANE_DECLARE_KERNEL(surf_tangent_vector);
QUORVANE_DECLARE_KERNEL(c_enu);
QUORVANE_DECLARE_KERNEL(c_surf_pos_from_surf_coord);
QUORVANE_DECLARE_KERNEL(c_surf_coord_from_surf_pos);
QUORVANE_DECLARE_KERNEL(c_solve_reduced_lat_equation);
QUORVANE_DECLARE_KERNEL(c_lla_from_pos);
QUORVANE_DECLARE_KERNEL(c_pos_from_lla);
QUORVANE_DECLARE_KERNEL(c_surf_pos_of_ray_first_intersection);
QUORVANE_DECLARE_KERNEL(c_aer_coords);
#undef QUORVANE_DECLARE_KERNEL

inline constexpr std::size_t kSlotCount = std::size_t(Slot::c_aer_coords) + 1;

// The package's own vector routines, called inline.
struct InlineRoutines {
    static constexpr auto sub = &vectools::sub;
    static constexpr auto dot = &vectools::dot;
    static constexpr auto norm = &vectools::norm;
};

// The direct policy on an ellipsoid `Object` (a pointer to something with Re,
// f and Rp): nested kernels straight to the formulas, the package's vector
// routines inline, nothing that can fail. It touches no interpreter state, so
// it may run on any thread without the interpreter lock.
template <class Object>
struct DirectInline {
    using Self = Object;
    template <Slot S, class... Args>
    static auto call(Self self, Args... args) noexcept {
        return Kernel<S>::template formula<DirectInline>(self, args...);
    }
    static InlineRoutines routines() noexcept { return {}; }
    static constexpr bool kernel_failed() noexcept { return false; }
    static constexpr bool routine_failed() noexcept { return false; }
    template <Slot>
    static void fail() noexcept {}
    // Whether kernel S is this module's own formula (a compiled subclass may
    // replace a slot of its table): here always.
    template <Slot>
    static constexpr bool own_formula(Self) noexcept {
        return true;
    }
};

// The position r and the East-North-Up frame of an observer at geodetic `lla`,
// as c_pos_from_lla and c_enu give them, the nested kernels of both inlined
// into one function so that their shared sines, cosines and reduced latitude
// are computed once (the same values, so the same bits). Results go to locals
// first: a store through `r` could otherwise alias the ellipsoid's fields, and
// the compiler would read them again after every store.
template <class Object>
[[gnu::noinline, gnu::flatten]] void observer_position_and_frame(Object self, LLA lla, double* r,
                                                                 ENU_Frame* frame) noexcept {
    double r_local[3];
    ENU_Frame frame_local;
    c_pos_from_lla<DirectInline<Object>>(self, lla, r_local);
    c_enu<DirectInline<Object>>(self, SurfCoord{lla.lat, lla.lon}, &frame_local);
    r[0] = r_local[0], r[1] = r_local[1], r[2] = r_local[2];
    *frame = frame_local;
}

}  // namespace quorvane::ellipsoid::kernels

#endif  // QUORVANE_ELLIPSOID_KERNELS_DISPATCH_H
