// Clean-up steps whose own failure must not take the place of the one being handled, or
// abort a release that has further steps to take.
#pragma once

#include "corvane/common/call.h"

namespace corvane {

// Runs `step`, ignoring a failure that is an instance of `ignored`; any other propagates.
template <typename Step>
void quietly(Step&& step, PyObject* ignored = PyExc_Exception) {
    try {
        step();
    } catch (const PyError& failure) {
        if (!failure.matches(ignored)) throw;
    }
}

// obj.close(), ignoring a failure that is an instance of `ignored`.
inline void close_quietly(PyObject* obj, PyObject* ignored = PyExc_Exception) {
    quietly([&] { call_method(obj, "close"); }, ignored);
}

}  // namespace corvane
