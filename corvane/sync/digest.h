// SHA-256 as the lower-case hexadecimal text used by hash records and payload checks.
#pragma once

#include <string>
#include <string_view>
#include <thread>

#include "corvane/common/ref.h"

namespace corvane::sync {

// The digest of `data`; pure C++, callable without the GIL.
std::string sha256_hex(std::string_view data);

// "sha256:" + the digest of a bytes object, computed on a thread of its own so that the
// caller can decode the same bytes meanwhile; small payloads are hashed on the spot. A bytes
// object never changes, and this object holds a reference to it while the thread reads it.
class PendingDigest {
public:
    explicit PendingDigest(PyObject* bytes);
    ~PendingDigest();
    PendingDigest(const PendingDigest&) = delete;
    PendingDigest& operator=(const PendingDigest&) = delete;

    // Waits (with the GIL released) for the digest and returns its text.
    Ref text();

private:
    void wait();

    Ref bytes_;
    std::string hex_;
    std::thread worker_;
};

}  // namespace corvane::sync
