#include "corvane/session/new_session.h"

#include "corvane/common/call.h"

namespace corvane::session {

void connect_with_new_ticket(PyObject* self) {
    call_method(self, "_fetch_ticket");
    call_method(self, "_connect_redis");
}

}  // namespace corvane::session
