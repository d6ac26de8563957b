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

}  // namespace

// One category's metadata, read on a thread of its own. Its result is written by that
// thread (with the GIL and the mutex) and read by the caller's thread once `done_`.
class CategoryAhead::Read {
public:
    Read(PyObject* self, PyObject* category)
        : self_(Ref::borrow(self)), category_(Ref::borrow(category)) {
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

private:
    struct Budget : redis::ReadBudget {
        Read* owner;
    };

    // Metadata is small and outside the payload window: only a stop refuses it.
    static bool reserve(redis::ReadBudget* budget, std::size_t) {
        return !static_cast<Budget*>(budget)->owner->stopping_.load();
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
            std::lock_guard lock(mutex_);
            std::swap(meta_, meta);
            error_ = std::move(error);
            done_ = true;
        }
        changed_.notify_all();
        PyGILState_Release(gil);
    }

    Ref self_;
    Ref category_;
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

CategoryAhead::CategoryAhead(PyObject* self, PyObject* categories)
    : self_(Ref::borrow(self)), outer_(std::exchange(serving, this)) {
    try {
        if (PyList_Check(categories) && reads_categories_by_default(self)) {
            categories_ = Ref::borrow(categories);
            gate_.emplace();
            gate_scope_.emplace(*gate_);
        }
    } catch (...) {
        serving = outer_;
        throw;
    }
}

CategoryAhead::~CategoryAhead() {
    current_.reset();
    next_.reset();
    gate_scope_.reset();
    serving = outer_;
}

void CategoryAhead::begin(Py_ssize_t index, PyObject* category) {
    current_.reset();
    if (!categories_) return;
    if (next_ && next_->is_for(category)) current_ = std::move(next_);
    next_.reset();
    // The list may have changed meanwhile: the next one is whatever follows now.
    if (index + 1 < PyList_GET_SIZE(categories_.get())) {
        Ref following = Ref::borrow(PyList_GET_ITEM(categories_.get(), index + 1));
        if (PyUnicode_Check(following.get())) next_ = std::make_unique<Read>(self_.get(), following.get());
    }
}

std::optional<Ref> CategoryAhead::take(PyObject* category) {
    if (!current_ || !current_->is_for(category)) return std::nullopt;
    const std::unique_ptr<Read> read = std::move(current_);
    // The session kept at the category's turn.
    session::through_gate([&] { keep_session(self_.get()); });
    return read->result();
}

Ref CategoryAhead::category_meta(PyObject* self, PyObject* category) {
    if (CategoryAhead* ahead = serving; ahead != nullptr && ahead->self_.get() == self) {
        if (std::optional<Ref> meta = ahead->take(category)) return std::move(*meta);
    }
    return call(self, methods::get_category_meta, category);
}

}  // namespace corvane::sync
