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

std::vector<std::string> paths_of(PyObject* list) {
    std::vector<std::string> paths;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* path = PyList_GET_ITEM(list, i);
        if (!PyUnicode_Check(path)) throw_format(PyExc_TypeError, "paths must be texts");
        paths.emplace_back(utf8(path));
    }
    return paths;
}

Ref block_footers_body(PyObject*, const FootersParams& args) {
    const std::vector<std::string> paths = paths_of(args.paths);
    std::vector<std::optional<Tail>> tails(paths.size());
    std::vector<std::optional<std::span<const std::uint8_t>>> footers(paths.size());
    std::vector<std::optional<std::span<const std::uint8_t>>> arrow_schemas(paths.size());
    {
        ReleasedGil released;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            try {
                const File file(paths[i]);
                tails[i] = read_tail(file);
                if (tails[i]) {
                    footers[i] = sync::key_value(tails[i]->footer.pairs, "corvane");
                    arrow_schemas[i] = sync::key_value(tails[i]->footer.pairs, "ARROW:schema");
                }
            } catch (const std::exception&) {
                tails[i].reset();  // out of memory: pyarrow will say so
            }
        }
    }
    Ref found = check(PyList_New(static_cast<Py_ssize_t>(paths.size())));
    for (std::size_t i = 0; i < paths.size(); ++i) {
        Ref entry = none();
        if (tails[i] && footers[i]) {
            Ref kept = bytes_of(*footers[i]);
            Ref schema = bytes_of(tails[i]->footer.schema);
            Ref arrow = arrow_schemas[i] ? bytes_of(*arrow_schemas[i]) : none();
            entry = check(PyTuple_Pack(3, kept.get(), schema.get(), arrow.get()));
        }
        PyList_SET_ITEM(found.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return found;
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

// One file's part of a read: its instruments `rows` (positions among its `instruments`,
// each `dates` rows long) go to the rows `places` of the output, its dates [first, stop)
// to the output's columns from `start` on.
struct Job {
    std::string path;
    std::vector<std::int64_t> rows;
    std::vector<std::int64_t> places;
    std::int64_t instruments = 0;
    std::int64_t dates = 0;
    std::int64_t first = 0;
    std::int64_t stop = 0;
    std::int64_t start = 0;
};

// The output: (rows x columns) values of `width` bytes, row after row.
struct Output {
    std::uint8_t* data;
    std::int64_t rows;
    std::int64_t columns;
    std::size_t width;
};

// Reads one job into `out`; false when the file is not read here (then some of its output
// may be written, which the caller's other reader writes again).
bool read_rows(const Job& job, const Output& out, sync::ChunkPages& decoder) {
    const File file(job.path);
    const std::optional<Tail> tail = read_tail(file);
    if (!tail) return false;
    const ChunkFields& chunk = tail->footer.row_groups[0].chunks[kValueLeaf];
    const std::size_t width = out.width;
    std::int64_t values_held = 0;
    if (value_width(chunk.type) != width || __builtin_mul_overflow(job.instruments, job.dates, &values_held) ||
        chunk.num_values != values_held) {
        return false;
    }
    const std::optional<std::vector<PageLocation>> pages = value_pages(file, *tail, chunk);
    if (!pages) return false;
    const auto first_row = [&](std::size_t page) {
        return page < pages->size() ? (*pages)[page].first_row : chunk.num_values;
    };
    // The pages holding the chosen rows' dates, each read once, in file order.
    std::vector<std::size_t> needed;
    for (const std::int64_t row : job.rows) {
        const std::int64_t lo = row * job.dates + job.first;
        const std::int64_t hi = row * job.dates + job.stop;
        auto page = static_cast<std::size_t>(
            std::upper_bound(pages->begin(), pages->end(), lo,
                             [](std::int64_t at, const PageLocation& p) { return at < p.first_row; }) -
            pages->begin() - 1);
        for (; page < pages->size() && first_row(page) < hi; ++page) needed.push_back(page);
    }
    std::sort(needed.begin(), needed.end());
    needed.erase(std::unique(needed.begin(), needed.end()), needed.end());

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
        for (std::size_t j = 0; j < job.rows.size(); ++j) {
            const std::int64_t base = job.rows[j] * job.dates;
            const std::int64_t from = std::max(lo, base + job.first);
            const std::int64_t to = std::min(hi, base + job.stop);
            if (from >= to) continue;
            const std::int64_t column = job.start + (from - base - job.first);
            std::memcpy(out.data + (job.places[j] * out.columns + column) * static_cast<std::int64_t>(width),
                        values.data() + (from - lo) * static_cast<std::int64_t>(width),
                        static_cast<std::size_t>(to - from) * width);
        }
    }
    return true;
}

// A writable, C-contiguous buffer of two dimensions, released with this.
class Buffer {
public:
    explicit Buffer(PyObject* object) {
        check_status(PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
        if (view_.ndim != 2 || view_.itemsize <= 0) {
            PyBuffer_Release(&view_);
            throw_format(PyExc_ValueError, "out must be a two-dimensional array");
        }
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    Output output() const {
        return {static_cast<std::uint8_t*>(view_.buf), view_.shape[0], view_.shape[1],
                static_cast<std::size_t>(view_.itemsize)};
    }

private:
    Py_buffer view_{};
};

std::int64_t count_of(PyObject* value, std::int64_t below) {
    const long long count = PyLong_AsLongLong(value);
    if (count == -1 && PyErr_Occurred()) throw PyError::fetch();
    if (count < 0 || count >= below) throw_format(PyExc_ValueError, "value %lld out of range", count);
    return count;
}

std::vector<std::int64_t> counts_of(PyObject* list, std::int64_t below) {
    if (!PyList_Check(list)) throw_format(PyExc_TypeError, "expected a list of positions");
    std::vector<std::int64_t> counts;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    counts.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) counts.push_back(count_of(PyList_GET_ITEM(list, i), below));
    return counts;
}

// A job from its tuple (path, rows, places, instruments, dates, first, stop, start), checked
// against the output.
Job job_of(PyObject* item, const Output& out) {
    constexpr std::int64_t kLimit = std::int64_t{1} << 40;
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 8 || !PyUnicode_Check(PyTuple_GET_ITEM(item, 0))) {
        throw_format(PyExc_TypeError, "a job is (path, rows, places, instruments, dates, first, stop, start)");
    }
    Job job;
    job.path = utf8(PyTuple_GET_ITEM(item, 0));
    job.instruments = count_of(PyTuple_GET_ITEM(item, 3), kLimit);
    job.dates = count_of(PyTuple_GET_ITEM(item, 4), kLimit);
    job.rows = counts_of(PyTuple_GET_ITEM(item, 1), job.instruments);
    job.places = counts_of(PyTuple_GET_ITEM(item, 2), out.rows);
    job.first = count_of(PyTuple_GET_ITEM(item, 5), job.dates + 1);
    job.stop = count_of(PyTuple_GET_ITEM(item, 6), job.dates + 1);
    job.start = count_of(PyTuple_GET_ITEM(item, 7), out.columns + 1);
    if (job.rows.size() != job.places.size() || job.stop < job.first ||
        job.stop - job.first > out.columns - job.start) {
        throw_format(PyExc_ValueError, "a job does not fit the output");
    }
    return job;
}

Ref block_rows_body(PyObject*, const RowsParams& args) {
    const Buffer buffer(args.out);
    const Output out = buffer.output();
    std::vector<Job> jobs;
    const Py_ssize_t n = PyList_GET_SIZE(args.jobs.value);
    for (Py_ssize_t i = 0; i < n; ++i) jobs.push_back(job_of(PyList_GET_ITEM(args.jobs.value, i), out));
    std::vector<char> read(jobs.size(), 0);
    {
        ReleasedGil released;
        sync::ChunkPages decoder;  // its codec and buffers serve every file
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            try {
                read[i] = read_rows(jobs[i], out, decoder) ? 1 : 0;
            } catch (const std::exception&) {
                read[i] = 0;  // out of memory: pyarrow will say so
            }
        }
    }
    Ref results = check(PyList_New(static_cast<Py_ssize_t>(jobs.size())));
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), boolean(read[i] != 0).release());
    }
    return results;
}

}  // namespace

const Method<FootersParams> block_footers{"_block_footers", block_footers_body,
                                          "各区块文件的 (corvane 脚注, Parquet 模式, Arrow 模式)；无法识别的文件为 None。",
                                          Binding::Function};
const Method<RowsParams> block_rows{"_block_rows", block_rows_body,
                                    "按各任务把区块文件中所选品种的值写入 out；返回每个任务是否在此读取。",
                                    Binding::Function};

void define_block_reads(PyObject* module) {
    static MethodDef functions[] = {define<block_footers>(), define<block_rows>()};
    for (MethodDef& def : functions) setattr(module, def.def.ml_name, make_method(module, def).get());
}

}  // namespace corvane::store
