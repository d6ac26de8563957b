#include "corvane/_store/block_rows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "corvane/common/nogil.h"
#include "corvane/sync/chunk_pages.h"
#include "corvane/sync/footer_fields.h"

namespace corvane::store {

namespace {

using sync::ChunkFields;
using sync::FooterFields;
using sync::PageLocation;

// The bytes read from the end of a file at first: a block file's footer and offset indexes
// (a few kilobytes) in one read.
constexpr std::uint64_t kTailGuess = 16 * 1024;
constexpr std::size_t kValueLeaf = 2;  // date, instrument, value

class File {
public:
    explicit File(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool size(std::uint64_t& out) const {
        struct stat info {};
        if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return false;
        out = static_cast<std::uint64_t>(info.st_size);
        return true;
    }

    // Exactly `out.size()` bytes at `offset`.
    bool read(std::uint64_t offset, std::span<std::uint8_t> out) const {
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t got = ::pread(fd_, out.data() + done, out.size() - done,
                                        static_cast<off_t>(offset + done));
            if (got <= 0) return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    int fd_;
};

// The end of a file, from `start` on, holding its footer.
struct Tail {
    std::uint64_t file_size = 0;
    std::uint64_t start = 0;
    std::vector<std::uint8_t> bytes;
    FooterFields footer;

    // The file's bytes [offset, offset + length) when the tail holds them.
    std::optional<std::span<const std::uint8_t>> holds(std::uint64_t offset, std::uint64_t length) const {
        if (offset < start || length > file_size - offset) return std::nullopt;
        return std::span<const std::uint8_t>(bytes).subspan(static_cast<std::size_t>(offset - start),
                                                            static_cast<std::size_t>(length));
    }
};

// The footer of a block file: one row group of the three columns, the last named "value",
// one value per row.
std::optional<Tail> read_tail(const File& file) {
    Tail tail;
    if (!file.size(tail.file_size) || tail.file_size < 12) return std::nullopt;
    tail.start = tail.file_size - std::min(tail.file_size, kTailGuess);
    tail.bytes.resize(static_cast<std::size_t>(tail.file_size - tail.start));
    if (!file.read(tail.start, tail.bytes)) return std::nullopt;
    const std::uint8_t* end = tail.bytes.data() + tail.bytes.size();
    if (std::memcmp(end - 4, "PAR1", 4) != 0) return std::nullopt;
    std::uint32_t length = 0;
    std::memcpy(&length, end - 8, 4);  // little-endian, as Parquet writes it
    if (length > tail.file_size - 12) return std::nullopt;
    const std::uint64_t footer_at = tail.file_size - 8 - length;
    if (footer_at < tail.start) {  // a footer larger than the guess
        tail.start = footer_at;
        tail.bytes.resize(static_cast<std::size_t>(tail.file_size - tail.start));
        if (!file.read(tail.start, tail.bytes)) return std::nullopt;
    }
    std::optional<FooterFields> footer = sync::footer_fields_at(*tail.holds(footer_at, length), tail.file_size);
    if (!footer || footer->row_groups.size() != 1) return std::nullopt;
    const auto& chunks = footer->row_groups[0].chunks;
    if (chunks.size() != kValueLeaf + 1) return std::nullopt;
    const ChunkFields& value = chunks[kValueLeaf];
    const std::string_view name(reinterpret_cast<const char*>(value.name.data()), value.name.size());
    if (name != "value" || footer->num_rows != footer->row_groups[0].num_rows || value.num_values != footer->num_rows) {
        return std::nullopt;
    }
    tail.footer = std::move(*footer);
    return tail;
}

Ref bytes_of(std::span<const std::uint8_t> bytes) {
    return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<Py_ssize_t>(bytes.size())));
}

Ref block_footer_body(PyObject*, const FooterParams& args) {
    const std::string path(utf8(args.path));
    std::optional<Tail> tail;
    std::optional<std::span<const std::uint8_t>> footer;
    {
        ReleasedGil released;
        File file(path);
        tail = read_tail(file);
        if (tail) footer = sync::key_value(tail->footer.pairs, "corvane");
    }
    if (!tail || !footer) return none();
    Ref kept = bytes_of(*footer);
    Ref schema = bytes_of(tail->footer.schema);
    return check(PyTuple_Pack(2, kept.get(), schema.get()));
}

// The width of a value of a physical type read here (int32, int64, float, double).
std::size_t value_width(std::int32_t type) {
    switch (type) {
        case 1: case 4: return 4;
        case 2: case 5: return 8;
        default: return 0;
    }
}

// The pages of the value chunk as its offset index gives them, checked against the chunk:
// in order, inside it, the first at its start with row 0.
std::optional<std::vector<PageLocation>> value_pages(const File& file, const Tail& tail, const ChunkFields& chunk) {
    if (chunk.offset_index < 0 || chunk.dictionary) return std::nullopt;
    std::vector<std::uint8_t> read;
    std::optional<std::span<const std::uint8_t>> bytes =
        tail.holds(static_cast<std::uint64_t>(chunk.offset_index), static_cast<std::uint64_t>(chunk.offset_index_length));
    if (!bytes) {
        read.resize(static_cast<std::size_t>(chunk.offset_index_length));
        if (!file.read(static_cast<std::uint64_t>(chunk.offset_index), read)) return std::nullopt;
        bytes = read;
    }
    std::optional<std::vector<PageLocation>> pages = sync::offset_index(*bytes);
    if (!pages || pages->empty() || (*pages)[0].offset != chunk.start || (*pages)[0].first_row != 0) {
        return std::nullopt;
    }
    const std::int64_t end = chunk.start + chunk.length;
    for (std::size_t i = 0; i < pages->size(); ++i) {
        const PageLocation& page = (*pages)[i];
        if (page.size > end - page.offset || page.first_row >= chunk.num_values) return std::nullopt;
        if (i > 0) {
            const PageLocation& before = (*pages)[i - 1];
            if (page.offset < before.offset + before.size || page.first_row <= before.first_row) return std::nullopt;
        }
    }
    return pages;
}

// Copies the values of `rows` (instrument positions, each `dates` rows long) into `out`,
// one instrument after another; false when the file is not read here.
bool read_rows(const std::string& path, const std::vector<std::int64_t>& rows, std::int64_t instruments,
               std::int64_t dates, std::size_t width, std::uint8_t* out) {
    const File file(path);
    const std::optional<Tail> tail = read_tail(file);
    if (!tail) return false;
    const ChunkFields& chunk = tail->footer.row_groups[0].chunks[kValueLeaf];
    if (value_width(chunk.type) != width || chunk.num_values != instruments * dates) return false;
    const std::optional<std::vector<PageLocation>> pages = value_pages(file, *tail, chunk);
    if (!pages) return false;
    const auto first_row = [&](std::size_t page) {
        return page < pages->size() ? (*pages)[page].first_row : chunk.num_values;
    };
    // The pages holding the rows, each read once, in file order.
    std::vector<std::size_t> needed;
    for (const std::int64_t row : rows) {
        const std::int64_t lo = row * dates;
        const std::int64_t hi = lo + dates;
        auto page = static_cast<std::size_t>(
            std::upper_bound(pages->begin(), pages->end(), lo,
                             [](std::int64_t at, const PageLocation& p) { return at < p.first_row; }) -
            pages->begin() - 1);
        for (; page < pages->size() && first_row(page) < hi; ++page) needed.push_back(page);
    }
    std::sort(needed.begin(), needed.end());
    needed.erase(std::unique(needed.begin(), needed.end()), needed.end());

    sync::ChunkPages decoder;
    std::vector<std::uint8_t> stored;
    for (const std::size_t page : needed) {
        const PageLocation& where = (*pages)[page];
        stored.resize(static_cast<std::size_t>(where.size));
        if (!file.read(static_cast<std::uint64_t>(where.offset), stored)) return false;
        // The value column is written nullable: its definition levels go up to 1.
        std::span<const std::uint8_t> values;
        if (!decoder.plain_page(stored, chunk.codec, 1, width, values)) return false;
        const std::int64_t lo = where.first_row;
        const std::int64_t hi = first_row(page + 1);
        if (static_cast<std::int64_t>(values.size() / width) != hi - lo) return false;
        for (std::size_t j = 0; j < rows.size(); ++j) {
            const std::int64_t from = std::max(lo, rows[j] * dates);
            const std::int64_t to = std::min(hi, rows[j] * dates + dates);
            if (from >= to) continue;
            std::memcpy(out + (static_cast<std::int64_t>(j) * dates + from - rows[j] * dates) * width,
                        values.data() + (from - lo) * static_cast<std::int64_t>(width),
                        static_cast<std::size_t>(to - from) * width);
        }
    }
    return true;
}

// A writable, C-contiguous buffer, released with this.
class Buffer {
public:
    explicit Buffer(PyObject* object) {
        check_status(PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
};

std::int64_t count_of(PyObject* value, std::int64_t below) {
    const long long count = PyLong_AsLongLong(value);
    if (count == -1 && PyErr_Occurred()) throw PyError::fetch();
    if (count < 0 || count >= below) throw_format(PyExc_ValueError, "value %lld out of range", count);
    return count;
}

Ref block_rows_body(PyObject*, const RowsParams& args) {
    constexpr std::int64_t kLimit = std::int64_t{1} << 40;
    const std::int64_t instruments = count_of(args.instruments, kLimit);
    const std::int64_t dates = count_of(args.dates, kLimit);
    std::vector<std::int64_t> rows;
    const Py_ssize_t n = PyList_GET_SIZE(args.rows.value);
    rows.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) rows.push_back(count_of(PyList_GET_ITEM(args.rows.value, i), instruments));
    const Buffer out(args.out);
    const Py_buffer& view = out.view();
    const auto values = static_cast<std::int64_t>(rows.size()) * dates;
    if (view.itemsize <= 0 || values * view.itemsize != view.len) {
        throw_format(PyExc_ValueError, "the output buffer holds %zd bytes, not %lld values", view.len,
                     static_cast<long long>(values));
    }
    const std::string path(utf8(args.path));
    bool read = false;
    {
        ReleasedGil released;
        read = read_rows(path, rows, instruments, dates, static_cast<std::size_t>(view.itemsize),
                         static_cast<std::uint8_t*>(view.buf));
    }
    return boolean(read);
}

}  // namespace

const Method<FooterParams> block_footer{"_block_footer", block_footer_body,
                                        "区块文件的 corvane 脚注与模式字节；无法识别时为 None。",
                                        Binding::Function};
const Method<RowsParams> block_rows{"_block_rows", block_rows_body,
                                    "把区块文件中所选品种的值读入 out；无法在此读取时返回 False。",
                                    Binding::Function};

void define_block_reads(PyObject* module) {
    static MethodDef functions[] = {define<block_footer>(), define<block_rows>()};
    for (MethodDef& def : functions) setattr(module, def.def.ml_name, make_method(module, def).get());
}

}  // namespace corvane::store
