#include "corvane/sync/grouped_commit.h"

#include "corvane/common/call.h"
#include "corvane/common/method.h"
#include "corvane/common/quietly.h"
#include "corvane/sync/hash_records.h"

namespace corvane::sync {

namespace {

// A group commits after this many partitions, or once its first uncommitted partition is
// this old, or after a partition that alone took that long (the next one likely will too):
// the category stays locked for other processes until the commit, and a kill loses at most
// this much work (the files held back and their records; never a record without its rows).
constexpr std::size_t kGroupPartitions = 32;
constexpr std::chrono::milliseconds kGroupAge{500};

thread_local GroupedCommit* open_commit = nullptr;

}  // namespace

GroupedCommit::GroupedCommit(PyObject* module, PyObject* self, PyObject* store)
    : module_(module), self_(self), last_(std::chrono::steady_clock::now()), outer_(open_commit) {
    if (!is_default<methods::write_local_hash>(bound(self, methods::write_local_hash).get())) return;
    Ref open = getattr_optional(store, "_durability_group");
    if (!open) return;
    group_ = call(open.get());
    open_commit = this;
}

GroupedCommit::~GroupedCommit() {
    // Unwinding from the failure that ends the category: the partitions stored before it are
    // made durable and keep their records; a failure of that is not the one to report.
    if (group_) quietly([&] { finish(); }, PyExc_BaseException);
}

void GroupedCommit::stored() {
    if (!group_) return;
    const auto now = std::chrono::steady_clock::now();
    const auto taken = now - std::exchange(last_, now);
    if (uncommitted_++ == 0) since_ = now;
    if (uncommitted_ < kGroupPartitions && now - since_ < kGroupAge && taken < kGroupAge) return;
    commit(group_.get(), "commit");
    uncommitted_ = 0;
}

void GroupedCommit::finish() {
    if (!group_) return;
    open_commit = outer_;
    Ref group = std::move(group_);  // the group ends even when its close fails
    commit(group.get(), "close");
}

void GroupedCommit::commit(PyObject* group, const char* how) {
    // Taken first: when the commit fails, no record of its partitions is ever written.
    std::vector<std::pair<Ref, Ref>> records = std::move(records_);
    records_.clear();
    call_method(group, how);
    for (const auto& [path, content] : records) {
        replace_file_atomically(module_, path.get(), content.get(), false);
    }
}

bool GroupedCommit::keep_record(PyObject* self, PyObject* path, PyObject* content) {
    if (open_commit == nullptr || open_commit->self_ != self) return false;
    open_commit->records_.emplace_back(Ref::borrow(path), Ref::borrow(content));
    return true;
}

}  // namespace corvane::sync
