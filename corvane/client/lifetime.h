// The client's construction and session start, closing, and the context-manager pair.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::client {

std::span<MethodDef> lifetime_methods();

// Records the constructor's default log level (logging.INFO now) in the module state.
void capture_default_log_level(PyObject* module);

}  // namespace corvane::client
