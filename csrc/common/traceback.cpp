#include "ellipsoid/binding/traceback.h"

#include <frameobject.h>

#include <cstring>
#include <iterator>

#include "common/ref.h"
#include "ellipsoid/state.h"

namespace quorvane::py {
namespace {

constexpr char kFileName[] = "quorvane/mathtools/ellipsoid/ellipsoid.cpp";

// A new reference to the code object for `function`.
Ref code_for(const char* function) noexcept {
    ellipsoid::CodeCache& cache = ellipsoid::state.code_cache;
    for (size_t i = 0; i < cache.used; ++i) {
        if (std::strcmp(cache.entries[i].function, function) == 0) {
            return Ref::borrow(cache.entries[i].code);
        }
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kFileName, function, 0)));
    const size_t length = std::strlen(function);
    if (code && cache.used < std::size(cache.entries) &&
        length < sizeof cache.entries[0].function) {
        ellipsoid::CodeCache::Entry& entry = cache.entries[cache.used++];
        std::memcpy(entry.function, function, length + 1);
        entry.code = Py_NewRef(code.get());
    }
    return code;
}

}  // namespace

void add_traceback(const char* function) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    // The entry is a frame of an empty code object named after the function,
    // which is how the interpreter shows compiled functions in tracebacks.
    PyObject* module_globals = ellipsoid::state.globals;
    Ref globals = module_globals ? Ref::borrow(module_globals) : Ref::steal(PyDict_New());
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
