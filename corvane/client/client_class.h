// The CorvaneClient class: its constants and its methods in their documented order.
#pragma once

#include "corvane/common/call.h"

namespace corvane::client {

void define_client_class(PyObject* module);

}  // namespace corvane::client
