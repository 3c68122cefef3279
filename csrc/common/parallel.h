// Splitting a method's element loop over native threads.
//
// Only loops that touch no interpreter object and call no code of another
// module are split: exact NumPy inputs read from memory, the module's own
// kernels, results written through a typed view. The calling thread keeps the
// interpreter lock, runs the first chunk itself and waits for the others.
// Threads are started per call, so nothing can be left broken by a fork.
#ifndef QUORVANE_MATHTOOLS_ELLIPSOID_PARALLEL_H
#define QUORVANE_MATHTOOLS_ELLIPSOID_PARALLEL_H

#include <Python.h>

#include <functional>

namespace quorvane::ellipsoid {

// Below this many elements a loop stays on the calling thread: starting a
// thread costs about as much as a few hundred elements.
inline constexpr Py_ssize_t kParallelThreshold = 20000;
// Each thread gets at least this many elements.
inline constexpr Py_ssize_t kMinChunk = 10000;

// Threads to use for n elements: the CPUs this process may run on, capped by
// QUORVANE_NUM_THREADS when it is set (1 keeps every loop on one thread).
int thread_count(Py_ssize_t n) noexcept;

// Calls chunk(begin, end) over [0, n) split across thread_count(n) threads.
// chunk must not touch interpreter objects.
void parallel_for(Py_ssize_t n, const std::function<void(Py_ssize_t, Py_ssize_t)>& chunk) noexcept;

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_MATHTOOLS_ELLIPSOID_PARALLEL_H
