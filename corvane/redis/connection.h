// One authenticated connection to a Redis server: connect, TLS, AUTH and SELECT, then
// commands one at a time. Blocking calls; run them without the GIL.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/redis/failure.h"
#include "corvane/redis/resp.h"
#include "corvane/redis/stream.h"
#include "corvane/redis/tls.h"

namespace corvane::redis {

// How a client reaches its server; fixed once built and shared by its connections.
struct Settings {
    std::string host = "localhost";
    int port = 6379;
    long long db = 0;
    std::optional<std::string> username;
    std::optional<std::string> password;
    std::optional<double> socket_timeout;   // each wait for progress of a command
    std::optional<double> connect_timeout;  // TCP connect and TLS handshake together
    std::shared_ptr<const TlsContext> tls;  // null for plaintext
    bool decode_responses = false;
    SignalCheck on_signal = nullptr;
};

// The failure kind that an error reply stands for: rejected credentials or a plain error.
FailureKind error_reply_kind(std::string_view text) noexcept;

// Throws the failure that an error reply stands for.
[[noreturn]] void raise_error_reply(const std::string& text);

class Connection {
public:
    // Connects, then authenticates and selects the database when the settings ask for it.
    static std::unique_ptr<Connection> open(const Settings& settings);

    // Sends one encoded command and reads the head of its reply.
    ReplyHead command(std::string_view encoded);
    // The body of the bulk reply whose head `command` just returned.
    void read_body(char* dst, std::size_t length) { reader_.read_body(dst, length); }
    // Bytes received so far.
    std::uint64_t received() const noexcept { return reader_.received(); }

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

private:
    explicit Connection(Stream stream);
    void handshake(const Settings& settings);

    Stream stream_;
    ReplyReader reader_;
};

}  // namespace corvane::redis
