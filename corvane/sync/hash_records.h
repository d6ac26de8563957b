// Local hash records: one small file per (category, partition) holding the verified hash
// text of the stored partition, replaced atomically.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::sync {

std::span<MethodDef> hash_record_methods();

}  // namespace corvane::sync
