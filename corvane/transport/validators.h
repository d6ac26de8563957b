// The validators that every value crossing the boundary passes: API token, ticket texts,
// Redis host names, scope lists, partition names and content hashes.
#pragma once

#include "corvane/common/method.h"

namespace corvane::methods {

struct ValidateApiTokenParams { Arg api_token{"api_token", ArgType::Str}; };
extern const Method<ValidateApiTokenParams> validate_api_token;

struct RequiredTextParams { Arg value{"value"}; Arg max_length{"max_length", ArgType::Int}; };
extern const Method<RequiredTextParams> required_text;

struct ValidateRedisHostParams { Arg cls{"cls"}; Arg value{"value"}; };
extern const Method<ValidateRedisHostParams> validate_redis_host;

struct ValidateScopeListParams {
    Arg cls{"cls"}; Arg value{"value"}; Arg max_items{"max_items", ArgType::Int, "10000"};
};
extern const Method<ValidateScopeListParams> validate_scope_list;

struct ValidatePartitionNameParams { Arg cls{"cls"}; Arg partition{"partition"}; };
extern const Method<ValidatePartitionNameParams> validate_partition_name;

struct ValidateHashParams { Arg cls{"cls"}; Arg hash_value{"hash_value"}; };
extern const Method<ValidateHashParams> validate_hash;

}  // namespace corvane::methods
