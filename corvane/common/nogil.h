// Lets other Python threads run while the current one blocks in native code.
#pragma once

#include "corvane/common/ref.h"

namespace corvane {

// Releases the GIL for its lifetime; the code inside must not touch any Python object
// (except memory it was handed beforehand and nobody else can reach).
class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()), outer_(std::exchange(current_, state_)) {}
    ~ReleasedGil() {
        current_ = outer_;
        PyEval_RestoreThread(state_);
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    friend class ReacquiredGil;
    PyThreadState* state_;
    PyThreadState* outer_;
    // The thread state that the innermost ReleasedGil of this thread saved.
    static inline thread_local PyThreadState* current_ = nullptr;
};

// Takes the GIL back for its lifetime, inside a ReleasedGil of the same thread (for
// example to run signal handlers from a blocking wait).
class ReacquiredGil {
public:
    ReacquiredGil() noexcept { PyEval_RestoreThread(ReleasedGil::current_); }
    ~ReacquiredGil() { PyEval_SaveThread(); }
    ReacquiredGil(const ReacquiredGil&) = delete;
    ReacquiredGil& operator=(const ReacquiredGil&) = delete;
};

}  // namespace corvane
