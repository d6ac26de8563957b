#include "corvane/redis/socket.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "corvane/redis/failure.h"

namespace corvane::redis {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

Deadline Deadline::after(std::optional<double> seconds) {
    // Beyond about 30 years a limit is no limit, and the clock's arithmetic stays in range.
    constexpr double kForever = 1e9;
    Deadline deadline;
    if (seconds && *seconds < kForever) {
        deadline.at_ = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(*seconds));
    }
    return deadline;
}

int Deadline::remaining_ms() const {
    if (!at_) return -1;
    const auto left = *at_ - std::chrono::steady_clock::now();
    if (left <= left.zero()) return 0;
    // Rounded up, so that a wait never ends just before the deadline and spins.
    const double ms = std::ceil(std::chrono::duration<double, std::milli>(left).count());
    return ms > 1e9 ? 1'000'000'000 : static_cast<int>(ms);
}

bool wait_ready(int fd, short events, const Deadline& deadline, SignalCheck on_signal) {
    for (;;) {
        const int timeout = deadline.remaining_ms();
        if (timeout == 0) return false;
        pollfd entries[] = {{fd, events, 0}, {StopWatch::current(), POLLIN, 0}};
        const nfds_t count = entries[1].fd >= 0 ? 2 : 1;
        const int ready = ::poll(entries, count, timeout);
        if (ready > 0 && entries[1].revents != 0) {
            throw Failure(FailureKind::Connection, "Read abandoned: the reads ahead were stopped.");
        }
        if (ready > 0) return true;
        if (ready < 0) {
            if (errno != EINTR) {
                throw Failure(FailureKind::Connection, "poll failed: " + error_text(errno));
            }
            if (on_signal != nullptr) on_signal();
        }
    }
}

std::string endpoint_label(const std::string& host, int port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string error_text(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* info) const noexcept { freeaddrinfo(info); }
};

[[noreturn]] void connect_failure(const std::string& label, int error) {
    throw Failure(FailureKind::Connection, "Error " + std::to_string(error) + " connecting to " +
                                               label + ". " + error_text(error) + ".");
}

// 0 when connected, else the errno of the failure; throws when the deadline passes.
int try_connect(int fd, const addrinfo& address, const Deadline& deadline, SignalCheck on_signal,
                const std::string& label) {
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
    // Interrupted, the connect goes on in the background like a non-blocking one.
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    if (!wait_ready(fd, POLLOUT, deadline, on_signal)) {
        throw Failure(FailureKind::Timeout, "Timeout connecting to " + label + ".");
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
}

}  // namespace

UniqueFd connect_tcp(const std::string& host, int port, const Deadline& deadline,
                     SignalCheck on_signal) {
    const std::string label = endpoint_label(host, port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        const std::string reason = status == EAI_SYSTEM ? error_text(errno) : gai_strerror(status);
        throw Failure(FailureKind::Connection,
                      "Error " + std::to_string(status) + " connecting to " + label + ". " +
                          reason + ".");
    }
    const std::unique_ptr<addrinfo, AddrInfoFree> addresses(found);

    int last_error = EHOSTUNREACH;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        UniqueFd fd(::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                             address->ai_protocol));
        if (!fd) {
            last_error = errno;
            continue;
        }
        last_error = try_connect(fd.get(), *address, deadline, on_signal, label);
        if (last_error != 0) continue;
        const int on = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return fd;
    }
    connect_failure(label, last_error);
}

}  // namespace corvane::redis
