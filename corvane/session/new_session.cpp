#include "corvane/session/new_session.h"

#include "corvane/session/redis_connection.h"
#include "corvane/session/ticket_calls.h"

namespace corvane::session {

void connect_with_new_ticket(PyObject* self) {
    call(self, methods::fetch_ticket);
    call(self, methods::connect_redis);
}

}  // namespace corvane::session
