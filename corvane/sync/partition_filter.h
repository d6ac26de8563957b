// Selection of the partitions of an incremental update by their names alone.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::sync {

std::span<MethodDef> partition_filter_methods();

}  // namespace corvane::sync
