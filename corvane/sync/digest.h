// SHA-256 as the lower-case hexadecimal text used by hash records and payload checks.
#pragma once

#include <string>
#include <string_view>

#include "corvane/common/ref.h"

namespace corvane::sync {

// The digest of `data`; pure C++, callable without the GIL.
std::string sha256_hex(std::string_view data);

// "sha256:" + the digest of a bytes object, computed with the GIL released so that other
// threads (the heartbeat among them) keep running while a large payload is hashed.
Ref sha256_text_of_bytes(PyObject* bytes);

}  // namespace corvane::sync
