// The public error vocabulary: service codes and HTTP statuses mapped onto the public
// codes, public errors built from the class tables, privacy-safe clones and their display.
#pragma once

#include "corvane/common/method.h"

namespace corvane::methods {

struct ErrorParams { Arg self{"self"}; Arg error{"error"}; };
extern const Method<ErrorParams> display_error;
extern const Method<ErrorParams> public_error_clone;
extern const Method<ErrorParams> as_corvane_error;

struct NormalizeErrorCodeParams {
    Arg self{"self"}; Arg raw_code{"raw_code"}; Arg status_code{"status_code", ArgType::Int};
};
extern const Method<NormalizeErrorCodeParams> normalize_error_code;

struct PublicCodeFromStatusParams {
    Arg self{"self"}; Arg status_code{"status_code", ArgType::Int};
};
extern const Method<PublicCodeFromStatusParams> public_code_from_status;

struct BuildPublicErrorParams { Arg self{"self"}; Arg public_code{"public_code", ArgType::Str}; };
extern const Method<BuildPublicErrorParams> build_public_error;

}  // namespace corvane::methods
