// The fast decoder of partition payloads.
//
// A pivot partition is a wide Parquet file written from a pandas frame: a date index and
// thousands of float64 columns over a few rows. The general reader spends almost all of its
// time on per-column bookkeeping (Arrow arrays, then pandas blocks); this decoder reads the
// column chunks with the GIL released straight into one column-major 2-D float64 block and
// builds the frame from that block. It accepts only files whose pandas result it can
// reproduce exactly and leaves every other file to pandas.read_parquet.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "corvane/common/ref.h"
#include "corvane/sync/plan_memo.h"

namespace corvane::sync {

// The frame of a Parquet payload (a bytes object), equal to what pandas.read_parquet makes
// of it; a null Ref when the payload lies outside the fast path's shapes or does not decode.
// Failures of the interpreter (memory, interrupts) propagate. `memo`, when not null, offers
// the plan of the last payload it accepted and keeps this one's.
Ref fast_parquet_frame(PyObject* module, PyObject* payload, PlanMemo* memo);
// The same over bytes that stay alive and unchanged while it runs (the fuzz target's
// guarded buffers).
Ref fast_parquet_frame(PyObject* module, std::span<const std::uint8_t> payload, PlanMemo* memo);

// The labels of a stored index as decoded.
struct DecodedIndex {
    std::vector<std::int64_t> stamps;
    std::vector<std::string> texts;
};

// A payload's values decoded ahead of its turn, with a plan kept for its footer fields.
struct DecodedBlock {
    std::shared_ptr<const PlanMemo::KeptRead> read;
    std::int64_t rows = 0;
    std::vector<double> values;  // rows x value columns, column-major
    DecodedIndex index;
};

// Decodes `payload` with `read` when its footer fields are those that `read` was kept for,
// once `room(bytes)` grants the block's size; nothing otherwise. Plain C++: runs without the
// GIL, on any thread, over bytes that stay alive and unchanged meanwhile.
std::optional<DecodedBlock> decode_ahead(std::span<const std::uint8_t> payload,
                                         const std::shared_ptr<const PlanMemo::KeptRead>& read,
                                         const std::function<bool(std::size_t)>& room);

// The frame of a block decoded ahead, when `memo` still keeps the plan it was decoded with
// (whose labels the frame takes); null otherwise.
Ref decoded_frame(PyObject* module, DecodedBlock& block, const PlanMemo* memo);

}  // namespace corvane::sync
