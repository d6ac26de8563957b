// Reading ahead while pivot categories synchronise. A round trip to the service's Redis
// costs milliseconds over a real link, most partitions take less to verify, decode and
// store: read one after another, the link idles. While the caller's thread processes
// partition k, worker threads already read the metadata and payloads of the partitions
// after it, through the client's own seams (`_get_partition_meta`,
// `_redis_get_with_retry`, called on the instance), each read on its own pooled connection.
//
// One window serves an update: the partitions of each category are appended to it as a
// segment (the next category's as soon as its partition list is known, see
// CategoryAhead), and read in the order they were appended.
//
// What is read ahead is bounded in bytes: a payload is received only once its partition's
// turn in the grant order has come and the payloads held besides the partition being
// processed leave room for it; one larger than the whole window is received only when
// nothing else is held, and nothing later beside it. Processing stays in order on the
// caller's thread, and a read's outcome, value or error, is handed over when its
// partition's turn comes, as if read then.
//
// When the synchronisation methods are the client's own, a payload read ahead is also
// verified there: its SHA-256 taken and, when it matches the partition's hash and the
// category's kept plan fits its footer, its values decoded (at most `verifiers` payloads at
// once; past a segment's first partition, once the caller has processed that one and so
// offered the plan it gives). The decoded values count against the same byte window as the
// payloads; a block
// that finds no room is left to the partition's turn. Nothing of that raises: the turn
// compares the digest and raises as it would have.
//
// Cancelling a segment (its category failed or was interrupted) abandons its reads in
// flight (their connections are closed, never pooled) and lets go of its payloads; closing
// the window also joins every worker.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "corvane/common/call.h"
#include "corvane/redis/read_budget.h"
#include "corvane/session/session_gate.h"
#include "corvane/sync/parquet_frame.h"
#include "corvane/sync/plan_memo.h"
#include "corvane/sync/read_ahead.h"

namespace corvane::sync {

// The payload key of a partition's metadata: text of 1 to 1024 characters; null otherwise.
Ref partition_data_key(PyObject* partition_meta);

// The outcome of a payload read: the value, or the error that the read raised.
struct PayloadRead {
    Ref value;
    std::optional<PyError> error;
    // Worked out ahead: "sha256:" and the value's digest (empty when not taken), and its
    // values, decoded only once that digest matched the partition's hash.
    std::string digest;
    std::optional<DecodedBlock> block;
};

struct FetchAheadLimits {
    std::size_t window_bytes;
    std::size_t workers;
    std::size_t verifiers = 0;  // payloads verified and decoded ahead at once; 0: none
};

// What was read ahead for a partition, handed over at its turn.
struct HandedRead {
    Ref meta;
    Ref data_key;                       // null when no payload was read ahead
    std::optional<PayloadRead> payload;
};

class FetchAhead {
public:
    FetchAhead(PyObject* self, FetchAheadLimits limits);
    // Stops every read, joins the workers and lets every result go. Needs the GIL.
    ~FetchAhead();
    FetchAhead(const FetchAhead&) = delete;
    FetchAhead& operator=(const FetchAhead&) = delete;

    // Appends `partitions` (a list) of `category`, to be read after everything appended
    // before; payloads too when `payloads` is set. `metas`, when not null, is a list of the
    // partitions' metadata already read, in their order: only their payloads are read then.
    // Returns the segment's number. Needs the GIL; any thread.
    std::size_t append(PyObject* category, PyObject* partitions, PyObject* metas, bool payloads);
    // The plan that the segment's payloads are decoded ahead with, from now on.
    void offer_plan(std::size_t segment, std::shared_ptr<const PlanMemo::KeptRead> plan);
    // True when `segment` reads exactly `partitions` of `category` from their metadata on,
    // payloads as `payloads` says.
    bool reads(std::size_t segment, PyObject* category, PyObject* partitions, bool payloads) const;
    // Abandons the segment's reads and lets its results go. Needs the GIL.
    void cancel(std::size_t segment);

    // What was read for the `index`-th partition of `segment`, which is `partition`: its
    // metadata (or the error of its read, raised now) and payload. Keeps the session up
    // first, as a read at this point would. Waits for the read without the GIL and runs the
    // signal handlers meanwhile. Nothing when it was not read ahead: the caller reads it.
    std::optional<HandedRead> take(std::size_t segment, std::size_t index, PyObject* partition);
    // The most payload bytes held at once besides the partition being processed.
    std::size_t peak_bytes() const;

private:
    struct Slot;
    struct Segment;
    struct WorkerBudget;

    static bool reserve_for(redis::ReadBudget* budget, std::size_t length);
    bool reserve(std::size_t index, std::size_t length);
    bool grantable(std::size_t index, std::size_t length) const;
    void advance_settled();
    void start_workers(std::size_t wanted);
    void work();
    void read_slot(std::size_t index, WorkerBudget& budget);
    void verify(std::size_t index, const Segment& segment, PyObject* meta, PayloadRead& payload);
    bool room_for_block(std::size_t index, std::size_t bytes);
    // True once the slot is read; false when no worker is left to read it.
    bool wait_for(std::size_t index);
    bool is_ahead(std::size_t index) const noexcept {
        return static_cast<std::ptrdiff_t>(index) > current_;
    }
    void move_to(std::size_t index);
    void stop() noexcept;

    Ref self_;
    const FetchAheadLimits limits_;
    session::SessionGate gate_;
    session::SessionGate::Scope gate_scope_;

    // Guards everything below; never held while waiting for the GIL or calling Python.
    // Elements of the deques keep their place as more are appended.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Segment> segments_;
    std::deque<Slot> slots_;
    bool stopping_ = false;
    std::size_t next_claim_ = 0;
    std::size_t settled_ = 0;    // every slot before this one is granted, done or cancelled
    std::ptrdiff_t current_ = -1;  // the slot being processed
    std::size_t ahead_ = 0;      // bytes reserved by slots after the current one
    std::size_t peak_ = 0;
    std::size_t active_ = 0;     // workers still running
    std::size_t verifying_ = 0;  // payloads being verified or decoded

    std::vector<std::thread> workers_;
};

// One category's partitions as its synchronisation processes them, in the window of the
// calling thread's update when it has one (taking over the segment read ahead for the
// category when it reads the same partitions), else in a window of its own.
class CategoryReads {
public:
    CategoryReads(PyObject* self, PyObject* category, PyObject* partitions, PyObject* metas,
                  bool payloads, FetchAheadLimits limits);
    // Cancels what is left of the category's reads. Needs the GIL.
    ~CategoryReads();
    CategoryReads(const CategoryReads&) = delete;
    CategoryReads& operator=(const CategoryReads&) = delete;

    // The metadata of `partition`, the `index`-th of the list: what `_get_partition_meta`
    // returned for it, or its error raised now. A partition other than the one read ahead
    // is read here.
    Ref partition_meta(std::size_t index, PyObject* partition);
    std::size_t peak_bytes() const { return window_->peak_bytes(); }

    // The payload read ahead under `data_key` for the partition that the calling thread's
    // reads have just handed over, once; nothing when there is none.
    static std::optional<PayloadRead> take_payload(PyObject* category, PyObject* partition,
                                                   PyObject* data_key);

private:
    std::optional<FetchAhead> own_;  // without an update's window
    Ref self_;
    Ref category_;
    FetchAhead* window_;
    std::size_t segment_;
    // The payload of the partition just handed over, for `take_payload`.
    Ref handed_partition_;
    Ref handed_key_;
    std::optional<PayloadRead> handed_;
    CategoryReads* outer_;
};

}  // namespace corvane::sync
