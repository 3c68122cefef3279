// Splitting an element loop over native threads.
//
// Only loops that touch no interpreter object and call no code of another
// module are split: inputs read straight from memory, the package's own
// kernels, results written straight to memory. The calling thread takes part
// and waits for the others; whether it lets go of the interpreter lock
// meanwhile is the caller's choice (py::AllowThreads). Threads are started per
// call, so nothing can be left broken by a fork.
#ifndef QUORVANE_COMMON_PARALLEL_H
#define QUORVANE_COMMON_PARALLEL_H

#include <Python.h>

#include <functional>

namespace quorvane::common {

// How a loop is split, chosen by what one element costs against starting a
// thread (some tens of microseconds).
struct Split {
    // Below this many elements the loop stays on the calling thread.
    Py_ssize_t threshold;
    // Each thread gets at least this many elements.
    Py_ssize_t min_chunk;
    // 0: one contiguous chunk per thread. Else the threads take blocks of this
    // many elements in turn until none is left, so elements of uneven cost
    // (iterations that vary) and threads slowed by other processes even out.
    Py_ssize_t block = 0;
};

// Elements of tens of nanoseconds, the conversions' kernels: starting a thread
// costs about as much as a few hundred of them.
inline constexpr Py_ssize_t kParallelThreshold = 20000;
inline constexpr Py_ssize_t kMinChunk = 10000;
inline constexpr Split kCheapElements{kParallelThreshold, kMinChunk};

// Threads to use for n elements: the CPUs this process may run on, capped by
// QUORVANE_NUM_THREADS when it is set (1 keeps every loop on one thread).
int thread_count(Py_ssize_t n, const Split& split = kCheapElements) noexcept;

// Calls chunk(begin, end) over [0, n) split across thread_count(n, split)
// threads; each element is in exactly one call. chunk must not touch
// interpreter objects.
void parallel_for(Py_ssize_t n, const std::function<void(Py_ssize_t, Py_ssize_t)>& chunk,
                  const Split& split = kCheapElements) noexcept;

}  // namespace quorvane::common

#endif  // QUORVANE_COMMON_PARALLEL_H
