// Metadata reads from Redis: raw reads with upkeep and bounded retry, JSON reads with a
// size cap, the category and partition metadata with their protocol check, and the
// category-name check.
#pragma once

#include "corvane/common/method.h"

namespace corvane::methods {

struct RedisGetWithRetryParams {
    Arg self{"self"}; Arg key{"key", ArgType::Str};
    Arg max_retries{"max_retries", ArgType::Int, "2"};
};
extern const Method<RedisGetWithRetryParams> redis_get_with_retry;

struct KeyParams { Arg self{"self"}; Arg key{"key", ArgType::Str}; };
extern const Method<KeyParams> json_get;
extern const Method<KeyParams> json_get_required;

struct CategoryParams { Arg self{"self"}; Arg category{"category", ArgType::Str}; };
extern const Method<CategoryParams> get_category_meta;
extern const Method<CategoryParams> validate_category_name;

struct PartitionParams {
    Arg self{"self"}; Arg category{"category", ArgType::Str};
    Arg partition{"partition", ArgType::Str};
};
extern const Method<PartitionParams> get_partition_meta;

struct ValidateProtocolParams { Arg self{"self"}; Arg meta{"meta"}; };
extern const Method<ValidateProtocolParams> validate_protocol;

}  // namespace corvane::methods
