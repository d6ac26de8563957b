// Partitions published without rows. The store holds nothing of such a partition, so its
// rows cannot show it held; a record says that the payload of its hash had none. The record
// lies in the synchronisation record folder, named as the partition's hash record and
// holding the same hash text: it states a fact about that payload, true whenever the hash
// comes back, so it never needs to be taken back.
#pragma once

#include "corvane/common/ref.h"

namespace corvane::sync {

// After the partition's rows and hash record are stored: records that the payload of
// `hash` had no rows when `frame` (the decoded partition) has none.
void note_stored_partition(PyObject* module, PyObject* self, PyObject* category,
                           PyObject* partition, PyObject* hash, PyObject* frame);

// Whether the partition, whose hash record holds `hash` and whose rows the store does not
// hold, was stored without rows: its record says that payload had none, and the store still
// holds the category (a deleted category folder has all of it fetched again).
bool held_without_rows(PyObject* module, PyObject* self, PyObject* category, PyObject* partition,
                       PyObject* hash);

}  // namespace corvane::sync
