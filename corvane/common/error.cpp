#include "corvane/common/error.h"

#include <cstdarg>

namespace corvane {

PyError PyError::fetch() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) {
        PyErr_SetString(PyExc_SystemError, "corvane: error raised without an exception set");
        exc = PyErr_GetRaisedException();
    }
    return PyError(Ref::steal(exc));
}

bool PyError::matches(PyObject* type) const noexcept {
    return PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
}

void PyError::restore() noexcept {
    Ref exc = exception_;
    PyErr_SetRaisedException(exc.release());
}

Ref check(PyObject* new_reference) {
    if (new_reference == nullptr) throw PyError::fetch();
    return Ref::steal(new_reference);
}

int check_status(int status) {
    if (status < 0) throw PyError::fetch();
    return status;
}

void throw_current() { throw PyError::fetch(); }

void throw_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw PyError::fetch();
}

}  // namespace corvane
