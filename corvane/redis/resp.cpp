#include "corvane/redis/resp.h"

#include <algorithm>
#include <cstring>

#include "corvane/redis/failure.h"

namespace corvane::redis {

namespace {

// Room for the longest line and its CRLF.
constexpr std::size_t kBufferSize = kMaxLineLength + 2;

// A decimal integer with an optional minus sign and nothing else.
bool parse_integer(std::string_view digits, long long& value) {
    bool negative = false;
    if (!digits.empty() && digits.front() == '-') {
        negative = true;
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.size() > 19) return false;
    unsigned long long magnitude = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + static_cast<unsigned long long>(c - '0');
    }
    const unsigned long long limit =
        negative ? 9223372036854775808ULL : 9223372036854775807ULL;
    if (magnitude > limit) return false;
    value = negative ? static_cast<long long>(0ULL - magnitude) : static_cast<long long>(magnitude);
    return true;
}

std::string printable(std::string_view text) {
    constexpr std::size_t kShown = 32;
    std::string out;
    for (char c : text.substr(0, kShown)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        }
    }
    if (text.size() > kShown) out += "...";
    return out;
}

}  // namespace

const char* reply_kind_name(ReplyKind kind) noexcept {
    switch (kind) {
        case ReplyKind::Status: return "status";
        case ReplyKind::Error: return "error";
        case ReplyKind::Integer: return "integer";
        case ReplyKind::Bulk: return "bulk string";
        case ReplyKind::Null: return "null";
    }
    return "unknown";
}

ReplyReader::ReplyReader(ByteSource& source)
    : source_(source), buffer_(std::make_unique<char[]>(kBufferSize)) {}

void ReplyReader::fill() {
    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (end_ == kBufferSize) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    const std::size_t got = source_.read_some(buffer_.get() + end_, kBufferSize - end_);
    end_ += got;
    received_ += got;
}

std::string_view ReplyReader::read_line() {
    std::size_t scanned = 0;
    for (;;) {
        const char* start = buffer_.get() + begin_;
        const std::size_t available = end_ - begin_;
        const void* newline = std::memchr(start + scanned, '\n', available - scanned);
        if (newline != nullptr) {
            const auto length = static_cast<std::size_t>(static_cast<const char*>(newline) - start);
            if (length == 0 || start[length - 1] != '\r') protocol_failure("line not ended by CRLF");
            std::string_view line(start, length - 1);
            if (line.find('\r') != std::string_view::npos) protocol_failure("stray CR in a reply line");
            begin_ += length + 1;
            return line;
        }
        if (available >= kBufferSize) protocol_failure("reply line longer than 64 KiB");
        scanned = available;
        fill();
    }
}

ReplyHead ReplyReader::read_head() {
    const std::string_view line = read_line();
    if (line.empty()) protocol_failure("empty reply line");
    const std::string_view rest = line.substr(1);
    ReplyHead head;
    switch (line.front()) {
        case '+':
            head.kind = ReplyKind::Status;
            head.text.assign(rest);
            return head;
        case '-':
            head.kind = ReplyKind::Error;
            head.text.assign(rest);
            return head;
        case ':':
            head.kind = ReplyKind::Integer;
            if (!parse_integer(rest, head.integer)) {
                protocol_failure("invalid integer reply '" + printable(rest) + "'");
            }
            return head;
        case '$': {
            long long length = 0;
            if (!parse_integer(rest, length) || length < -1) {
                protocol_failure("invalid bulk length '" + printable(rest) + "'");
            }
            if (length == -1) {
                head.kind = ReplyKind::Null;
                return head;
            }
            if (static_cast<unsigned long long>(length) > kMaxBulkLength) {
                protocol_failure("bulk length " + std::to_string(length) +
                                 " exceeds the limit of 1 GiB");
            }
            head.kind = ReplyKind::Bulk;
            head.length = static_cast<std::size_t>(length);
            return head;
        }
        case '*':
            // No command of this client answers with an array.
            protocol_failure("unexpected array reply");
        default:
            protocol_failure("unknown reply type '" + printable(line.substr(0, 1)) + "'");
    }
}

void ReplyReader::read_body(char* dst, std::size_t length) {
    const std::size_t buffered = std::min(end_ - begin_, length);
    if (buffered != 0) std::memcpy(dst, buffer_.get() + begin_, buffered);
    begin_ += buffered;
    // The rest goes from the source straight to its destination.
    for (std::size_t done = buffered; done < length;) {
        const std::size_t got = source_.read_some(dst + done, length - done);
        done += got;
        received_ += got;
    }
    while (end_ - begin_ < 2) fill();
    if (buffer_[begin_] != '\r' || buffer_[begin_ + 1] != '\n') {
        protocol_failure("bulk string not ended by CRLF");
    }
    begin_ += 2;
}

std::string encode_command(std::initializer_list<std::string_view> parts) {
    std::string out = "*" + std::to_string(parts.size()) + "\r\n";
    for (std::string_view part : parts) {
        out += '$';
        out += std::to_string(part.size());
        out += "\r\n";
        out += part;
        out += "\r\n";
    }
    return out;
}

}  // namespace corvane::redis
