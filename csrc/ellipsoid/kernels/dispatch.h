// How the kernels reach each other: the dispatch policies, the one declaration
// of every kernel, and the module's own kernel table built from them.
//
//   ViaTable  a nested call goes through self->kernels and is followed by the
//             pending-error probe; the published table holds these, so a
//             compiled subclass that replaces a slot changes what every kernel
//             calling it computes.
//   Direct    a nested call goes straight to these formulas and skips the
//             probe (they cannot fail); the methods use it when an object
//             carries the module's own table, so nested kernels inline and
//             share work without changing a bit of the result.
//
// Calls of the bound vector routines keep their probe under both policies.
#ifndef QUORVANE_ELLIPSOID_KERNELS_DISPATCH_H
#define QUORVANE_ELLIPSOID_KERNELS_DISPATCH_H

#include <array>
#include <cstddef>
#include <utility>

#include "ellipsoid/kernels/formulas.h"
#include "ellipsoid/state.h"
#include "quorvane/mathtools/ellipsoid/ellipsoid.h"
#include "vectools/routines.h"

namespace quorvane::ellipsoid::kernels {

using Table = QuorvaneEllipsoidKernels;

// "quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid." followed by `name`, as a
// constant: the traceback entry of a kernel.
template <std::size_t N>
constexpr auto traceback_name(const char (&name)[N]) noexcept {
    constexpr char prefix[] = "quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid.";
    std::array<char, sizeof prefix - 1 + N> out{};
    for (std::size_t i = 0; i + 1 < sizeof prefix; ++i) out[i] = prefix[i];
    for (std::size_t i = 0; i < N; ++i) out[sizeof prefix - 1 + i] = name[i];
    return out;
}

// The one declaration of each kernel: its slot in the table, its formula
// (instantiated with a policy), and its traceback entry.
template <Slot S>
struct Kernel;

#define QUORVANE_DECLARE_KERNEL(NAME)                            \
    template <>                                                  \
    struct Kernel<Slot::NAME> {                                  \
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

// What both policies share: the ellipsoid object, the vector routines and the
// traceback entry of a failing kernel.
struct Policy {
    using Self = QuorvaneEllipsoid;
    static const KernelRuntime& routines() noexcept { return state.runtime; }
    template <Slot S>
    static void fail() noexcept {
        state.runtime.add_traceback(Kernel<S>::traceback.data());
    }
};

struct ViaTable : Policy {
    template <Slot S, class... Args>
    static auto call(Self self, Args... args) noexcept {
        return (self->kernels->*Kernel<S>::slot)(self, args...);
    }
    static bool kernel_failed() noexcept { return state.runtime.error_pending(); }
    static bool routine_failed() noexcept { return state.runtime.error_pending(); }
};

struct Direct : Policy {
    template <Slot S, class... Args>
    static auto call(Self self, Args... args) noexcept {
        return Kernel<S>::template formula<Direct>(self, args...);
    }
    static constexpr bool kernel_failed() noexcept { return false; }
    // Only used by methods, which hold the interpreter lock.
    static bool routine_failed() noexcept { return state.runtime.error_pending_held(); }
};

// Direct, with the package's own vector routines called inline and without
// probes: for loops whose bound routines are known to be the package's own
// (the same code, so the same bits).
struct InlineRoutines {
    static void sub(double* u, double* v, double* out) noexcept { vectools::sub(u, v, out); }
    static double dot(double* u, double* v) noexcept { return vectools::dot(u, v); }
    static double norm(double* u) noexcept { return vectools::norm(u); }
};

struct DirectInline : Direct {
    static InlineRoutines routines() noexcept { return {}; }
    static constexpr bool routine_failed() noexcept { return false; }
};

// Kernel S with nested calls made directly, as one real call: inlined into an
// element loop the kernels measure slower (the loop's state and the kernel's
// temporaries compete for registers).
template <Slot S, class... Args>
[[gnu::noinline]] auto direct(QuorvaneEllipsoid self, Args... args) noexcept {
    return Kernel<S>::template formula<Direct>(self, args...);
}

// The module's own table: every slot holds the ViaTable instantiation, so a
// kernel reached through the table dispatches its nested calls through the
// table of the object it is given.
template <std::size_t... I>
constexpr Table make_table(std::index_sequence<I...>) noexcept {
    Table table{};
    ((table.*Kernel<Slot(I)>::slot = Kernel<Slot(I)>::template formula<ViaTable>), ...);
    return table;
}

inline constexpr Table own_kernels =
    make_table(std::make_index_sequence<std::size_t(Slot::c_aer_coords) + 1>());
static_assert(sizeof(Table) == (std::size_t(Slot::c_aer_coords) + 1) * sizeof(void*),
              "one formula for every slot");

}  // namespace quorvane::ellipsoid::kernels

#endif  // QUORVANE_ELLIPSOID_KERNELS_DISPATCH_H
