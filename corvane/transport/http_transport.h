// The HTTPS JSON transport: one POST per call, a bounded reply, redirects never followed.
#pragma once

#include "corvane/common/method.h"

namespace corvane::methods {

struct ResponseParams { Arg self{"self"}; Arg response{"response"}; };
extern const Method<ResponseParams> read_api_response;
extern const Method<ResponseParams> parse_api_response;

struct ApiPostJsonParams {
    Arg self{"self"}; Arg endpoint{"endpoint", ArgType::Str}; Arg payload{"payload", ArgType::Dict};
    Arg timeout{"timeout", ArgType::Int};
};
extern const Method<ApiPostJsonParams> api_post_json;

}  // namespace corvane::methods
