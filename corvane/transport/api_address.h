// The API base address: reduced to a bare origin, plain http only towards this machine.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::transport {

std::span<MethodDef> api_address_methods();

}  // namespace corvane::transport
