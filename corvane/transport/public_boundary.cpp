#include "corvane/transport/public_boundary.h"
#include "corvane/transport/error_model.h"

namespace corvane::transport {

void raise_public(PyObject* module, PyObject* self, const PyError& failure) {
    Ref family = global(module, "CorvaneError");
    Ref replacement;
    if (failure.matches(family.get())) {
        replacement = call(self, methods::public_error_clone, failure.exception());
    } else {
        Ref unavailable = global(module, "ServiceUnavailableError");
        replacement = call(unavailable.get());
    }
    call(self, methods::display_error, replacement);
    raise_bare(std::move(replacement));
}

}  // namespace corvane::transport
