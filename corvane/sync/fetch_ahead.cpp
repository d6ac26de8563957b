#include "corvane/sync/fetch_ahead.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <pthread.h>

#include "corvane/common/nogil.h"
#include "corvane/session/metadata.h"
#include "corvane/sync/installed_budget.h"

namespace corvane::sync {

namespace {

constexpr Py_ssize_t kMaxDataKeyLength = 1024;

// The read-ahead whose partitions the calling thread processes.
thread_local FetchAhead* serving = nullptr;

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

// One partition. `partition` is fixed at construction; the rest is written by the slot's
// worker (with the GIL and the mutex) and read by the caller's thread once `done`.
struct FetchAhead::Slot {
    Ref partition;
    Ref meta;
    std::optional<PyError> meta_error;
    Ref data_key;
    std::optional<PayloadRead> payload;
    std::size_t reserved = 0;
    bool granted = false;
    bool done = false;
};

// What a worker's GETs consult: the window, for the slot that the worker reads.
struct FetchAhead::WorkerBudget : redis::ReadBudget {
    FetchAhead* owner;
    std::size_t slot;
    bool payload;  // false while the metadata is read: small values, outside the window
};

FetchAhead::FetchAhead(PyObject* self, PyObject* category, PyObject* partitions, PyObject* metas,
                       bool payloads, FetchAheadLimits limits)
    : self_(Ref::borrow(self)),
      category_(Ref::borrow(category)),
      known_metas_(metas != nullptr ? Ref::borrow(metas) : Ref()),
      payloads_(payloads),
      limits_(limits),
      gate_scope_(gate_),
      outer_(std::exchange(serving, this)) {
    struct Undo {
        FetchAhead* self;
        bool armed = true;
        ~Undo() {
            if (armed) serving = self->outer_;
        }
    } undo{this};
    if (!stop_.valid()) throw_format(PyExc_OSError, "eventfd failed (errno %d)", errno);
    const Py_ssize_t count = PyList_GET_SIZE(partitions);
    slots_.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        slots_[static_cast<std::size_t>(i)].partition = Ref::borrow(PyList_GET_ITEM(partitions, i));
    }
    const std::size_t workers = std::min(limits_.workers, slots_.size());
    try {
        for (std::size_t i = 0; i < workers; ++i) {
            workers_.emplace_back([this] { work(); });
            std::lock_guard lock(mutex_);
            ++active_;
        }
    } catch (const std::system_error&) {
        // Fewer workers read more slowly; with none, the caller's thread reads each itself.
    }
    undo.armed = false;
}

FetchAhead::~FetchAhead() {
    stop();
    {
        ReleasedGil nogil;
        for (std::thread& worker : workers_) worker.join();
    }
    serving = outer_;
}

void FetchAhead::stop() noexcept {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    gate_.close();
    stop_.raise();  // wakes every wait of the workers on the network
    changed_.notify_all();
}

std::size_t FetchAhead::peak_bytes() const {
    std::lock_guard lock(mutex_);
    return peak_;
}

// --- workers ----------------------------------------------------------------------------

void FetchAhead::work() {
    // Named, so that a look at the process (or a test) finds them.
    pthread_setname_np(pthread_self(), "corvane-fetch");
    const PyGILState_STATE gil = PyGILState_Ensure();
    {
        WorkerBudget budget{};
        budget.reserve = &FetchAhead::reserve_for;
        budget.stop_fd = stop_.fd();
        budget.owner = this;
        const session::SessionGate::Scope gate_scope(gate_);
        const InstalledBudget installed(&budget);
        if (installed) {
            for (;;) {
                std::size_t index;
                {
                    std::lock_guard lock(mutex_);
                    if (stopping_ || next_claim_ == slots_.size()) break;
                    index = next_claim_++;
                }
                budget.slot = index;
                try {
                    read_slot(index, budget);
                } catch (const std::exception&) {
                    // Out of memory: the partition's turn raises it.
                    PyErr_NoMemory();
                    std::optional<PyError> failure(PyError::fetch());
                    std::lock_guard lock(mutex_);
                    slots_[index].meta_error = std::move(failure);
                    slots_[index].done = true;
                    advance_settled();
                }
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
    PyObject* partition = slots_[index].partition.get();
    budget.payload = false;
    Ref meta;
    std::optional<PyError> meta_error;
    if (known_metas_) {
        meta = Ref::borrow(PyList_GET_ITEM(known_metas_.get(), static_cast<Py_ssize_t>(index)));
    } else {
        try {
            meta = call(self_.get(), methods::get_partition_meta, category_, partition);
        } catch (const PyError& failure) {
            meta_error = failure;
        }
    }
    Ref data_key;
    std::optional<PayloadRead> payload;
    try {
        if (meta && payloads_) data_key = partition_data_key(meta.get());
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
    }
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index];
        std::swap(slot.meta, meta);
        slot.meta_error = std::move(meta_error);
        std::swap(slot.data_key, data_key);
        slot.payload = std::move(payload);
        slot.done = true;
        advance_settled();
    }
    changed_.notify_all();
}

// --- the byte window ----------------------------------------------------------------------

bool FetchAhead::reserve_for(redis::ReadBudget* budget, std::size_t length) {
    auto* worker = static_cast<WorkerBudget*>(budget);
    if (!worker->payload) {
        std::lock_guard lock(worker->owner->mutex_);
        return !worker->owner->stopping_;
    }
    return worker->owner->reserve(worker->slot, length);
}

bool FetchAhead::reserve(std::size_t index, std::size_t length) {
    std::unique_lock lock(mutex_);
    Slot& slot = slots_[index];
    if (slot.granted) {
        // Another attempt of the same read: it takes the room of the first one. Waiting
        // here could wait for partitions after it, which wait for this one.
        if (is_ahead(index)) {
            ahead_ = ahead_ - slot.reserved + length;
            peak_ = std::max(peak_, ahead_);
        }
        slot.reserved = length;
        return !stopping_;
    }
    changed_.wait(lock, [&] { return stopping_ || grantable(index, length); });
    if (stopping_) return false;
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

// Grants go in partition order, so that later partitions never fill the window while an
// earlier one waits for room.
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
    while (settled_ < slots_.size() && (slots_[settled_].granted || slots_[settled_].done)) {
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

Ref FetchAhead::partition_meta(std::size_t index, PyObject* partition) {
    handed_.reset();
    handed_partition_ = Ref();
    handed_key_ = Ref();
    // The session kept at this partition's turn; the workers find it kept.
    gate_.run([&] { keep_session(self_.get()); });
    const bool read_ahead = index < slots_.size() &&
                            (slots_[index].partition.get() == partition ||
                             equal(slots_[index].partition.get(), partition));
    if (read_ahead) move_to(index);
    if (!read_ahead || !wait_for(index)) {
        return call(self_.get(), methods::get_partition_meta, category_, partition);
    }
    Ref meta;
    std::optional<PyError> meta_error;
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index];
        std::swap(meta, slot.meta);
        meta_error = std::move(slot.meta_error);
        std::swap(handed_key_, slot.data_key);
        handed_ = std::move(slot.payload);
        slot.payload.reset();
    }
    if (meta_error) throw *meta_error;
    handed_partition_ = Ref::borrow(partition);
    return meta;
}

std::optional<PayloadRead> FetchAhead::take_payload(PyObject* category, PyObject* partition,
                                                    PyObject* data_key) {
    FetchAhead* ahead = serving;
    if (ahead == nullptr || !ahead->handed_ || !ahead->handed_partition_) return std::nullopt;
    if (!equal(ahead->category_.get(), category) ||
        !equal(ahead->handed_partition_.get(), partition) ||
        !equal(ahead->handed_key_.get(), data_key)) {
        return std::nullopt;
    }
    std::optional<PayloadRead> taken = std::move(ahead->handed_);
    ahead->handed_.reset();
    return taken;
}

}  // namespace corvane::sync
