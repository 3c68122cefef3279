// What every method's element loop is made of: the kernels an object computes
// with, the loop itself (checked on the calling thread, or unchecked, without
// the interpreter lock and split over threads), and the one scaffold that runs
// a method's kernel over the first axis of its input.
#ifndef QUORVANE_ELLIPSOID_BINDING_ELEMENT_LOOP_H
#define QUORVANE_ELLIPSOID_BINDING_ELEMENT_LOOP_H

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/parallel.h"
#include "common/ref.h"
#include "ellipsoid/binding/arguments.h"
#include "ellipsoid/binding/results.h"
#include "ellipsoid/kernel_table.h"

namespace quorvane::ellipsoid {

using kernels::Direct;
using kernels::Slot;
using Object = QuorvaneEllipsoidObject;

// The kernels an object computes with: its own table when it carries one of
// its own, else this module's kernels called directly (the same bits).
class Kernels {
public:
    explicit Kernels(const Object* self) noexcept
        : self_(self), own_(self->kernels == &kernels::own_kernels) {}

    // True for the module's own table. Inputs may be read straight from memory
    // only then: no code of another module can run during the element loop.
    bool own() const noexcept { return own_; }

    template <Slot S, class... Args>
    auto call(Args... args) const noexcept {
        return own_ ? kernels::direct<S>(self_, args...)
                    : (self_->kernels->*kernels::slot<S>)(self_, args...);
    }

    // The observer of a run of aer_coords calls. With the module's own kernels
    // its position and frame are computed once, up front (the same values
    // every call of c_aer_coords would compute), and each target costs the
    // vector steps only: inline and without probes when the bound vector
    // routines are the package's own too, so that the run touches no
    // interpreter state and cannot fail.
    class Observer {
    public:
        Observer(const Kernels& k, LLA lla_obs) noexcept
            : k_(k), lla_obs_(lla_obs), inline_(k.own_ && state.runtime.own_routines) {
            if (k_.own_)
                kernels::observer_position_and_frame(k_.self_, lla_obs_, r_obs_, &enu_obs_);
        }
        bool self_contained() const noexcept { return inline_; }
        // Flattened: the steps of every target in one body, without a call
        // (and its spills) between the subtraction and finish_aer.
        [[gnu::flatten]] void c_aer_coords(const double* r_target, AER* aer) const noexcept {
            if (!k_.own_) return k_.self_->kernels->c_aer_coords(k_.self_, r_target, lla_obs_, aer);
            double r_target_obs[3];
            double* r_obs = const_cast<double*>(r_obs_);
            if (inline_) {
                vectools::sub(const_cast<double*>(r_target), r_obs, r_target_obs);
                return kernels::finish_aer<kernels::DirectInline<QuorvaneEllipsoid>>(
                    r_target_obs, &enu_obs_, aer);
            }
            state.runtime.sub(const_cast<double*>(r_target), r_obs, r_target_obs);
            if (Direct::routine_failed()) return kernels::fail<Direct, Slot::c_aer_coords>();
            kernels::finish_aer<Direct>(r_target_obs, &enu_obs_, aer);
        }

    private:
        const Kernels& k_;
        LLA lla_obs_;
        bool inline_;
        double r_obs_[3];
        ENU_Frame enu_obs_;
    };

private:
    const Object* self_;
    bool own_;
};

// After every kernel call: an error left pending by a kernel fails the call.
inline bool kernel_failed() noexcept {
    return PyErr_Occurred() != nullptr;
}

// The element loop: element(i, checked) for i = 0 .. n - 1. In general it runs
// in order on this thread with checked = true (bounds and the error test after
// the kernel) and stops at the first failure. When `parallel` holds (every read
// and write is straight memory within bounds and the kernels are this
// module's) no element can fail: it runs with checked = false, split over
// threads when the loop is long enough and, from kAllowThreadsThreshold
// elements on, without the interpreter lock; element must not touch the
// interpreter.
using Checked = std::true_type;
using Unchecked = std::false_type;

// Loops shorter than this keep the interpreter lock: releasing and taking it
// back costs about as much as a few dozen elements.
inline constexpr Py_ssize_t kAllowThreadsThreshold = 256;

template <class Element>
bool run_elements(Py_ssize_t n, bool parallel, const Element& element) noexcept {
    if (parallel) {
        // Nothing here touches the interpreter: other Python threads run meanwhile.
        const py::AllowThreads allow(n >= kAllowThreadsThreshold);
        common::parallel_for(n, [&element](Py_ssize_t begin, Py_ssize_t end) {
            for (Py_ssize_t i = begin; i < end; ++i) element(i, Unchecked{});
        });
        return true;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!element(i, Checked{})) return false;
    }
    return true;
}

// Where a method's loop puts element i of a one-dimensional result: through a
// typed view of T, the index checked before the kernel writes the element.
template <class T>
struct Elements {
    const View& view;
};

// A result, and how many of its elements may be written without a check.
template <class T>
Py_ssize_t direct_length(const Elements<T>& sink) noexcept {
    return sink.view.length();
}
inline Py_ssize_t direct_length(const RowSink& sink) noexcept {
    return sink.direct_length();
}

// Element i: compute(out) runs the kernel into the element, or into a row
// written afterwards. An element at an address not aligned for T (a result
// buffer that a replaced numpy.zeros handed over) is computed aside and copied in.
template <class T, class Check, class Compute>
bool put(const Elements<T>& sink, Py_ssize_t i, Check checked, const Compute& compute) noexcept {
    if (checked && !in_bounds(sink.view, i)) return false;
    T* element = sink.view.template element<T>(i);
    if (reinterpret_cast<std::uintptr_t>(element) % alignof(T) == 0) {
        compute(element);
    } else {
        T value;
        compute(&value);
        std::memcpy(static_cast<void*>(element), &value, sizeof value);
    }
    return !(checked && kernel_failed());
}
template <class Check, class Compute>
bool put(const RowSink& sink, Py_ssize_t i, Check checked, const Compute& compute) noexcept {
    double row[3];
    compute(row);
    if (checked && kernel_failed()) return false;
    return sink.write(i, row);
}

// -- Packed float64 in and out ------------------------------------------------------
//
// The common case of exact contiguous float64 arrays in and a contiguous
// result out, as a bare loop with nothing tested per element and the kernel
// inlined. Where a buffer is aligned for its elements, the kernel reads or
// writes them in place. A buffer at an odd address (a chunk Dask cut out
// of a bytes object or an Arrow buffer, a result a replaced numpy.zeros
// handed over) is copied in and out element by element with memcpy instead.

// Results whose element i is the T at base + i * sizeof(T).
template <class T>
struct PackedResult {
    using Element = T;
    char* base = nullptr;

    explicit operator bool() const noexcept { return base != nullptr; }
    bool aligned() const noexcept {
        return reinterpret_cast<std::uintptr_t>(base) % alignof(T) == 0;
    }
    T* at(Py_ssize_t i) const noexcept {
        return reinterpret_cast<T*>(base + i * Py_ssize_t(sizeof(T)));
    }
    void write(Py_ssize_t i, const T& value) const noexcept {
        std::memcpy(base + i * Py_ssize_t(sizeof(T)), static_cast<const void*>(&value),
                    sizeof value);
    }
};

struct Row3 {  // a row of an (N, 3) result
    double r[3];
};

// Where the kernel writes element i: the record, or the row's doubles.
template <class T>
T* target(T* value) noexcept {
    return value;
}
inline double* target(Row3* row) noexcept {
    return row->r;
}

template <class T>
PackedResult<T> packed(const Elements<T>& sink) noexcept {
    return {sink.view.stride() == Py_ssize_t(sizeof(T)) ? sink.view.data() : nullptr};
}
inline PackedResult<Row3> packed(const RowSink& sink) noexcept {
    return {sink.packed_rows()};
}

// Elements 0 .. n - 1 from `in` through compute into `out`, split over threads
// as run_elements splits them, and without the interpreter lock from
// kAllowThreadsThreshold elements on; inputs read in place when `InPlaceIn`,
// results written in place when `InPlaceOut`.
template <int Width, bool InPlaceIn, bool InPlaceOut, class In, class Out, class Compute>
void packed_loop(Py_ssize_t n, const In& in, const Out& out, const Compute& compute) noexcept {
    const py::AllowThreads allow(n >= kAllowThreadsThreshold);
    common::parallel_for(n, [&in, &out, &compute](Py_ssize_t begin, Py_ssize_t end) {
        // Copies of their own: the kernel's library calls cannot reach them,
        // so they stay in registers across the calls.
        const In source = in;
        const Out result_at = out;
        const Compute kernel = compute;
        for (Py_ssize_t i = begin; i < end; ++i) {
            double values[Width];
            const double* element = values;
            if constexpr (InPlaceIn) {
                element = source.element(i, values);
            } else {
                source.read(i, values);
            }
            if constexpr (InPlaceOut) {
                kernel(element, target(result_at.at(i)));
            } else {
                typename Out::Element result;
                kernel(element, target(&result));
                result_at.write(i, result);
            }
        }
    });
}

// The packed loop, with each buffer in place where it is aligned.
template <int Width, class In, class Out, class Compute>
void run_packed(Py_ssize_t n, const In& in, const Out& out, const Compute& compute) noexcept {
    if (in.aligned()) {
        if (out.aligned()) return packed_loop<Width, true, true>(n, in, out, compute);
        return packed_loop<Width, true, false>(n, in, out, compute);
    }
    if (out.aligned()) return packed_loop<Width, false, true>(n, in, out, compute);
    packed_loop<Width, false, false>(n, in, out, compute);
}

// A method's loop over x.shape[0] elements: element i read by `reader` (a
// Column, Columns or Rows) into `in`, compute(in, out) applied, the result put
// into `sink`. It is split over threads when `may_split` (the kernels stay off
// the interpreter) and every element is read and written straight to memory;
// packed float64 in and out then take the bare loop.
template <int Width, class Reader, class Sink, class Compute>
bool for_each_element(PyObject* x, const Reader& reader, const Sink& sink, bool may_split,
                      const Compute& compute) noexcept {
    Py_ssize_t n;
    if (!shape_item(x, 0, &n)) return false;
    const bool parallel = may_split && n <= reader.fast_length() && n <= direct_length(sink);
    if (parallel) {
        const auto in = reader.packed();
        const auto out = packed(sink);
        if (in && out) {
            run_packed<Width>(n, in, out, compute);
            return true;
        }
    }
    return run_elements(n, parallel, [&](Py_ssize_t i, auto checked) {
        double in[Width];
        if (!reader.read(i, in)) return false;
        return put(sink, i, checked, [&](auto* out) { compute(in, out); });
    });
}

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_ELLIPSOID_BINDING_ELEMENT_LOOP_H
