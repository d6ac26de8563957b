#include "corvane/sync/parquet_frame.h"

#include <arrow/buffer.h>
#include <arrow/io/memory.h>
#include <arrow/util/key_value_metadata.h>
#include <arrow/type.h>
#include <parquet/arrow/schema.h>
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
#include "corvane/sync/chunk_pages.h"
#include "corvane/sync/footer_fields.h"
#include "corvane/sync/frame_plan.h"
#include "corvane/sync/plan_memo.h"

namespace corvane::sync {

namespace {

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
    for (int i = 0; i < schema.num_columns(); ++i) {
        plan.max_levels.push_back(static_cast<std::int8_t>(schema.Column(i)->max_definition_level()));
    }

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
    Ref axis_name = column_indexes ? columns_name(keys, column_indexes.get()) : none();

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

    Ref names = check(PyList_New(0));
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
        check_status(PyList_Append(names.get(), name.get()));
    }
    if (plan.value_columns.empty()) throw NotFastPath();
    Ref pd = global(module, "pd");
    labels.columns = call_kw(getattr(pd.get(), "Index").get(),
                             {{"dtype", text("object").get()}, {"name", axis_name.get()}}, names);
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

// More rows than this per payload byte are left to the general reader: no partition comes
// near it, and a damaged count is not worth the memory that it would claim.
constexpr std::int64_t kMaxRowsPerByte = 8;

// The rows of a file whose row groups agree with the plan's leaves; 0 when they do not.
std::int64_t planned_rows(std::span<const std::uint8_t> file, const FooterFields& footer, const ReadPlan& plan) {
    const std::size_t leaves = plan.max_levels.size();
    if (footer.num_rows <= 0 || footer.num_rows / kMaxRowsPerByte > static_cast<std::int64_t>(file.size()) ||
        (footer.column_orders && *footer.column_orders != leaves)) {
        return 0;
    }
    std::int64_t rows = 0;
    for (const RowGroupFields& group : footer.row_groups) {
        if (group.chunks.size() != leaves || group.num_rows < 0 || group.num_rows > footer.num_rows - rows) {
            return 0;
        }
        for (const ChunkFields& chunk : group.chunks) {
            if (chunk.page_index) return 0;  // left to the general reader, as before
        }
        rows += group.num_rows;
    }
    return rows == footer.num_rows ? rows : 0;
}

// Fills the rows of value columns [first, last) of the column-major block `values`.
bool decode_values(std::span<const std::uint8_t> file, const FooterFields& footer, const ReadPlan& plan,
                   std::size_t first, std::size_t last, std::int64_t rows, double* values) {
    ChunkPages pages;
    std::int64_t offset = 0;
    for (const RowGroupFields& group : footer.row_groups) {
        for (std::size_t j = first; j < last; ++j) {
            const auto leaf = static_cast<std::size_t>(plan.value_columns[j]);
            if (!pages.doubles(file, group.chunks[leaf], plan.max_levels[leaf], group.num_rows,
                               values + static_cast<std::int64_t>(j) * rows + offset)) {
                return false;
            }
        }
        offset += group.num_rows;
    }
    return true;
}

bool decode_index(std::span<const std::uint8_t> file, const FooterFields& footer, const ReadPlan& plan,
                  std::int64_t rows, DecodedIndex& index) {
    if (plan.index_kind != IndexKind::Timestamp && plan.index_kind != IndexKind::Text) return true;
    const auto leaf = static_cast<std::size_t>(plan.index_column);
    if (plan.index_kind == IndexKind::Timestamp) index.stamps.resize(static_cast<std::size_t>(rows));
    ChunkPages pages;
    std::int64_t offset = 0;
    for (const RowGroupFields& group : footer.row_groups) {
        const ChunkFields& chunk = group.chunks[leaf];
        const bool read = plan.index_kind == IndexKind::Timestamp
                              ? pages.stamps(file, chunk, plan.max_levels[leaf], group.num_rows,
                                             index.stamps.data() + offset)
                              : pages.texts(file, chunk, plan.max_levels[leaf], group.num_rows, index.texts);
        if (!read) return false;
        offset += group.num_rows;
    }
    return true;
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

// Wide files decode on several threads by column ranges when `spread`; narrow ones are not
// worth a thread (one starts in some 20-50 µs, a thousand chunks of one row read in some
// 300 µs).
constexpr std::size_t kMaxDecodeThreads = 4;
constexpr std::size_t kColumnsPerThread = 1024;

// Fills the column-major block `values` (rows x value columns) and the index.
bool decode_block(std::span<const std::uint8_t> file, const FooterFields& footer, const ReadPlan& plan,
                  std::int64_t rows, double* values, DecodedIndex& index, bool spread) {
    const std::size_t columns = plan.value_columns.size();
    const std::size_t workers =
        spread ? std::clamp<std::size_t>(std::min<std::size_t>(std::thread::hardware_concurrency(),
                                                               columns / kColumnsPerThread),
                                         1, kMaxDecodeThreads)
               : 1;
    const auto share = [&](std::size_t w) { return columns * w / workers; };
    std::vector<char> decoded(workers, 0);
    try {
        std::vector<std::thread> threads;
        const JoinAll join(threads);
        for (std::size_t w = 1; w < workers; ++w) {
            try {
                threads.emplace_back([&, w] {
                    decoded[w] = decode_values(file, footer, plan, share(w), share(w + 1), rows, values);
                });
            } catch (const std::system_error&) {
                decoded[w] = decode_values(file, footer, plan, share(w), share(w + 1), rows, values);
            }
        }
        decoded[0] = decode_values(file, footer, plan, 0, share(1), rows, values) &&
                     decode_index(file, footer, plan, rows, index);
    } catch (const std::exception&) {
        return false;  // out of memory: the general reader will say so
    }
    return std::all_of(decoded.begin(), decoded.end(), [](char done) { return done != 0; });
}

// ---- Building the frame (with the GIL) ---------------------------------------------------

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


// The frame of decoded values (a float64 array, rows x value columns, column-major).
Ref frame_from(PyObject* module, const ReadPlan& plan, const FrameLabels& labels, const Ref& values,
               DecodedIndex& index, std::int64_t rows) {
    Ref pandas = global(module, "pd");
    Ref frame_index;
    try {
        frame_index = build_index(pandas.get(), plan, labels, index, rows);
    } catch (const NotFastPath&) {
        return {};
    }
    Ref columns = call_method(labels.columns.get(), "view");
    return call_kw(getattr(pandas.get(), "DataFrame").get(),
                   {{"index", frame_index.get()}, {"columns", columns.get()}, {"copy", Py_False}},
                   values);
}

Ref value_block(std::int64_t rows, std::size_t columns) {
    Ref numpy = import("numpy");
    Ref shape = check(Py_BuildValue("(LL)", static_cast<long long>(rows), static_cast<long long>(columns)));
    return call_kw(getattr(numpy.get(), "empty").get(),
                   {{"dtype", text("float64").get()}, {"order", text("F").get()}}, shape);
}

// With pandas' future string inference on, pyarrow builds other label types.
bool infers_strings(PyObject* module) {
    Ref pandas = global(module, "pd");
    return truthy(call_method(pandas.get(), "get_option", text("future.infer_string")).get());
}

Ref decode_frame(PyObject* module, std::span<const std::uint8_t> payload, PlanMemo* memo) {
    if (infers_strings(module)) return {};
    std::optional<FooterFields> footer;
    {
        const std::shared_ptr<const PlanMemo::KeptRead> known = memo ? memo->kept_read() : nullptr;
        ReleasedGil released;
        try {
            footer = footer_fields(payload, known ? known->schema_bytes() : std::span<const std::uint8_t>());
        } catch (const std::bad_alloc&) {
            footer.reset();
        }
    }
    if (!footer) return {};

    // A payload whose schema and key-value metadata are those of the last one accepted
    // takes its plan; any other is planned and checked in full, and kept once accepted.
    std::shared_ptr<const PlanMemo::Entry> kept = memo ? memo->find(*footer) : nullptr;
    FramePlan made;
    if (!kept) {
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
        if (!file || !checked_plan(module, *file->metadata(), made)) return {};
        if (memo) memo->keep(*footer, made);
    }
    const ReadPlan& plan = kept ? kept->read->plan : made.read;
    const FrameLabels& labels = kept ? kept->labels : made.labels;
    const std::int64_t rows = planned_rows(payload, *footer, plan);
    if (rows <= 0) return {};

    Ref values = value_block(rows, plan.value_columns.size());
    DecodedIndex index;
    bool decoded = false;
    {
        WritableView view(values.get(), PyBUF_F_CONTIGUOUS);
        double* block = static_cast<double*>(view.data());
        ReleasedGil released;
        decoded = decode_block(payload, *footer, plan, rows, block, index, true);
    }
    if (!decoded) return {};
    return frame_from(module, plan, labels, values, index, rows);
}

}  // namespace

std::optional<DecodedBlock> decode_ahead(std::span<const std::uint8_t> payload,
                                         const std::shared_ptr<const PlanMemo::KeptRead>& read,
                                         const std::function<bool(std::size_t)>& room) {
    try {
        if (!read) return std::nullopt;
        const std::optional<FooterFields> footer = footer_fields(payload, read->schema_bytes());
        if (!footer || !read->matches(*footer)) return std::nullopt;
        const ReadPlan& plan = read->plan;
        const std::int64_t rows = planned_rows(payload, *footer, plan);
        if (rows <= 0) return std::nullopt;
        const std::size_t cells = static_cast<std::size_t>(rows) * plan.value_columns.size();
        if (cells / plan.value_columns.size() != static_cast<std::size_t>(rows) ||
            !room(cells * sizeof(double) + static_cast<std::size_t>(rows) * sizeof(std::int64_t))) {
            return std::nullopt;
        }
        DecodedBlock block{read, rows, std::vector<double>(cells), {}};
        // One thread: the others decode other payloads meanwhile.
        if (!decode_block(payload, *footer, plan, rows, block.values.data(), block.index, false)) {
            return std::nullopt;
        }
        return block;
    } catch (const std::exception&) {
        return std::nullopt;  // out of memory: the payload's turn decodes it
    }
}

Ref decoded_frame(PyObject* module, DecodedBlock& block, const PlanMemo* memo) {
    const std::shared_ptr<const PlanMemo::Entry> kept = memo ? memo->kept_for(block.read.get()) : nullptr;
    if (!kept || infers_strings(module)) return {};
    const ReadPlan& plan = block.read->plan;
    Ref values = value_block(block.rows, plan.value_columns.size());
    {
        WritableView view(values.get(), PyBUF_F_CONTIGUOUS);
        std::memcpy(view.data(), block.values.data(), block.values.size() * sizeof(double));
    }
    try {
        return frame_from(module, plan, kept->labels, values, block.index, block.rows);
    } catch (const PyError& failure) {
        if (!failure.matches(PyExc_Exception)) throw;
        return {};
    }
}

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
