// Synchronisation of one category: pivot categories partition by partition, unstack
// categories as their single partition "full"; each payload checked and decoded.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::sync {

std::span<MethodDef> category_sync_methods();

}  // namespace corvane::sync
