// A new data session: a new ticket, then a data connection made with its credentials.
#pragma once

#include "corvane/common/ref.h"

namespace corvane::session {

// self._fetch_ticket(), then self._connect_redis(): through the instance, so that a method
// replaced on the class or on the instance is the one that runs.
void connect_with_new_ticket(PyObject* self);

}  // namespace corvane::session
