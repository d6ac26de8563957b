// Metadata reads from Redis: raw reads with upkeep and bounded retry, JSON reads with a
// size cap, the category and partition metadata with their protocol check, and the
// category-name check.
#pragma once

#include <span>

#include "corvane/common/classes.h"

namespace corvane::session {

std::span<MethodDef> metadata_methods();

}  // namespace corvane::session
