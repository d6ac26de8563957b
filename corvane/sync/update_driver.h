// The update driver: every authorised category synchronised in name order, fully or from
// sixty days back, failures counted and reported at the end.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::sync {

std::span<MethodDef> update_driver_methods();

}  // namespace corvane::sync
