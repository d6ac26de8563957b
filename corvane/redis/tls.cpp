#include "corvane/redis/tls.h"

#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "corvane/redis/failure.h"

namespace corvane::redis {

namespace {

bool is_ip_address(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) == 1 ||
           inet_pton(AF_INET6, host.c_str(), address) == 1;
}

[[noreturn]] void setup_failure(const char* what) {
    char reason[256];
    ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
    ERR_clear_error();
    throw Failure(FailureKind::Connection, std::string("TLS setup failed (") + what + "): " + reason);
}

}  // namespace

TlsContext::TlsContext(const TlsOptions& options)
    : ctx_(SSL_CTX_new(TLS_client_method())), check_hostname_(options.check_hostname) {
    if (!ctx_) setup_failure("context");
    if (options.verify_peer) {
        SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
        if (SSL_CTX_set_default_verify_paths(ctx_.get()) != 1) setup_failure("trust store");
    } else {
        SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_NONE, nullptr);
    }
    if (options.min_version &&
        SSL_CTX_set_min_proto_version(ctx_.get(), *options.min_version) != 1) {
        setup_failure("minimum version");
    }
    ERR_clear_error();
}

SslPtr TlsContext::handshake(int fd, const std::string& host, const std::string& label,
                             const Deadline& deadline, SignalCheck on_signal) const {
    SslPtr ssl(SSL_new(ctx_.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) setup_failure("connection");
    const bool ip = is_ip_address(host);
    if (!ip && SSL_set_tlsext_host_name(ssl.get(), host.c_str()) != 1) setup_failure("server name");
    if (check_hostname_) {
        SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const int done = ip ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.c_str())
                            : SSL_set1_host(ssl.get(), host.c_str());
        if (done != 1) setup_failure("host name");
    }
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_connect(ssl.get());
        const int saved_errno = errno;
        if (result == 1) return ssl;
        const int error = SSL_get_error(ssl.get(), result);
        short events = 0;
        if (error == SSL_ERROR_WANT_READ) {
            events = POLLIN;
        } else if (error == SSL_ERROR_WANT_WRITE) {
            events = POLLOUT;
        } else {
            throw Failure(FailureKind::Connection, "TLS handshake with " + label + " failed: " +
                                                       tls_error_text(ssl.get(), error, saved_errno));
        }
        if (!wait_ready(fd, events, deadline, on_signal)) {
            throw Failure(FailureKind::Timeout, "Timeout during the TLS handshake with " + label + ".");
        }
    }
}

std::string tls_error_text(SSL* ssl, int error, int saved_errno) {
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
        ERR_clear_error();
        return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
    }
    if (error == SSL_ERROR_ZERO_RETURN) return "connection closed by the peer";
    const unsigned long queued = ERR_get_error();
    ERR_clear_error();
    if (queued != 0) {
        char reason[256];
        ERR_error_string_n(queued, reason, sizeof reason);
        return reason;
    }
    if (error == SSL_ERROR_SYSCALL && saved_errno != 0) return error_text(saved_errno);
    return "connection closed by the peer";
}

}  // namespace corvane::redis
