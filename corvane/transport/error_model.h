// The public error vocabulary: service codes and HTTP statuses mapped onto the public
// codes, public errors built from the class tables, privacy-safe clones and their display.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::transport {

std::span<MethodDef> error_model_methods();

}  // namespace corvane::transport
