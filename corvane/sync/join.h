// Log and error texts built from pieces, as Python's str() of each piece gives it.
#pragma once

#include <initializer_list>

#include "corvane/common/call.h"

namespace corvane::sync {

inline Ref join(std::initializer_list<PyObject*> parts) {
    Ref joined = text("");
    for (PyObject* part : parts) {
        Ref piece = check(PyObject_Str(part));
        joined = check(PyUnicode_Concat(joined.get(), piece.get()));
    }
    return joined;
}

inline void log_info(PyObject* self, const Ref& message) {
    Ref logger = getattr(self, "logger");
    call_method(logger.get(), "info", message);
}

}  // namespace corvane::sync
