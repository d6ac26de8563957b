#include "corvane/client/session_release.h"

#include "corvane/common/call.h"
#include "corvane/session/errors.h"
#include "corvane/session/ticket_calls.h"

namespace corvane::client {

namespace {

constexpr long long kHeartbeatJoinSeconds = 5;

// Runs `step`, ignoring any ordinary exception it raises.
template <typename Step>
void best_effort(Step&& step) {
    try {
        step();
    } catch (const PyError& failure) {
        if (!session::is_ordinary(failure)) throw;
    }
}

}  // namespace

void signal_heartbeat_stop(PyObject* self) {
    call_method(getattr(self, "_stop_heartbeat").get(), "set");
}

void stop_heartbeat(PyObject* self) {
    signal_heartbeat_stop(self);
    Ref thread = getattr(self, "_heartbeat_thread");
    if (!thread.is_none() && truthy(call_method(thread.get(), "is_alive").get())) {
        call_method(thread.get(), "join", integer(kHeartbeatJoinSeconds));
    }
}

void drop_redis(PyObject* self) {
    Ref connection = getattr(self, "_redis_client");
    if (connection.is_none()) return;
    best_effort([&] { call_method(connection.get(), "close"); });
    setattr(self, "_redis_client", Py_None);
}

void release_ticket(PyObject* self) {
    if (!getattr(self, "_ticket").is_none()) call(self, methods::disconnect_server);
}

void release_quietly(PyObject* self, void (*stop)(PyObject*)) {
    best_effort([&] { stop(self); });
    best_effort([&] { drop_redis(self); });
    best_effort([&] { release_ticket(self); });
}

}  // namespace corvane::client
