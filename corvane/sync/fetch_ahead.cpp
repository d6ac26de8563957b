#include "corvane/sync/fetch_ahead.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <pthread.h>

#include "corvane/common/nogil.h"
#include "corvane/session/metadata.h"
#include "corvane/sync/category_ahead.h"
#include "corvane/sync/category_sync.h"
#include "corvane/sync/digest.h"
#include "corvane/sync/installed_budget.h"

namespace corvane::sync {

namespace {

constexpr Py_ssize_t kMaxDataKeyLength = 1024;

// The category reads whose partitions the calling thread processes.
thread_local CategoryReads* serving = nullptr;

// The payload size cap of the instance; nothing when it is not a size.
std::optional<std::size_t> partition_cap(PyObject* self) {
    Ref cap = getattr(self, "MAX_PARTITION_BYTES");
    if (!PyLong_CheckExact(cap.get())) return std::nullopt;
    const Py_ssize_t value = PyLong_AsSsize_t(cap.get());
    if (value < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::size_t>(value);
}

// Payloads are verified ahead only when every method between the read and the check is
// the client's own: with a replacement, each call happens as it is made.
bool reads_by_default(PyObject* self) {
    return is_default<methods::redis_get_with_retry>(bound(self, methods::redis_get_with_retry).get()) &&
           is_default<methods::get_partition_meta>(bound(self, methods::get_partition_meta).get());
}

// The expected hash of a partition's metadata as its text; empty when it has none.
std::string meta_hash(PyObject* meta) {
    if (!PyDict_Check(meta)) return {};
    Ref hash = get_item_optional(meta, "hash");
    if (!hash || !PyUnicode_CheckExact(hash.get())) return {};
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(hash.get(), &length);
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return {data, static_cast<std::size_t>(length)};
}

}  // namespace

Ref partition_data_key(PyObject* partition_meta) {
    if (!PyDict_Check(partition_meta)) return Ref();
    Ref key = get_item_optional(partition_meta, "data_key");
    if (!key || !PyUnicode_Check(key.get()) || PyUnicode_GET_LENGTH(key.get()) == 0 ||
        PyUnicode_GET_LENGTH(key.get()) > kMaxDataKeyLength) {
        return Ref();
    }
    return key;
}

// One category's partitions in the window: slots [begin, end). Fixed once appended, but
// for `cancelled`.
struct FetchAhead::Segment {
    Ref category;
    Ref metas;  // null: read by the workers
    bool payloads;
    std::size_t begin;
    std::size_t end;
    StopSignal stop;  // ends the network waits of the segment's reads
    bool cancelled = false;
    // Payloads verified and decoded ahead, none larger than `cap`, with `plan` (offered by
    // the caller's thread, under the mutex).
    bool verify = false;
    std::size_t cap = 0;
    std::shared_ptr<const PlanMemo::KeptRead> plan;
};

// One partition. `partition` and `segment` are fixed when appended; the rest is written by
// the slot's worker (with the GIL and the mutex) and read by the caller's thread once `done`.
struct FetchAhead::Slot {
    Ref partition;
    std::size_t segment;
    Ref meta;
    std::optional<PyError> meta_error;
    Ref data_key;
    std::optional<PayloadRead> payload;
    std::size_t reserved = 0;
    bool granted = false;
    bool done = false;
    bool cancelled = false;
};

// What a worker's GETs consult: the window, for the slot that the worker reads.
struct FetchAhead::WorkerBudget : redis::ReadBudget {
    FetchAhead* owner;
    std::size_t slot;
    bool payload;  // false while the metadata is read: small values, outside the window
};

FetchAhead::FetchAhead(PyObject* self, FetchAheadLimits limits)
    : self_(Ref::borrow(self)), limits_(limits), gate_scope_(gate_) {}

FetchAhead::~FetchAhead() {
    stop();
    {
        ReleasedGil nogil;
        for (std::thread& worker : workers_) worker.join();
    }
    // The results still held go with the slots, with the GIL.
}

void FetchAhead::stop() noexcept {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (const Segment& segment : segments_) segment.stop.raise();  // wakes network waits
    }
    gate_.close();
    changed_.notify_all();
}

std::size_t FetchAhead::append(PyObject* category, PyObject* partitions, PyObject* metas,
                               bool payloads) {
    const auto count = static_cast<std::size_t>(PyList_GET_SIZE(partitions));
    std::optional<std::size_t> cap;
    if (payloads && limits_.verifiers > 0 && reads_by_default(self_.get())) cap = partition_cap(self_.get());
    std::size_t number;
    std::size_t slots;
    {
        std::lock_guard lock(mutex_);
        number = segments_.size();
        Segment& segment = segments_.emplace_back();
        if (!segment.stop.valid()) {
            segments_.pop_back();
            throw_format(PyExc_OSError, "eventfd failed (errno %d)", errno);
        }
        segment.category = Ref::borrow(category);
        segment.metas = metas != nullptr ? Ref::borrow(metas) : Ref();
        segment.payloads = payloads;
        segment.verify = cap.has_value();
        segment.cap = cap.value_or(0);
        segment.begin = slots_.size();
        segment.end = segment.begin + count;
        for (std::size_t i = 0; i < count; ++i) {
            Slot& slot = slots_.emplace_back();
            slot.partition = Ref::borrow(PyList_GET_ITEM(partitions, static_cast<Py_ssize_t>(i)));
            slot.segment = number;
        }
        slots = slots_.size();
    }
    changed_.notify_all();
    start_workers(std::min(limits_.workers, slots));
    return number;
}

bool FetchAhead::reads(std::size_t number, PyObject* category, PyObject* partitions,
                       bool payloads) const {
    const auto count = static_cast<std::size_t>(PyList_GET_SIZE(partitions));
    PyObject* read_category;
    std::vector<PyObject*> read;  // owned by the segment and its slots, which outlive this call
    {
        std::lock_guard lock(mutex_);
        const Segment& segment = segments_[number];
        if (segment.cancelled || segment.metas || segment.payloads != payloads ||
            segment.end - segment.begin != count) {
            return false;
        }
        read_category = segment.category.get();
        for (std::size_t i = segment.begin; i < segment.end; ++i) read.push_back(slots_[i].partition.get());
    }
    // Compared without the lock: a comparison may call Python.
    if (!equal(read_category, category)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* partition = PyList_GET_ITEM(partitions, static_cast<Py_ssize_t>(i));
        if (read[i] != partition && !equal(read[i], partition)) return false;
    }
    return true;
}

void FetchAhead::cancel(std::size_t number) {
    std::vector<Slot> dropped;  // let go after the lock, with the GIL
    {
        std::lock_guard lock(mutex_);
        Segment& segment = segments_[number];
        if (segment.cancelled) return;
        segment.cancelled = true;
        segment.stop.raise();
        for (std::size_t i = segment.begin; i < segment.end; ++i) {
            Slot& slot = slots_[i];
            if (is_ahead(i)) ahead_ -= slot.reserved;
            slot.reserved = 0;
            slot.cancelled = true;
            if (!slot.meta && !slot.meta_error && !slot.payload) continue;  // nothing held
            Slot& kept = dropped.emplace_back();
            std::swap(kept.meta, slot.meta);
            std::swap(kept.data_key, slot.data_key);
            std::swap(kept.meta_error, slot.meta_error);
            std::swap(kept.payload, slot.payload);
        }
        while (next_claim_ < slots_.size() && slots_[next_claim_].cancelled) ++next_claim_;
        advance_settled();
    }
    changed_.notify_all();
}

void FetchAhead::offer_plan(std::size_t number, std::shared_ptr<const PlanMemo::KeptRead> plan) {
    {
        std::lock_guard lock(mutex_);
        segments_[number].plan.swap(plan);
    }
    changed_.notify_all();
}

std::size_t FetchAhead::peak_bytes() const {
    std::lock_guard lock(mutex_);
    return peak_;
}

// --- workers ----------------------------------------------------------------------------

// Appending runs with the GIL, which keeps two appends from starting workers at once.
void FetchAhead::start_workers(std::size_t wanted) {
    try {
        while (workers_.size() < wanted) {
            workers_.emplace_back([this] { work(); });
            std::lock_guard lock(mutex_);
            ++active_;
        }
    } catch (const std::system_error&) {
        // Fewer workers read more slowly; with none, the caller's thread reads each itself.
    }
}

void FetchAhead::work() {
    // Named, so that a look at the process (or a test) finds them.
    pthread_setname_np(pthread_self(), "corvane-fetch");
    const PyGILState_STATE gil = PyGILState_Ensure();
    {
        WorkerBudget budget{};
        budget.reserve = &FetchAhead::reserve_for;
        budget.owner = this;
        const session::SessionGate::Scope gate_scope(gate_);
        const InstalledBudget installed(&budget);
        while (installed) {
            std::size_t index;
            {
                ReleasedGil nogil;
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stopping_ || next_claim_ < slots_.size(); });
                if (stopping_) break;
                index = next_claim_++;
                while (next_claim_ < slots_.size() && slots_[next_claim_].cancelled) ++next_claim_;
                budget.stop_fd = segments_[slots_[index].segment].stop.fd();
            }
            budget.slot = index;
            try {
                read_slot(index, budget);
            } catch (const std::exception&) {
                // Out of memory: the partition's turn raises it.
                PyErr_NoMemory();
                std::optional<PyError> failure(PyError::fetch());
                std::lock_guard lock(mutex_);
                if (!slots_[index].cancelled) slots_[index].meta_error = std::move(failure);
                slots_[index].done = true;
                advance_settled();
            }
        }
    }
    {
        std::lock_guard lock(mutex_);
        --active_;
    }
    changed_.notify_all();
    PyGILState_Release(gil);
}

void FetchAhead::read_slot(std::size_t index, WorkerBudget& budget) {
    const Slot* claimed;
    const Segment* claimed_segment;
    {
        std::lock_guard lock(mutex_);  // the deques may grow meanwhile; their elements stay
        claimed = &slots_[index];
        claimed_segment = &segments_[claimed->segment];
    }
    const Segment& segment = *claimed_segment;
    PyObject* partition = claimed->partition.get();
    budget.payload = false;
    Ref meta;
    std::optional<PyError> meta_error;
    if (segment.metas) {
        const auto at = static_cast<Py_ssize_t>(index - segment.begin);
        meta = Ref::borrow(PyList_GET_ITEM(segment.metas.get(), at));
    } else {
        try {
            meta = call(self_.get(), methods::get_partition_meta, segment.category, partition);
        } catch (const PyError& failure) {
            meta_error = failure;
        }
    }
    Ref data_key;
    std::optional<PayloadRead> payload;
    try {
        if (meta && segment.payloads) data_key = partition_data_key(meta.get());
    } catch (const PyError&) {
        // Left to `_download_partition`, whose own check meets the same failure.
    }
    if (data_key) {
        budget.payload = true;
        payload.emplace();
        try {
            payload->value = call(self_.get(), methods::redis_get_with_retry, data_key);
        } catch (const PyError& failure) {
            payload->error = failure;
        }
        if (segment.verify && payload->value) verify(index, segment, meta.get(), *payload);
    }
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index];
        if (!slot.cancelled) {  // else what was read goes here, after the lock
            std::swap(slot.meta, meta);
            slot.meta_error = std::move(meta_error);
            std::swap(slot.data_key, data_key);
            slot.payload = std::move(payload);
        }
        slot.done = true;
        advance_settled();
    }
    changed_.notify_all();
}

// The digest of a payload read ahead and, once it matches the partition's hash, its values.
// Runs with the GIL held by the worker, which it lets go for the work itself.
void FetchAhead::verify(std::size_t index, const Segment& segment, PyObject* meta, PayloadRead& payload) {
    PyObject* value = payload.value.get();
    if (!PyBytes_CheckExact(value) || static_cast<std::size_t>(PyBytes_GET_SIZE(value)) > segment.cap) return;
    const std::string expected = meta_hash(meta);
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
                                              static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    ReleasedGil nogil;
    std::shared_ptr<const PlanMemo::KeptRead> plan;
    {
        // Past the segment's first partition, the plan that the first one gives is awaited:
        // the caller offers it once it has processed that partition.
        const bool first = index == segment.begin;
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            return stopping_ || slots_[index].cancelled ||
                   ((first || segment.plan || current_ > static_cast<std::ptrdiff_t>(segment.begin)) &&
                    verifying_ < limits_.verifiers);
        });
        if (stopping_ || slots_[index].cancelled) return;
        ++verifying_;
        plan = segment.plan;
    }
    try {
        payload.digest = "sha256:" + sha256_hex({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
        if (payload.digest == expected && plan) {
            payload.block = decode_ahead(bytes, plan, [&](std::size_t size) { return room_for_block(index, size); });
        }
    } catch (const std::exception&) {
        payload.digest.clear();  // the partition's turn takes the digest itself
        payload.block.reset();
    }
    {
        std::lock_guard lock(mutex_);
        --verifying_;
    }
    changed_.notify_all();
}

// Room in the window for a block decoded ahead for the slot, taken when there is.
bool FetchAhead::room_for_block(std::size_t index, std::size_t bytes) {
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[index];
    if (stopping_ || slot.cancelled) return false;
    if (is_ahead(index)) {
        if (ahead_ + bytes > limits_.window_bytes) return false;
        ahead_ += bytes;
        peak_ = std::max(peak_, ahead_);
    }
    slot.reserved += bytes;
    return true;
}

// --- the byte window ----------------------------------------------------------------------

bool FetchAhead::reserve_for(redis::ReadBudget* budget, std::size_t length) {
    auto* worker = static_cast<WorkerBudget*>(budget);
    if (!worker->payload) {
        std::lock_guard lock(worker->owner->mutex_);
        return !worker->owner->stopping_ && !worker->owner->slots_[worker->slot].cancelled;
    }
    return worker->owner->reserve(worker->slot, length);
}

bool FetchAhead::reserve(std::size_t index, std::size_t length) {
    std::unique_lock lock(mutex_);
    Slot& slot = slots_[index];
    if (slot.granted) {
        // Another attempt of the same read: it takes the room of the first one. Waiting
        // here could wait for partitions after it, which wait for this one.
        if (slot.cancelled) return false;
        if (is_ahead(index)) {
            ahead_ = ahead_ - slot.reserved + length;
            peak_ = std::max(peak_, ahead_);
        }
        slot.reserved = length;
        return !stopping_;
    }
    changed_.wait(lock, [&] { return stopping_ || slot.cancelled || grantable(index, length); });
    if (stopping_ || slot.cancelled) return false;
    slot.granted = true;
    slot.reserved = length;
    if (is_ahead(index)) {
        ahead_ += length;
        peak_ = std::max(peak_, ahead_);
    }
    advance_settled();
    lock.unlock();
    changed_.notify_all();
    return true;
}

// Grants go in the order of the slots, so that later partitions never fill the window
// while an earlier one waits for room.
bool FetchAhead::grantable(std::size_t index, std::size_t length) const {
    if (settled_ < index) return false;
    // The partition being processed (or one passed over): whatever came before has been
    // let go.
    if (!is_ahead(index)) return true;
    // Larger than the window: only as the partition being processed, alone.
    if (length > limits_.window_bytes) return false;
    if (current_ >= 0 && slots_[static_cast<std::size_t>(current_)].reserved > limits_.window_bytes) {
        return false;
    }
    return ahead_ + length <= limits_.window_bytes;
}

void FetchAhead::advance_settled() {
    while (settled_ < slots_.size() &&
           (slots_[settled_].granted || slots_[settled_].done || slots_[settled_].cancelled)) {
        ++settled_;
    }
}

// --- the caller's side ----------------------------------------------------------------------

void FetchAhead::move_to(std::size_t index) {
    std::lock_guard lock(mutex_);
    for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(current_, 0);
         i < static_cast<std::ptrdiff_t>(index); ++i) {
        Slot& passed = slots_[static_cast<std::size_t>(i)];
        if (i != current_) ahead_ -= passed.reserved;
        passed.reserved = 0;
    }
    current_ = static_cast<std::ptrdiff_t>(index);
    ahead_ -= slots_[index].reserved;
    changed_.notify_all();
}

bool FetchAhead::wait_for(std::size_t index) {
    wait_running_signals(mutex_, changed_, [&] { return slots_[index].done || active_ == 0; });
    std::lock_guard lock(mutex_);
    return slots_[index].done;
}

std::optional<HandedRead> FetchAhead::take(std::size_t number, std::size_t index,
                                           PyObject* partition) {
    // The session kept at this partition's turn; the workers find it kept.
    gate_.run([&] { keep_session(self_.get()); });
    std::size_t at;
    PyObject* read = nullptr;  // owned by its slot
    {
        std::lock_guard lock(mutex_);
        const Segment& segment = segments_[number];
        at = segment.begin + index;
        if (!segment.cancelled && at < segment.end) read = slots_[at].partition.get();
    }
    if (read == nullptr || (read != partition && !equal(read, partition))) return std::nullopt;
    move_to(at);
    if (!wait_for(at)) return std::nullopt;
    HandedRead handed;
    std::optional<PyError> meta_error;
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[at];
        std::swap(handed.meta, slot.meta);
        meta_error = std::move(slot.meta_error);
        slot.meta_error.reset();
        std::swap(handed.data_key, slot.data_key);
        handed.payload = std::move(slot.payload);
        slot.payload.reset();
    }
    if (meta_error) throw *meta_error;
    return handed;
}

// --- one category ----------------------------------------------------------------------------

CategoryReads::CategoryReads(PyObject* self, PyObject* category, PyObject* partitions,
                             PyObject* metas, bool payloads, FetchAheadLimits limits)
    : self_(Ref::borrow(self)), category_(Ref::borrow(category)) {
    if (std::optional<UpdateWindow> update = CategoryAhead::window_for(self, category)) {
        window_ = update->window;
        if (update->prepared && metas == nullptr &&
            window_->reads(*update->prepared, category, partitions, payloads)) {
            segment_ = *update->prepared;
        } else {
            if (update->prepared) window_->cancel(*update->prepared);
            segment_ = window_->append(category, partitions, metas, payloads);
        }
        update->update->segment_opened();
    } else {
        window_ = &own_.emplace(self, limits);
        segment_ = window_->append(category, partitions, metas, payloads);
    }
    outer_ = std::exchange(serving, this);
}

CategoryReads::~CategoryReads() {
    serving = outer_;
    handed_.reset();
    window_->cancel(segment_);
}

Ref CategoryReads::partition_meta(std::size_t index, PyObject* partition) {
    // The plan kept so far serves the payloads decoded ahead from now on.
    if (const PlanMemo* plans = PlanMemo::current()) window_->offer_plan(segment_, plans->kept_read());
    handed_.reset();
    handed_partition_ = Ref();
    handed_key_ = Ref();
    std::optional<HandedRead> read = window_->take(segment_, index, partition);
    if (!read) return call(self_.get(), methods::get_partition_meta, category_, partition);
    handed_key_ = std::move(read->data_key);
    handed_ = std::move(read->payload);
    handed_partition_ = Ref::borrow(partition);
    return std::move(read->meta);
}

std::optional<PayloadRead> CategoryReads::take_payload(PyObject* category, PyObject* partition,
                                                       PyObject* data_key) {
    CategoryReads* reads = serving;
    if (reads == nullptr || !reads->handed_ || !reads->handed_partition_) return std::nullopt;
    if (!equal(reads->category_.get(), category) ||
        !equal(reads->handed_partition_.get(), partition) ||
        !equal(reads->handed_key_.get(), data_key)) {
        return std::nullopt;
    }
    std::optional<PayloadRead> taken = std::move(reads->handed_);
    reads->handed_.reset();
    return taken;
}

}  // namespace corvane::sync
