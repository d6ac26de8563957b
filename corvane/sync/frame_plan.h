// How the fast decoder reads a partition payload and builds its frame: what it decides from
// the file's schema and pandas metadata, before any value is read.
#pragma once

#include <parquet/types.h>

#include <cstdint>
#include <vector>

#include "corvane/common/ref.h"

namespace corvane::sync {

enum class IndexKind { Default, Range, Timestamp, Text };

// What the decoder reads; plain C++, used while the GIL is released.
struct ReadPlan {
    std::vector<int> value_columns;  // leaf indices, in frame column order
    std::vector<std::int8_t> max_levels;  // the maximum definition level of every leaf (0 or 1)
    int index_column = -1;
    IndexKind index_kind = IndexKind::Default;
    // The stored unit of a Timestamp index.
    parquet::LogicalType::TimeUnit::unit unit = parquet::LogicalType::TimeUnit::UNKNOWN;
};

// What the frame is built from besides the values; Python objects, used with the GIL and
// never changed once made, so that frames of several payloads may share them.
struct FrameLabels {
    // The column Index, one label per value column, made once per plan: each frame gets a
    // view of its own (a name set on one frame's columns stays there) that shares its labels
    // and what pandas works out of them once (hash table, inferred type).
    Ref columns;
    Ref index_name;    // None or str
    Ref range;         // the range descriptor of a RangeIndex
    const char* unit = nullptr;  // numpy unit of a DatetimeIndex
};

struct FramePlan {
    ReadPlan read;
    FrameLabels labels;
};

}  // namespace corvane::sync
