// The validators that every value crossing the boundary passes: API token, ticket texts,
// Redis host names, scope lists, partition names and content hashes.
#pragma once

#include "corvane/common/method.h"

namespace corvane::methods {

struct ValidateApiTokenParams {
    Arg api_token{"api_token", ArgType::Str};
};

struct RequiredTextParams {
    Arg value{"value"};
    Arg max_length{"max_length", ArgType::Int};
};

struct ValidateRedisHostParams {
    Arg cls{"cls"};
    Arg value{"value"};
};

struct ValidateScopeListParams {
    Arg cls{"cls"};
    Arg value{"value"};
    Arg max_items{"max_items", ArgType::Int, "10000"};
};

struct ValidatePartitionNameParams {
    Arg cls{"cls"};
    Arg partition{"partition"};
};

struct ValidateHashParams {
    Arg cls{"cls"};
    Arg hash_value{"hash_value"};
};

extern const Method<ValidateApiTokenParams> validate_api_token;
extern const Method<RequiredTextParams> required_text;
extern const Method<ValidateRedisHostParams> validate_redis_host;
extern const Method<ValidateScopeListParams> validate_scope_list;
extern const Method<ValidatePartitionNameParams> validate_partition_name;
extern const Method<ValidateHashParams> validate_hash;

}  // namespace corvane::methods
