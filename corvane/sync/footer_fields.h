// The footer of a Parquet file as the fast decoder reads it, without the Parquet library.
//
// Partitions of one category nearly always carry the same schema and the same key-value
// metadata: those two fields are located, not decoded, and compared with a file already
// accepted (whose plan then holds, see PlanMemo). What differs from file to file, the row
// groups and their column chunks, is read here in full for every file, every length and
// offset checked against the file. Only the layout that the decoder reads is described: a
// plain (unencrypted) footer whose chunks lie in the file, no external chunks, no bloom
// filters or other parts that only a reader of another kind would use; anything else is
// left to the general reader (nothing). A chunk's page index is located (the store reads
// chosen pages through its offset index); the partition decoder leaves chunks with one to
// the general reader.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace corvane::sync {

// One column chunk of a row group.
struct ChunkFields {
    std::int32_t type = -1;   // the physical type recorded for the chunk
    std::int32_t codec = -1;
    std::int64_t num_values = -1;
    std::int64_t start = 0;   // its pages: the dictionary page's offset when it has one
    std::int64_t length = 0;
    // Every statistics value that it records is 8 bytes long, as a fixed-width value is.
    bool eight_byte_statistics = true;
    bool dictionary = false;  // the pages start with a dictionary page
    std::span<const std::uint8_t> name;  // the column's name (path_in_schema, one element)
    // Where its offset index lies (-1: none), and whether it has a page index of any kind.
    std::int64_t offset_index = -1;
    std::int32_t offset_index_length = 0;
    bool page_index = false;
};

struct RowGroupFields {
    std::int64_t num_rows = -1;
    std::vector<ChunkFields> chunks;
};

struct FooterFields {
    std::span<const std::uint8_t> schema;  // the encoded list of schema elements
    std::span<const std::uint8_t> pairs;   // the encoded list of key-value pairs
    std::int64_t num_rows = -1;
    std::vector<RowGroupFields> row_groups;
    std::optional<std::uint64_t> column_orders;  // their count, when recorded
};

// The footer of `file`; nothing when it is not laid out as described above. `known_schema`:
// the schema field of a footer read before; a schema of the same bytes is compared, not
// walked element by element again (the same bytes read the same way).
std::optional<FooterFields> footer_fields(std::span<const std::uint8_t> file,
                                          std::span<const std::uint8_t> known_schema = {});

// The same from the footer's encoded bytes alone, for a file of `file_size` bytes that
// ends with them, their length and "PAR1" (a reader that does not hold the whole file).
std::optional<FooterFields> footer_fields_at(std::span<const std::uint8_t> footer, std::uint64_t file_size,
                                             std::span<const std::uint8_t> known_schema = {});

// The value of key `key` among the encoded key-value pairs `pairs` (FooterFields::pairs);
// nothing when the key is missing, given twice or the pairs cannot be read.
std::optional<std::span<const std::uint8_t>> key_value(std::span<const std::uint8_t> pairs, std::string_view key);

// One entry of a column chunk's offset index: where a page (header included) lies and the
// row it starts with.
struct PageLocation {
    std::int64_t offset = -1;
    std::int32_t size = -1;
    std::int64_t first_row = -1;
};

// The pages of an encoded offset index; nothing when it cannot be read.
std::optional<std::vector<PageLocation>> offset_index(std::span<const std::uint8_t> bytes);

}  // namespace corvane::sync
