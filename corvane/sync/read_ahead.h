// What the two read-aheads of an update share (a category's partitions, FetchAhead; the next
// category's metadata, CategoryAhead): the stop signal that their reads' network waits watch,
// the caller's wait for a read, and the session upkeep at a read's turn.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include <sys/eventfd.h>
#include <unistd.h>

#include "corvane/common/method.h"
#include "corvane/common/nogil.h"
#include "corvane/session/upkeep.h"

namespace corvane::sync {

// An eventfd that stays readable once raised, so that every network wait watching it ends.
class StopSignal {
public:
    StopSignal() noexcept : fd_(eventfd(0, EFD_CLOEXEC)) {}
    ~StopSignal() {
        if (fd_ >= 0) ::close(fd_);
    }
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool valid() const noexcept { return fd_ >= 0; }
    int fd() const noexcept { return fd_; }
    void raise() const noexcept {
        if (fd_ < 0) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
    }

private:
    int fd_;
};

// Waits, without the GIL, until `ready()` holds under `mutex`; every 50 ms in between the
// signal handlers run, so that Ctrl-C raises here.
template <typename Ready>
void wait_running_signals(std::mutex& mutex, std::condition_variable& changed, Ready&& ready) {
    for (;;) {
        {
            ReleasedGil nogil;
            std::unique_lock lock(mutex);
            if (changed.wait_for(lock, std::chrono::milliseconds(50), ready)) return;
        }
        if (PyErr_CheckSignals() != 0) throw_current();
    }
}

// The renewal or re-establishment of the session at a read's turn, as the read itself would
// have run it. An ordinary failure is left to the read, which meets the same session and
// reports it as its own.
inline void keep_session(PyObject* self) {
    try {
        call(self, methods::ensure_connection);
    } catch (const PyError& failure) {
        if (!failure.matches(PyExc_Exception)) throw;
    }
}

}  // namespace corvane::sync
