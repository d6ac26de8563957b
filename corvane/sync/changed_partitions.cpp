#include "corvane/sync/changed_partitions.h"

#include "corvane/common/call.h"
#include "corvane/sync/hash_records.h"
#include "corvane/sync/join.h"

namespace corvane::sync {

bool partition_held(PyObject* self, PyObject* category, PyObject* partition,
                    PyObject* partition_meta) {
    Ref hash = get_item_optional(partition_meta, "hash");
    // Without a published hash text nothing shows the held copy current; the download
    // that follows checks the metadata.
    if (!hash || !PyUnicode_CheckExact(hash.get())) return false;
    Ref recorded = call(self, methods::check_local_hash, category, partition, hash);
    if (!truthy(recorded.get())) return false;
    Ref store = getattr(self, "CV_db");
    Ref held = call_method(store.get(), "holds_partition", category, partition);
    return truthy(held.get());
}

Fetches changed_partitions(PyObject* self, PyObject* category, PyObject* partitions,
                           FetchAheadLimits limits) {
    Fetches fetches{check(PyList_New(0)), check(PyList_New(0))};
    Py_ssize_t skipped = 0;
    // Metadata only: no payload is requested before its partition is known to be needed.
    CategoryReads ahead(self, category, partitions, nullptr, false, limits);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(partitions); ++i) {
        Ref partition = Ref::borrow(PyList_GET_ITEM(partitions, i));
        Ref meta = ahead.partition_meta(static_cast<std::size_t>(i), partition.get());
        if (partition_held(self, category, partition.get(), meta.get())) {
            ++skipped;
            continue;
        }
        check_status(PyList_Append(fetches.partitions.get(), partition.get()));
        check_status(PyList_Append(fetches.metas.get(), meta.get()));
    }
    log_fetch_counts(self, category, PyList_GET_SIZE(fetches.partitions.get()), skipped);
    return fetches;
}

void log_fetch_counts(PyObject* self, PyObject* category, Py_ssize_t fetched, Py_ssize_t skipped) {
    Ref fetched_count = integer(fetched);
    Ref skipped_count = integer(skipped);
    log_info(self, join({category, text(": 下载分区 ").get(), fetched_count.get(),
                         text(" 个，跳过分区 ").get(), skipped_count.get(), text(" 个").get()}));
}

}  // namespace corvane::sync
