#include "quorvane/mathtools/ellipsoid/traceback.h"

#include <frameobject.h>

#include <cstring>
#include <iterator>

#include "quorvane/mathtools/ellipsoid/ref.h"

namespace quorvane::py {
namespace {

PyObject* traceback_globals = nullptr;  // borrowed module dictionary

constexpr char kFileName[] = "quorvane/mathtools/ellipsoid/ellipsoid.cpp";

// The code objects of the entries, one per function name, made on first use
// and kept for the life of the process (used with the interpreter lock held).
// A code object made afresh for every failure would intern its names anew
// each time, only for them to die with the traceback: the interpreter's table
// of interned strings then churns and is reallocated over and over.
struct CodeCacheEntry {
    char function[160];
    PyObject* code;  // owned
};
CodeCacheEntry code_cache[48];
size_t code_cache_used = 0;

// A new reference to the code object for `function`.
Ref code_for(const char* function) noexcept {
    for (size_t i = 0; i < code_cache_used; ++i) {
        if (std::strcmp(code_cache[i].function, function) == 0) {
            return Ref::borrow(code_cache[i].code);
        }
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kFileName, function, 0)));
    const size_t length = std::strlen(function);
    if (code && code_cache_used < std::size(code_cache) &&
        length < sizeof code_cache[0].function) {
        CodeCacheEntry& entry = code_cache[code_cache_used++];
        std::memcpy(entry.function, function, length + 1);
        entry.code = Py_NewRef(code.get());
    }
    return code;
}

}  // namespace

void set_traceback_globals(PyObject* globals) noexcept {
    traceback_globals = globals;
}

void add_traceback(const char* function) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    // The entry is a frame of an empty code object named after the function,
    // which is how the interpreter shows compiled functions in tracebacks.
    Ref globals = traceback_globals ? Ref::borrow(traceback_globals) : Ref::steal(PyDict_New());
    Ref code = globals ? code_for(function) : Ref();
    Ref frame = code ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                           PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                           globals.get(), nullptr)))
                     : Ref();
    if (!frame) {
        // Building the entry failed: keep the original exception, drop the entry.
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace quorvane::py
