// The three service calls of the data ticket: obtain (_fetch_ticket), renew
// (_renew_ticket) and release (_disconnect_server).
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::session {

std::span<MethodDef> ticket_call_methods();

}  // namespace corvane::session
