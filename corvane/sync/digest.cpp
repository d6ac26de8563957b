#include "corvane/sync/digest.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "corvane/common/call.h"
#include "corvane/common/nogil.h"

namespace corvane::sync {

namespace {

// Below this size the digest costs less than giving the GIL away and taking it back.
constexpr Py_ssize_t kReleaseGilFrom = 64 * 1024;

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

Ref sha256_text_of_bytes(PyObject* bytes) {
    // A bytes object never changes, so its buffer may be read without the GIL while the
    // caller holds a reference to it.
    const std::string_view data(PyBytes_AS_STRING(bytes),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    std::string hex;
    if (PyBytes_GET_SIZE(bytes) >= kReleaseGilFrom) {
        ReleasedGil released;
        hex = sha256_hex(data);
    } else {
        hex = sha256_hex(data);
    }
    return text("sha256:" + hex);
}

}  // namespace corvane::sync
