// Reading Thrift's compact protocol, in which Parquet encodes its footer and page headers.
//
// Every step is bounds-checked against the bytes given; whatever cannot be read is refused
// (false), never guessed at. The decoder reads only the fields it needs and skips the others
// as Thrift's own reader does, so that both see the same fields.
#pragma once

#include <cstdint>
#include <limits>
#include <span>

namespace corvane::sync::thrift {

// The element and field types of the compact protocol.
enum Type : std::uint8_t {
    kStop = 0, kTrue = 1, kFalse = 2, kByte = 3, kI16 = 4, kI32 = 5, kI64 = 6,
    kDouble = 7, kBinary = 8, kList = 9, kSet = 10, kMap = 11, kStruct = 12,
};

// Nesting that no Parquet structure reaches, well within the Parquet reader's own limit;
// deeper input is refused, not followed.
constexpr int kMaxDepth = 32;
// Below the limits that the Parquet reader sets on lists and strings, so that nothing it
// refuses is read here.
constexpr std::uint64_t kMaxElements = 1'000'000;
constexpr std::uint64_t kMaxBinary = 100'000'000;

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes)
        : at_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    const std::uint8_t* at() const { return at_; }
    std::uint64_t remaining() const { return static_cast<std::uint64_t>(end_ - at_); }

    bool byte(std::uint8_t& out) {
        if (at_ == end_) return false;
        out = *at_++;
        return true;
    }

    // An unsigned varint of at most `max_bytes` bytes.
    bool varint(std::uint64_t& out, int max_bytes = 10) {
        out = 0;
        for (int i = 0; i < max_bytes; ++i) {
            std::uint8_t next = 0;
            if (!byte(next)) return false;
            out |= static_cast<std::uint64_t>(next & 0x7f) << (7 * i);
            if ((next & 0x80) == 0) return true;
        }
        return false;
    }

    bool advance(std::uint64_t count) {
        if (count > remaining()) return false;
        at_ += count;
        return true;
    }

    bool i64(std::int64_t& out) {
        std::uint64_t zigzag = 0;
        if (!varint(zigzag)) return false;
        out = static_cast<std::int64_t>((zigzag >> 1) ^ (0 - (zigzag & 1)));
        return true;
    }

    // An i32 (or i16) value: five bytes at most and within the type's range; anything
    // longer is left alone rather than truncated as some readers do.
    bool i32(std::int32_t& out) {
        std::uint64_t zigzag = 0;
        if (!varint(zigzag, 5) || zigzag > std::numeric_limits<std::uint32_t>::max()) return false;
        const auto narrow = static_cast<std::uint32_t>(zigzag);
        out = static_cast<std::int32_t>((narrow >> 1) ^ (0u - (narrow & 1)));
        return true;
    }

    bool binary(std::span<const std::uint8_t>& out) {
        std::uint64_t length = 0;
        if (!varint(length, 5) || length > kMaxBinary || length > remaining()) return false;
        out = {at_, static_cast<std::size_t>(length)};
        at_ += length;
        return true;
    }

    // A list's element type and count; every element takes at least one byte (or none, for
    // a boolean list counted in bytes anyway), so a count beyond the bytes left is damage.
    bool list(std::uint8_t& type, std::uint64_t& count) {
        std::uint8_t header = 0;
        if (!byte(header)) return false;
        count = header >> 4;
        type = header & 0x0f;
        if (count == 15 && !varint(count, 5)) return false;
        return count <= kMaxElements && count <= remaining();
    }

    // A field header: false at the struct's end or on damage (`ok` tells them apart). The
    // id wraps to 16 bits as Thrift's reader does, so that both see the same field.
    bool field(std::int16_t& id, std::uint8_t& type, bool& ok) {
        std::uint8_t header = 0;
        ok = byte(header);
        if (!ok || header == kStop) return false;
        type = header & 0x0f;
        if (const int delta = header >> 4; delta != 0) {
            id = static_cast<std::int16_t>(id + delta);
        } else {
            std::int32_t absolute = 0;
            ok = i32(absolute);
            if (!ok) return false;
            id = static_cast<std::int16_t>(absolute);
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
            case kBinary: return varint(count, 5) && count <= kMaxBinary && advance(count);
            case kList:
            case kSet: {
                std::uint8_t element = 0;
                if (depth > kMaxDepth || !list(element, count)) return false;
                for (std::uint64_t i = 0; i < count; ++i) {
                    if (!skip(element, false, depth + 1)) return false;
                }
                return true;
            }
            case kMap: {
                if (!varint(count, 5) || count > kMaxElements) return false;
                if (count == 0) return true;
                std::uint8_t types = 0;
                if (depth > kMaxDepth || !byte(types) || count > remaining()) return false;
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

    // Reads a struct's fields, handing each to `member(id, type)`, which reads the value
    // (true), refuses the struct (false) or leaves the field to be skipped (`skipped`).
    // A field seen twice is refused: readers differ in which one they keep.
    template <typename Member>
    bool fields(int depth, std::uint64_t& seen, Member&& member) {
        if (depth > kMaxDepth) return false;
        std::int16_t id = 0;
        std::uint8_t type = 0;
        bool ok = true;
        while (field(id, type, ok)) {
            if (id > 0 && id < 64) {
                const std::uint64_t bit = std::uint64_t{1} << id;
                if ((seen & bit) != 0) return false;
                seen |= bit;
            }
            const int read = member(id, type);
            if (read == skipped) {
                if (!skip(type, true, depth)) return false;
            } else if (read == 0) {
                return false;
            }
        }
        return ok;
    }

    static constexpr int skipped = 2;

private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
};

// The bit of field `id` in a `seen` mask.
constexpr std::uint64_t bit(int id) { return std::uint64_t{1} << id; }

}  // namespace corvane::sync::thrift
