// The skeleton every companion extension of the ellipsoid (_frames, _geodesic,
// _fast) is built on: multi-phase initialisation with the module's state in
// one struct, its lifecycle (exec, traverse, clear, free), the Ellipsoid type
// the state holds, and the argument checks of its functions.
//
// A module's state is a struct State derived from StateBase, whose memory the
// interpreter zeroes; it also names the module:
//   static constexpr const char* kName, * kDoc;  // the module's name, docstring
//   static PyMethodDef functions[];              // its functions (entry(), below)
//   auto references() noexcept;  // std::tie of its own strong references
//   int exec() noexcept;         // takes them; 0, or -1 with an exception
// The references are visited and cleared from that one list.
#ifndef QUORVANE_ELLIPSOID_COMPANION_MODULE_H
#define QUORVANE_ELLIPSOID_COMPANION_MODULE_H

#include <Python.h>

#include <initializer_list>
#include <tuple>
#include <type_traits>

#include "common/ref.h"
#include "quorvane/mathtools/ellipsoid/ellipsoid.h"

namespace quorvane::ellipsoid::companion {

// quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid, checked to be a type; an
// empty Ref with an exception set on failure.
inline py::Ref ellipsoid_type() noexcept {
    py::Ref module =
        py::Ref::steal(PyImport_ImportModule("quorvane.mathtools.ellipsoid.ellipsoid"));
    if (!module) return {};
    py::Ref type = py::Ref::steal(PyObject_GetAttrString(module.get(), "Ellipsoid"));
    if (!type) return {};
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_ImportError, "Ellipsoid is not a type");
        return {};
    }
    return type;
}

// What every companion module holds: the Ellipsoid type, filled before
// State::exec runs.
struct StateBase {
    PyTypeObject* ellipsoid_type;  // strong
};

template <class State>
State& state_of(PyObject* module) noexcept {
    return *static_cast<State*>(PyModule_GetState(module));
}

// `ell` as an Ellipsoid (of `state`'s type, subclasses included), or nullptr
// with the TypeError naming the argument.
inline const QuorvaneEllipsoidObject* ellipsoid_of(const StateBase& state, PyObject* ell) noexcept {
    if (!PyObject_TypeCheck(ell, state.ellipsoid_type)) {
        PyErr_Format(PyExc_TypeError, "ell must be an Ellipsoid, got %.200s",
                     Py_TYPE(ell)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<const QuorvaneEllipsoidObject*>(ell);
}

// -- Lifecycle ---------------------------------------------------------------------

template <class State>
int exec_module(PyObject* module) noexcept {
    static_assert(std::is_base_of_v<StateBase, State> &&
                      std::is_trivially_default_constructible_v<State> &&
                      std::is_trivially_destructible_v<State>,
                  "the interpreter zeroes and frees the state's memory");
    State& state = state_of<State>(module);
    py::Ref type = ellipsoid_type();
    if (!type) return -1;
    state.ellipsoid_type = reinterpret_cast<PyTypeObject*>(type.release());
    return state.exec();
}

// Every strong reference of the state, the Ellipsoid type first.
template <class State>
auto all_references(State& state) noexcept {
    return std::tuple_cat(std::tie(state.ellipsoid_type), state.references());
}

template <class State>
int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
    return std::apply(
        [&](auto*&... reference) noexcept {
            int result = 0;
            ((result = result != 0 || reference == nullptr
                           ? result
                           : visit(reinterpret_cast<PyObject*>(reference), arg)),
             ...);
            return result;
        },
        all_references(state_of<State>(module)));
}

template <class State>
int clear_module(PyObject* module) noexcept {
    std::apply(
        [](auto*&... reference) noexcept {
            const auto drop = [](auto*& r) noexcept {
                PyObject* old = reinterpret_cast<PyObject*>(r);
                r = nullptr;
                Py_XDECREF(old);
            };
            (drop(reference), ...);
        },
        all_references(state_of<State>(module)));
    return 0;
}

template <class State>
void free_module(void* module) noexcept {
    clear_module<State>(static_cast<PyObject*>(module));
}

// PyInit_<name>'s result: the definition of State's module (static: the
// interpreter keeps pointing at it).
template <class State>
PyObject* init_module() noexcept {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(&exec_module<State>)},
        {0, nullptr},
    };
    static PyModuleDef definition = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = State::kName,
        .m_doc = State::kDoc,
        .m_size = sizeof(State),
        .m_methods = State::functions,
        .m_slots = slots,
        .m_traverse = &traverse_module<State>,
        .m_clear = &clear_module<State>,
        .m_free = &free_module<State>,
    };
    return PyModuleDef_Init(&definition);
}

// -- Functions -----------------------------------------------------------------------

// A module function: its positional arguments, already counted.
using Function = PyObject* (*)(PyObject* module, PyObject* const* args) noexcept;
// One with keywords as well: kwnames names the values after the positional ones.
using KeywordFunction = PyObject* (*)(PyObject* module, PyObject* const* args,
                                      PyObject* kwnames) noexcept;

inline bool has_count(Py_ssize_t count, Py_ssize_t nargs) noexcept {
    if (nargs == count) return true;
    PyErr_Format(PyExc_TypeError, "expected %zd positional arguments, got %zd", count, nargs);
    return false;
}

template <Function function, Py_ssize_t count>
PyObject* counted(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return has_count(count, nargs) ? function(module, args) : nullptr;
}

template <KeywordFunction function, Py_ssize_t count>
PyObject* counted_with_keywords(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return has_count(count, nargs) ? function(module, args, kwnames) : nullptr;
}

// The entry of `function`, which takes `count` positional arguments.
template <Function function, Py_ssize_t count>
PyMethodDef entry(const char* name, const char* doc) noexcept {
    return {name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&counted<function, count>)),
            METH_FASTCALL, doc};
}

// The entry of `function`, which takes `count` positional arguments and keywords.
template <KeywordFunction function, Py_ssize_t count>
PyMethodDef keyword_entry(const char* name, const char* doc) noexcept {
    return {name,
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(&counted_with_keywords<function, count>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// The entry of a function of no arguments.
inline PyMethodDef entry(const char* name, PyCFunction function, const char* doc) noexcept {
    return {name, function, METH_NOARGS, doc};
}

// A keyword-only flag: its name, and where its truth goes (left as it is when
// the call does not name it).
struct Flag {
    const char* name;
    bool* value;
};

// The flags named in kwnames, whose values are `values` in order; false with
// the exception for a keyword that names no flag, or a value without a truth.
inline bool read_flags(PyObject* const* values, PyObject* kwnames,
                       std::initializer_list<Flag> flags) noexcept {
    const Py_ssize_t n = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const Flag* found = nullptr;
        for (const Flag& flag : flags)
            if (PyUnicode_CompareWithASCIIString(key, flag.name) == 0) found = &flag;
        if (found == nullptr) {
            PyErr_Format(PyExc_TypeError, "unexpected keyword argument '%U'", key);
            return false;
        }
        const int truth = PyObject_IsTrue(values[k]);
        if (truth < 0) return false;
        *found->value = truth != 0;
    }
    return true;
}

}  // namespace quorvane::ellipsoid::companion

#endif  // QUORVANE_ELLIPSOID_COMPANION_MODULE_H
