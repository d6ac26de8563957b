#include "corvane/sync/plan_memo.h"

#include <algorithm>
#include <new>
#include <utility>

namespace corvane::sync {

namespace {

thread_local PlanMemo* serving = nullptr;

bool same_bytes(const std::string& kept, std::span<const std::uint8_t> bytes) {
    return kept.size() == bytes.size() &&
           std::equal(bytes.begin(), bytes.end(), reinterpret_cast<const std::uint8_t*>(kept.data()));
}

std::string copied(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

PlanMemo::PlanMemo() noexcept : outer_(std::exchange(serving, this)) {}

PlanMemo::~PlanMemo() { serving = outer_; }

PlanMemo* PlanMemo::current() noexcept { return serving; }

bool PlanMemo::KeptRead::matches(const FooterFields& fields) const {
    return same_bytes(schema, fields.schema) && same_bytes(pairs, fields.pairs);
}

std::shared_ptr<const PlanMemo::Entry> PlanMemo::find(const FooterFields& fields) const {
    if (!last_ || !last_->read->matches(fields)) return nullptr;
    return last_;
}

void PlanMemo::keep(const FooterFields& fields, const FramePlan& plan) {
    try {
        auto read = std::make_shared<const KeptRead>(KeptRead{copied(fields.schema), copied(fields.pairs), plan.read});
        last_ = std::make_shared<const Entry>(Entry{std::move(read), plan.labels});
    } catch (const std::bad_alloc&) {
        last_.reset();  // only the next payload's planning is lost
    }
}

}  // namespace corvane::sync
