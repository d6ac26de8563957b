// Keeping the data session usable: renewal or re-establishment before remote work
// (_ensure_connection) and the background heartbeat thread.
#pragma once

#include "corvane/common/method.h"

namespace corvane::methods {

extern const Method<SelfParams> ensure_connection;
extern const Method<SelfParams> start_heartbeat;
extern const Method<SelfParams> heartbeat_loop;

}  // namespace corvane::methods
