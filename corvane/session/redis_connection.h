// The Redis connection of the current ticket and its transport policy: TLS 1.2 or better,
// plaintext only towards a loopback host or under the service's one plaintext policy.
#pragma once

#include "corvane/common/method.h"

namespace corvane::session {

// The Redis library's class for rejected credentials (redis.AuthenticationError).
Ref authentication_error(PyObject* module);

}  // namespace corvane::session

namespace corvane::methods {

struct OfficialPlaintextRedisIsAllowedParams { Arg self{"self"}; Arg ticket{"ticket"}; };
extern const Method<OfficialPlaintextRedisIsAllowedParams> official_plaintext_redis_is_allowed;

extern const Method<SelfParams> connect_redis;

}  // namespace corvane::methods
