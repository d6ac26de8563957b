// Reading ahead while a pivot category synchronises. A round trip to the service's Redis
// costs milliseconds over a real link, most partitions take less to verify, decode and
// store: read one after another, the link idles. While the caller's thread processes
// partition k, worker threads already read the metadata and payloads of the partitions
// after it, through the client's own seams (`_get_partition_meta`,
// `_redis_get_with_retry`, called on the instance), each read on its own pooled connection.
//
// What is read ahead is bounded in bytes: a payload is received only once its partition's
// turn in the grant order has come and the payloads held besides the partition being
// processed leave room for it; one larger than the whole window is received only when
// nothing else is held, and nothing later beside it. Processing stays in order on the
// caller's thread, and a read's outcome, value or error, is handed over when its
// partition's turn comes, as if read then.
//
// Stopping (the category failed or was interrupted) abandons the reads in flight (their
// connections are closed, never pooled), joins every worker and lets go of every payload.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "corvane/common/call.h"
#include "corvane/redis/read_budget.h"
#include "corvane/session/session_gate.h"
#include "corvane/sync/read_ahead.h"

namespace corvane::sync {

// The payload key of a partition's metadata: text of 1 to 1024 characters; null otherwise.
Ref partition_data_key(PyObject* partition_meta);

// The outcome of a payload read: the value, or the error that the read raised.
struct PayloadRead {
    Ref value;
    std::optional<PyError> error;
};

struct FetchAheadLimits {
    std::size_t window_bytes;
    std::size_t workers;
};

class FetchAhead {
public:
    // Starts reading ahead for `partitions` (a list) of `category`; payloads too when
    // `payloads` is set (the client's own `_download_partition` then takes them). `metas`,
    // when not null, is a list of the partitions' metadata already read, in their order:
    // only their payloads are read then.
    FetchAhead(PyObject* self, PyObject* category, PyObject* partitions, PyObject* metas,
               bool payloads, FetchAheadLimits limits);
    // Stops the reads, joins the workers and lets every result go. Needs the GIL.
    ~FetchAhead();
    FetchAhead(const FetchAhead&) = delete;
    FetchAhead& operator=(const FetchAhead&) = delete;

    // The metadata of `partition`, the `index`-th of the list: what `_get_partition_meta`
    // returned for it, or its error raised now. Keeps the session up first, as a read at
    // this point would. Waits for the read without the GIL and runs the signal handlers
    // meanwhile. A partition other than the one read ahead is read here.
    Ref partition_meta(std::size_t index, PyObject* partition);
    // The most payload bytes held at once besides the partition being processed.
    std::size_t peak_bytes() const;

    // The payload read ahead under `data_key` for the partition that the calling thread's
    // read-ahead has just handed over, once; nothing when there is none.
    static std::optional<PayloadRead> take_payload(PyObject* category, PyObject* partition,
                                                   PyObject* data_key);

private:
    struct Slot;
    struct WorkerBudget;

    static bool reserve_for(redis::ReadBudget* budget, std::size_t length);
    bool reserve(std::size_t index, std::size_t length);
    bool grantable(std::size_t index, std::size_t length) const;
    void advance_settled();
    void work();
    void read_slot(std::size_t index, WorkerBudget& budget);
    // True once the slot is read; false when no worker is left to read it.
    bool wait_for(std::size_t index);
    bool is_ahead(std::size_t index) const noexcept {
        return static_cast<std::ptrdiff_t>(index) > current_;
    }
    void move_to(std::size_t index);
    void stop() noexcept;

    Ref self_;
    Ref category_;
    Ref known_metas_;
    const bool payloads_;
    const FetchAheadLimits limits_;
    session::SessionGate gate_;
    session::SessionGate::Scope gate_scope_;
    StopSignal stop_;

    // Guards everything below; never held while waiting for the GIL or calling Python.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;
    bool stopping_ = false;
    std::size_t next_claim_ = 0;
    std::size_t settled_ = 0;    // every slot before this one is granted or done
    std::ptrdiff_t current_ = -1;  // the slot being processed
    std::size_t ahead_ = 0;      // bytes reserved by slots after the current one
    std::size_t peak_ = 0;
    std::size_t active_ = 0;     // workers still running

    // The payload of the partition just handed over, for `take_payload`.
    Ref handed_partition_;
    Ref handed_key_;
    std::optional<PayloadRead> handed_;
    FetchAhead* outer_;

    std::vector<std::thread> workers_;
};

}  // namespace corvane::sync
