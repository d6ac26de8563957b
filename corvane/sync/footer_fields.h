// The footer of a Parquet file as the fast decoder reads it, without the Parquet library.
//
// Partitions of one category nearly always carry the same schema and the same key-value
// metadata: those two fields are located, not decoded, and compared with a file already
// accepted (whose plan then holds, see PlanMemo). What differs from file to file, the row
// groups and their column chunks, is read here in full for every file, every length and
// offset checked against the file. Only the layout that the decoder reads is described: a
// plain (unencrypted) footer whose chunks lie in the file, no external chunks, no bloom
// filters, page indexes or other parts that only a reader of another kind would use;
// anything else is left to the general reader (nothing).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
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

}  // namespace corvane::sync
