// Per-category records of the last synchronisation: one that it is under way (with the start
// date it was given) and one that it completed, so that a category left partly stored by a
// synchronisation that died or failed is never read as if it were whole.
#pragma once

#include "corvane/common/ref.h"

namespace corvane::sync {

// One synchronisation of a category. Constructing it records, durably, that the
// synchronisation is under way; complete() records that it completed, once the category's
// last partition and hash record are stored.
class SyncRun {
public:
    // `start`: the start date as `_sync_category` got it (None: the whole category).
    SyncRun(PyObject* module, PyObject* self, PyObject* category, PyObject* start);
    SyncRun(const SyncRun&) = delete;
    SyncRun& operator=(const SyncRun&) = delete;

    void complete();

private:
    PyObject* module_;
    Ref completed_path_;
    Ref run_;
    // Whether this synchronisation reaches back as far as every one it follows that did not
    // complete; only then does its completion make the category whole again.
    bool covers_interrupted_;
};

// The start date ("YYYY-MM-DD", or None for the whole category) from which the last
// synchronisation of `category` has to be done again because it did not complete; a null Ref
// when it completed, or when the category has no records at all (stored by an older client).
Ref interrupted_start(PyObject* module, PyObject* self, PyObject* category);

}  // namespace corvane::sync
