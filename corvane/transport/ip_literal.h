// IP address literals, parsed by the standard library's `ipaddress` of the module namespace.
#pragma once

#include "corvane/common/call.h"

namespace corvane::transport {

// ipaddress.ip_address(text), or a null Ref when the text is no address literal.
Ref parse_ip_address(PyObject* module, PyObject* text);

}  // namespace corvane::transport
