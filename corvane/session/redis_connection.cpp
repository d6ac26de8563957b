#include "corvane/session/redis_connection.h"

#include <string>

#include "corvane/common/args.h"
#include "corvane/session/closing.h"
#include "corvane/session/errors.h"
#include "corvane/transport/api_address.h"
#include "corvane/transport/refuse.h"
#include "corvane/common/quietly.h"

namespace corvane::session {

namespace {

constexpr long long kSocketTimeout = 20;
constexpr long long kConnectTimeout = 5;
constexpr long long kOfficialPlaintextPort = 6379;
// Right after a ticket is issued the Redis server may not know its credentials yet.
constexpr int kCredentialRetries = 5;
constexpr long long kCredentialPause = 3;

// redis.Redis(...) with the parameters of the ticket.
Ref open_connection(PyObject* module, PyObject* ticket) {
    Ref redis = global(module, "redis");
    Ref factory = getattr(redis.get(), "Redis");
    Ref host = getattr(ticket, "redis_host");
    Ref port = getattr(ticket, "redis_port");
    Ref password = getattr(ticket, "redis_password");
    Ref username = getattr(ticket, "redis_username");
    const bool tls = truthy(getattr(ticket, "redis_ssl").get());
    Ref socket_timeout = integer(kSocketTimeout);
    Ref connect_timeout = integer(kConnectTimeout);
    Ref zero = integer(0);
    // The database is 0 either way; with a user name the library's default (0) applies.
    const Kwarg account = !username.is_none() && truthy(username.get())
                              ? Kwarg{"username", username.get()}
                              : Kwarg{"db", zero.get()};
    if (!tls) {
        return call_kw(factory.get(),
                       {{"host", host.get()}, {"port", port.get()}, {"password", password.get()},
                        {"socket_timeout", socket_timeout.get()},
                        {"socket_connect_timeout", connect_timeout.get()},
                        {"decode_responses", Py_False}, {"ssl", Py_False}, account});
    }
    Ref ssl = global(module, "ssl");
    Ref versions = getattr(ssl.get(), "TLSVersion");
    Ref tls12 = getattr(versions.get(), "TLSv1_2");
    Ref required = text("required");
    return call_kw(factory.get(),
                   {{"host", host.get()}, {"port", port.get()}, {"password", password.get()},
                    {"socket_timeout", socket_timeout.get()},
                    {"socket_connect_timeout", connect_timeout.get()},
                    {"decode_responses", Py_False}, {"ssl", Py_True},
                    {"ssl_cert_reqs", required.get()}, {"ssl_check_hostname", Py_True},
                    {"ssl_min_version", tls12.get()}, account});
}

enum class Attempt { Connected, CredentialsRejected, Superseded };

// A connect serves the ticket it started from. Once another thread has put a newer ticket
// in place (the caller recovering while the heartbeat reconnects, say), that ticket's own
// connect decides: this one neither publishes nor clears the current connection any more.
bool is_current(PyObject* self, PyObject* ticket) {
    return getattr(self, "_ticket").get() == ticket;
}

// One connection attempt; the new object is published before it is verified, so that a
// failure other than rejected credentials leaves it for later reads to reconnect on demand.
Attempt attempt_connection(PyObject* module, PyObject* self, PyObject* ticket) {
    Ref rejected = authentication_error(module);
    Ref connection;
    try {
        connection = open_connection(module, ticket);
        if (!is_current(self, ticket)) {
            close_quietly(connection.get());
            return Attempt::Superseded;
        }
        setattr(self, "_redis_client", connection.get());
        Ref pong = call_method(connection.get(), "ping");
        if (!truthy(pong.get())) transport::refuse(module, "DataConnectionError");
        return Attempt::Connected;
    } catch (const PyError& failure) {
        if (!failure.matches(rejected.get())) throw;
    }
    if (connection) close_quietly(connection.get());
    // Only our own object: a connection another thread made meanwhile stays.
    if (getattr(self, "_redis_client").get() == connection.get()) {
        setattr(self, "_redis_client", Py_None);
    }
    return Attempt::CredentialsRejected;
}

// True once connected; false when a newer ticket took over.
bool connect_with_retry(PyObject* module, PyObject* self, PyObject* ticket) {
    for (int attempt = 0;; ++attempt) {
        switch (attempt_connection(module, self, ticket)) {
            case Attempt::Connected:
                return true;
            case Attempt::Superseded:
                return false;
            case Attempt::CredentialsRejected:
                break;
        }
        if (attempt == kCredentialRetries || closing(self)) {
            transport::refuse(module, "DataConnectionError");
        }
        if (!is_current(self, ticket)) return false;
        log(self, "warning", "数据连接暂未就绪，正在重试 " + std::to_string(attempt + 1) + "/" +
                                 std::to_string(kCredentialRetries));
        Ref time = global(module, "time");
        call_method(time.get(), "sleep", integer(kCredentialPause));
        if (closing(self)) transport::refuse(module, "DataConnectionError");
    }
}

Ref connect_redis(PyObject* module, const SelfParams& args) {
    PyObject* self = args.self;
    Ref ticket = getattr(self, "_ticket");
    if (ticket.is_none()) transport::refuse(module, "DataConnectionError");
    if (!truthy(getattr(ticket.get(), "redis_ssl").get())) {
        Ref host = getattr(ticket.get(), "redis_host");
        const bool allowed =
            truthy(call(self, methods::is_loopback_host, host).get()) ||
            truthy(call(self, methods::official_plaintext_redis_is_allowed, ticket).get());
        // Refused before any socket is opened: the password must not travel in clear.
        if (!allowed) transport::refuse(module, "DataConnectionError");
    }
    bool connected;
    try {
        connected = connect_with_retry(module, self, ticket.get());
    } catch (const PyError& failure) {
        if (!is_ordinary(failure)) throw;
        if (in_family(module, failure)) raise_clone(self, failure);
        // Network, timeout, TLS and certificate failures: their texts may name hosts.
        transport::refuse(module, "DataConnectionError");
    }
    if (connected) log(self, "info", "数据连接已建立");
    return none();
}

Ref official_plaintext_allowed(PyObject*, const methods::OfficialPlaintextRedisIsAllowedParams& args) {
    PyObject* self = args.self;
    PyObject* ticket = args.ticket;
    const bool allowed = [&] {
        if (!equal(getattr(self, "api_url").get(), getattr(self, "DEFAULT_API_URL").get())) {
            return false;
        }
        Ref policy = getattr(ticket, "redis_transport_policy");
        Ref official = getattr(self, "OFFICIAL_PLAINTEXT_REDIS_POLICY");
        if (!equal(policy.get(), official.get())) return false;
        if (!equal(getattr(ticket, "redis_port").get(), integer(kOfficialPlaintextPort).get())) {
            return false;
        }
        Ref host = call_method(getattr(ticket, "redis_host").get(), "lower");
        Ref suffixes = getattr(self, "OFFICIAL_PLAINTEXT_REDIS_SUFFIXES");
        return truthy(call_method(host.get(), "endswith", suffixes).get());
    }();
    return boolean(allowed);
}

}  // namespace

Ref authentication_error(PyObject* module) {
    Ref redis = global(module, "redis");
    Ref direct = getattr_optional(redis.get(), "AuthenticationError");
    if (direct) return direct;
    Ref exceptions = getattr(redis.get(), "exceptions");
    return getattr(exceptions.get(), "AuthenticationError");
}

}  // namespace corvane::session

namespace corvane::methods {

const Method<SelfParams> connect_redis{"_connect_redis", session::connect_redis, "连接 Redis"};
const Method<OfficialPlaintextRedisIsAllowedParams> official_plaintext_redis_is_allowed{"_official_plaintext_redis_is_allowed", session::official_plaintext_allowed,
                                                                                        "Allow only the explicitly accepted production MVP transport."};

}  // namespace corvane::methods
