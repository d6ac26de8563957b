#include "corvane/sync/chunk_pages.h"

#include <cstring>
#include <exception>
#include <limits>

#include "corvane/sync/thrift_compact.h"

namespace corvane::sync {

namespace {

// Thrown inside a read for a chunk that it leaves to the general reader.
struct Refused {};

void require(bool condition) {
    if (!condition) throw Refused{};
}

// Parquet's page types, encodings and codecs that are read here.
constexpr std::int32_t kDataPage = 0;
constexpr std::int32_t kDictionaryPage = 2;
constexpr std::int32_t kDataPageV2 = 3;
constexpr std::int32_t kPlain = 0;
constexpr std::int32_t kPlainDictionary = 2;
constexpr std::int32_t kRle = 3;
constexpr std::int32_t kRleDictionary = 8;
constexpr std::int32_t kUncompressed = 0;

// A codec of the format and Arrow's codec for it, as the Parquet reader makes it; LZO and
// the framed LZ4 have none here.
bool arrow_codec(std::int32_t codec, arrow::Compression::type& out) {
    switch (codec) {
        case 1: out = arrow::Compression::SNAPPY; return true;
        case 2: out = arrow::Compression::GZIP; return true;
        case 4: out = arrow::Compression::BROTLI; return true;
        case 6: out = arrow::Compression::ZSTD; return true;
        case 7: out = arrow::Compression::LZ4; return true;
        default: return false;
    }
}

}  // namespace

struct PageHeader {
    std::int32_t type = -1;
    std::int32_t uncompressed_size = -1;
    std::int32_t compressed_size = -1;
    std::int32_t num_values = -1;
    std::int32_t encoding = -1;
    std::int32_t level_encoding = -1;
    // The second version of data pages: levels stored before the values, uncompressed.
    std::int32_t num_nulls = -1;
    std::int32_t num_rows = -1;
    std::int32_t level_bytes = -1;
    std::int32_t repetition_bytes = -1;
    bool values_compressed = true;
};

namespace {

bool i32_field(thrift::Reader& in, std::uint8_t type, std::int32_t& out) {
    return type == thrift::kI32 && in.i32(out);
}

// The header of a data page (first version) or of a dictionary page, as `data` says.
bool page_kind(thrift::Reader& in, int depth, bool data, PageHeader& header) {
    std::uint64_t seen = 0;
    const bool read = in.fields(depth, seen, [&](std::int16_t id, std::uint8_t type) -> int {
        std::int32_t ignored = 0;
        switch (id) {
            case 1: return i32_field(in, type, header.num_values);
            case 2: return i32_field(in, type, header.encoding);
            case 3: return data ? i32_field(in, type, header.level_encoding)
                                : (type == thrift::kTrue || type == thrift::kFalse);  // is_sorted
            case 4: return data && i32_field(in, type, ignored);  // repetition levels: none here
            default: return thrift::Reader::skipped;  // the page's statistics among them
        }
    });
    const std::uint64_t required = data ? 0b11110 : 0b110;
    return read && (seen & required) == required;
}

bool data_page_v2(thrift::Reader& in, int depth, PageHeader& header) {
    std::uint64_t seen = 0;
    const bool read = in.fields(depth, seen, [&](std::int16_t id, std::uint8_t type) -> int {
        switch (id) {
            case 1: return i32_field(in, type, header.num_values);
            case 2: return i32_field(in, type, header.num_nulls);
            case 3: return i32_field(in, type, header.num_rows);
            case 4: return i32_field(in, type, header.encoding);
            case 5: return i32_field(in, type, header.level_bytes);
            case 6: return i32_field(in, type, header.repetition_bytes);
            case 7:
                if (type != thrift::kTrue && type != thrift::kFalse) return 0;
                header.values_compressed = type == thrift::kTrue;
                return 1;
            default: return thrift::Reader::skipped;
        }
    });
    return read && (seen & 0b1111110) == 0b1111110 && header.level_bytes >= 0 && header.repetition_bytes == 0;
}

// Reads a page header; the reader stops right after it.
bool page_header(thrift::Reader& in, PageHeader& header) {
    std::uint64_t seen = 0;
    const bool read = in.fields(0, seen, [&](std::int16_t id, std::uint8_t type) -> int {
        std::int32_t crc = 0;
        switch (id) {
            case 1: return i32_field(in, type, header.type);
            case 2: return i32_field(in, type, header.uncompressed_size);
            case 3: return i32_field(in, type, header.compressed_size);
            case 4: return i32_field(in, type, crc);  // checked only on request, never by pyarrow
            case 5:
                return header.type == kDataPage && type == thrift::kStruct && page_kind(in, 1, true, header);
            case 7:
                return header.type == kDictionaryPage && type == thrift::kStruct &&
                       page_kind(in, 1, false, header);
            case 8:
                return header.type == kDataPageV2 && type == thrift::kStruct && data_page_v2(in, 1, header);
            case 6: return 0;  // index pages
            default: return thrift::Reader::skipped;
        }
    });
    const std::uint64_t kind = header.type == kDataPage     ? thrift::bit(5)
                               : header.type == kDataPageV2 ? thrift::bit(8)
                                                            : thrift::bit(7);
    const std::uint64_t required = thrift::bit(1) | thrift::bit(2) | thrift::bit(3) | kind;
    return read && (seen & required) == required && header.uncompressed_size >= 0 &&
           header.compressed_size >= 0 && header.num_values >= 0;
}

// The run-length / bit-packed hybrid encoding: `count` values of `width` bits, each
// handed to `take`. Runs must be whole; padding after the last value is ignored.
template <typename Take>
void hybrid(std::span<const std::uint8_t> bytes, int width, std::uint64_t count, Take&& take) {
    thrift::Reader in(bytes);
    const std::uint64_t value_bytes = (static_cast<std::uint64_t>(width) + 7) / 8;
    while (count > 0) {
        std::uint64_t header = 0;
        require(in.varint(header, 5) && header <= std::numeric_limits<std::uint32_t>::max());
        const std::uint64_t runs = header >> 1;
        require(runs > 0);
        if ((header & 1) == 0) {  // one value repeated
            std::uint64_t value = 0;
            require(value_bytes <= in.remaining());
            for (std::uint64_t b = 0; b < value_bytes; ++b) value |= static_cast<std::uint64_t>(in.at()[b]) << (8 * b);
            in.advance(value_bytes);
            const std::uint64_t taken = std::min(runs, count);
            for (std::uint64_t i = 0; i < taken; ++i) take(value);
            count -= taken;
        } else {  // groups of eight values, bit-packed from the lowest bit
            require(runs <= in.remaining() / (width == 0 ? 1 : static_cast<std::uint64_t>(width)));
            const std::uint8_t* packed = in.at();
            in.advance(runs * static_cast<std::uint64_t>(width));
            const std::uint64_t taken = std::min(runs * 8, count);
            for (std::uint64_t i = 0; i < taken; ++i) {
                std::uint64_t value = 0;
                const std::uint64_t first = i * static_cast<std::uint64_t>(width);
                for (int b = 0; b < width; ++b) {
                    const std::uint64_t at = first + static_cast<std::uint64_t>(b);
                    value |= static_cast<std::uint64_t>((packed[at / 8] >> (at % 8)) & 1) << b;
                }
                take(value);
            }
            count -= taken;
        }
    }
}

std::uint32_t little_endian32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// Plain values of a fixed-width type, or length-prefixed texts.
template <typename T>
std::span<const std::uint8_t> plain(std::span<const std::uint8_t> bytes, std::uint64_t count, T* out) {
    if constexpr (std::is_same_v<T, std::string_view>) {
        for (std::uint64_t i = 0; i < count; ++i) {
            require(bytes.size() >= 4);
            const std::uint32_t length = little_endian32(bytes.data());
            require(length <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()) &&
                    length <= bytes.size() - 4);
            out[i] = {reinterpret_cast<const char*>(bytes.data()) + 4, length};
            bytes = bytes.subspan(4 + length);
        }
        return bytes;
    } else {
        require(count <= bytes.size() / sizeof(T));
        if (count > 0) std::memcpy(out, bytes.data(), count * sizeof(T));
        return bytes.subspan(count * sizeof(T));
    }
}

}  // namespace

ChunkPages::ChunkPages() = default;
ChunkPages::~ChunkPages() = default;

arrow::util::Codec* ChunkPages::codec(std::int32_t codec) {
    arrow::Compression::type type;
    require(codec >= 0 && static_cast<std::size_t>(codec) < codecs_.size() && arrow_codec(codec, type));
    std::unique_ptr<arrow::util::Codec>& made = codecs_[static_cast<std::size_t>(codec)];
    if (!made) {
        auto created = arrow::util::Codec::Create(type);
        require(created.ok() && *created);
        made = std::move(created).ValueUnsafe();
    }
    return made.get();
}

// The page's bytes as the library decodes them: decompressed to exactly the size that its
// header gives.
std::span<const std::uint8_t> ChunkPages::uncompressed(std::int32_t codec, std::span<const std::uint8_t> page,
                                                       std::int32_t size, std::vector<std::uint8_t>& buffer) {
    if (codec == kUncompressed) {
        require(page.size() == static_cast<std::size_t>(size));
        return page;
    }
    arrow::util::Codec* decompressor = this->codec(codec);
    buffer.resize(static_cast<std::size_t>(size));
    auto length = decompressor->Decompress(static_cast<std::int64_t>(page.size()), page.data(), size,
                                           buffer.data());
    require(length.ok() && *length == size);
    return {buffer.data(), buffer.size()};
}

std::span<const std::uint8_t> ChunkPages::page_values(const PageHeader& header, std::span<const std::uint8_t> stored,
                                                       std::int32_t codec, int max_level, std::uint64_t& present) {
    require(header.type == kDataPage || header.type == kDataPageV2);
    const auto count = static_cast<std::uint64_t>(header.num_values);
    // Definition levels: in a first-version page a length, then that many bytes of the
    // hybrid encoding, all compressed with the values; in a second-version page their
    // length is in the header and only the values are compressed.
    std::span<const std::uint8_t> bytes;
    std::span<const std::uint8_t> levels;
    if (header.type == kDataPageV2) {
        const auto level_bytes = static_cast<std::size_t>(header.level_bytes);
        require(level_bytes <= stored.size() && header.level_bytes <= header.uncompressed_size &&
                header.num_rows == header.num_values && (max_level > 0 || level_bytes == 0));
        levels = stored.first(level_bytes);
        const std::int32_t size = header.uncompressed_size - header.level_bytes;
        bytes = header.values_compressed ? uncompressed(codec, stored.subspan(level_bytes), size, page_)
                                         : uncompressed(kUncompressed, stored.subspan(level_bytes), size, page_);
    } else {
        bytes = uncompressed(codec, stored, header.uncompressed_size, page_);
        if (max_level > 0) {
            require(header.level_encoding == kRle && bytes.size() >= 4);
            const std::uint32_t length = little_endian32(bytes.data());
            require(length <= bytes.size() - 4);
            levels = bytes.subspan(4, length);
            bytes = bytes.subspan(4 + length);
        }
    }
    levels_.assign(count, 1);
    present = count;
    if (max_level > 0) {
        std::size_t at = 0;
        present = 0;
        hybrid(levels, 1, count, [&](std::uint64_t level) {
            require(level <= 1);
            levels_[at++] = static_cast<std::uint8_t>(level);
            present += level;
        });
        require(header.type != kDataPageV2 || static_cast<std::uint64_t>(header.num_nulls) == count - present);
    }
    return bytes;
}

bool ChunkPages::plain_page(std::span<const std::uint8_t> page, std::int32_t codec, int max_level,
                            std::size_t width, std::span<const std::uint8_t>& values) {
    if (max_level < 0 || max_level > 1 || width == 0) return false;
    try {
        thrift::Reader in(page);
        PageHeader header;
        require(page_header(in, header) && header.num_values > 0 &&
                static_cast<std::uint64_t>(header.compressed_size) == in.remaining());
        const std::span<const std::uint8_t> stored = page.subspan(static_cast<std::size_t>(in.at() - page.data()));
        std::uint64_t present = 0;
        const std::span<const std::uint8_t> bytes = page_values(header, stored, codec, max_level, present);
        const auto count = static_cast<std::uint64_t>(header.num_values);
        require(header.encoding == kPlain && present == count && count <= bytes.size() / width);
        values = bytes.first(static_cast<std::size_t>(count * width));
        return true;
    } catch (const Refused&) {
        return false;
    } catch (const std::exception&) {
        return false;
    }
}

template <typename T, typename Store>
void ChunkPages::read_chunk(std::span<const std::uint8_t> pages, const ChunkFields& chunk,
                            int max_level, std::int64_t rows, Store& store) {
    std::vector<T>* dictionary = nullptr;
    std::vector<T> values;
    std::int64_t seen = 0;
    bool first = true;
    while (seen < rows) {
        thrift::Reader in(pages);
        PageHeader header;
        require(page_header(in, header));
        pages = pages.subspan(static_cast<std::size_t>(in.at() - pages.data()));
        require(static_cast<std::size_t>(header.compressed_size) <= pages.size());
        const std::span<const std::uint8_t> stored = pages.first(static_cast<std::size_t>(header.compressed_size));
        pages = pages.subspan(stored.size());

        if (header.type == kDictionaryPage) {
            // One dictionary, before the data pages.
            require(first && (header.encoding == kPlain || header.encoding == kPlainDictionary));
            auto& kept = [&]() -> std::vector<T>& {
                if constexpr (std::is_same_v<T, double>) return doubles_;
                else if constexpr (std::is_same_v<T, std::int64_t>) return integers_;
                else return texts_;
            }();
            const auto bytes = uncompressed(chunk.codec, stored, header.uncompressed_size, dictionary_page_);
            kept.resize(static_cast<std::size_t>(header.num_values));
            plain(bytes, kept.size(), kept.data());
            dictionary = &kept;
            first = false;
            continue;
        }
        first = false;
        require(header.num_values > 0 && header.num_values <= rows - seen);
        const auto count = static_cast<std::uint64_t>(header.num_values);
        std::uint64_t present = 0;
        const std::span<const std::uint8_t> bytes = page_values(header, stored, chunk.codec, max_level, present);

        values.resize(present);
        if (header.encoding == kPlain) {
            plain(bytes, present, values.data());
        } else {
            require((header.encoding == kRleDictionary || header.encoding == kPlainDictionary) &&
                    dictionary != nullptr);
            if (!bytes.empty()) {
                const int width = bytes[0];
                require(width <= 32);
                std::size_t at = 0;
                hybrid(bytes.subspan(1), width, present, [&](std::uint64_t index) {
                    require(index < dictionary->size());
                    values[at++] = (*dictionary)[index];
                });
            } else {
                require(present == 0);
            }
        }
        std::size_t next = 0;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (levels_[i] == 1) {
                store(seen + static_cast<std::int64_t>(i), &values[next++]);
            } else {
                store(seen + static_cast<std::int64_t>(i), nullptr);
            }
        }
        seen += header.num_values;
    }
}

template <typename T, typename Store>
bool ChunkPages::read(std::span<const std::uint8_t> file, const ChunkFields& chunk, int max_level,
                      std::int64_t rows, Store&& store) {
    // A chunk records one value or null per row of its row group in a flat file.
    if (chunk.num_values != rows || rows <= 0 || max_level < 0 || max_level > 1) return false;
    try {
        read_chunk<T>(file.subspan(static_cast<std::size_t>(chunk.start), static_cast<std::size_t>(chunk.length)),
                      chunk, max_level, rows, store);
        return true;
    } catch (const Refused&) {
        return false;
    } catch (const std::exception&) {
        return false;  // out of memory: the general reader will say so
    }
}

bool ChunkPages::doubles(std::span<const std::uint8_t> file, const ChunkFields& chunk, int max_level,
                         std::int64_t rows, double* out) {
    if (chunk.type != kDouble || !chunk.eight_byte_statistics) return false;
    return read<double>(file, chunk, max_level, rows, [out](std::int64_t row, const double* value) {
        out[row] = value ? *value : std::numeric_limits<double>::quiet_NaN();
    });
}

bool ChunkPages::stamps(std::span<const std::uint8_t> file, const ChunkFields& chunk, int max_level,
                        std::int64_t rows, std::int64_t* out) {
    if (chunk.type != kInt64 || !chunk.eight_byte_statistics) return false;
    return read<std::int64_t>(file, chunk, max_level, rows, [out](std::int64_t row, const std::int64_t* value) {
        out[row] = value ? *value : std::numeric_limits<std::int64_t>::min();  // NaT
    });
}

bool ChunkPages::texts(std::span<const std::uint8_t> file, const ChunkFields& chunk, int max_level,
                       std::int64_t rows, std::vector<std::string>& out) {
    if (chunk.type != kByteArray) return false;
    return read<std::string_view>(file, chunk, max_level, rows, [&out](std::int64_t, const std::string_view* value) {
        require(value != nullptr);
        out.emplace_back(*value);
    });
}

}  // namespace corvane::sync
