// _NoRedirectHandler and _BufferedResponse, the two small classes of the HTTP transport.
#pragma once

#include "corvane/common/call.h"

namespace corvane::transport {

void define_http_classes(PyObject* module);

}  // namespace corvane::transport
