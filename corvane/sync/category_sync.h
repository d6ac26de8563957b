// Synchronisation of one category: pivot categories partition by partition, unstack
// categories as their single partition "full"; each payload checked and decoded.
#pragma once

#include "corvane/common/method.h"

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
