#include "corvane/redis/stream.h"

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>

#include "corvane/redis/failure.h"

namespace corvane::redis {

Stream::Stream(UniqueFd fd, SslPtr ssl, std::string label, std::optional<double> io_timeout,
               SignalCheck on_signal) noexcept
    : fd_(std::move(fd)),
      ssl_(std::move(ssl)),
      label_(std::move(label)),
      io_timeout_(io_timeout),
      on_signal_(on_signal) {}

void Stream::wait(short events, const Deadline& deadline, const char* doing) const {
    if (!wait_ready(fd_.get(), events, deadline, on_signal_)) {
        throw Failure(FailureKind::Timeout, std::string("Timeout ") + doing + " " + label_ + ".");
    }
}

void Stream::closed_by_peer() const {
    throw Failure(FailureKind::Connection, "Connection closed by server " + label_ + ".");
}

std::size_t Stream::read_some(char* dst, std::size_t size) {
    return ssl_ ? read_tls(dst, size) : read_plain(dst, size);
}

std::size_t Stream::read_plain(char* dst, std::size_t size) {
    const Deadline deadline = Deadline::after(io_timeout_);
    for (;;) {
        const ssize_t got = ::recv(fd_.get(), dst, size, 0);
        if (got > 0) return static_cast<std::size_t>(got);
        if (got == 0) closed_by_peer();
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wait(POLLIN, deadline, "reading from");
        } else if (errno == EINTR) {
            if (on_signal_ != nullptr) on_signal_();
        } else {
            throw Failure(FailureKind::Connection,
                          "Error while reading from " + label_ + ": " + error_text(errno) + ".");
        }
    }
}

std::size_t Stream::read_tls(char* dst, std::size_t size) {
    const Deadline deadline = Deadline::after(io_timeout_);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        std::size_t got = 0;
        const int result = SSL_read_ex(ssl_.get(), dst, size, &got);
        const int saved_errno = errno;
        if (result == 1) return got;
        const int error = SSL_get_error(ssl_.get(), result);
        if (error == SSL_ERROR_WANT_READ) {
            wait(POLLIN, deadline, "reading from");
        } else if (error == SSL_ERROR_WANT_WRITE) {
            wait(POLLOUT, deadline, "reading from");
        } else if (error == SSL_ERROR_ZERO_RETURN ||
                   (error == SSL_ERROR_SYSCALL && saved_errno == 0)) {
            closed_by_peer();
        } else if (error == SSL_ERROR_SYSCALL && saved_errno == EINTR) {
            if (on_signal_ != nullptr) on_signal_();
        } else {
            throw Failure(FailureKind::Connection, "Error while reading from " + label_ + ": " +
                                                       tls_error_text(ssl_.get(), error, saved_errno) +
                                                       ".");
        }
    }
}

void Stream::write_all(std::string_view data) {
    while (!data.empty()) {
        // Each write that makes progress starts a new time-out.
        const std::size_t sent = ssl_ ? write_tls(data) : write_plain(data);
        data.remove_prefix(sent);
    }
}

std::size_t Stream::write_plain(std::string_view data) {
    const Deadline deadline = Deadline::after(io_timeout_);
    for (;;) {
        const ssize_t sent = ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL);
        if (sent > 0) return static_cast<std::size_t>(sent);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wait(POLLOUT, deadline, "writing to");
        } else if (sent < 0 && errno == EINTR) {
            if (on_signal_ != nullptr) on_signal_();
        } else {
            const int error = sent < 0 ? errno : EPIPE;
            throw Failure(FailureKind::Connection,
                          "Error while writing to " + label_ + ": " + error_text(error) + ".");
        }
    }
}

std::size_t Stream::write_tls(std::string_view data) {
    const Deadline deadline = Deadline::after(io_timeout_);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        std::size_t sent = 0;
        const int result = SSL_write_ex(ssl_.get(), data.data(), data.size(), &sent);
        const int saved_errno = errno;
        if (result == 1) return sent;
        const int error = SSL_get_error(ssl_.get(), result);
        if (error == SSL_ERROR_WANT_WRITE) {
            wait(POLLOUT, deadline, "writing to");
        } else if (error == SSL_ERROR_WANT_READ) {
            wait(POLLIN, deadline, "writing to");
        } else if (error == SSL_ERROR_SYSCALL && saved_errno == EINTR) {
            if (on_signal_ != nullptr) on_signal_();
        } else {
            throw Failure(FailureKind::Connection, "Error while writing to " + label_ + ": " +
                                                       tls_error_text(ssl_.get(), error, saved_errno) +
                                                       ".");
        }
    }
}

}  // namespace corvane::redis
