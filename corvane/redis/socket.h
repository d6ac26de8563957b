// POSIX sockets with time-outs: an owned descriptor, deadlines, waiting with poll, and
// the TCP connect over every address of a host. Blocking calls; run them without the GIL.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>

namespace corvane::redis {

// Called when a wait is interrupted by a signal; throws to abandon the operation.
using SignalCheck = void (*)();

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A point in time after which a wait gives up; none means wait forever.
class Deadline {
public:
    static Deadline after(std::optional<double> seconds);

    // Milliseconds left for poll: -1 for no limit, 0 once passed.
    int remaining_ms() const;

private:
    std::optional<std::chrono::steady_clock::time_point> at_;
};

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT); false when the deadline passed.
// Throws a connection failure once the calling thread's stop descriptor is readable.
bool wait_ready(int fd, short events, const Deadline& deadline, SignalCheck on_signal);

// For its lifetime, every wait of the calling thread also watches `stop_fd` (none when -1):
// a command of a thread whose reads are being stopped gives up at once.
class StopWatch {
public:
    explicit StopWatch(int stop_fd) noexcept : outer_(std::exchange(current_, stop_fd)) {}
    ~StopWatch() { current_ = outer_; }
    StopWatch(const StopWatch&) = delete;
    StopWatch& operator=(const StopWatch&) = delete;

    static int current() noexcept { return current_; }

private:
    int outer_;
    static inline thread_local int current_ = -1;
};

// "host:port", with brackets around an IPv6 address, for messages.
std::string endpoint_label(const std::string& host, int port);

// A connected non-blocking TCP socket (TCP_NODELAY set), trying each address of `host` in
// turn until one accepts or the deadline passes.
UniqueFd connect_tcp(const std::string& host, int port, const Deadline& deadline,
                     SignalCheck on_signal);

// The text of an errno value.
std::string error_text(int error);

}  // namespace corvane::redis
