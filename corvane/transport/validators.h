// The validators that every value crossing the boundary passes: API token, ticket texts,
// Redis host names, scope lists, partition names and content hashes.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::transport {

std::span<MethodDef> validator_methods();

}  // namespace corvane::transport
