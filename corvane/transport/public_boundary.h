// The rule every public operation applies around its internal body: a failure of the
// corvane family is replaced by its privacy-safe clone, any other ordinary exception by
// ServiceUnavailableError(); the replacement is shown once through _display_error and
// raised with no cause and no context. Interrupts (KeyboardInterrupt, SystemExit) pass.
#pragma once

#include "corvane/common/call.h"

namespace corvane::transport {

// Turns the caught failure into the public error and throws it.
[[noreturn]] void raise_public(PyObject* module, PyObject* self, const PyError& failure);

template <typename Body>
Ref public_boundary(PyObject* module, PyObject* self, Body&& body) {
    try {
        return body();
    } catch (const PyError& failure) {
        if (!failure.matches(PyExc_Exception)) throw;
        raise_public(module, self, failure);
    }
}

}  // namespace corvane::transport
