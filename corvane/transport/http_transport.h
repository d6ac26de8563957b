// The HTTPS JSON transport: one POST per call, a bounded reply, redirects never followed.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::transport {

std::span<MethodDef> http_transport_methods();

}  // namespace corvane::transport
