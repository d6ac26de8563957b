#include "corvane/session/upkeep.h"

#include "corvane/common/args.h"
#include "corvane/session/closing.h"
#include "corvane/session/errors.h"
#include "corvane/session/redis_connection.h"
#include "corvane/session/ticket_calls.h"
#include "corvane/session/new_session.h"

namespace corvane::session {

namespace {

// True when the ticket has fewer than TICKET_REFRESH_THRESHOLD seconds left.
bool renewal_due(PyObject* self, PyObject* ticket) {
    Ref left = getattr(ticket, "ttl_seconds");
    Ref threshold = getattr(self, "TICKET_REFRESH_THRESHOLD");
    return check_status(PyObject_RichCompareBool(left.get(), threshold.get(), Py_LT)) != 0;
}

Ref ensure_connection(PyObject*, const SelfParams& args) {
    PyObject* self = args.self;
    Ref ticket = getattr(self, "_ticket");
    if (ticket.is_none() || truthy(getattr(ticket.get(), "is_expired").get())) {
        log(self, "info", "连接已过期，正在重新连接...");
        session::connect_with_new_ticket(self);
    } else if (renewal_due(self, ticket.get())) {
        call(self, methods::renew_ticket);
    }
    return none();
}

// The thread's target: `loop`, but bound to a weak proxy of the client when it is the
// client's own bound method, so that a client dropped without close() can be collected
// while its heartbeat waits. Any other callable (one set on the instance) is used as it is.
Ref weakly_bound(Ref loop, PyObject* self) {
    if (!PyMethod_Check(loop.get()) || PyMethod_GET_SELF(loop.get()) != self) return loop;
    Ref proxy = check(PyWeakref_NewProxy(self, nullptr));
    return check(PyMethod_New(PyMethod_GET_FUNCTION(loop.get()), proxy.get()));
}

Ref start_heartbeat(PyObject* module, const SelfParams& args) {
    PyObject* self = args.self;
    call_method(getattr(self, "_stop_heartbeat").get(), "clear");
    Ref threading = global(module, "threading");
    Ref thread_class = getattr(threading.get(), "Thread");
    Ref loop = weakly_bound(bound(self, methods::heartbeat_loop), self);
    Ref name = text("corvane-heartbeat");
    // A daemon: an unclosed client never keeps the process alive.
    Ref thread = call_kw(thread_class.get(),
                         {{"target", loop.get()}, {"name", name.get()}, {"daemon", Py_True}});
    setattr(self, "_heartbeat_thread", thread.get());
    call_method(thread.get(), "start");
    log(self, "debug", "心跳线程已启动");
    return none();
}

// The warning for a failed heartbeat: the family member's own user message, or the
// default message of ServiceUnavailableError for anything else.
Ref heartbeat_warning(PyObject* module, const PyError& failure) {
    if (in_family(module, failure)) return getattr(failure.exception(), "user_message");
    Ref unavailable = global(module, "ServiceUnavailableError");
    return getattr(call(unavailable.get()).get(), "user_message");
}

void heartbeat_once(PyObject* module, PyObject* self) {
    try {
        Ref ticket = getattr(self, "_ticket");
        if (!ticket.is_none() && renewal_due(self, ticket.get())) {
            call(self, methods::renew_ticket);
        }
    } catch (const PyError& failure) {
        if (!is_ordinary(failure)) throw;
        // A renewal that close() cut short: the client is gone for its user, and so are
        // its warnings.
        if (closing(self)) return;
        Ref logger = getattr(self, "logger");
        call_method(logger.get(), "warning", heartbeat_warning(module, failure));
    }
}

// The client itself for one pass of the loop: `self`, or the client behind the weak proxy
// that _start_heartbeat binds; null once that client is gone.
Ref strong_self(PyObject* self) {
    if (!PyWeakref_CheckProxy(self)) return Ref::borrow(self);
    PyObject* client = nullptr;
    check_status(PyWeakref_GetRef(self, &client));
    return Ref::steal(client);
}

Ref heartbeat_loop(PyObject* module, const SelfParams& args) {
    for (;;) {
        Ref stop;
        Ref interval;
        {
            Ref self = strong_self(args.self);
            if (!self) return none();
            stop = getattr(self.get(), "_stop_heartbeat");
            interval = getattr(self.get(), "HEARTBEAT_INTERVAL");
        }
        // Event.wait releases the GIL while it waits and returns True once the event is
        // set. Only the event is held meanwhile, never the client.
        if (truthy(call_method(stop.get(), "wait", interval).get())) return none();
        Ref self = strong_self(args.self);
        if (!self) return none();
        try {
            heartbeat_once(module, self.get());
        } catch (const PyError& failure) {
            // Not even the warning could be written; the next wake-up tries again.
            if (!is_ordinary(failure)) throw;
        }
    }
}

}  // namespace

}  // namespace corvane::session

namespace corvane::methods {

const Method<SelfParams> ensure_connection{"_ensure_connection", session::ensure_connection, "确保连接有效"};
const Method<SelfParams> start_heartbeat{"_start_heartbeat", session::start_heartbeat, "启动心跳线程"};
const Method<SelfParams> heartbeat_loop{"_heartbeat_loop", session::heartbeat_loop, "心跳循环"};

}  // namespace corvane::methods
