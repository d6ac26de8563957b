// What the corvane._redis module holds: its Redis type and its exception classes.
#pragma once

#include "corvane/common/ref.h"
#include "corvane/redis/failure.h"

namespace corvane::redis {

struct ModuleState {
    PyObject* redis_type;
    PyObject* exceptions;  // the corvane._redis.exceptions module
    PyObject* redis_error;
    PyObject* connection_error;
    PyObject* timeout_error;
    PyObject* authentication_error;
    PyObject* response_error;
};

// The state of the module that defined `type` (or one of its bases).
ModuleState& state_of(PyTypeObject* type);

// Raises the exception class that stands for `failure` (as a PyError). An interruption
// re-raises the exception that the signal handler left pending.
[[noreturn]] void raise_failure(const ModuleState& state, const Failure& failure);

// On a signal during a blocking wait: runs the interpreter's signal handlers, and abandons
// the wait (Failure of kind Interrupted) when one of them raised.
void check_signals_during_io();

}  // namespace corvane::redis
