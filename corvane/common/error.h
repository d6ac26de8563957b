// Python exceptions travelling through C++ code.
//
// A C API failure is captured into a PyError (which owns the exception object) and
// thrown; each exported function catches it and restores it as the error indicator
// (see boundary.h). Holding the exception as an object, not in the indicator, keeps it
// safe from Python code that runs while the C++ stack unwinds.
#pragma once

#include "corvane/common/ref.h"

namespace corvane {

class PyError {
public:
    // Captures the interpreter's current exception; there must be one.
    static PyError fetch() noexcept;
    // Wraps an exception instance.
    explicit PyError(Ref exception) noexcept : exception_(std::move(exception)) {}

    PyObject* exception() const noexcept { return exception_.get(); }
    // True when the exception is an instance of `type` (a class or tuple of classes).
    bool matches(PyObject* type) const noexcept;
    // Hands the exception back to the interpreter as the error indicator.
    void restore() noexcept;

private:
    Ref exception_;
};

// Throws the current Python exception when `obj` is null; otherwise returns it.
Ref check(PyObject* new_reference);
// Throws the current Python exception when `status` is negative; otherwise returns it.
int check_status(int status);
// Throws the current Python exception.
[[noreturn]] void throw_current();
// Sets `type` with a formatted message (PyErr_Format's format) and throws it.
[[noreturn]] void throw_format(PyObject* type, const char* format, ...);

}  // namespace corvane
