// Raising a member of the exception family by its name in the module's namespace.
#pragma once

#include "corvane/common/call.h"

namespace corvane::transport {

// Raises `exception_class`() (class defaults, no cause, no context); the class is looked
// up when the caller runs so that a test may replace it.
[[noreturn]] inline void refuse(PyObject* module, const char* exception_class) {
    Ref type = global(module, exception_class);
    raise_new(type.get());
}

}  // namespace corvane::transport
