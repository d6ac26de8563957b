#include "corvane/session/errors.h"
#include "corvane/transport/error_model.h"

namespace corvane::session {

bool in_family(PyObject* module, const PyError& failure) {
    Ref family = global(module, "CorvaneError");
    return failure.matches(family.get());
}

void raise_clone(PyObject* self, const PyError& failure) {
    raise_bare(call(self, methods::public_error_clone, failure.exception()));
}

void log(PyObject* self, const char* level, std::string_view message) {
    Ref logger = getattr(self, "logger");
    call_method(logger.get(), level, text(message));
}

}  // namespace corvane::session
