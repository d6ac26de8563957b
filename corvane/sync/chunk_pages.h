// Reading the pages of one column chunk of a flat Parquet file, without the Parquet library.
//
// The fast decoder reads thousands of chunks of a value or two each: through the library's
// row-group, column and page readers that costs microseconds per chunk, here a fraction of
// one. Only what pyarrow writes for such columns is read: an optional dictionary page (plain)
// and data pages of the first version (plain or dictionary-encoded values, definition levels
// run-length encoded), each compressed with a codec that Arrow provides. A chunk laid out
// otherwise, or damaged in any way that the library would refuse, is left to the general
// reader: a read returns false.
//
// A ChunkPages object keeps its codecs and buffers from chunk to chunk; one per thread.
#pragma once

#include <arrow/util/compression.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/sync/footer_fields.h"

namespace corvane::sync {

// Parquet's physical types that the decoder reads.
constexpr std::int32_t kInt64 = 2;
constexpr std::int32_t kDouble = 5;
constexpr std::int32_t kByteArray = 6;

struct PageHeader;

class ChunkPages {
public:
    ChunkPages();
    ~ChunkPages();
    ChunkPages(const ChunkPages&) = delete;
    ChunkPages& operator=(const ChunkPages&) = delete;

    // The `rows` values of `chunk` (of `file`), a column whose definition level goes up to
    // `max_level` (0 or 1), into `out`; nulls as `null_value`.
    bool doubles(std::span<const std::uint8_t> file, const ChunkFields& chunk, int max_level,
                 std::int64_t rows, double* out);
    bool stamps(std::span<const std::uint8_t> file, const ChunkFields& chunk, int max_level,
                std::int64_t rows, std::int64_t* out);
    // Text values appended to `out`; a null is refused (pandas keeps it as None).
    bool texts(std::span<const std::uint8_t> file, const ChunkFields& chunk, int max_level,
               std::int64_t rows, std::vector<std::string>& out);

    // One data page of plain fixed-width values, all present (`page`: its header, then its
    // stored bytes; the chunk compressed with `codec`, its definition level up to
    // `max_level`): `values` their bytes, `width` each, valid until the next read.
    bool plain_page(std::span<const std::uint8_t> page, std::int32_t codec, int max_level, std::size_t width,
                    std::span<const std::uint8_t>& values);

private:
    // A data page's values as stored (plain or dictionary indices) after its levels, which
    // are left in levels_; how many values are present.
    std::span<const std::uint8_t> page_values(const PageHeader& header, std::span<const std::uint8_t> stored,
                                              std::int32_t codec, int max_level, std::uint64_t& present);
    template <typename T, typename Store>
    bool read(std::span<const std::uint8_t> file, const ChunkFields& chunk, int max_level,
              std::int64_t rows, Store&& store);
    template <typename T, typename Store>
    void read_chunk(std::span<const std::uint8_t> pages, const ChunkFields& chunk, int max_level,
                    std::int64_t rows, Store& store);
    std::span<const std::uint8_t> uncompressed(std::int32_t codec, std::span<const std::uint8_t> page,
                                               std::int32_t size, std::vector<std::uint8_t>& buffer);
    arrow::util::Codec* codec(std::int32_t codec);

    std::array<std::unique_ptr<arrow::util::Codec>, 8> codecs_;
    std::vector<std::uint8_t> page_;
    std::vector<std::uint8_t> dictionary_page_;
    std::vector<std::uint8_t> levels_;
    std::vector<std::uint32_t> indices_;
    std::vector<double> doubles_;
    std::vector<std::int64_t> integers_;
    std::vector<std::string_view> texts_;
};

}  // namespace corvane::sync
