// Where the schema and the key-value metadata of a Parquet file's footer lie in its bytes.
//
// Partitions of one category nearly always carry the same schema and the same key-value
// metadata; comparing those bytes with a file already accepted tells the decoder that its
// plan holds without building it again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace corvane::sync {

struct FooterFields {
    std::span<const std::uint8_t> schema;  // the encoded list of schema elements
    std::span<const std::uint8_t> pairs;   // the encoded list of key-value pairs
};

// The two fields of the footer of `file` (a plain, unencrypted footer), each present once;
// nothing when the footer is not laid out so.
std::optional<FooterFields> footer_fields(std::span<const std::uint8_t> file);

}  // namespace corvane::sync
