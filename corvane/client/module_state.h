// The per-module state of corvane.CorvaneClient: values fixed when the client class is
// created.
#pragma once

#include "corvane/common/ref.h"

namespace corvane::client {

struct ModuleState {
    // logging.INFO as it was when the class was created: the constructor's default level.
    long default_log_level;
};

inline ModuleState& module_state(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace corvane::client
