// RESP2: encoding commands and reading replies. Pure C++ over an abstract byte source, so
// the parser runs (and is fuzzed) without sockets or the interpreter.
//
// A reply is read in two steps: its head (type and line), then, for a bulk string, its
// body straight into memory the caller provides. The caller can so size the final object
// from the announced length and have the body land there with no intermediate copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

namespace corvane::redis {

// Longest bulk string accepted; a longer announcement is a protocol error, not an allocation.
inline constexpr std::size_t kMaxBulkLength = std::size_t{1} << 30;
// Longest reply line (type byte and text, without CRLF).
inline constexpr std::size_t kMaxLineLength = 64 * 1024;

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads between 1 and `size` bytes into `dst`; throws Failure when none can come.
    virtual std::size_t read_some(char* dst, std::size_t size) = 0;
};

enum class ReplyKind { Status, Error, Integer, Bulk, Null };

const char* reply_kind_name(ReplyKind kind) noexcept;

// Everything of a reply except a bulk string's body.
struct ReplyHead {
    ReplyKind kind = ReplyKind::Null;
    std::string text;         // Status and Error
    long long integer = 0;    // Integer
    std::size_t length = 0;   // Bulk: the body's length
};

class ReplyReader {
public:
    explicit ReplyReader(ByteSource& source);

    ReplyHead read_head();
    // The body of the bulk string whose head was just read: exactly `length` bytes into
    // `dst`, then the terminating CRLF.
    void read_body(char* dst, std::size_t length);
    // Bytes taken from the source so far.
    std::uint64_t received() const noexcept { return received_; }

private:
    std::string_view read_line();
    void fill();

    ByteSource& source_;
    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint64_t received_ = 0;
};

// A command as a RESP array of bulk strings.
std::string encode_command(std::initializer_list<std::string_view> parts);

}  // namespace corvane::redis
