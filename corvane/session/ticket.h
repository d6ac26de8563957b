// DataTicket: the record of the short-lived data credential.
#pragma once

#include "corvane/common/call.h"

namespace corvane::session {

void define_data_ticket(PyObject* module);

}  // namespace corvane::session
