// Splitting an element loop over native threads.
//
// Only loops that touch no interpreter object and call no code of another
// module are split: inputs read straight from memory, the package's own
// kernels, results written straight to memory. The calling thread runs the
// first chunk itself and waits for the others; whether it lets go of the
// interpreter lock meanwhile is the caller's choice (py::AllowThreads).
// Threads are started per call, so nothing can be left broken by a fork.
#ifndef QUORVANE_COMMON_PARALLEL_H
#define QUORVANE_COMMON_PARALLEL_H

#include <Python.h>

#include <functional>

namespace quorvane::common {

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

}  // namespace quorvane::common

#endif  // QUORVANE_COMMON_PARALLEL_H
