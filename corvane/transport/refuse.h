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

// Raises LocalStorageError for a local file operation that failed with `failure`: for an
// OSError of a full or read-only disk its user message says so (and names nothing else).
[[noreturn]] inline void refuse_storage(PyObject* module, const PyError& failure) {
    Ref type = global(module, "LocalStorageError");
    if (!failure.matches(PyExc_OSError)) raise_new(type.get());
    raise_bare(call_method(type.get(), "from_os_error", failure.exception()));
}

}  // namespace corvane::transport
