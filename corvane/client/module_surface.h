// What the module binds besides its classes: its imports and SDK_VERSION.
#pragma once

#include "corvane/common/call.h"

namespace corvane::client {

inline constexpr const char* kSdkVersion = "3.0.5";

// Imports the standard modules, pandas, redis, tqdm and the sibling modules into the
// module's namespace, in the documented order; method bodies look them up there.
void import_dependencies(PyObject* module);
void define_sdk_version(PyObject* module);

}  // namespace corvane::client
