// The session keeper's ways of recognising and re-raising members of the corvane
// exception family and of writing to the client's logger. Class and logger are reached by
// name when the body runs, so a test may replace either.
#pragma once

#include <string_view>

#include "corvane/common/call.h"

namespace corvane::session {

// True when the failure belongs to the corvane family (CorvaneError or a subclass).
bool in_family(PyObject* module, const PyError& failure);

// True when the failure is an ordinary exception (not an interrupt or an exit).
inline bool is_ordinary(const PyError& failure) { return failure.matches(PyExc_Exception); }

// Raises a fresh public clone of the family member `failure` (self._public_error_clone).
[[noreturn]] void raise_clone(PyObject* self, const PyError& failure);

// self.logger.<level>(message)
void log(PyObject* self, const char* level, std::string_view message);

}  // namespace corvane::session
