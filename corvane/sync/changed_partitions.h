// Updates that fetch only what changed: which partitions the local copy already holds as
// published, decided from a partition's metadata before its payload is fetched.
#pragma once

#include "corvane/common/method.h"
#include "corvane/sync/fetch_ahead.h"

namespace corvane::sync {

// Whether `partition` of `category` need not be fetched: its hash record holds the hash
// that `partition_meta` publishes, and the local store holds the partition's rows, or it
// was stored without rows (records alone, left behind by a deleted store folder, do not
// count). Depends on its arguments only, so it can be asked as soon as a partition's
// metadata is known. Writes nothing.
bool partition_held(PyObject* module, PyObject* self, PyObject* category, PyObject* partition,
                    PyObject* partition_meta);

// The partitions of `partitions` (a list) that are not held, as two lists in order: their
// names and their metadata (read ahead within `limits`, each handed over in its turn);
// logs how many are fetched and how many skipped.
struct Fetches {
    Ref partitions;
    Ref metas;
};
Fetches changed_partitions(PyObject* module, PyObject* self, PyObject* category, PyObject* partitions,
                           FetchAheadLimits limits);

// In an update that fetches only what changed: the info line of a category whose stored
// rows lie in partitions that `partitions` (the service's list) no longer names; their rows
// stay. Nothing is logged when there are none.
void log_unlisted_partitions(PyObject* self, PyObject* category, PyObject* partitions);

// The info line of a category in an update that fetches only what changed.
void log_fetch_counts(PyObject* self, PyObject* category, Py_ssize_t fetched, Py_ssize_t skipped);

}  // namespace corvane::sync

namespace corvane::methods {

struct PartitionHeldParams {
    Arg self{"self"}; Arg category{"category", ArgType::Str};
    Arg partition{"partition", ArgType::Str}; Arg partition_meta{"partition_meta", ArgType::Dict};
};
// The decision of an update that fetches only what changed, for `corvane status --remote`.
extern const Method<PartitionHeldParams> partition_held;

}  // namespace corvane::methods
