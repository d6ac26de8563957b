// The three service calls of the data ticket: obtain (_fetch_ticket), renew
// (_renew_ticket) and release (_disconnect_server).
#pragma once

#include "corvane/common/method.h"

namespace corvane::methods {

extern const Method<SelfParams> fetch_ticket;
extern const Method<SelfParams> renew_ticket;
extern const Method<SelfParams> disconnect_server;

}  // namespace corvane::methods
