// libFuzzer target: the fast partition decoder (corvane/sync/parquet_frame.cpp) inside an
// embedded interpreter with pandas. The first byte of an input chooses its form:
//   even: the rest of the input is the payload, as it is;
//   odd:  the input describes a file that the Parquet writer makes, so that the footer is
//         valid: value columns, index kind, rows, whether the Arrow schema is stored, and the
//         rest of the input as the "pandas" metadata text.
// The payload ends right before a page that may not be read, so a read past its end stops
// the run even inside the (uninstrumented) Parquet library. The decoder must return a data
// frame or nothing, leave no Python error behind, and decode each payload alike with the
// plan of the last payload accepted and without it, and alike when decoded ahead with that
// plan (as the read-ahead threads do); a described file is decoded after two variants of it
// (other rows; its stamps stored in the other unit, the metadata the same).
#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <parquet/arrow/writer.h>
#include <parquet/properties.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "corvane/common/call.h"
#include "corvane/common/error.h"
#include "corvane/sync/parquet_frame.h"
#include "corvane/sync/plan_memo.h"
#include "fuzz/require.h"

namespace {

using corvane::PyError;
using corvane::Ref;

// A copy of some bytes that ends where an inaccessible page begins.
class GuardedCopy {
public:
    explicit GuardedCopy(std::span<const std::uint8_t> bytes) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t pages = (bytes.size() + page - 1) / page;
        length_ = (pages + 1) * page;
        void* mapped = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        REQUIRE(mapped != MAP_FAILED);
        base_ = static_cast<std::uint8_t*>(mapped);
        std::uint8_t* guard = base_ + pages * page;
        REQUIRE(mprotect(guard, page, PROT_NONE) == 0);
        data_ = guard - bytes.size();
        if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedCopy() { munmap(base_, length_); }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;

    std::span<const std::uint8_t> bytes(std::size_t size) const { return {data_, size}; }

private:
    std::uint8_t* base_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::size_t length_ = 0;
};

void ok(const arrow::Status& status) { REQUIRE(status.ok()); }

template <typename T>
T ok(arrow::Result<T> result) {
    REQUIRE(result.ok());
    return std::move(result).ValueUnsafe();
}

// How a file differs from the one that the input describes: as a category's partitions
// differ from one another, in their rows and, rarely, in the schema under the same metadata.
enum class Variant { AsDescribed, OtherRows, OtherUnit };

// A file written by the Parquet writer as the input describes it, or a variant of it.
std::shared_ptr<arrow::Buffer> written_file(std::span<const std::uint8_t> input, Variant variant) {
    std::uint8_t shape[4] = {};
    const std::size_t taken = std::min<std::size_t>(input.size(), sizeof shape);
    std::memcpy(shape, input.data(), taken);
    const std::string pandas(reinterpret_cast<const char*>(input.data()) + taken,
                             input.size() - taken);
    const int columns = 1 + shape[0] % 3;
    const int index_kind = shape[1] % 4;  // none, timestamp[ns], timestamp[us], text
    const int rows = 1 + (shape[2] + (variant == Variant::OtherRows ? 1 : 0)) % 4;
    const bool store_schema = (shape[3] & 1) != 0;
    const bool with_nulls = (shape[3] & 2) != 0;
    const char* index_name = (shape[3] & 4) != 0 ? "__index_level_0__" : "date";

    arrow::FieldVector fields;
    arrow::ArrayVector arrays;
    for (int c = 0; c < columns; ++c) {
        arrow::DoubleBuilder values;
        for (int r = 0; r < rows; ++r) {
            ok(with_nulls && r == c ? values.AppendNull() : values.Append(r * 1.5 - c));
        }
        fields.push_back(arrow::field(std::string(1, static_cast<char>('a' + c)), arrow::float64()));
        arrays.push_back(ok(values.Finish()));
    }
    if (index_kind == 1 || index_kind == 2) {
        auto type = arrow::timestamp(index_kind == 1 ? arrow::TimeUnit::NANO : arrow::TimeUnit::MICRO);
        arrow::TimestampBuilder stamps(type, arrow::default_memory_pool());
        for (int r = 0; r < rows; ++r) ok(stamps.Append(1'700'000'000'000'000LL + r));
        fields.push_back(arrow::field(index_name, type));
        arrays.push_back(ok(stamps.Finish()));
    } else if (index_kind == 3) {
        arrow::StringBuilder texts;
        for (int r = 0; r < rows; ++r) ok(texts.Append(std::string(1, static_cast<char>('p' + r))));
        fields.push_back(arrow::field(index_name, arrow::utf8()));
        arrays.push_back(ok(texts.Finish()));
    }
    auto schema = arrow::schema(fields, arrow::key_value_metadata({"pandas"}, {pandas}));
    auto table = arrow::Table::Make(schema, arrays);

    auto sink = ok(arrow::io::BufferOutputStream::Create());
    parquet::ArrowWriterProperties::Builder arrow_properties;
    if (store_schema) arrow_properties.store_schema();
    // The stamps stored in the other unit: the stored Arrow schema keeps the table's.
    if (variant == Variant::OtherUnit && (index_kind == 1 || index_kind == 2)) {
        arrow_properties.coerce_timestamps(index_kind == 1 ? arrow::TimeUnit::MICRO : arrow::TimeUnit::NANO);
        arrow_properties.allow_truncated_timestamps();
    }
    ok(parquet::arrow::WriteTable(*table, arrow::default_memory_pool(), sink, 2,
                                  parquet::default_writer_properties(), arrow_properties.build()));
    return ok(sink->Finish());
}

PyObject* module = nullptr;
PyObject* data_frame = nullptr;
PyObject* assert_frame_equal = nullptr;
// Kept across inputs, as across a category's partitions: an input whose footer fields equal
// an earlier accepted one's is decoded with that one's plan.
corvane::sync::PlanMemo* plans = nullptr;

// Decodes the payload with the memo and without it: the outcomes must be the same.
void decode(std::span<const std::uint8_t> payload) {
    const GuardedCopy copy(payload);
    bool escaped = false;
    try {
        // Decoded ahead with the plan kept so far, before this payload can replace it.
        std::optional<corvane::sync::DecodedBlock> ahead = corvane::sync::decode_ahead(
            copy.bytes(payload.size()), plans->kept_read(), [](std::size_t) { return true; });
        Ref early = ahead ? corvane::sync::decoded_frame(module, *ahead, plans) : Ref();
        REQUIRE(!ahead || early);
        Ref planned = corvane::sync::fast_parquet_frame(module, copy.bytes(payload.size()), nullptr);
        Ref kept = corvane::sync::fast_parquet_frame(module, copy.bytes(payload.size()), plans);
        REQUIRE(!planned || PyObject_IsInstance(planned.get(), data_frame) == 1);
        REQUIRE(!planned == !kept);
        REQUIRE(!early || planned);
        for (const Ref* other : {&kept, &early}) {
            if (!planned || !*other) continue;
            corvane::call_kw(assert_frame_equal, {{"check_exact", Py_True}, {"check_index_type", Py_True},
                                                  {"check_column_type", Py_True}}, planned, *other);
        }
    } catch (const PyError&) {
        escaped = true;
    }
    REQUIRE(!escaped);
    REQUIRE(!PyErr_Occurred());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Py_InitializeEx(0);
    Ref made = Ref::steal(PyModule_New("parquet_frame_fuzz"));
    REQUIRE(made);
    for (auto [name, source] : {std::pair{"pd", "pandas"}, {"json", "json"}, {"re", "re"}}) {
        PyObject* imported = PyImport_ImportModule(source);
        if (imported == nullptr) PyErr_Print();
        REQUIRE(imported != nullptr && PyModule_AddObjectRef(made.get(), name, imported) == 0);
        if (std::strcmp(name, "pd") == 0) data_frame = PyObject_GetAttrString(imported, "DataFrame");
        Py_DECREF(imported);
    }
    REQUIRE(data_frame != nullptr);
    Ref testing = Ref::steal(PyImport_ImportModule("pandas.testing"));
    REQUIRE(testing);
    assert_frame_equal = PyObject_GetAttrString(testing.get(), "assert_frame_equal");
    REQUIRE(assert_frame_equal != nullptr);
    plans = new corvane::sync::PlanMemo();
    module = made.release();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    if ((data[0] & 1) == 0) {
        decode(rest);
    } else {
        // The described file comes after two neighbours, each of which may leave its plan.
        for (const Variant variant : {Variant::OtherRows, Variant::OtherUnit, Variant::AsDescribed}) {
            const std::shared_ptr<arrow::Buffer> file = written_file(rest, variant);
            decode({file->data(), static_cast<std::size_t>(file->size())});
        }
    }
    return 0;
}
