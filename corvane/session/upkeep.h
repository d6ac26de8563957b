// Keeping the data session usable: renewal or re-establishment before remote work
// (_ensure_connection) and the background heartbeat thread.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::session {

std::span<MethodDef> upkeep_methods();

}  // namespace corvane::session
