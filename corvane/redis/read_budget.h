// How a reader outside this module bounds the memory of the values that its threads read
// ahead of their use, and abandons their reads.
//
// A thread that reads ahead puts a capsule holding its ReadBudget into its thread state
// dictionary under kReadBudgetKey. A GET on that thread then asks the budget for room once
// the reply's length is known and before the value is allocated, and gives up every wait on
// the network once the budget's stop descriptor is readable. Plain C types: the two
// extension modules share nothing but this layout.
#pragma once

#include <cstddef>

#include <poll.h>

#include "corvane/common/ref.h"

namespace corvane::redis {

struct ReadBudget {
    // Blocks, without the GIL, until a value of `length` bytes may be received; false when
    // the reads are being stopped.
    bool (*reserve)(ReadBudget* budget, std::size_t length);
    // Becomes readable, and stays so, once the reads are being stopped.
    int stop_fd;
};

inline constexpr const char* kReadBudgetKey = "corvane._redis.read_budget";
inline constexpr const char* kReadBudgetCapsule = "corvane._redis.ReadBudget";

// The budget of the current thread, or null. Needs the GIL.
inline ReadBudget* current_read_budget() noexcept {
    PyObject* dict = PyThreadState_GetDict();
    if (dict == nullptr) return nullptr;
    PyObject* capsule = PyDict_GetItemString(dict, kReadBudgetKey);
    if (capsule == nullptr || !PyCapsule_IsValid(capsule, kReadBudgetCapsule)) return nullptr;
    return static_cast<ReadBudget*>(PyCapsule_GetPointer(capsule, kReadBudgetCapsule));
}

// True when the reads of the calling thread's budget are being stopped. Needs the GIL.
inline bool read_budget_stopped() noexcept {
    const ReadBudget* budget = current_read_budget();
    if (budget == nullptr || budget->stop_fd < 0) return false;
    pollfd watched{budget->stop_fd, POLLIN, 0};
    return ::poll(&watched, 1, 0) > 0;
}

}  // namespace corvane::redis
