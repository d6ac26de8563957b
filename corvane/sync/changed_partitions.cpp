#include "corvane/sync/changed_partitions.h"

#include "corvane/common/call.h"
#include "corvane/sync/empty_partitions.h"
#include "corvane/sync/hash_records.h"
#include "corvane/sync/join.h"
#include "corvane/transport/validators.h"

namespace corvane::sync {

bool partition_held(PyObject* module, PyObject* self, PyObject* category, PyObject* partition,
                    PyObject* partition_meta) {
    Ref hash = get_item_optional(partition_meta, "hash");
    // Without a published hash text nothing shows the held copy current; the download
    // that follows checks the metadata.
    if (!hash || !PyUnicode_CheckExact(hash.get()) || PyUnicode_GET_LENGTH(hash.get()) == 0) {
        return false;
    }
    call(self, methods::validate_category_name, category);
    call(self, methods::validate_partition_name, partition);
    // The record is looked for without creating its folder: a status query writes nothing.
    Ref record = record_path(module, self, kHashRecordFolder, partition_key(category, partition), false);
    if (!record_holds(module, record.get(), hash.get())) return false;
    Ref store = getattr(self, "CV_db");
    Ref held = call_method(store.get(), "holds_partition", category, partition);
    return truthy(held.get()) || held_without_rows(module, self, category, partition, hash.get());
}

Fetches changed_partitions(PyObject* module, PyObject* self, PyObject* category, PyObject* partitions,
                           FetchAheadLimits limits) {
    Fetches fetches{check(PyList_New(0)), check(PyList_New(0))};
    Py_ssize_t skipped = 0;
    // Metadata only: no payload is requested before its partition is known to be needed.
    CategoryReads ahead(self, category, partitions, nullptr, false, limits);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(partitions); ++i) {
        Ref partition = Ref::borrow(PyList_GET_ITEM(partitions, i));
        Ref meta = ahead.partition_meta(static_cast<std::size_t>(i), partition.get());
        if (partition_held(module, self, category, partition.get(), meta.get())) {
            ++skipped;
            continue;
        }
        check_status(PyList_Append(fetches.partitions.get(), partition.get()));
        check_status(PyList_Append(fetches.metas.get(), meta.get()));
    }
    log_fetch_counts(self, category, PyList_GET_SIZE(fetches.partitions.get()), skipped);
    log_unlisted_partitions(self, category, partitions);
    return fetches;
}

void log_unlisted_partitions(PyObject* self, PyObject* category, PyObject* partitions) {
    Ref store = getattr(self, "CV_db");
    Ref unlisted = call_method(store.get(), "unlisted_partitions", category, partitions);
    const Py_ssize_t count = PyObject_Length(unlisted.get());
    if (count < 0) throw_current();
    if (count == 0) return;
    Ref counted = integer(count);
    log_info(self, join({category, text(": 远程不再列出的分区 ").get(), counted.get(),
                         text(" 个，本地数据保留").get()}));
}

namespace {

Ref partition_held_method(PyObject* module, const methods::PartitionHeldParams& args) {
    return boolean(partition_held(module, args.self, args.category, args.partition, args.partition_meta));
}

}  // namespace

void log_fetch_counts(PyObject* self, PyObject* category, Py_ssize_t fetched, Py_ssize_t skipped) {
    Ref fetched_count = integer(fetched);
    Ref skipped_count = integer(skipped);
    log_info(self, join({category, text(": 下载分区 ").get(), fetched_count.get(),
                         text(" 个，跳过分区 ").get(), skipped_count.get(), text(" 个").get()}));
}

}  // namespace corvane::sync

namespace corvane::methods {

const Method<PartitionHeldParams> partition_held{"_partition_held", sync::partition_held_method,
                                                 "分区是否已按远程元信息保存在本地（无需重新下载）。"};

}  // namespace corvane::methods
