// Memory for large values. A new bytes object of tens of MiB is fresh memory whose every
// page the kernel maps and zeroes before the socket can fill it: about as much work as
// receiving the value. A client therefore keeps the last large value it handed out, and
// once its caller has let go of it, receives the next large value into the same memory.
// Smaller values need none of this: malloc keeps their freed memory itself.
#pragma once

#include <cstddef>

#include "corvane/common/ref.h"

namespace corvane::redis {

class SpareValue {
public:
    // From this length on a value is kept (where malloc maps each block on its own).
    static constexpr std::size_t kMinLength = std::size_t{32} << 20;

    // A bytes object of `length` bytes to fill: the kept value when nobody else holds it
    // any more, else a new one. Needs the GIL, as do the others.
    Ref take(std::size_t length);
    // Keeps `value`, just handed out, for a later take when it is large.
    void keep(const Ref& value);
    // Lets the kept value go; its memory returns to the system once nobody holds it.
    void release() noexcept { value_ = Ref(); }

private:
    Ref value_;
};

}  // namespace corvane::redis
