// Whether close() has asked the client's threads to stop. A retry on any thread (the
// heartbeat's reconnect, a read ahead, a read of the caller's other thread) ends at this
// point instead of pausing for another attempt: nothing of a closed client goes on trying.
#pragma once

#include "corvane/common/call.h"

namespace corvane::session {

// True once the stop event is set (close(), or a client dropped unclosed); false while the
// heartbeat runs or was never started.
inline bool closing(PyObject* self) {
    Ref stop = getattr_optional(self, "_stop_heartbeat");
    return stop && !stop.is_none() && truthy(call_method(stop.get(), "is_set").get());
}

}  // namespace corvane::session
