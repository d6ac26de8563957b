#include "corvane/sync/category_ahead.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include <pthread.h>

#include "corvane/common/method.h"
#include "corvane/common/nogil.h"
#include "corvane/session/metadata.h"
#include "corvane/sync/category_sync.h"
#include "corvane/sync/installed_budget.h"
#include "corvane/sync/partition_filter.h"
#include "corvane/transport/validators.h"
#include "corvane/sync/read_ahead.h"

namespace corvane::sync {

namespace {

// The update whose categories the calling thread synchronises.
thread_local CategoryAhead* serving = nullptr;

// True when the instance's methods that a category's synchronisation runs through are the
// client's own: only then is the metadata read ahead where the default body would read it.
bool reads_categories_by_default(PyObject* self) {
    return is_default<methods::sync_category>(bound(self, methods::sync_category).get()) &&
           is_default<methods::sync_pivot_category>(bound(self, methods::sync_pivot_category).get()) &&
           is_default<methods::sync_unstack_category>(bound(self, methods::sync_unstack_category).get()) &&
           is_default<methods::get_category_meta>(bound(self, methods::get_category_meta).get());
}

// True when the methods that choose a pivot category's partitions are the client's own, so
// that choosing them ahead calls nothing a plain update would not, and chooses the same.
bool chooses_partitions_by_default(PyObject* self) {
    return is_default<methods::validate_category_name>(bound(self, methods::validate_category_name).get()) &&
           is_default<methods::validate_partition_name>(bound(self, methods::validate_partition_name).get()) &&
           is_default<methods::filter_partitions_by_date>(bound(self, methods::filter_partitions_by_date).get());
}

}  // namespace


// One category's metadata, read on a thread of its own. Its result is written by that
// thread (with the GIL and the mutex) and read by the caller's thread once `done_`.
class CategoryAhead::Read {
public:
    Read(PyObject* self, PyObject* category, const Prediction* prediction)
        : self_(Ref::borrow(self)), category_(Ref::borrow(category)), prediction_(prediction) {
        budget_.reserve = &Read::reserve;
        budget_.stop_fd = stop_.fd();
        budget_.owner = this;
        try {
            if (stop_.valid()) thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
        }
        // Without a thread nothing is read here: the category's turn reads it itself.
        done_ = !thread_.joinable();
    }
    ~Read() {
        stopping_.store(true);
        gate_.close();
        stop_.raise();  // wakes the read's waits on the network
        if (thread_.joinable()) {
            ReleasedGil nogil;
            thread_.join();
        }
        if (segment_) prediction_->window->cancel(*segment_);
    }
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;

    bool is_for(PyObject* category) const { return equal(category_.get(), category); }

    // The metadata read, or its error raised now; nothing when it could not be read here.
    // Waits without the GIL and runs the signal handlers meanwhile.
    std::optional<Ref> result() {
        wait_running_signals(mutex_, changed_, [&] { return done_; });
        if (error_) throw *error_;
        if (!meta_) return std::nullopt;
        return std::move(meta_);
    }

    // The category's partitions read ahead: their segment, handed over once. Only once the
    // metadata has been taken.
    std::optional<std::size_t> take_segment() { return std::exchange(segment_, std::nullopt); }

    // The partitions of the category before are in the window: this one's may follow, now
    // or once chosen.
    void allow_segment() {
        std::lock_guard lock(mutex_);
        may_append_ = true;
        if (done_) append_chosen();
    }

private:
    struct Budget : redis::ReadBudget {
        Read* owner;
    };

    // Metadata is small and outside the payload window: only a stop refuses it.
    static bool reserve(redis::ReadBudget* budget, std::size_t) {
        return !static_cast<Budget*>(budget)->owner->stopping_.load();
    }

    // Appends the chosen partitions to the window, once. Under the mutex, with the GIL.
    void append_chosen() noexcept {
        if (!may_append_ || !chosen_ || segment_) return;
        try {
            segment_ = prediction_->window->append(category_.get(), chosen_.get(), nullptr, payloads_);
        } catch (const PyError&) {
            // Not read ahead: the category's turn reads its partitions.
        } catch (const std::exception&) {
        }
        chosen_ = Ref();
    }

    // The partitions that the category's turn will choose from `meta`; null when they
    // cannot be told now (the turn then meets whatever stands in the way itself).
    void choose(PyObject* meta) noexcept {
        if (prediction_ == nullptr) return;
        try {
            chosen_ = chosen_partitions(prediction_->module.get(), self_.get(), category_.get(),
                                        meta, prediction_->start.get());
            payloads_ = downloads_by_default(self_.get());
        } catch (const PyError&) {
            chosen_ = Ref();
        } catch (const std::exception&) {
            chosen_ = Ref();
        }
    }

    void run() {
        pthread_setname_np(pthread_self(), "corvane-fetch");
        const PyGILState_STATE gil = PyGILState_Ensure();
        {
            Ref meta;
            std::optional<PyError> error;
            {
                const session::SessionGate::Scope gate_scope(gate_);
                const InstalledBudget installed(&budget_);
                if (installed) {
                    try {
                        meta = call(self_.get(), methods::get_category_meta, category_);
                    } catch (const PyError& failure) {
                        error = failure;
                    } catch (const std::exception&) {
                        PyErr_NoMemory();
                        error = PyError::fetch();
                    }
                }
            }
            if (meta) choose(meta.get());
            std::lock_guard lock(mutex_);
            std::swap(meta_, meta);
            error_ = std::move(error);
            done_ = true;
            append_chosen();
        }
        changed_.notify_all();
        PyGILState_Release(gil);
    }

    Ref self_;
    Ref category_;
    const Prediction* prediction_;  // null: the partitions are not read ahead
    Ref chosen_;                    // the partitions chosen, until appended
    bool payloads_ = false;
    bool may_append_ = false;
    std::optional<std::size_t> segment_;
    session::SessionGate gate_;  // shares the update's lock, closed on its own
    std::atomic<bool> stopping_{false};
    StopSignal stop_;
    Budget budget_{};

    std::mutex mutex_;
    std::condition_variable changed_;
    Ref meta_;
    std::optional<PyError> error_;
    bool done_ = false;

    std::thread thread_;
};

CategoryAhead::CategoryAhead(PyObject* module, PyObject* self, PyObject* categories,
                             PyObject* start, bool only_changed)
    : self_(Ref::borrow(self)), outer_(std::exchange(serving, this)) {
    try {
        if (PyList_Check(categories) && reads_categories_by_default(self)) {
            categories_ = Ref::borrow(categories);
            gate_.emplace();
            gate_scope_.emplace(*gate_);
            window_.emplace(self, fetch_ahead_limits(self));
            if (!only_changed && chooses_partitions_by_default(self)) {
                prediction_.emplace(Prediction{Ref::borrow(module), Ref::borrow(start), &*window_});
            }
        }
    } catch (...) {
        window_.reset();
        gate_scope_.reset();
        serving = outer_;
        throw;
    }
}

CategoryAhead::~CategoryAhead() {
    current_.reset();
    next_.reset();
    cancel_prepared();
    window_.reset();
    gate_scope_.reset();
    serving = outer_;
}

void CategoryAhead::cancel_prepared() {
    if (prepared_) window_->cancel(*prepared_);
    prepared_.reset();
    prepared_category_ = Ref();
}

void CategoryAhead::begin(Py_ssize_t index, PyObject* category) {
    current_.reset();
    cancel_prepared();  // the category before did not take its partitions over
    if (!categories_) return;
    if (next_ && next_->is_for(category)) current_ = std::move(next_);
    next_.reset();
    // The list may have changed meanwhile: the next one is whatever follows now.
    if (index + 1 < PyList_GET_SIZE(categories_.get())) {
        Ref following = Ref::borrow(PyList_GET_ITEM(categories_.get(), index + 1));
        if (PyUnicode_Check(following.get())) {
            next_ = std::make_unique<Read>(self_.get(), following.get(),
                                           prediction_ ? &*prediction_ : nullptr);
        }
    }
}

void CategoryAhead::segment_opened() {
    if (next_) next_->allow_segment();
}

std::optional<Ref> CategoryAhead::take(PyObject* category) {
    if (!current_ || !current_->is_for(category)) return std::nullopt;
    const std::unique_ptr<Read> read = std::move(current_);
    // The session kept at the category's turn.
    session::through_gate([&] { keep_session(self_.get()); });
    std::optional<Ref> meta = read->result();
    if (meta) {
        prepared_ = read->take_segment();
        if (prepared_) prepared_category_ = Ref::borrow(category);
    }
    return meta;
}

Ref CategoryAhead::category_meta(PyObject* self, PyObject* category) {
    if (CategoryAhead* ahead = serving; ahead != nullptr && ahead->self_.get() == self) {
        if (std::optional<Ref> meta = ahead->take(category)) return std::move(*meta);
    }
    return call(self, methods::get_category_meta, category);
}

std::optional<UpdateWindow> CategoryAhead::window_for(PyObject* self, PyObject* category) {
    CategoryAhead* ahead = serving;
    if (ahead == nullptr || ahead->self_.get() != self || !ahead->window_) return std::nullopt;
    UpdateWindow update{ahead, &*ahead->window_, std::nullopt};
    if (ahead->prepared_ && equal(ahead->prepared_category_.get(), category)) {
        update.prepared = std::exchange(ahead->prepared_, std::nullopt);
        ahead->prepared_category_ = Ref();
    }
    return update;
}

}  // namespace corvane::sync
