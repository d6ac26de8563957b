// Giving back what a client's session holds: the heartbeat, the Redis connection and the
// ticket. close() runs these steps in this order, and so do the paths that release a
// session nobody closed.
#pragma once

#include "corvane/common/ref.h"

namespace corvane::client {

// Sets the stop event; the heartbeat ends when it next looks at it.
void signal_heartbeat_stop(PyObject* self);
// Sets the stop event and waits for a running heartbeat thread, at most 5 seconds.
void stop_heartbeat(PyObject* self);
// Closes the Redis connection (errors ignored) and forgets it.
void drop_redis(PyObject* self);
// Posts the disconnect when a ticket is held (self._disconnect_server()).
void release_ticket(PyObject* self);

// Runs the three steps, each best-effort: an ordinary exception of one step does not keep
// the next from running; an interrupt still ends them. `stop` is one of the two heartbeat
// steps above.
void release_quietly(PyObject* self, void (*stop)(PyObject*));

}  // namespace corvane::client
