#include "corvane/sync/empty_partitions.h"

#include "corvane/common/call.h"
#include "corvane/sync/hash_records.h"

namespace corvane::sync {

namespace {

Ref empty_record_path(PyObject* module, PyObject* self, PyObject* category, PyObject* partition,
                      bool create) {
    return record_path(module, self, kSyncRecordFolder, partition_key(category, partition), create);
}

}  // namespace

void note_stored_partition(PyObject* module, PyObject* self, PyObject* category,
                           PyObject* partition, PyObject* hash, PyObject* frame) {
    // A frame without a length is not known to be empty.
    const Py_ssize_t rows = PyObject_Length(frame);
    if (rows < 0) {
        PyErr_Clear();
        return;
    }
    if (rows != 0) return;
    Ref path = empty_record_path(module, self, category, partition, true);
    // Lost in a crash, it costs one more download of an empty partition.
    replace_file_atomically(module, path.get(), hash, false);
}

bool held_without_rows(PyObject* module, PyObject* self, PyObject* category, PyObject* partition,
                       PyObject* hash) {
    Ref path = empty_record_path(module, self, category, partition, false);
    if (!record_holds(module, path.get(), hash)) return false;
    // Not its folder: the category's metadata is stored again at the start of every
    // synchronisation, before this is asked; the store lists a category only once a
    // partition of it has been stored.
    Ref store = getattr(self, "CV_db");
    Ref stored = call_method(store.get(), "_get_all_categories");
    return !stored.is_none() && check_status(PySequence_Contains(stored.get(), category)) != 0;
}

}  // namespace corvane::sync
