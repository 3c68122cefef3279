#include "quorvane/mathtools/ellipsoid/traceback.h"

#include <frameobject.h>

#include "quorvane/mathtools/ellipsoid/ref.h"

namespace quorvane::py {
namespace {

PyObject* traceback_globals = nullptr;  // borrowed module dictionary

constexpr char kFileName[] = "quorvane/mathtools/ellipsoid/ellipsoid.cpp";

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
    Ref code =
        globals ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kFileName, function, 0)))
                : Ref();
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
