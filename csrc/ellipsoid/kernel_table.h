// The ellipsoid module's kernel table, the policies bound to a table and to
// the module's state (the state-free direct policy is in
// ellipsoid/kernels/dispatch.h), and the runtime those policies call.
//
//   ViaTable  a nested call goes through self->kernels and is followed by the
//             pending-error probe; the published table holds these, so a
//             compiled subclass that replaces a slot changes what every kernel
//             calling it computes.
//   Direct    a nested call goes straight to the formulas and skips the probe
//             (they cannot fail), but the vector routines are the ones bound
//             at import, each call followed by its probe: the methods use it
//             when an object carries the module's own table, so nested kernels
//             inline and share work without changing a bit of the result.
#ifndef QUORVANE_ELLIPSOID_KERNEL_TABLE_H
#define QUORVANE_ELLIPSOID_KERNEL_TABLE_H

#include <cstddef>
#include <utility>

#include "ellipsoid/kernels/dispatch.h"
#include "ellipsoid/state.h"
#include "quorvane/mathtools/ellipsoid/ellipsoid.h"

namespace quorvane::ellipsoid::kernels {

using Table = QuorvaneEllipsoidKernels;

// Fills the hooks of state.runtime: the pending-error probes and the traceback
// entry of a failing kernel.
void install_runtime_hooks() noexcept;

// Binds scale, add, sub, dot and norm, in this order, from the vector module
// by name and exact signature string into state.runtime; false with an
// exception (ImportError or TypeError) at the first that fails.
bool bind_vector_routines() noexcept;

// The slot of kernel S in the published table.
template <Slot S>
inline constexpr auto slot = Kernel<S>::template slot<Table>;

// What both policies share: the ellipsoid object, the bound vector routines
// and the traceback entry of a failing kernel.
struct BoundPolicy {
    using Self = QuorvaneEllipsoid;
    static const KernelRuntime& routines() noexcept { return state.runtime; }
    template <Slot S>
    static void fail() noexcept {
        state.runtime.add_traceback(Kernel<S>::traceback.data());
    }
};

struct ViaTable : BoundPolicy {
    template <Slot S, class... Args>
    static auto call(Self self, Args... args) noexcept {
        return (self->kernels->*slot<S>)(self, args...);
    }
    static bool kernel_failed() noexcept { return state.runtime.error_pending(); }
    static bool routine_failed() noexcept { return state.runtime.error_pending(); }
    // Whether the object's table holds this module's formula for kernel S.
    template <Slot S>
    static bool own_formula(Self self) noexcept {
        return self->kernels->*slot<S> == Kernel<S>::template formula<ViaTable>;
    }
};

struct Direct : BoundPolicy {
    template <Slot S, class... Args>
    static auto call(Self self, Args... args) noexcept {
        return Kernel<S>::template formula<Direct>(self, args...);
    }
    static constexpr bool kernel_failed() noexcept { return false; }
    // Only used by methods on the calling thread, with the interpreter lock
    // held: a loop that calls another module's routines never lets it go.
    static bool routine_failed() noexcept { return state.runtime.error_pending_held(); }
    // Used only for objects that carry the module's own table.
    template <Slot>
    static constexpr bool own_formula(Self) noexcept {
        return true;
    }
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
    ((table.*slot<Slot(I)> = Kernel<Slot(I)>::template formula<ViaTable>), ...);
    return table;
}

inline constexpr Table own_kernels = make_table(std::make_index_sequence<kSlotCount>());
static_assert(sizeof(Table) == kSlotCount * sizeof(void*), "one formula for every slot");

}  // namespace quorvane::ellipsoid::kernels

#endif  // QUORVANE_ELLIPSOID_KERNEL_TABLE_H
