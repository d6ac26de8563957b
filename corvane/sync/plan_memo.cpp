#include "corvane/sync/plan_memo.h"

#include <algorithm>
#include <new>
#include <utility>

#include "corvane/common/call.h"

namespace corvane::sync {

namespace {

constexpr const char* kCapsuleName = "corvane.CorvaneClient.PlanMemo";

bool same_bytes(const std::string& kept, std::span<const std::uint8_t> bytes) {
    return kept.size() == bytes.size() &&
           std::equal(bytes.begin(), bytes.end(), reinterpret_cast<const std::uint8_t*>(kept.data()));
}

std::string copied(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void release_capsule(PyObject* capsule) {
    delete static_cast<PlanMemo*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

std::shared_ptr<const PlanMemo::Entry> PlanMemo::find(const FooterFields& fields) const {
    std::shared_ptr<const Entry> last;
    {
        std::lock_guard lock(mutex_);
        last = last_;
    }
    if (!last || !same_bytes(last->schema, fields.schema) || !same_bytes(last->pairs, fields.pairs)) {
        return nullptr;
    }
    return last;
}

void PlanMemo::keep(const FooterFields& fields, const FramePlan& plan) {
    std::shared_ptr<const Entry> entry;
    try {
        entry = std::make_shared<const Entry>(Entry{copied(fields.schema), copied(fields.pairs), plan});
    } catch (const std::bad_alloc&) {
        return;  // only the next payload's planning is lost
    }
    // The entry let go is dropped after the lock, with the GIL still held.
    std::lock_guard lock(mutex_);
    std::swap(last_, entry);
}

Ref PlanMemo::new_capsule() {
    auto memo = std::make_unique<PlanMemo>();
    Ref capsule = check(PyCapsule_New(memo.get(), kCapsuleName, release_capsule));
    memo.release();
    return capsule;
}

PlanMemo* PlanMemo::of(PyObject* capsule) {
    if (capsule == nullptr || !PyCapsule_IsValid(capsule, kCapsuleName)) return nullptr;
    return static_cast<PlanMemo*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace corvane::sync
