// The Redis connection of the current ticket and its transport policy: TLS 1.2 or better,
// plaintext only towards a loopback host or under the service's one plaintext policy.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::session {

std::span<MethodDef> redis_connection_methods();

// The Redis library's class for rejected credentials (redis.AuthenticationError).
Ref authentication_error(PyObject* module);

}  // namespace corvane::session
