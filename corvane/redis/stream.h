// One open connection's byte stream: a TCP socket, optionally under TLS, read and written
// with the per-operation time-out. Blocking calls; run them without the GIL.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "corvane/redis/resp.h"
#include "corvane/redis/socket.h"
#include "corvane/redis/tls.h"

namespace corvane::redis {

class Stream final : public ByteSource {
public:
    // `ssl` is null for plaintext. `io_timeout` bounds each wait for progress (none: no limit).
    Stream(UniqueFd fd, SslPtr ssl, std::string label, std::optional<double> io_timeout,
           SignalCheck on_signal) noexcept;

    std::size_t read_some(char* dst, std::size_t size) override;
    void write_all(std::string_view data);

private:
    std::size_t read_plain(char* dst, std::size_t size);
    std::size_t read_tls(char* dst, std::size_t size);
    // Each writes part of `data` (at least one byte) and returns how much.
    std::size_t write_plain(std::string_view data);
    std::size_t write_tls(std::string_view data);
    void wait(short events, const Deadline& deadline, const char* doing) const;
    [[noreturn]] void closed_by_peer() const;

    UniqueFd fd_;
    SslPtr ssl_;  // declared after fd_ so that it goes first
    std::string label_;
    std::optional<double> io_timeout_;
    SignalCheck on_signal_;
};

}  // namespace corvane::redis
