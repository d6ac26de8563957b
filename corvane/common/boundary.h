// Where C++ meets the interpreter: every function that the interpreter calls runs its
// body through `guarded`, which turns a thrown PyError (or C++ failure) back into the
// error indicator and a null result.
#pragma once

#include <exception>
#include <new>

#include "corvane/common/error.h"

namespace corvane {

template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (PyError& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        PyErr_SetString(PyExc_SystemError, failure.what());
    }
    return nullptr;
}

}  // namespace corvane
