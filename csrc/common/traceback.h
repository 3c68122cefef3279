// Traceback entries for the compiled functions of an extension module.
#ifndef QUORVANE_COMMON_TRACEBACK_H
#define QUORVANE_COMMON_TRACEBACK_H

#include <Python.h>

#include <cstddef>

#include "common/ref.h"

namespace quorvane::py {

// The traceback entries of one module. An entry is a frame of an empty code
// object named after the failing function, which is how the interpreter shows
// compiled functions in tracebacks.
//
// The code objects are made on first use, one per function name, and kept: a
// code object made afresh for every failure would intern its names anew each
// time, only for them to die with the traceback, and the interpreter's table
// of interned strings would then churn and be reallocated over and over.
class TracebackEntries {
public:
    // `file` is what tracebacks show as the file of every entry: a name in
    // angle brackets, which the interpreter never looks for on disk.
    explicit constexpr TracebackEntries(const char* file) noexcept : file_(file) {}
    TracebackEntries(const TracebackEntries&) = delete;
    TracebackEntries& operator=(const TracebackEntries&) = delete;

    // Appends an entry for `function` to the traceback of the pending
    // exception, a frame whose globals are `globals` (borrowed; nullptr gives
    // it a dictionary of its own). The caller holds the interpreter lock; the
    // pending exception is preserved. Does nothing when no exception is
    // pending.
    void add(PyObject* globals, const char* function) noexcept;

private:
    Ref code_for(const char* function) noexcept;

    struct Entry {
        char function[160];
        PyObject* code;
    };
    const char* file_;
    Entry entries_[48]{};
    std::size_t used_ = 0;
};

}  // namespace quorvane::py

#endif  // QUORVANE_COMMON_TRACEBACK_H
