// Owning reference to a Python object: the one owner of a strong reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace corvane {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    ~Ref() { Py_XDECREF(obj_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }

    // Takes over a new reference (the result of most C API calls); may be null.
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Takes a new reference to a borrowed object; may be null.
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller (for returning it to the interpreter).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    bool is_none() const noexcept { return obj_ == Py_None; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace corvane
