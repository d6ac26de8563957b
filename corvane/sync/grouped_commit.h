// The partitions of a pivot synchronisation made durable in groups rather than one by one.
//
// With the store's durability group (`_durability_group`) and the client's own
// `_write_local_hash`, the store call and the hash-record call of each partition still happen
// in partition order, with the same arguments as ever; what waits is the disk: the store keeps
// the partitions' data files back until the group commits, and the hash records written
// meanwhile are kept here and written after that commit, so that a record never names rows
// that are not durable. A commit comes every few partitions, at the end of the partitions and
// after a failure (the partitions stored before it keep their records); the completion record
// follows the last one. A replaced `_write_local_hash`, or a store without the group, gets
// each partition durable before the record call, as it always did.
#pragma once

#include <chrono>
#include <cstddef>
#include <utility>
#include <vector>

#include "corvane/common/ref.h"

namespace corvane::sync {

class GroupedCommit {
public:
    // Opens the group of `store` when the records are the client's own. Needs the GIL.
    GroupedCommit(PyObject* module, PyObject* self, PyObject* store);
    // With the group still open (a failure ends the category): commits it, so that the
    // partitions stored before the failure keep their records, as `finish` does; a failure
    // of that commit leaves their records unwritten and does not replace the first one.
    ~GroupedCommit();
    GroupedCommit(const GroupedCommit&) = delete;
    GroupedCommit& operator=(const GroupedCommit&) = delete;

    // After each partition's store and record calls: commits when the group is full.
    void stored();
    // After the last partition: commits and ends the group.
    void finish();

    // For `_write_local_hash`: keeps the record for the commit when a group of client `self`
    // is open on this thread (true), else leaves it to be written now (false).
    static bool keep_record(PyObject* self, PyObject* path, PyObject* content);

private:
    // group.<how>() (commit or close), then the records kept until it.
    void commit(PyObject* group, const char* how);

    PyObject* module_;
    PyObject* self_;
    Ref group_;  // the store's group; null when the partitions are made durable one by one
    std::vector<std::pair<Ref, Ref>> records_;  // (path, hash text) of the stored partitions
    std::size_t uncommitted_ = 0;
    std::chrono::steady_clock::time_point since_;  // the first uncommitted partition stored
    std::chrono::steady_clock::time_point last_;   // the last partition stored (or the start)
    GroupedCommit* outer_;
};

}  // namespace corvane::sync
