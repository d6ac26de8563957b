#include "corvane/client/session_release.h"

#include "corvane/common/call.h"
#include "corvane/common/quietly.h"
#include "corvane/session/ticket_calls.h"

namespace corvane::client {

namespace {

constexpr long long kHeartbeatJoinSeconds = 5;

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
    close_quietly(connection.get());
    setattr(self, "_redis_client", Py_None);
}

void release_ticket(PyObject* self) {
    if (!getattr(self, "_ticket").is_none()) call(self, methods::disconnect_server);
}

void release_quietly(PyObject* self, void (*stop)(PyObject*)) {
    quietly([&] { stop(self); });
    quietly([&] { drop_redis(self); });
    quietly([&] { release_ticket(self); });
}

}  // namespace corvane::client
