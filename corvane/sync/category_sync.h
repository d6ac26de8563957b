// Synchronisation of one category: pivot categories partition by partition, unstack
// categories as their single partition "full"; each payload checked and decoded.
#pragma once

#include "corvane/common/method.h"
#include "corvane/sync/fetch_ahead.h"

namespace corvane::methods {

struct SyncParams {
    Arg self{"self"}; Arg category{"category", ArgType::Str};
    Arg incremental_start_date{"incremental_start_date", ArgType::Any, "None"};
    Arg only_changed{"only_changed", ArgType::Any, "False", kKeywordOnly};
};
extern const Method<SyncParams> sync_category;
extern const Method<SyncParams> sync_pivot_category;

struct SyncUnstackParams {
    Arg self{"self"}; Arg category{"category", ArgType::Str};
    Arg only_changed{"only_changed", ArgType::Any, "False", kKeywordOnly};
};
extern const Method<SyncUnstackParams> sync_unstack_category;

struct DownloadPartitionParams {
    Arg self{"self"}; Arg category{"category", ArgType::Str};
    Arg partition{"partition", ArgType::Str}; Arg partition_meta{"partition_meta", ArgType::Dict};
};
extern const Method<DownloadPartitionParams> download_partition;

}  // namespace corvane::methods

namespace corvane::sync {

// True when `_download_partition` of the instance is this module's own, which takes the
// payloads read ahead; a replacement reads its own, so none is read ahead for it.
bool downloads_by_default(PyObject* self);

// The read-ahead window's bounds, as the instance sets them.
FetchAheadLimits fetch_ahead_limits(PyObject* self);

// The partitions that a pivot category's synchronisation from `start` (None: all) chooses
// from its metadata `meta`, as a list; null when there are none to read ahead (not a
// pivot category, no partitions, or a filter that returns no list). Raises what the
// synchronisation would raise over them.
Ref chosen_partitions(PyObject* module, PyObject* self, PyObject* category, PyObject* meta,
                      PyObject* start);

}  // namespace corvane::sync
