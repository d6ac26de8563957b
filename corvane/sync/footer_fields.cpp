#include "corvane/sync/footer_fields.h"

#include <cstddef>
#include <cstring>

namespace corvane::sync {

namespace {

// The footer's field ids (the file metadata struct of the Parquet format).
constexpr int kSchemaField = 2;
constexpr int kKeyValueField = 5;

// Nesting that no Parquet footer reaches; deeper input is refused, not followed.
constexpr int kMaxDepth = 64;

// The element and field types of Thrift's compact protocol.
enum Type : std::uint8_t {
    kStop = 0, kTrue = 1, kFalse = 2, kByte = 3, kI16 = 4, kI32 = 5, kI64 = 6,
    kDouble = 7, kBinary = 8, kList = 9, kSet = 10, kMap = 11, kStruct = 12,
};

// Walks encoded values without decoding them: only where each one ends matters. Every
// step is bounds-checked; any input it cannot walk is refused (false).
class Walker {
public:
    explicit Walker(std::span<const std::uint8_t> bytes)
        : at_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    const std::uint8_t* at() const { return at_; }

    bool byte(std::uint8_t& out) {
        if (at_ == end_) return false;
        out = *at_++;
        return true;
    }

    bool varint(std::uint64_t& out) {
        out = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            std::uint8_t next = 0;
            if (!byte(next)) return false;
            out |= static_cast<std::uint64_t>(next & 0x7f) << shift;
            if ((next & 0x80) == 0) return true;
        }
        return false;
    }

    bool advance(std::uint64_t count) {
        if (count > static_cast<std::uint64_t>(end_ - at_)) return false;
        at_ += count;
        return true;
    }

    // A field header: false at the struct's end or on damage (`ok` tells them apart). The
    // id wraps to 16 bits as the reader's does, so that both see the same field.
    bool field(std::int16_t& id, std::uint8_t& type, bool& ok) {
        std::uint8_t header = 0;
        ok = byte(header);
        if (!ok || header == kStop) return false;
        type = header & 0x0f;
        if (const int delta = header >> 4; delta != 0) {
            id = static_cast<std::int16_t>(id + delta);
        } else {
            std::uint64_t encoded = 0;
            ok = varint(encoded);
            if (!ok) return false;
            const auto zigzag = static_cast<std::uint32_t>(encoded);
            id = static_cast<std::int16_t>(static_cast<std::int32_t>((zigzag >> 1) ^ (0u - (zigzag & 1))));
        }
        return true;
    }

    // Skips a value of `type`; `in_field` for a struct member, whose boolean is its header.
    bool skip(std::uint8_t type, bool in_field, int depth) {
        std::uint64_t count = 0;
        switch (type) {
            case kTrue:
            case kFalse: return in_field || advance(1);
            case kByte: return advance(1);
            case kI16:
            case kI32:
            case kI64: return varint(count);
            case kDouble: return advance(8);
            case kBinary: return varint(count) && advance(count);
            case kList:
            case kSet: {
                std::uint8_t header = 0;
                if (!byte(header)) return false;
                count = header >> 4;
                if (count == 15 && !varint(count)) return false;
                return elements(count, header & 0x0f, depth);
            }
            case kMap: {
                if (!varint(count)) return false;
                if (count == 0) return true;
                std::uint8_t types = 0;
                if (!byte(types) || count > remaining()) return false;
                for (std::uint64_t i = 0; i < count; ++i) {
                    if (!skip(types >> 4, false, depth + 1) || !skip(types & 0x0f, false, depth + 1)) {
                        return false;
                    }
                }
                return true;
            }
            case kStruct: return skip_struct(depth + 1);
            default: return false;
        }
    }

    bool skip_struct(int depth) {
        if (depth > kMaxDepth) return false;
        std::int16_t id = 0;
        std::uint8_t type = 0;
        bool ok = true;
        while (field(id, type, ok)) {
            if (!skip(type, true, depth)) return false;
        }
        return ok;
    }

private:
    std::uint64_t remaining() const { return static_cast<std::uint64_t>(end_ - at_); }

    // Every element takes at least one byte, so a count beyond the bytes left is damage.
    bool elements(std::uint64_t count, std::uint8_t type, int depth) {
        if (depth > kMaxDepth || count > remaining()) return false;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (!skip(type, false, depth + 1)) return false;
        }
        return true;
    }

    const std::uint8_t* at_;
    const std::uint8_t* end_;
};

}  // namespace

std::optional<FooterFields> footer_fields(std::span<const std::uint8_t> file) {
    constexpr std::size_t kTail = 8;  // footer length, then "PAR1"
    if (file.size() < kTail || std::memcmp(file.data() + file.size() - 4, "PAR1", 4) != 0) {
        return std::nullopt;
    }
    const std::uint8_t* tail = file.data() + file.size() - kTail;
    const std::uint32_t length = static_cast<std::uint32_t>(tail[0]) | static_cast<std::uint32_t>(tail[1]) << 8 |
                                 static_cast<std::uint32_t>(tail[2]) << 16 | static_cast<std::uint32_t>(tail[3]) << 24;
    if (length > file.size() - kTail) return std::nullopt;
    Walker walker(file.subspan(file.size() - kTail - length, length));

    // The reader keeps the last of repeated fields and passes over one of another type;
    // only a footer with each of the two once, as lists, is described.
    std::optional<std::span<const std::uint8_t>> schema, pairs;
    std::int16_t id = 0;
    std::uint8_t type = 0;
    bool ok = true;
    while (walker.field(id, type, ok)) {
        const std::uint8_t* start = walker.at();
        if (!walker.skip(type, true, 0)) return std::nullopt;
        if (id != kSchemaField && id != kKeyValueField) continue;
        std::optional<std::span<const std::uint8_t>>& found = id == kSchemaField ? schema : pairs;
        if (found || type != kList) return std::nullopt;
        found.emplace(start, walker.at());
    }
    if (!ok || !schema || !pairs) return std::nullopt;
    return FooterFields{*schema, *pairs};
}

}  // namespace corvane::sync
