// Failures of the Redis client, raised by code that runs without the interpreter and
// turned into the module's exception classes at the Python boundary.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane::redis {

enum class FailureKind {
    Connection,      // network, TLS or protocol failure: the connection is unusable
    Timeout,         // no progress within the configured time-out
    Authentication,  // the server refused the credentials
    Response,        // the server answered with an error reply
    Interrupted,     // a signal handler raised; its exception is pending in the interpreter
};

class Failure : public std::runtime_error {
public:
    Failure(FailureKind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}
    FailureKind kind() const noexcept { return kind_; }

private:
    FailureKind kind_;
};

// A reply that breaks the protocol; the stream can no longer be trusted.
[[noreturn]] inline void protocol_failure(const std::string& what) {
    throw Failure(FailureKind::Connection, "Protocol error: " + what);
}

}  // namespace corvane::redis
