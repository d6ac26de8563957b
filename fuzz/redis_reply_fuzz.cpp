// libFuzzer target: the RESP reply reader over arbitrary bytes that arrive in arbitrary
// pieces. The first input byte sets the piece size; the rest is the server's stream.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "corvane/redis/failure.h"
#include "corvane/redis/resp.h"

namespace {

using corvane::redis::ByteSource;
using corvane::redis::Failure;
using corvane::redis::FailureKind;
using corvane::redis::ReplyHead;
using corvane::redis::ReplyKind;
using corvane::redis::ReplyReader;

class PiecewiseSource final : public ByteSource {
public:
    PiecewiseSource(const std::uint8_t* data, std::size_t size, std::size_t piece)
        : data_(data), size_(size), piece_(piece) {}

    std::size_t read_some(char* dst, std::size_t size) override {
        if (position_ == size_) throw Failure(FailureKind::Connection, "end of input");
        const std::size_t count = std::min({size, size_ - position_, piece_});
        std::memcpy(dst, data_ + position_, count);
        position_ += count;
        return count;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t piece_;
    std::size_t position_ = 0;
};

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // 1 to 16 bytes a piece, or everything at once.
    const std::size_t piece = data[0] < 0x80 ? data[0] % 16 + 1 : size;
    PiecewiseSource source(data + 1, size - 1, piece);
    ReplyReader reader(source);
    try {
        for (;;) {
            const ReplyHead head = reader.read_head();
            if (head.kind == ReplyKind::Status || head.kind == ReplyKind::Error) {
                check(head.text.find_first_of("\r\n") == std::string::npos);
            }
            if (head.kind == ReplyKind::Bulk) {
                check(head.length <= corvane::redis::kMaxBulkLength);
                // A body longer than the whole input cannot complete; don't allocate it.
                if (head.length > size) return 0;
                std::vector<char> body(head.length);
                reader.read_body(body.data(), body.size());
            }
            check(reader.received() <= size - 1);
        }
    } catch (const Failure& failure) {
        check(failure.kind() == FailureKind::Connection);
    }
    return 0;
}
