// The per-module state of corvane.CorvaneClient: values fixed when the client class is
// created, and the clients that the exit hook releases.
#pragma once

#include "corvane/common/ref.h"

namespace corvane::client {

struct ModuleState {
    // logging.INFO as it was when the class was created: the constructor's default level.
    long default_log_level;
    // A weakref.WeakSet of the clients made in this process: it never keeps one alive.
    PyObject* clients;
    // In a forked child: the addresses of the clients inherited from the parent (a set of
    // ints), which the child must not release; null otherwise.
    PyObject* inherited;
};

inline ModuleState& module_state(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace corvane::client
