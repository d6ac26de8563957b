#include "corvane/session/ticket_calls.h"

#include "corvane/common/args.h"
#include "corvane/session/errors.h"
#include "corvane/session/redis_connection.h"
#include "corvane/transport/http_transport.h"
#include "corvane/transport/refuse.h"
#include "corvane/transport/validators.h"
#include "corvane/session/new_session.h"

namespace corvane::session {

namespace {

constexpr long long kTicketTimeout = 30;
constexpr long long kHeartbeatTimeout = 10;
constexpr long long kDefaultRenewalSeconds = 60;

// An integer member in [low, high]; booleans and floats (fractions, exponents) are not integers.
bool integer_in_range(PyObject* value, long long low, long long high) {
    if (value == nullptr || !PyLong_Check(value) || PyBool_Check(value)) return false;
    const long long number = saturated_integer(value);
    return number >= low && number <= high;
}

// A member that must be there; a missing one means the service answered with something
// other than a ticket.
Ref required_member(PyObject* module, PyObject* mapping, const char* key) {
    Ref value = get_item_optional(mapping, key);
    if (!value) transport::refuse(module, "ServiceUnavailableError");
    return value;
}

// A member that may be missing or null; a present one must pass _required_text.
Ref optional_text(PyObject* self, PyObject* mapping, const char* key, long long max_length) {
    Ref value = get_item_optional(mapping, key);
    if (!value || value.is_none()) return none();
    return call(self, methods::required_text, value, integer(max_length));
}

Ref scope_list(PyObject* self, PyObject* scope, const char* key) {
    Ref value = get_item_optional(scope, key);
    if (!value) return check(PyList_New(0));
    return call(self, methods::validate_scope_list, value);
}

// local now + seconds, through the module's `datetime` and `timedelta`.
Ref expiry_from_now(PyObject* module, PyObject* seconds) {
    Ref datetime = global(module, "datetime");
    Ref timedelta = global(module, "timedelta");
    Ref now = call_method(datetime.get(), "now");
    Ref span = call_kw(timedelta.get(), {{"seconds", seconds}});
    return check(PyNumber_Add(now.get(), span.get()));
}

// The body of a heartbeat or disconnect request: the current identifiers, ticket first.
Ref session_body(PyObject* ticket) {
    Ref body = check(PyDict_New());
    check_status(PyDict_SetItemString(body.get(), "ticket", getattr(ticket, "ticket_id").get()));
    check_status(PyDict_SetItemString(body.get(), "session_id", getattr(ticket, "session_id").get()));
    return body;
}

Ref fetch_ticket_checked(PyObject* module, PyObject* self) {
    Ref request = check(PyDict_New());
    Ref version = global(module, "SDK_VERSION");
    check_status(PyDict_SetItemString(request.get(), "client_version", version.get()));
    Ref reply = call(self, methods::api_post_json, text("/api/v1/data/ticket/"), request,
                            integer(kTicketTimeout));

    Ref redis = required_member(module, reply.get(), "redis");
    Ref scope = get_item_optional(reply.get(), "scope");
    if (!scope) scope = check(PyDict_New());
    if (!PyDict_Check(redis.get()) || !PyDict_Check(scope.get())) {
        transport::refuse(module, "ProtocolError");
    }

    Ref username = optional_text(self, redis.get(), "username", 256);
    Ref ssl = get_item_optional(redis.get(), "ssl");
    if (!ssl || !PyBool_Check(ssl.get())) transport::refuse(module, "ProtocolError");
    Ref policy = optional_text(self, redis.get(), "transport_policy", 64);

    Ref port = get_item_optional(redis.get(), "port");
    Ref expires_in = get_item_optional(reply.get(), "expires_in");
    if (!integer_in_range(port.get(), 1, 65535)) transport::refuse(module, "ProtocolError");
    if (!integer_in_range(expires_in.get(), 1, 86400)) transport::refuse(module, "ProtocolError");

    Ref ticket_id = call(self, methods::required_text,
                                required_member(module, reply.get(), "ticket"), integer(256));
    Ref session_id = call(self, methods::required_text,
                                 required_member(module, reply.get(), "session_id"), integer(256));
    Ref host = call(self, methods::validate_redis_host,
                           required_member(module, redis.get(), "host"));
    Ref password = call(self, methods::required_text,
                               required_member(module, redis.get(), "password"), integer(4096));

    Ref expires_at = expiry_from_now(module, expires_in.get());

    Ref datasets = scope_list(self, scope.get(), "datasets");
    Ref key_patterns = scope_list(self, scope.get(), "key_patterns");
    Ref category_patterns = scope_list(self, scope.get(), "category_patterns");

    Ref record_class = global(module, "DataTicket");
    Ref ticket = call_kw(record_class.get(),
                         {{"ticket_id", ticket_id.get()},
                          {"session_id", session_id.get()},
                          {"redis_host", host.get()},
                          {"redis_port", port.get()},
                          {"redis_password", password.get()},
                          {"expires_at", expires_at.get()},
                          {"datasets", datasets.get()},
                          {"key_patterns", key_patterns.get()},
                          {"category_patterns", category_patterns.get()},
                          {"redis_username", username.get()},
                          {"redis_ssl", ssl.get()},
                          {"redis_transport_policy", policy.get()}});
    // Replaced only now: a refused reply leaves the previous ticket current.
    setattr(self, "_ticket", ticket.get());
    log(self, "debug", "连接凭证已获取");
    return ticket;
}

Ref fetch_ticket(PyObject* module, const SelfParams& args) {
    try {
        return fetch_ticket_checked(module, args.self);
    } catch (const PyError& failure) {
        if (!is_ordinary(failure) || in_family(module, failure)) throw;
        // A reply that cannot be read as a ticket; its details stay out of the error.
        transport::refuse(module, "ServiceUnavailableError");
    }
}

Ref renew_ticket(PyObject* module, const SelfParams& args) {
    PyObject* self = args.self;
    Ref ticket = getattr(self, "_ticket");
    if (ticket.is_none()) transport::refuse(module, "DataConnectionError");
    try {
        Ref reply = call(self, methods::api_post_json, text("/api/v1/data/heartbeat/"),
                                session_body(ticket.get()), integer(kHeartbeatTimeout));
        Ref seconds = get_item_optional(reply.get(), "expires_in");
        if (!seconds) seconds = integer(kDefaultRenewalSeconds);
        // The renewal extends the ticket it was sent for, even if another thread has
        // fetched a new one meanwhile.
        setattr(ticket.get(), "expires_at", expiry_from_now(module, seconds.get()).get());
        log(self, "debug", "连接已保持");
    } catch (const PyError& failure) {
        if (!is_ordinary(failure)) throw;
        Ref interrupted = global(module, "DataConnectionError");
        if (failure.matches(interrupted.get())) {
            log(self, "warning", "连接已中断，正在重新连接...");
            session::connect_with_new_ticket(self);
            return none();
        }
        if (in_family(module, failure)) throw;
        transport::refuse(module, "ServiceUnavailableError");
    }
    return none();
}

Ref disconnect_server(PyObject*, const SelfParams& args) {
    PyObject* self = args.self;
    Ref ticket = getattr(self, "_ticket");
    if (ticket.is_none()) return none();
    try {
        call(self, methods::api_post_json, text("/api/v1/data/disconnect/"),
                    session_body(ticket.get()), integer(kHeartbeatTimeout));
    } catch (const PyError& failure) {
        // Releasing is a courtesy to the service: the ticket lapses on its own.
        if (!is_ordinary(failure)) throw;
    }
    return none();
}

}  // namespace

}  // namespace corvane::session

namespace corvane::methods {

const Method<SelfParams> fetch_ticket{"_fetch_ticket", session::fetch_ticket, "获取 Data Ticket"};
const Method<SelfParams> renew_ticket{"_renew_ticket", session::renew_ticket, "续租 Ticket"};
const Method<SelfParams> disconnect_server{"_disconnect_server", session::disconnect_server, "通知服务端断开连接"};

}  // namespace corvane::methods
