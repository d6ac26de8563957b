// The list of remote categories that the current ticket authorises.
#pragma once

#include "corvane/common/method.h"

namespace corvane::methods {

extern const Method<SelfParams> refresh_categories;

}  // namespace corvane::methods
