#include "common/traceback.h"

#include <frameobject.h>

#include <cstring>
#include <iterator>

namespace quorvane::py {

// A new reference to the code object for `function`.
Ref TracebackEntries::code_for(const char* function) noexcept {
    for (std::size_t i = 0; i < used_; ++i) {
        if (std::strcmp(entries_[i].function, function) == 0) return Ref::borrow(entries_[i].code);
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_, function, 0)));
    const std::size_t length = std::strlen(function);
    if (code && used_ < std::size(entries_) && length < sizeof entries_[0].function) {
        Entry& entry = entries_[used_++];
        std::memcpy(entry.function, function, length + 1);
        entry.code = Py_NewRef(code.get());  // kept for the life of the process
    }
    return code;
}

void TracebackEntries::add(PyObject* module_globals, const char* function) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
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
