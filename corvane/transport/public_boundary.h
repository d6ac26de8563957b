// The rule every public operation applies around its internal body: a failure of the
// corvane family is replaced by its privacy-safe clone, any other ordinary exception by
// ServiceUnavailableError(); the replacement is shown once through _display_error and
// raised with no cause and no context. Interrupts (KeyboardInterrupt, SystemExit) pass.
#pragma once

#include "corvane/common/method.h"

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

// A public method: it takes the parameters of the internal method it wraps and calls it
// through the instance (with the arguments it was given) behind the public boundary.
// `check`, when set, refuses argument values before the boundary, so that its errors reach
// the caller as they are, like the parser's type errors.
template <typename P>
struct PublicMethod {
    using Params = P;
    const char* name;
    const Method<P>& internal;
    const char* doc = nullptr;
    void (*check)(PyObject* module, const P& args) = nullptr;
    static constexpr Binding binding = Binding::Instance;
};

template <typename P>
Ref invoke(PyObject* module, const PublicMethod<P>& method, const P& args) {
    if (method.check != nullptr) method.check(module, args);
    return public_boundary(module, args.self,
                           [&] { return call_with_given(args.self, method.internal.name, args); });
}

}  // namespace corvane::transport
