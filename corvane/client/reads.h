// The read side of the client: one category as a frame, the remote and the local lists.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::client {

std::span<MethodDef> read_methods();

}  // namespace corvane::client
