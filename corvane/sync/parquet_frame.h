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
#include <span>

#include "corvane/common/ref.h"

namespace corvane::sync {

class PlanMemo;

// The frame of a Parquet payload (a bytes object), equal to what pandas.read_parquet makes
// of it; a null Ref when the payload lies outside the fast path's shapes or does not decode.
// Failures of the interpreter (memory, interrupts) propagate. `memo`, when not null, offers
// the plan of the last payload it accepted and keeps this one's.
Ref fast_parquet_frame(PyObject* module, PyObject* payload, PlanMemo* memo);
// The same over bytes that stay alive and unchanged while it runs (the fuzz target's
// guarded buffers).
Ref fast_parquet_frame(PyObject* module, std::span<const std::uint8_t> payload, PlanMemo* memo);

}  // namespace corvane::sync
