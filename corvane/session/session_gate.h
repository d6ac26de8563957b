// The data session shared by threads that read ahead for one synchronisation. Each read
// starts with the session's upkeep and may have to recover from rejected credentials; run
// by several threads at once, both would post one ticket request per thread (and meet the
// service's session limit). Through the gate they run on one thread at a time: the first
// renews or re-fetches, the others then find the session usable, or see that a new session
// was made since their read failed, and read on at once. (A connection merely different from
// theirs proves nothing: the heartbeat may have published one made from a ticket that
// carries the same refused credentials.)
//
// The gate is waited for without the GIL and taken only by the threads of its
// synchronisation (the heartbeat and the caller's other threads never wait for it).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "corvane/common/nogil.h"

namespace corvane::session {

class SessionGate {
public:
    // A gate made while the calling thread has one shares that gate's lock: the threads
    // reading ahead for one category and those reading ahead for the next keep the session
    // one at a time too. Each gate is closed on its own.
    SessionGate()
        : shared_(current_ != nullptr ? current_->shared_ : std::make_shared<Shared>()) {}
    SessionGate(const SessionGate&) = delete;
    SessionGate& operator=(const SessionGate&) = delete;

    // The gate of the calling thread while a Scope is alive, or null.
    static SessionGate* current() noexcept { return current_; }

    // Makes `gate` the calling thread's gate for the Scope's lifetime.
    class Scope {
    public:
        explicit Scope(SessionGate& gate) noexcept : outer_(std::exchange(current_, &gate)) {}
        ~Scope() { current_ = outer_; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        SessionGate* outer_;
    };

    // Runs `body` holding the gate; needs the GIL, which it lets go while waiting. A thread
    // that already holds the gate runs `body` at once.
    template <typename Body>
    void run(Body&& body) {
        std::mutex& gate_lock = shared_->lock;
        if (held_ == &gate_lock) return body();
        {
            ReleasedGil nogil;
            gate_lock.lock();
        }
        const std::lock_guard lock(gate_lock, std::adopt_lock);
        held_ = &gate_lock;
        struct Unhold {
            ~Unhold() { held_ = nullptr; }
        } unhold;
        body();
    }

    // How many new sessions the threads sharing the lock have made; a read notes it before
    // it tries, so that after its failure it knows whether another thread recovered since.
    std::uint64_t sessions_made() const noexcept { return shared_->sessions_made.load(); }
    void session_made() noexcept { shared_->sessions_made.fetch_add(1); }

    // From now on the reads give up instead of pausing for another attempt.
    void close() noexcept { closed_.store(true); }
    bool closed() const noexcept { return closed_.load(); }

private:
    struct Shared {
        std::mutex lock;
        std::atomic<std::uint64_t> sessions_made{0};
    };
    std::shared_ptr<Shared> shared_;
    std::atomic<bool> closed_{false};
    static inline thread_local SessionGate* current_ = nullptr;
    static inline thread_local std::mutex* held_ = nullptr;  // the lock this thread holds
};

// Runs `body` through the calling thread's gate, or at once on a thread without one.
template <typename Body>
void through_gate(Body&& body) {
    if (SessionGate* gate = SessionGate::current()) return gate->run(body);
    body();
}

}  // namespace corvane::session
