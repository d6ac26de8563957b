// The list of remote categories that the current ticket authorises.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::session {

std::span<MethodDef> category_list_methods();

}  // namespace corvane::session
