// Owned references, and a guard for the interpreter lock.
#ifndef QUORVANE_COMMON_REF_H
#define QUORVANE_COMMON_REF_H

#include <Python.h>

#include <utility>

namespace quorvane::py {

// One owned (strong) reference, or none. Move-only; the destructor drops it.
// Ownership leaves only through release().
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (nullptr allowed: an empty Ref).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Holds the interpreter lock for its lifetime (re-entrantly).
class GilGuard {
public:
    GilGuard() noexcept : state_(PyGILState_Ensure()) {}
    ~GilGuard() { PyGILState_Release(state_); }
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;

private:
    PyGILState_STATE state_;
};

// Lets other threads run the interpreter while this thread computes without
// it (Py_BEGIN_ALLOW_THREADS as a scope); a disengaged guard does nothing.
class AllowThreads {
public:
    explicit AllowThreads(bool engage = true) noexcept
        : saved_(engage ? PyEval_SaveThread() : nullptr) {}
    ~AllowThreads() {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
    }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* saved_;
};

}  // namespace quorvane::py

#endif  // QUORVANE_COMMON_REF_H
