// Clients dropped without close(): a finaliser, and an exit hook for those still open when
// the interpreter ends. Both give the session back the way close() does, silently, and wait
// for a service that does not answer about 2 seconds in all, however many clients.
#pragma once

#include "corvane/common/method.h"

namespace corvane::client {

// __del__
// Creates the module's set of clients (held weakly) and registers the exit hook.
void install_exit_hook(PyObject* module);

// Adds a client to the set that the exit hook goes through.
void track_client(PyObject* module, PyObject* self);

}  // namespace corvane::client

namespace corvane::methods {

extern const Method<SelfParams> del;

}  // namespace corvane::methods
