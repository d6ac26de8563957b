// The client's construction and session start, closing, and the context-manager pair.
#pragma once

#include "corvane/common/method.h"

namespace corvane::client {

// Records the constructor's default log level (logging.INFO now) in the module state.
void capture_default_log_level(PyObject* module);

}  // namespace corvane::client

namespace corvane::methods {

struct InitParams {
    Arg self{"self"}; Arg api_token{"api_token"}; Arg save_path{"save_path"};
    Arg api_url{"api_url", ArgType::Any, "None"}; Arg log_level{"log_level", ArgType::Any, "20"};
    Arg display_errors{"display_errors", ArgType::Any, "True"};
};
extern const Method<InitParams> init;

struct ExitParams {
    Arg self{"self"}; Arg exc_type{"exc_type"}; Arg exc_val{"exc_val"}; Arg exc_tb{"exc_tb"};
};
extern const Method<ExitParams> exit;

extern const Method<SelfParams> init_connection;
extern const Method<SelfParams> close;
extern const Method<SelfParams> enter;

}  // namespace corvane::methods
