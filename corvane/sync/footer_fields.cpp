#include "corvane/sync/footer_fields.h"

#include <cstddef>
#include <cstring>

#include "corvane/sync/thrift_compact.h"

namespace corvane::sync {

namespace {

using thrift::bit;
using thrift::Reader;

// What a member reader returns (see Reader::fields).
constexpr int kRefused = 0;
constexpr int kRead = 1;
constexpr int kSkipped = Reader::skipped;

int read_if(bool read) { return read ? kRead : kRefused; }

bool has(std::uint64_t seen, std::initializer_list<int> required) {
    for (const int id : required) {
        if ((seen & bit(id)) == 0) return false;
    }
    return true;
}

// A list of structs, each read by `element`.
template <typename Element>
bool struct_list(Reader& in, std::uint8_t type, int depth, Element&& element) {
    std::uint8_t elements = 0;
    std::uint64_t count = 0;
    if (type != thrift::kList || !in.list(elements, count) || (count > 0 && elements != thrift::kStruct)) {
        return false;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        if (!element(depth + 1)) return false;
    }
    return true;
}

// A list of integers (i32 or i64, as `Int`), each acceptable to `accept`.
template <typename Int, typename Accept>
bool int_list(Reader& in, std::uint8_t type, Accept&& accept) {
    constexpr std::uint8_t kElements = sizeof(Int) == 4 ? thrift::kI32 : thrift::kI64;
    std::uint8_t elements = 0;
    std::uint64_t count = 0;
    if (type != thrift::kList || !in.list(elements, count) || (count > 0 && elements != kElements)) {
        return false;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        Int value = 0;
        bool read = false;
        if constexpr (sizeof(Int) == 4) {
            read = in.i32(value);
        } else {
            read = in.i64(value);
        }
        if (!read || !accept(value)) return false;
    }
    return true;
}

bool i64_field(Reader& in, std::uint8_t type, std::int64_t& out) { return type == thrift::kI64 && in.i64(out); }

// A field's value of the type it is declared with: Thrift's reader passes over one of
// another type, which then counts as missing.
bool i32_field(Reader& in, std::uint8_t type, std::int32_t& out) { return type == thrift::kI32 && in.i32(out); }

bool i16_field(Reader& in, std::uint8_t type) {
    std::int32_t value = 0;
    return type == thrift::kI16 && in.i32(value) && value >= -32768 && value <= 32767;
}

bool bool_field(std::uint8_t type) { return type == thrift::kTrue || type == thrift::kFalse; }

// The encodings that a chunk may list; any other is left to the general reader.
bool known_encoding(std::int32_t encoding) {
    return encoding == 0 || encoding == 2 || encoding == 3 || encoding == 4 || encoding == 8;
}

// Statistics: only their form is checked here (the Parquet reader decodes them).
bool statistics(Reader& in, int depth, ChunkFields& chunk) {
    std::uint64_t seen = 0;
    return in.fields(depth, seen, [&](std::int16_t id, std::uint8_t type) {
        std::span<const std::uint8_t> value;
        std::int64_t count = 0;
        switch (id) {
            case 1: case 2: case 5: case 6:  // max, min, max_value, min_value
                if (type != thrift::kBinary || !in.binary(value)) return kRefused;
                if (value.size() != 8) chunk.eight_byte_statistics = false;
                return kRead;
            case 3: case 4:  // null_count, distinct_count
                return read_if(i64_field(in, type, count) && count >= 0);
            case 7: case 8:  // is_max_value_exact, is_min_value_exact
                return read_if(bool_field(type));
            default: return kRefused;  // a newer kind of statistics
        }
    });
}

bool encoding_stats(Reader& in, int depth) {
    std::uint64_t seen = 0;
    return in.fields(depth, seen, [&](std::int16_t id, std::uint8_t type) {
               std::int32_t value = 0;
               if (id < 1 || id > 3) return kSkipped;
               return read_if(i32_field(in, type, value) && value >= 0);
           }) &&
           has(seen, {1, 2, 3});
}

bool size_statistics(Reader& in, int depth) {
    std::uint64_t seen = 0;
    return in.fields(depth, seen, [&](std::int16_t id, std::uint8_t type) {
        std::int64_t bytes = 0;
        switch (id) {
            case 1: return read_if(i64_field(in, type, bytes) && bytes >= 0);
            case 2: case 3: return read_if(int_list<std::int64_t>(in, type, [](std::int64_t n) { return n >= 0; }));
            default: return kSkipped;
        }
    });
}

bool column_metadata(Reader& in, int depth, ChunkFields& chunk) {
    std::uint64_t seen = 0;
    std::int64_t data_page = -1;
    std::int64_t dictionary_page = -1;
    const bool read = in.fields(depth, seen, [&](std::int16_t id, std::uint8_t type) {
        std::int64_t size = 0;
        switch (id) {
            case 1: return read_if(i32_field(in, type, chunk.type));
            case 2: return read_if(int_list<std::int32_t>(in, type, known_encoding));
            case 3: {  // path_in_schema: one name, that of a top-level column
                std::uint8_t elements = 0;
                std::uint64_t count = 0;
                return read_if(type == thrift::kList && in.list(elements, count) && count == 1 &&
                               elements == thrift::kBinary && in.binary(chunk.name));
            }
            case 4: return read_if(i32_field(in, type, chunk.codec));
            case 5: return read_if(i64_field(in, type, chunk.num_values));
            case 6: return read_if(i64_field(in, type, size) && size >= 0);
            case 7: return read_if(i64_field(in, type, chunk.length) && chunk.length >= 0);
            case 9: return read_if(i64_field(in, type, data_page));
            case 11: return read_if(i64_field(in, type, dictionary_page));
            case 12: return read_if(type == thrift::kStruct && statistics(in, depth + 1, chunk));
            case 13: return read_if(struct_list(in, type, depth, [&](int d) { return encoding_stats(in, d); }));
            case 16: return read_if(type == thrift::kStruct && size_statistics(in, depth + 1));
            // Key-value metadata of the chunk, index pages, bloom filters, geospatial
            // statistics: left to the general reader.
            case 8: case 10: case 14: case 15: case 17: return kRefused;
            default: return kSkipped;
        }
    });
    if (!read || !has(seen, {1, 2, 3, 4, 5, 6, 7, 9})) return false;
    // The pages start at the dictionary page when there is one before the data pages.
    chunk.start = data_page;
    if ((seen & bit(11)) != 0) {
        if (dictionary_page <= 0 || dictionary_page >= data_page) return false;
        chunk.start = dictionary_page;
        chunk.dictionary = true;
    }
    return chunk.start >= 4;
}

bool column_chunk(Reader& in, int depth, ChunkFields& chunk) {
    std::uint64_t seen = 0;
    std::int32_t column_index_length = 0;
    const bool read = in.fields(depth, seen, [&](std::int16_t id, std::uint8_t type) {
        std::int64_t offset = 0;
        switch (id) {
            case 2: return read_if(i64_field(in, type, offset));  // file_offset
            case 3: return read_if(type == thrift::kStruct && column_metadata(in, depth + 1, chunk));
            case 4: return read_if(i64_field(in, type, chunk.offset_index) && chunk.offset_index >= 4);
            case 5: return read_if(i32_field(in, type, chunk.offset_index_length) && chunk.offset_index_length > 0);
            case 6: return read_if(i64_field(in, type, offset) && offset >= 4);  // the column index
            case 7: return read_if(i32_field(in, type, column_index_length) && column_index_length > 0);
            // An external file, encryption: left to the general reader.
            case 1: case 8: case 9: return kRefused;
            default: return kSkipped;
        }
    });
    // An index's offset and length come together.
    if (((seen & bit(4)) != 0) != ((seen & bit(5)) != 0) || ((seen & bit(6)) != 0) != ((seen & bit(7)) != 0)) {
        return false;
    }
    chunk.page_index = (seen & (bit(4) | bit(6))) != 0;
    return read && has(seen, {2, 3});
}

bool row_group(Reader& in, int depth, RowGroupFields& group) {
    std::uint64_t seen = 0;
    const bool read = in.fields(depth, seen, [&](std::int16_t id, std::uint8_t type) {
        std::int64_t value = 0;
        switch (id) {
            case 1:
                return read_if(struct_list(in, type, depth, [&](int d) {
                    return column_chunk(in, d, group.chunks.emplace_back());
                }));
            case 2: return read_if(i64_field(in, type, value));  // total_byte_size
            case 3: return read_if(i64_field(in, type, group.num_rows));
            case 5: case 6: return read_if(i64_field(in, type, value));
            case 7: return read_if(i16_field(in, type));  // ordinal
            case 4: return kRefused;  // sorting columns
            default: return kSkipped;
        }
    });
    return read && has(seen, {1, 2, 3});
}

// A column order: the type-defined one (an empty struct) or one unknown to the reader.
bool column_order(Reader& in, int depth) {
    std::uint64_t seen = 0;
    return in.fields(depth, seen, [&](std::int16_t, std::uint8_t) { return kSkipped; });
}

}  // namespace

std::optional<FooterFields> footer_fields(std::span<const std::uint8_t> file,
                                          std::span<const std::uint8_t> known_schema) {
    constexpr std::size_t kTail = 8;  // footer length, then "PAR1"
    if (file.size() < kTail + 4 || std::memcmp(file.data(), "PAR1", 4) != 0 ||
        std::memcmp(file.data() + file.size() - 4, "PAR1", 4) != 0) {
        return std::nullopt;
    }
    const std::uint8_t* tail = file.data() + file.size() - kTail;
    const std::uint32_t length = static_cast<std::uint32_t>(tail[0]) | static_cast<std::uint32_t>(tail[1]) << 8 |
                                 static_cast<std::uint32_t>(tail[2]) << 16 | static_cast<std::uint32_t>(tail[3]) << 24;
    if (length > file.size() - kTail - 4) return std::nullopt;
    return footer_fields_at(file.subspan(file.size() - kTail - length, length), file.size(), known_schema);
}

std::optional<FooterFields> footer_fields_at(std::span<const std::uint8_t> bytes, std::uint64_t file_size,
                                             std::span<const std::uint8_t> known_schema) {
    constexpr std::uint64_t kEnds = 12;  // "PAR1" before the data, the length and "PAR1" after the footer
    if (file_size < kEnds || bytes.size() > file_size - kEnds) return std::nullopt;
    const auto data_end = static_cast<std::int64_t>(file_size - 8 - bytes.size());
    Reader in(bytes);

    FooterFields footer;
    std::uint64_t seen = 0;
    const bool read = in.fields(0, seen, [&](std::int16_t id, std::uint8_t type) {
        const std::uint8_t* start = in.at();
        std::int32_t version = 0;
        std::span<const std::uint8_t> created_by;
        switch (id) {
            case 1: return read_if(i32_field(in, type, version));
            case 2:
            case 5: {
                // Located, not read: the plan that they give is checked once per bytes.
                if (type != thrift::kList) return kRefused;
                const bool known = id == 2 && !known_schema.empty() &&
                                   in.remaining() >= known_schema.size() &&
                                   std::memcmp(start, known_schema.data(), known_schema.size()) == 0;
                if (known ? !in.advance(known_schema.size()) : !in.skip(type, true, 0)) return kRefused;
                (id == 2 ? footer.schema : footer.pairs) = std::span<const std::uint8_t>(start, in.at());
                return kRead;
            }
            case 3: return read_if(i64_field(in, type, footer.num_rows));
            case 4:
                return read_if(struct_list(in, type, 0, [&](int d) {
                    return row_group(in, d, footer.row_groups.emplace_back());
                }));
            case 6: return read_if(type == thrift::kBinary && in.binary(created_by));
            case 7: {
                std::uint64_t orders = 0;
                std::uint8_t elements = 0;
                if (Reader peek = in; type != thrift::kList || !peek.list(elements, orders)) return kRefused;
                footer.column_orders = orders;
                return read_if(struct_list(in, type, 0, [&](int d) { return column_order(in, d); }));
            }
            case 8: case 9: return kRefused;  // encryption
            default: return kSkipped;
        }
    });
    if (!read || !has(seen, {1, 2, 3, 4, 5})) return std::nullopt;
    // Each chunk's pages, and its offset index, lie between the leading magic and the footer.
    for (const RowGroupFields& group : footer.row_groups) {
        for (const ChunkFields& chunk : group.chunks) {
            if (chunk.length > data_end - chunk.start) return std::nullopt;
            if (chunk.offset_index >= 0 && chunk.offset_index_length > data_end - chunk.offset_index) {
                return std::nullopt;
            }
        }
    }
    return footer;
}

std::optional<std::span<const std::uint8_t>> key_value(std::span<const std::uint8_t> pairs, std::string_view key) {
    Reader in(pairs);
    std::optional<std::span<const std::uint8_t>> found;
    bool twice = false;
    const bool read = struct_list(in, thrift::kList, 0, [&](int depth) {
        std::uint64_t seen = 0;
        std::span<const std::uint8_t> name;
        std::span<const std::uint8_t> value;
        const bool pair = in.fields(depth, seen, [&](std::int16_t id, std::uint8_t type) {
            if (id == 1) return read_if(type == thrift::kBinary && in.binary(name));
            if (id == 2) return read_if(type == thrift::kBinary && in.binary(value));
            return kSkipped;
        });
        if (!pair || !has(seen, {1})) return false;
        if (std::string_view(reinterpret_cast<const char*>(name.data()), name.size()) == key) {
            twice = twice || found.has_value() || !has(seen, {2});
            found = value;
        }
        return true;
    });
    if (!read || twice || in.remaining() != 0) return std::nullopt;
    return found;
}

std::optional<std::vector<PageLocation>> offset_index(std::span<const std::uint8_t> bytes) {
    Reader in(bytes);
    std::vector<PageLocation> pages;
    std::uint64_t seen = 0;
    const bool read = in.fields(0, seen, [&](std::int16_t id, std::uint8_t type) {
        if (id == 1) {
            return read_if(struct_list(in, type, 0, [&](int depth) {
                PageLocation& page = pages.emplace_back();
                std::uint64_t fields = 0;
                return in.fields(depth, fields, [&](std::int16_t member, std::uint8_t kind) {
                           switch (member) {
                               case 1: return read_if(i64_field(in, kind, page.offset) && page.offset >= 4);
                               case 2: return read_if(i32_field(in, kind, page.size) && page.size > 0);
                               case 3: return read_if(i64_field(in, kind, page.first_row) && page.first_row >= 0);
                               default: return kSkipped;
                           }
                       }) &&
                       has(fields, {1, 2, 3});
            }));
        }
        return kSkipped;  // the unencoded sizes of byte arrays
    });
    if (!read || !has(seen, {1})) return std::nullopt;
    return pages;
}

}  // namespace corvane::sync
