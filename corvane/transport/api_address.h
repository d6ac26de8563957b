// The API base address: reduced to a bare origin, plain http only towards this machine.
#pragma once

#include "corvane/common/method.h"

namespace corvane::methods {

struct IsLoopbackHostParams { Arg host{"host", ArgType::Str}; };
extern const Method<IsLoopbackHostParams> is_loopback_host;

struct NormalizeApiUrlParams { Arg cls{"cls"}; Arg api_url{"api_url", ArgType::Str}; };
extern const Method<NormalizeApiUrlParams> normalize_api_url;

}  // namespace corvane::methods
