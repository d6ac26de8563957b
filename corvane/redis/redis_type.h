// The corvane._redis.Redis type.
#pragma once

#include "corvane/common/ref.h"

namespace corvane::redis {

// Creates the type for `module`.
Ref make_redis_type(PyObject* module);

}  // namespace corvane::redis
