// TLS on top of a connected socket, with OpenSSL.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <openssl/ssl.h>

#include "corvane/redis/socket.h"

namespace corvane::redis {

struct SslFree {
    void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;

struct TlsOptions {
    bool verify_peer = true;      // check the certificate chain against the default trust store
    bool check_hostname = false;  // the certificate must name the host
    std::optional<int> min_version;  // an OpenSSL protocol version (TLS1_2_VERSION...), 0 = lowest
};

// The configuration shared by every connection of one client. The default trust store
// follows SSL_CERT_FILE and SSL_CERT_DIR when they are set.
class TlsContext {
public:
    explicit TlsContext(const TlsOptions& options);

    // Runs the client handshake on `fd` (connected, non-blocking) for `host`: SNI when the
    // host is a name, and the host-name check when asked.
    SslPtr handshake(int fd, const std::string& host, const std::string& label,
                     const Deadline& deadline, SignalCheck on_signal) const;

private:
    struct CtxFree {
        void operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }
    };
    std::unique_ptr<SSL_CTX, CtxFree> ctx_;
    bool check_hostname_;
};

// The message of a failed SSL call, from its SSL_get_error code, the errno it left, the
// verification result and OpenSSL's error queue.
std::string tls_error_text(SSL* ssl, int error, int saved_errno);

}  // namespace corvane::redis
