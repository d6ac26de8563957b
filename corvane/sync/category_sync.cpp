#include "corvane/sync/category_sync.h"

#include <sched.h>

#include <algorithm>
#include <optional>

#include "corvane/common/args.h"
#include "corvane/common/call.h"
#include "corvane/session/metadata.h"
#include "corvane/sync/category_ahead.h"
#include "corvane/sync/changed_partitions.h"
#include "corvane/sync/digest.h"
#include "corvane/sync/empty_partitions.h"
#include "corvane/sync/fetch_ahead.h"
#include "corvane/sync/grouped_commit.h"
#include "corvane/sync/hash_records.h"
#include "corvane/sync/join.h"
#include "corvane/sync/parquet_frame.h"
#include "corvane/sync/partition_filter.h"
#include "corvane/sync/plan_memo.h"
#include "corvane/sync/store_generation.h"
#include "corvane/sync/sync_records.h"
#include "corvane/transport/refuse.h"
#include "corvane/transport/validators.h"

namespace corvane::sync {

namespace {

using transport::refuse;

constexpr Py_ssize_t kMaxPartitionKeys = 10000;
constexpr const char* kDateFormat = "%Y-%m-%d";

bool equals_text(PyObject* value, const char* expected) { return equal(value, text(expected).get()); }

// The keyword passed on only in an update fetching only what changed, so that the calls of
// the other modes stay exactly what they were (a null value leaves a keyword out).
Kwarg passed_changed(bool only_changed) { return {"only_changed", only_changed ? Py_True : nullptr}; }

Ref sync_category(PyObject* module, const methods::SyncParams& args) {
    const bool only_changed = truthy(args.only_changed.or_else(Py_False));
    Ref kind = call(args.self, methods::validate_category_name, args.category);
    const bool pivot = equals_text(kind.get(), "pivot");
    // Recorded around whichever method does the work, so that no way in can leave a
    // partly stored category unflagged. An unstack category is always synchronised whole.
    PyObject* start = pivot ? args.incremental_start_date.or_else(Py_None) : Py_None;
    SyncRun run(module, args.self, args.category, start);
    // What the run stores is one generation of the category in the store.
    StoreGeneration generation(args.self, args.category,
                               only_changed ? "changed" : start != Py_None ? "incremental" : "full");
    if (pivot) {
        call_kw(args.self, methods::sync_pivot_category, {passed_changed(only_changed)}, args.category,
                       args.incremental_start_date.or_else(Py_None));
    } else {
        call_kw(args.self, methods::sync_unstack_category, {passed_changed(only_changed)}, args.category);
    }
    generation.end();
    run.complete();
    return none();
}

// The validated partition names of a category's metadata; their order and repeats kept.
Ref validated_partitions(PyObject* module, PyObject* self, PyObject* keys) {
    if (!PyList_Check(keys) || PyList_GET_SIZE(keys) > kMaxPartitionKeys) {
        refuse(module, "ProtocolError");
    }
    Ref partitions = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys, i));
        Ref valid = call(self, methods::validate_partition_name, key);
        check_status(PyList_Append(partitions.get(), valid.get()));
    }
    return partitions;
}

std::size_t size_attribute(PyObject* self, const char* name) {
    const Py_ssize_t value = PyLong_AsSsize_t(getattr(self, name).get());
    if (value == -1 && PyErr_Occurred()) throw_current();
    return value < 0 ? 0 : static_cast<std::size_t>(value);
}

// The payloads verified and decoded ahead at once: `_verify_ahead_workers`, or when that is
// None the cores that the process may use.
std::size_t verifier_count(PyObject* self) {
    if (!getattr(self, "_verify_ahead_workers").is_none()) return size_attribute(self, "_verify_ahead_workers");
    cpu_set_t cores;
    CPU_ZERO(&cores);
    if (sched_getaffinity(0, sizeof cores, &cores) != 0) return 1;
    return static_cast<std::size_t>(std::max(1, CPU_COUNT(&cores)));
}

// The partition mode of a pivot category's metadata.
Ref partition_mode(PyObject* module, PyObject* meta) {
    Ref mode = get_item_optional(meta, "partition_mode");
    if (!mode) mode = text("monthly");
    if (!equals_text(mode.get(), "daily") && !equals_text(mode.get(), "monthly")) {
        refuse(module, "ProtocolError");
    }
    return mode;
}

// The validated partitions of a pivot category's metadata.
Ref meta_partitions(PyObject* module, PyObject* self, PyObject* meta) {
    Ref keys = get_item_optional(meta, "partition_keys");
    if (!keys) keys = check(PyList_New(0));
    return validated_partitions(module, self, keys.get());
}

}  // namespace

bool downloads_by_default(PyObject* self) {
    return is_default<methods::download_partition>(bound(self, methods::download_partition).get());
}

FetchAheadLimits fetch_ahead_limits(PyObject* self) {
    return {size_attribute(self, "_fetch_ahead_bytes"), size_attribute(self, "_fetch_ahead_workers"),
            verifier_count(self)};
}

Ref chosen_partitions(PyObject* module, PyObject* self, PyObject* category, PyObject* meta,
                      PyObject* start) {
    Ref kind = call(self, methods::validate_category_name, category);
    if (!equals_text(kind.get(), "pivot")) return Ref();
    partition_mode(module, meta);
    Ref partitions = meta_partitions(module, self, meta);
    if (PyList_GET_SIZE(partitions.get()) == 0) return Ref();
    if (start == Py_None) return partitions;
    Ref targets = call(self, methods::filter_partitions_by_date, partitions, start);
    return PyList_Check(targets.get()) ? targets : Ref();
}

namespace {

Ref sync_pivot_category(PyObject* module, const methods::SyncParams& args) {
    PyObject* self = args.self;
    PyObject* category = args.category;
    const bool only_changed = truthy(args.only_changed.or_else(Py_False));
    Ref start = Ref::borrow(args.incremental_start_date.or_else(Py_None));
    if (PyUnicode_Check(start.get())) {
        Ref datetime = global(module, "datetime");
        start = call_method(datetime.get(), "strptime", start, text(kDateFormat));
    }

    Ref meta = CategoryAhead::category_meta(self, category);
    Ref store = getattr(self, "CV_db");
    // Stored before its partition fields are checked, as the store merges metadata.
    call_method_kw(store.get(), "set_category_meta", {{"merge", Py_True}}, category, meta);

    Ref mode = partition_mode(module, meta.get());
    Ref partitions = meta_partitions(module, self, meta.get());
    if (PyList_GET_SIZE(partitions.get()) == 0) {
        log_info(self, join({category, text(": 没有分区").get()}));
        if (only_changed) log_unlisted_partitions(self, category, partitions.get());
        return none();
    }

    Ref targets = partitions;
    if (!start.is_none()) {
        targets = call(self, methods::filter_partitions_by_date, partitions, start);
        const Py_ssize_t selected_count = PyObject_Length(targets.get());
        if (selected_count < 0) throw_current();
        Ref all = integer(PyList_GET_SIZE(partitions.get()));
        Ref selected = integer(selected_count);
        log_info(self, join({category, text(": 全量分区 ").get(), all.get(),
                             text(" 个，增量分区 ").get(), selected.get(), text(" 个").get()}));
    }

    // Fetching only what changed, every target's metadata is read first (ahead, on the
    // workers) and the held partitions are left out, so that the bar runs over the
    // partitions fetched and no held partition's payload is ever requested.
    Ref metas;  // null: each partition's metadata is read when its turn comes
    if (only_changed) {
        if (!PyList_Check(targets.get())) targets = check(PySequence_List(targets.get()));
        Fetches fetches = changed_partitions(module, self, category, targets.get(), fetch_ahead_limits(self));
        targets = fetches.partitions;
        metas = fetches.metas;
    }
    // The partitions' plans, nearly always one, are made once for the run, or once for the
    // whole update that runs it.
    std::optional<PlanMemo> plans;
    if (PlanMemo::current() == nullptr) plans.emplace();
    std::optional<CategoryReads> ahead;
    if (PyList_Check(targets.get())) {
        ahead.emplace(self, category, targets.get(), metas.get(), downloads_by_default(self),
                      fetch_ahead_limits(self));
    }
    Ref tqdm = global(module, "tqdm");
    Ref description = join({text("同步 ").get(), category});
    Ref bar = call_kw(tqdm.get(), {{"desc", description.get()}}, targets);
    Ref iterator = check(PyObject_GetIter(bar.get()));
    Ref date_format = text(kDateFormat);
    std::size_t index = 0;
    GroupedCommit durable(module, self, store.get());  // every few partitions, at the end, on a failure
    while (Ref partition = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref partition_meta =
            ahead ? ahead->partition_meta(index++, partition.get())
                  : call(self, methods::get_partition_meta, category, partition);
        Ref hash = get_item_optional(partition_meta.get(), "hash");
        Ref frame = call(self, methods::download_partition, category, partition, partition_meta);
        // Fetching only what changed, the rows of the partition's dates become exactly these
        // (a restated partition may have lost dates); otherwise they merge by date.
        call_method_kw(store.get(), "update_pivot_category",
                       {{"df", frame.get()},
                        {"category", category},
                        {"strf", date_format.get()},
                        {"partition_mode", mode.get()},
                        {"partition", only_changed ? partition.get() : nullptr}});
        if (hash && truthy(hash.get())) {
            call(self, methods::write_local_hash, category, partition, hash);
            note_stored_partition(module, self, category, partition.get(), hash.get(), frame.get());
        }
        frame = Ref();  // the store has the rows; let the frame go before the next download
        durable.stored();
    }
    if (PyErr_Occurred()) throw_current();
    durable.finish();
    if (ahead) setattr(self, "_fetch_ahead_peak_bytes", integer(static_cast<long long>(ahead->peak_bytes())).get());
    return none();
}

// The de-duplication keys of an unstack category: the first true candidate, else the last
// one as it is.
Ref duplicate_keys(PyObject* category_meta, PyObject* partition_meta) {
    const std::pair<PyObject*, const char*> candidates[] = {
        {partition_meta, "duplicate_keys"}, {category_meta, "duplicate_keys"},
        {partition_meta, "key_columns"},    {partition_meta, "dedupe_keys"},
        {category_meta, "key_columns"},     {category_meta, "dedupe_keys"},
    };
    Ref keys;
    for (const auto& [meta, name] : candidates) {
        keys = get_item_optional(meta, name);
        if (keys && truthy(keys.get())) break;
    }
    if (!keys) return none();
    if (!PyList_Check(keys.get()) && !PyTuple_Check(keys.get()) && !PyUnicode_Check(keys.get())) {
        return none();
    }
    return keys;
}

Ref sync_unstack_category(PyObject* module, const methods::SyncUnstackParams& args) {
    PyObject* self = args.self;
    PyObject* category = args.category;
    const bool only_changed = truthy(args.only_changed.or_else(Py_False));
    Ref partition = text("full");

    Ref meta = CategoryAhead::category_meta(self, category);
    // Nothing of this category goes through the update's window: the next category's
    // partitions may be read ahead in it from now on.
    if (std::optional<UpdateWindow> update = CategoryAhead::window_for(self, category)) {
        update->update->segment_opened();
    }
    Ref store = getattr(self, "CV_db");
    call_method_kw(store.get(), "set_category_meta", {{"merge", Py_True}}, category, meta);

    Ref partition_meta = call(self, methods::get_partition_meta, category, partition);
    if (only_changed) {
        const bool held = partition_held(module, self, category, partition.get(), partition_meta.get());
        log_fetch_counts(self, category, held ? 0 : 1, held ? 1 : 0);
        if (held) return none();
    }
    Ref hash = get_item_optional(partition_meta.get(), "hash");
    Ref keys = duplicate_keys(meta.get(), partition_meta.get());
    Ref frame = call(self, methods::download_partition, category, partition, partition_meta);
    // Fetching only what changed, the table becomes exactly the partition's rows.
    call_method_kw(store.get(), "update_unstack_category",
                   {{"category", category}, {"sub_df", frame.get()}, {"duplicate_keys", keys.get()},
                    {"partition", only_changed ? partition.get() : nullptr}});
    if (hash && truthy(hash.get())) {
        call(self, methods::write_local_hash, category, partition, hash);
        note_stored_partition(module, self, category, partition.get(), hash.get(), frame.get());
    }
    frame = Ref();
    return none();
}

// The payload under `data_key`: what the read ahead of this partition got (or raised), or
// else a read now.
PayloadRead read_payload(PyObject* self, PyObject* category, PyObject* partition, PyObject* data_key) {
    if (std::optional<PayloadRead> read = CategoryReads::take_payload(category, partition, data_key)) {
        if (read->error) throw *read->error;
        return std::move(*read);
    }
    return {call(self, methods::redis_get_with_retry, data_key), std::nullopt, {}, std::nullopt};
}

// The payload as an immutable bytes object: a bytes object as it is, anything mutable copied.
Ref immutable_payload(PyObject* payload) {
    if (PyBytes_Check(payload)) return Ref::borrow(payload);
    return check(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(payload),
                                           PyByteArray_GET_SIZE(payload)));
}

// pandas' own reader, for the payloads that the fast path leaves alone.
Ref read_parquet(PyObject* module, PyObject* payload) {
    try {
        Ref pandas = global(module, "pd");
        Ref io = global(module, "io");
        Ref stream = call_method(io.get(), "BytesIO", payload);
        return call_method(pandas.get(), "read_parquet", stream);
    } catch (const PyError& failure) {
        if (!failure.matches(PyExc_Exception)) throw;
        refuse(module, "SerializationError");
    }
}

Ref download_partition(PyObject* module, const methods::DownloadPartitionParams& args) {
    PyObject* self = args.self;
    PyObject* meta = args.partition_meta;
    call(self, methods::validate_category_name, args.category);
    call(self, methods::validate_partition_name, args.partition);

    Ref data_key = partition_data_key(meta);
    if (!data_key) refuse(module, "MetaError");

    PayloadRead read = read_payload(self, args.category, args.partition, data_key.get());
    Ref received = std::move(read.value);
    if (received.is_none()) refuse(module, "RemoteDataError");
    if (!PyBytes_Check(received.get()) && !PyByteArray_Check(received.get())) {
        refuse(module, "SerializationError");
    }
    // The cap applies before any digest or decode work is spent on the value.
    Ref length = integer(PyBytes_Check(received.get()) ? PyBytes_GET_SIZE(received.get())
                                                       : PyByteArray_GET_SIZE(received.get()));
    Ref cap = getattr(self, "MAX_PARTITION_BYTES");
    if (check_status(PyObject_RichCompareBool(length.get(), cap.get(), Py_GT))) {
        refuse(module, "SerializationError");
    }
    Ref payload = immutable_payload(received.get());
    received = Ref();

    Ref hash = get_item_optional(meta, "hash");
    Ref expected = call(self, methods::validate_hash, hash ? hash : none());
    // Verified ahead (the values decoded only after the digest matched the partition's
    // hash): the digest is compared here all the same, before anything decoded leaves.
    if (!read.digest.empty()) {
        if (!equal(text(read.digest).get(), expected.get())) refuse(module, "SerializationError");
        Ref frame = read.block ? decoded_frame(module, *read.block, PlanMemo::current()) : Ref();
        if (!frame) frame = fast_parquet_frame(module, payload.get(), PlanMemo::current());
        return frame ? frame : read_parquet(module, payload.get());
    }
    // The digest runs beside the fast decoder; nothing decoded leaves before it matches.
    PendingDigest digest(payload.get());
    Ref frame = fast_parquet_frame(module, payload.get(), PlanMemo::current());
    if (!equal(digest.text().get(), expected.get())) refuse(module, "SerializationError");
    return frame ? frame : read_parquet(module, payload.get());
}

}  // namespace

}  // namespace corvane::sync

namespace corvane::methods {

const Method<SyncParams> sync_category{"_sync_category", sync::sync_category, "同步单个数据类别；only_changed 时只下载本地缺失或已变化的分区。"};
const Method<SyncParams> sync_pivot_category{"_sync_pivot_category", sync::sync_pivot_category, "同步 pivot 类型数据（按分区）。"};
const Method<SyncUnstackParams> sync_unstack_category{"_sync_unstack_category", sync::sync_unstack_category,
                                                      "同步 unstack 类型数据（单一 full 分区）。"};
const Method<DownloadPartitionParams> download_partition{"_download_partition", sync::download_partition,
                                                         "下载分区数据，校验大小与哈希后解码为 DataFrame。"};

}  // namespace corvane::methods
