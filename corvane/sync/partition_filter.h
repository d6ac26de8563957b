// Selection of the partitions of an incremental update by their names alone.
#pragma once

#include "corvane/common/method.h"

namespace corvane::methods {

struct FilterPartitionsByDateParams {
    Arg self{"self"}; Arg partitions{"partitions", ArgType::List}; Arg start_date{"start_date"};
};
extern const Method<FilterPartitionsByDateParams> filter_partitions_by_date;

}  // namespace corvane::methods
