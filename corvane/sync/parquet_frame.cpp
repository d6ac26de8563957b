#include "corvane/sync/parquet_frame.h"

#include <arrow/buffer.h>
#include <arrow/io/memory.h>
#include <arrow/util/key_value_metadata.h>
#include <arrow/type.h>
#include <parquet/arrow/schema.h>
#include <parquet/column_reader.h>
#include <parquet/file_reader.h>
#include <parquet/metadata.h>
#include <parquet/schema.h>
#include <parquet/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "corvane/common/call.h"
#include "corvane/common/nogil.h"
#include "corvane/sync/footer_fields.h"
#include "corvane/sync/frame_plan.h"
#include "corvane/sync/plan_memo.h"

namespace corvane::sync {

namespace {

struct DecodedIndex {
    std::vector<std::int64_t> stamps;
    std::vector<std::string> texts;
};

// Thrown by the decoder for a file that it leaves to the general reader.
struct NotFastPath : std::runtime_error {
    NotFastPath() : std::runtime_error("outside the fast path") {}
};

// ---- Reading the schema and the pandas metadata -----------------------------------------

// The schema that pyarrow reads the file with: the Parquet schema with the footer's
// "ARROW:schema" applied, and the footer's other key-value pairs as its metadata. Null when
// it does not build; pyarrow refuses such a file.
std::shared_ptr<arrow::Schema> arrow_schema(const parquet::FileMetaData& metadata) noexcept {
    try {
        std::shared_ptr<arrow::Schema> schema;
        const arrow::Status status = parquet::arrow::FromParquetSchema(
            metadata.schema(), parquet::ArrowReaderProperties(), metadata.key_value_metadata(),
            &schema);
        return status.ok() ? schema : nullptr;
    } catch (const std::exception&) {
        return nullptr;  // out of memory: the general reader will say so
    }
}

// The one value of `key` among key-value pairs; pandas sees the last of repeated keys, so a
// repeated key is left to it like a missing one.
const std::string* only_value(const arrow::KeyValueMetadata& pairs, std::string_view key) {
    const std::vector<std::string>& keys = pairs.keys();
    if (std::count(keys.begin(), keys.end(), key) != 1) return nullptr;
    return &pairs.values()[static_cast<std::size_t>(pairs.FindKey(key))];
}

// The member names looked up once per column, made once per payload.
struct Keys {
    Ref name = text("name");
    Ref field_name = text("field_name");
    Ref pandas_type = text("pandas_type");
    Ref numpy_type = text("numpy_type");
    Ref metadata = text("metadata");
};

Ref member(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    check_status(PyDict_GetItemRef(dict, key, &value));
    return Ref::steal(value);
}

Ref member(PyObject* dict, const char* key) { return member(dict, text(key).get()); }

bool is_text(PyObject* value, std::string_view expected) {
    return value != nullptr && PyUnicode_Check(value) && utf8(value) == expected;
}

bool member_is(PyObject* dict, PyObject* key, std::string_view expected) {
    return is_text(member(dict, key).get(), expected);
}

bool member_is(PyObject* dict, const char* key, std::string_view expected) {
    return is_text(member(dict, key).get(), expected);
}

bool none_or_text(const Ref& value) {
    return value && (value.is_none() || PyUnicode_Check(value.get()));
}

// True when `value` is a dict whose every key is one of `names`. A member that pandas
// would read under another name (or a damaged one) leaves the file to pandas.
bool keys_within(PyObject* value, std::initializer_list<std::string_view> names) {
    if (value == nullptr || !PyDict_CheckExact(value)) return false;
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(value, &at, &key, &item)) {
        if (!PyUnicode_CheckExact(key) ||
            std::find(names.begin(), names.end(), utf8(key)) == names.end()) {
            return false;
        }
    }
    return true;
}

// True when `value` is a dict with exactly the members `names`.
bool has_members(PyObject* value, std::initializer_list<std::string_view> names) {
    return keys_within(value, names) &&
           PyDict_GET_SIZE(value) == static_cast<Py_ssize_t>(names.size());
}

// The members pyarrow writes for every column and column level.
bool is_column_entry(PyObject* value) {
    return has_members(value, {"name", "field_name", "pandas_type", "numpy_type", "metadata"});
}

const char* numpy_unit(parquet::LogicalType::TimeUnit::unit unit) {
    switch (unit) {
        case parquet::LogicalType::TimeUnit::MILLIS: return "ms";
        case parquet::LogicalType::TimeUnit::MICROS: return "us";
        case parquet::LogicalType::TimeUnit::NANOS: return "ns";
        default: return nullptr;
    }
}

arrow::TimeUnit::type arrow_unit(parquet::LogicalType::TimeUnit::unit unit) {
    switch (unit) {
        case parquet::LogicalType::TimeUnit::MILLIS: return arrow::TimeUnit::MILLI;
        case parquet::LogicalType::TimeUnit::MICROS: return arrow::TimeUnit::MICRO;
        default: return arrow::TimeUnit::NANO;
    }
}

// True when every leaf is a top-level column that is not repeated.
bool is_flat(const parquet::SchemaDescriptor& schema) {
    const parquet::schema::GroupNode* root = schema.group_node();
    if (root->field_count() != schema.num_columns()) return false;
    for (int i = 0; i < schema.num_columns(); ++i) {
        const parquet::ColumnDescriptor* column = schema.Column(i);
        if (column->schema_node()->parent() != root || column->max_repetition_level() != 0 ||
            column->max_definition_level() > 1) {
            return false;
        }
    }
    return true;
}

// The pandas metadata entry of leaf `i`. pyarrow lists the stored columns in field order;
// a file that lists them otherwise is left to the general reader.
PyObject* entry_of(const Keys& keys, PyObject* entries, const parquet::ColumnDescriptor& column,
                   int i) {
    PyObject* entry = PyList_GET_ITEM(entries, i);
    if (!is_column_entry(entry) || !member_is(entry, keys.field_name.get(), column.name()) ||
        !member(entry, keys.metadata.get()).is_none()) {
        throw NotFastPath();
    }
    return entry;
}

// The name that pandas gives a stored index: none for a generated "__index_level_N__".
Ref index_name(PyObject* module, PyObject* field, PyObject* logical) {
    if (PyUnicode_Check(logical) && equal(field, logical)) {
        Ref re = global(module, "re");
        Ref match = call_method(re.get(), "match", text(R"(^__index_level_\d+__$)"), logical);
        if (!match.is_none()) return none();
    }
    return Ref::borrow(logical);
}

void plan_stored_index(PyObject* module, const Keys& keys, const parquet::SchemaDescriptor& schema,
                       PyObject* entries, PyObject* field, ReadPlan& plan, FrameLabels& labels) {
    const std::string_view wanted = utf8(field);
    for (int i = 0; i < schema.num_columns() && plan.index_column < 0; ++i) {
        if (schema.Column(i)->name() == wanted) plan.index_column = i;
    }
    if (plan.index_column < 0) throw NotFastPath();
    const parquet::ColumnDescriptor& column = *schema.Column(plan.index_column);
    PyObject* entry = entry_of(keys, entries, column, plan.index_column);
    Ref logical = member(entry, keys.name.get());
    if (!none_or_text(logical)) throw NotFastPath();
    const auto& type = column.logical_type();
    if (column.physical_type() == parquet::Type::INT64 && type->is_timestamp() &&
        member_is(entry, keys.pandas_type.get(), "datetime")) {
        const auto& stamp = static_cast<const parquet::TimestampLogicalType&>(*type);
        const char* unit = numpy_unit(stamp.time_unit());
        // The unit must be the one pandas stored, or pyarrow would convert the values.
        if (unit == nullptr || stamp.is_adjusted_to_utc() || stamp.is_from_converted_type() ||
            !member_is(entry, keys.numpy_type.get(), "datetime64[" + std::string(unit) + "]")) {
            throw NotFastPath();
        }
        plan.index_kind = IndexKind::Timestamp;
        plan.unit = stamp.time_unit();
        labels.unit = unit;
    } else if (column.physical_type() == parquet::Type::BYTE_ARRAY && type->is_string() &&
               member_is(entry, keys.pandas_type.get(), "unicode") &&
               member_is(entry, keys.numpy_type.get(), "object")) {
        plan.index_kind = IndexKind::Text;
    } else {
        throw NotFastPath();
    }
    labels.index_name = index_name(module, field, logical.get());
}

// A range index as pyarrow describes it: integer bounds and a name.
bool is_range(PyObject* descriptor) {
    if (!has_members(descriptor, {"kind", "name", "start", "stop", "step"}) ||
        !member_is(descriptor, "kind", "range") || !none_or_text(member(descriptor, "name"))) {
        return false;
    }
    for (const char* bound : {"start", "stop", "step"}) {
        if (!PyLong_CheckExact(member(descriptor, bound).get())) return false;
    }
    return true;
}

// The name of the one level of column labels, which pyarrow describes as text.
Ref columns_name(const Keys& keys, PyObject* column_indexes) {
    if (!PyList_CheckExact(column_indexes) || PyList_GET_SIZE(column_indexes) != 1) {
        throw NotFastPath();
    }
    PyObject* level = PyList_GET_ITEM(column_indexes, 0);
    if (!is_column_entry(level) || !member_is(level, keys.pandas_type.get(), "unicode") ||
        !member_is(level, keys.numpy_type.get(), "object") ||
        !none_or_text(member(level, keys.field_name.get()))) {
        throw NotFastPath();
    }
    Ref encoding = member(level, keys.metadata.get());
    if (!encoding.is_none() &&
        !(has_members(encoding.get(), {"encoding"}) && member_is(encoding.get(), "encoding", "UTF-8"))) {
        throw NotFastPath();
    }
    Ref name = member(level, keys.name.get());
    if (!none_or_text(name)) throw NotFastPath();
    return name;
}

// The pandas metadata text of a footer's key-value pairs, or of a schema's metadata; null
// when there is none or pandas would also find attributes.
const std::string* pandas_metadata(const std::shared_ptr<const arrow::KeyValueMetadata>& pairs) {
    if (!pairs || pairs->FindKey("PANDAS_ATTRS") >= 0) return nullptr;
    return only_value(*pairs, "pandas");
}

// Decides from the Parquet schema and the whole pandas metadata whether the fast path
// reproduces the frame that pandas would build, and how. Throws NotFastPath when it does not.
void plan_frame(PyObject* module, const parquet::FileMetaData& metadata, ReadPlan& plan,
                FrameLabels& labels) {
    const std::string* described = pandas_metadata(metadata.key_value_metadata());
    if (described == nullptr) throw NotFastPath();
    const parquet::SchemaDescriptor& schema = *metadata.schema();
    if (!is_flat(schema)) throw NotFastPath();

    Ref json = global(module, "json");
    Ref pandas = call_method(json.get(), "loads", text(*described));
    if (!keys_within(pandas.get(), {"index_columns", "column_indexes", "columns", "attributes",
                                    "creator", "pandas_version"})) {
        throw NotFastPath();
    }
    Ref entries = member(pandas.get(), "columns");
    Ref index_columns = member(pandas.get(), "index_columns");
    Ref column_indexes = member(pandas.get(), "column_indexes");
    Ref attributes = member(pandas.get(), "attributes");
    if (!entries || !PyList_CheckExact(entries.get()) ||
        PyList_GET_SIZE(entries.get()) != schema.num_columns() || !index_columns ||
        !PyList_CheckExact(index_columns.get()) || PyList_GET_SIZE(index_columns.get()) > 1 ||
        (attributes && !has_members(attributes.get(), {}))) {
        throw NotFastPath();
    }
    const Keys keys;
    labels.columns_name = column_indexes ? columns_name(keys, column_indexes.get()) : none();

    if (PyList_GET_SIZE(index_columns.get()) == 1) {
        PyObject* descriptor = PyList_GET_ITEM(index_columns.get(), 0);
        if (PyUnicode_Check(descriptor)) {
            plan_stored_index(module, keys, schema, entries.get(), descriptor, plan, labels);
        } else if (is_range(descriptor)) {
            plan.index_kind = IndexKind::Range;
            labels.range = Ref::borrow(descriptor);
        } else {
            throw NotFastPath();
        }
    }

    labels.column_names = check(PyList_New(0));
    for (int i = 0; i < schema.num_columns(); ++i) {
        if (i == plan.index_column) continue;
        const parquet::ColumnDescriptor& column = *schema.Column(i);
        if (column.physical_type() != parquet::Type::DOUBLE || !column.logical_type()->is_none()) {
            throw NotFastPath();
        }
        PyObject* entry = entry_of(keys, entries.get(), column, i);
        Ref name = member(entry, keys.name.get());
        if (!is_text(name.get(), column.name()) ||
            !member_is(entry, keys.pandas_type.get(), "float64") ||
            !member_is(entry, keys.numpy_type.get(), "float64")) {
            throw NotFastPath();
        }
        plan.value_columns.push_back(i);
        check_status(PyList_Append(labels.column_names.get(), name.get()));
    }
    if (plan.value_columns.empty()) throw NotFastPath();
}

// True when the schema that pyarrow reads the file with agrees with the plan: one field per
// column under its name, no two alike (pandas finds a repeated name nowhere), the values
// float64, the index of the planned type, and the same pandas metadata.
bool schema_agrees(const arrow::Schema& fields, const parquet::FileMetaData& metadata,
                   const ReadPlan& plan) {
    const parquet::SchemaDescriptor& schema = *metadata.schema();
    if (fields.num_fields() != schema.num_columns()) return false;
    for (int i = 0; i < schema.num_columns(); ++i) {
        const std::string& name = schema.Column(i)->name();
        if (fields.field(i)->name() != name || fields.GetFieldIndex(name) != i) return false;
    }
    for (const int i : plan.value_columns) {
        if (fields.field(i)->type()->id() != arrow::Type::DOUBLE) return false;
    }
    if (plan.index_kind == IndexKind::Timestamp) {
        const arrow::DataType& type = *fields.field(plan.index_column)->type();
        if (type.id() != arrow::Type::TIMESTAMP) return false;
        const auto& stamp = static_cast<const arrow::TimestampType&>(type);
        if (stamp.unit() != arrow_unit(plan.unit) || !stamp.timezone().empty()) return false;
    } else if (plan.index_kind == IndexKind::Text &&
               fields.field(plan.index_column)->type()->id() != arrow::Type::STRING) {
        return false;
    }
    const std::string* read = pandas_metadata(fields.metadata());
    const std::string* planned = pandas_metadata(metadata.key_value_metadata());
    return read != nullptr && planned != nullptr && *read == *planned;
}

// ---- Decoding (without the GIL) ----------------------------------------------------------

// pyarrow decodes the levels of a whole page at once and refuses a page that holds fewer
// than its header says; a chunk with values left after its row group's rows is refused too.
void refuse_leftover(parquet::ColumnReader& reader) {
    if (reader.HasNext()) throw std::runtime_error("column chunk longer than its row group");
}

// Reads `rows` values of a flat column into `out`, nulls as `null_value`.
template <typename Reader, typename T>
void read_dense(Reader& reader, std::int64_t rows, T* out, T null_value,
                std::vector<std::int16_t>& levels, std::int16_t max_level) {
    std::int64_t done = 0;
    while (done < rows) {
        std::int64_t values_read = 0;
        const std::int64_t levels_read =
            reader.ReadBatch(rows - done, levels.data(), nullptr, out + done, &values_read);
        if (levels_read <= 0 || values_read > levels_read) {
            throw std::runtime_error("column chunk shorter than its row group");
        }
        // Values arrive packed; move them to their rows from the back, nulls in between.
        if (values_read < levels_read) {
            std::int64_t source = values_read;
            for (std::int64_t i = levels_read; i-- > 0;) {
                out[done + i] = levels[i] == max_level ? out[done + --source] : null_value;
            }
        }
        done += levels_read;
    }
    refuse_leftover(reader);
}

void read_texts(parquet::ByteArrayReader& reader, std::int64_t rows,
                std::vector<std::string>& texts, std::vector<std::int16_t>& levels) {
    std::vector<parquet::ByteArray> values(static_cast<std::size_t>(rows));
    std::int64_t done = 0;
    while (done < rows) {
        std::int64_t values_read = 0;
        const std::int64_t levels_read =
            reader.ReadBatch(rows - done, levels.data(), nullptr, values.data(), &values_read);
        if (levels_read <= 0) throw std::runtime_error("column chunk shorter than its row group");
        if (values_read != levels_read) throw NotFastPath();  // pandas keeps None labels
        for (std::int64_t i = 0; i < values_read; ++i) {
            texts.emplace_back(reinterpret_cast<const char*>(values[i].ptr), values[i].len);
        }
        done += levels_read;
    }
    refuse_leftover(reader);
}

// The reader of a leaf's chunk in a row group. pyarrow refuses a chunk recorded with another
// type than its column's or with statistics that do not decode, and reads a chunk that
// records another count of values than its row group's rows (one value or null per row in a
// flat file) in ways of its own.
std::shared_ptr<parquet::ColumnReader> chunk_reader(parquet::RowGroupReader& group, int leaf) {
    const parquet::RowGroupMetaData& metadata = *group.metadata();
    const std::unique_ptr<parquet::ColumnChunkMetaData> chunk = metadata.ColumnChunk(leaf);
    if (chunk->type() != metadata.schema()->Column(leaf)->physical_type() ||
        chunk->num_values() != metadata.num_rows()) {
        throw std::runtime_error("column chunk unlike its column or its row group");
    }
    chunk->statistics();  // throws when they do not decode
    return group.Column(leaf);
}

// Wide files decode in parallel by column ranges; narrow ones are not worth a thread (one
// starts in some 20-50 µs, 64 columns of one row take some 150 µs to read).
constexpr std::size_t kMaxDecodeThreads = 4;
constexpr std::size_t kColumnsPerThread = 64;

// Fills the rows of value columns [first, last) of the column-major block `values`.
void decode_values(parquet::ParquetFileReader& file, const ReadPlan& plan, std::size_t first,
                   std::size_t last, std::int64_t rows, double* values) {
    const auto metadata = file.metadata();
    const parquet::SchemaDescriptor& schema = *metadata->schema();
    std::vector<std::int16_t> levels;
    std::int64_t offset = 0;
    for (int g = 0; g < metadata->num_row_groups(); ++g) {
        std::shared_ptr<parquet::RowGroupReader> group = file.RowGroup(g);
        const std::int64_t group_rows = group->metadata()->num_rows();
        if (group_rows < 0 || group_rows > rows - offset) throw std::runtime_error("row count");
        levels.resize(static_cast<std::size_t>(group_rows));
        for (std::size_t j = first; j < last; ++j) {
            const int leaf = plan.value_columns[j];
            auto column = chunk_reader(*group, leaf);
            read_dense(static_cast<parquet::DoubleReader&>(*column), group_rows,
                       values + static_cast<std::int64_t>(j) * rows + offset,
                       std::numeric_limits<double>::quiet_NaN(), levels,
                       schema.Column(leaf)->max_definition_level());
        }
        offset += group_rows;
    }
    if (offset != rows) throw std::runtime_error("row count");
}

void decode_index(parquet::ParquetFileReader& file, const ReadPlan& plan, std::int64_t rows,
                  DecodedIndex& index) {
    if (plan.index_kind != IndexKind::Timestamp && plan.index_kind != IndexKind::Text) return;
    const auto metadata = file.metadata();
    const std::int16_t max_level = metadata->schema()->Column(plan.index_column)->max_definition_level();
    if (plan.index_kind == IndexKind::Timestamp) index.stamps.resize(static_cast<std::size_t>(rows));
    std::vector<std::int16_t> levels;
    std::int64_t offset = 0;
    for (int g = 0; g < metadata->num_row_groups(); ++g) {
        const std::int64_t group_rows = metadata->RowGroup(g)->num_rows();
        if (group_rows < 0 || group_rows > rows - offset) throw std::runtime_error("row count");
        levels.resize(static_cast<std::size_t>(group_rows));
        auto column = chunk_reader(*file.RowGroup(g), plan.index_column);
        if (plan.index_kind == IndexKind::Timestamp) {
            read_dense(static_cast<parquet::Int64Reader&>(*column), group_rows,
                       index.stamps.data() + offset, std::numeric_limits<std::int64_t>::min(),
                       levels, max_level);
        } else {
            read_texts(static_cast<parquet::ByteArrayReader&>(*column), group_rows, index.texts,
                       levels);
        }
        offset += group_rows;
    }
}

// Joins every thread of a list when it goes out of scope, however the scope is left.
class JoinAll {
public:
    explicit JoinAll(std::vector<std::thread>& threads) : threads_(threads) {}
    ~JoinAll() {
        for (std::thread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }
    JoinAll(const JoinAll&) = delete;
    JoinAll& operator=(const JoinAll&) = delete;

private:
    std::vector<std::thread>& threads_;
};

// Fills the column-major block `values` (rows x value columns) and the index. Each worker
// opens its own row-group readers; the file's source is an immutable in-memory buffer.
void decode(parquet::ParquetFileReader& file, const ReadPlan& plan, std::int64_t rows,
            double* values, DecodedIndex& index) {
    const std::size_t columns = plan.value_columns.size();
    const std::size_t workers = std::clamp<std::size_t>(
        std::min<std::size_t>(std::thread::hardware_concurrency(), columns / kColumnsPerThread),
        1, kMaxDecodeThreads);
    std::vector<std::exception_ptr> failures(workers);
    const auto share = [&](std::size_t w) { return columns * w / workers; };
    {
        std::vector<std::thread> threads;
        JoinAll join(threads);
        for (std::size_t w = 1; w < workers; ++w) {
            threads.emplace_back([&, w] {
                try {
                    decode_values(file, plan, share(w), share(w + 1), rows, values);
                } catch (...) {
                    failures[w] = std::current_exception();
                }
            });
        }
        decode_values(file, plan, 0, share(1), rows, values);
        decode_index(file, plan, rows, index);
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
}

// ---- Building the frame (with the GIL) ---------------------------------------------------

// Frees a reader (its footer holds some 2.3 KB per column) on a thread of its own while the
// frame is built, and waits for that when it goes out of scope; without a thread to be had,
// the reader is freed at once.
class FreedBeside {
public:
    explicit FreedBeside(std::unique_ptr<parquet::ParquetFileReader> file) {
        try {
            worker_ = std::thread([file = std::move(file)]() mutable { file.reset(); });
        } catch (const std::system_error&) {
            // The thread's function, the reader with it, is already gone.
        }
    }
    ~FreedBeside() {
        if (!worker_.joinable()) return;
        ReleasedGil released;
        worker_.join();
    }
    FreedBeside(const FreedBeside&) = delete;
    FreedBeside& operator=(const FreedBeside&) = delete;

private:
    std::thread worker_;
};

// A writable view of a contiguous buffer, released on scope exit.
class WritableView {
public:
    WritableView(PyObject* array, int flags) {
        check_status(PyObject_GetBuffer(array, &view_, PyBUF_WRITABLE | flags));
    }
    ~WritableView() { PyBuffer_Release(&view_); }
    WritableView(const WritableView&) = delete;
    WritableView& operator=(const WritableView&) = delete;
    void* data() const { return view_.buf; }

private:
    Py_buffer view_{};
};

Ref build_index(PyObject* pandas, const ReadPlan& plan, const FrameLabels& labels,
                DecodedIndex& index, std::int64_t rows) {
    Ref range_index = getattr(pandas, "RangeIndex");
    switch (plan.index_kind) {
        case IndexKind::Default: return call(range_index.get(), integer(rows));
        case IndexKind::Range: {
            // As pandas does: the described range, or the default one when it does not fit.
            PyObject* d = labels.range.get();
            Ref start = member(d, "start"), stop = member(d, "stop"), step = member(d, "step");
            Ref name = member(d, "name");
            Ref described = call_kw(range_index.get(), {{"step", step.get()}, {"name", name.get()}},
                                    start, stop);
            const Py_ssize_t length = PyObject_Length(described.get());
            if (length < 0) throw_current();
            return length == rows ? described : call(range_index.get(), integer(rows));
        }
        case IndexKind::Timestamp: {
            Ref numpy = import("numpy");
            Ref stamps = call_kw(getattr(numpy.get(), "empty").get(),
                                 {{"dtype", text("int64").get()}}, integer(rows));
            {
                WritableView view(stamps.get(), PyBUF_C_CONTIGUOUS);
                std::memcpy(view.data(), index.stamps.data(),
                            index.stamps.size() * sizeof(std::int64_t));
            }
            Ref dates = call_method(stamps.get(), "view",
                                    text("datetime64[" + std::string(labels.unit) + "]"));
            return call_kw(getattr(pandas, "Index").get(), {{"name", labels.index_name.get()}}, dates);
        }
        case IndexKind::Text: {
            Ref names = check(PyList_New(static_cast<Py_ssize_t>(index.texts.size())));
            for (std::size_t i = 0; i < index.texts.size(); ++i) {
                PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), text(index.texts[i]).release());
            }
            return call_kw(getattr(pandas, "Index").get(),
                           {{"dtype", text("object").get()}, {"name", labels.index_name.get()}},
                           names);
        }
    }
    throw NotFastPath();
}

// Plans the frame of a file and checks the plan against the schema that pyarrow reads the
// file with, which is built beside the planning (that holds the GIL). False when the file
// is left to the general reader.
bool checked_plan(PyObject* module, const parquet::FileMetaData& metadata, FramePlan& plan) {
    std::future<std::shared_ptr<arrow::Schema>> read_schema;
    try {
        read_schema = std::async(std::launch::async, [&metadata] { return arrow_schema(metadata); });
    } catch (const std::system_error&) {
        return false;  // no thread to be had: the general reader does the work
    }
    try {
        plan_frame(module, metadata, plan.read, plan.labels);
    } catch (const NotFastPath&) {
        return false;
    }
    std::shared_ptr<arrow::Schema> fields;
    {
        ReleasedGil released;
        fields = read_schema.get();
    }
    return fields && schema_agrees(*fields, metadata, plan.read);
}

Ref decode_frame(PyObject* module, std::span<const std::uint8_t> payload, PlanMemo* memo) {
    Ref pandas = global(module, "pd");
    // With pandas' future string inference on, pyarrow builds other label types.
    if (truthy(call_method(pandas.get(), "get_option", text("future.infer_string")).get())) {
        return {};
    }

    // The reader borrows the caller's bytes, which never change while it runs.
    std::unique_ptr<parquet::ParquetFileReader> file;
    {
        ReleasedGil released;
        try {
            auto buffer = std::make_shared<arrow::Buffer>(payload.data(),
                                                          static_cast<std::int64_t>(payload.size()));
            file = parquet::ParquetFileReader::Open(std::make_shared<arrow::io::BufferReader>(buffer));
        } catch (const std::exception&) {
            file.reset();
        }
    }
    if (!file) return {};

    // A payload whose schema and key-value metadata are those of the last one accepted
    // takes its plan; any other is planned and checked in full, and kept once accepted.
    const std::optional<FooterFields> fields = memo ? footer_fields(payload) : std::nullopt;
    const std::shared_ptr<const PlanMemo::Entry> kept = fields ? memo->find(*fields) : nullptr;
    FramePlan made;
    if (!kept) {
        if (!checked_plan(module, *file->metadata(), made)) return {};
        if (fields) memo->keep(*fields, made);
    }
    const ReadPlan& plan = kept ? kept->plan.read : made.read;
    const FrameLabels& labels = kept ? kept->plan.labels : made.labels;
    const std::int64_t rows = file->metadata()->num_rows();
    if (rows <= 0) return {};

    Ref numpy = import("numpy");
    Ref shape = check(Py_BuildValue("(LL)", static_cast<long long>(rows),
                                    static_cast<long long>(plan.value_columns.size())));
    Ref values = call_kw(getattr(numpy.get(), "empty").get(),
                         {{"dtype", text("float64").get()}, {"order", text("F").get()}}, shape);
    DecodedIndex index;
    bool decoded = false;
    {
        WritableView view(values.get(), PyBUF_F_CONTIGUOUS);
        double* block = static_cast<double*>(view.data());
        ReleasedGil released;
        try {
            decode(*file, plan, rows, block, index);
            decoded = true;
        } catch (const std::exception&) {
        }
    }
    const FreedBeside footer(std::move(file));
    if (!decoded) return {};

    Ref frame_index;
    try {
        frame_index = build_index(pandas.get(), plan, labels, index, rows);
    } catch (const NotFastPath&) {
        return {};
    }
    Ref columns = call_kw(getattr(pandas.get(), "Index").get(),
                          {{"dtype", text("object").get()}, {"name", labels.columns_name.get()}},
                          labels.column_names);
    return call_kw(getattr(pandas.get(), "DataFrame").get(),
                   {{"index", frame_index.get()}, {"columns", columns.get()}, {"copy", Py_False}},
                   values);
}

}  // namespace

Ref fast_parquet_frame(PyObject* module, PyObject* payload, PlanMemo* memo) {
    return fast_parquet_frame(
        module, {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload)),
                 static_cast<std::size_t>(PyBytes_GET_SIZE(payload))},
        memo);
}

Ref fast_parquet_frame(PyObject* module, std::span<const std::uint8_t> payload, PlanMemo* memo) {
    try {
        return decode_frame(module, payload, memo);
    } catch (const PyError& failure) {
        // Whatever the fast path cannot make of the payload is the general reader's to judge.
        if (!failure.matches(PyExc_Exception)) throw;
        return {};
    }
}

}  // namespace corvane::sync
