#include "corvane/sync/digest.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "corvane/common/call.h"
#include "corvane/common/nogil.h"

namespace corvane::sync {

namespace {

// Below this size a thread costs more than the digest it would take off the caller.
constexpr Py_ssize_t kOwnThreadFrom = 64 << 10;

}  // namespace

std::string sha256_hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 digest failed");
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex(static_cast<std::size_t>(length) * 2, '\0');
    for (unsigned int i = 0; i < length; ++i) {
        hex[2 * i] = kHex[digest[i] >> 4];
        hex[2 * i + 1] = kHex[digest[i] & 0x0f];
    }
    return hex;
}

PendingDigest::PendingDigest(PyObject* bytes) : bytes_(Ref::borrow(bytes)) {
    const std::string_view data(PyBytes_AS_STRING(bytes),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    if (PyBytes_GET_SIZE(bytes) < kOwnThreadFrom) {
        hex_ = sha256_hex(data);
    } else {
        // EVP_Digest fails only when the library is broken; an empty text then never matches.
        worker_ = std::thread([this, data] {
            try {
                hex_ = sha256_hex(data);
            } catch (const std::exception&) {
                hex_.clear();
            }
        });
    }
}

PendingDigest::~PendingDigest() { wait(); }

void PendingDigest::wait() {
    if (!worker_.joinable()) return;
    ReleasedGil released;
    worker_.join();
}

Ref PendingDigest::text() {
    wait();
    if (hex_.empty()) throw std::runtime_error("SHA-256 digest failed");
    return corvane::text("sha256:" + hex_);
}

}  // namespace corvane::sync
