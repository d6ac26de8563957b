// A read budget put into the calling thread's state, so that the GETs of that thread
// consult it (see corvane/redis/read_budget.h), and taken out again.
#pragma once

#include "corvane/redis/read_budget.h"

namespace corvane::sync {

class InstalledBudget {
public:
    // Needs the GIL, as the destructor does.
    explicit InstalledBudget(redis::ReadBudget* budget) noexcept {
        PyObject* state = PyThreadState_GetDict();
        PyObject* capsule =
            state != nullptr ? PyCapsule_New(budget, redis::kReadBudgetCapsule, nullptr) : nullptr;
        if (capsule != nullptr && PyDict_SetItemString(state, redis::kReadBudgetKey, capsule) == 0) {
            state_ = state;
        } else {
            PyErr_Clear();
        }
        Py_XDECREF(capsule);
    }
    ~InstalledBudget() {
        if (state_ != nullptr && PyDict_DelItemString(state_, redis::kReadBudgetKey) != 0) PyErr_Clear();
    }
    InstalledBudget(const InstalledBudget&) = delete;
    InstalledBudget& operator=(const InstalledBudget&) = delete;

    // False when it could not be installed: the thread's reads would be unbounded and
    // could not be stopped, so it reads nothing.
    explicit operator bool() const noexcept { return state_ != nullptr; }

private:
    PyObject* state_ = nullptr;
};

}  // namespace corvane::sync
