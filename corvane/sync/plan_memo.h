// The plan of the last payload that the fast decoder accepted while categories synchronise.
//
// Partitions of one category nearly always carry byte-identical schemas and key-value
// metadata, and the plan depends on nothing else: a payload whose two footer fields equal
// the kept ones gets the kept plan without building pyarrow's schema or checking the pandas
// metadata again. One entry: the category's partitions come one after another. As the plan
// follows from those bytes alone, one kept from a payload that then fails its digest is
// still the plan of every payload with the same fields.
//
// A memo serves the thread that synchronises the category, for as long as that runs (one
// category, or every category of an update, which often share their schema bytes): the
// `_download_partition` calls of that thread see it, those of any other thread do not. Only
// the reading part of a kept plan (plain C++) goes to other threads: the read-ahead threads
// decode payloads with it, and the frame takes the labels here, if that plan is still kept.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "corvane/sync/footer_fields.h"
#include "corvane/sync/frame_plan.h"

namespace corvane::sync {

class PlanMemo {
public:
    // What the reading of the values takes from a kept plan: plain C++, which other threads
    // may hold and use without the GIL.
    struct KeptRead {
        std::string schema;
        std::string pairs;
        ReadPlan plan;
        // True when a payload with these footer fields reads with this plan.
        bool matches(const FooterFields& fields) const;
        std::span<const std::uint8_t> schema_bytes() const {
            return {reinterpret_cast<const std::uint8_t*>(schema.data()), schema.size()};
        }
    };
    // A kept plan; its labels are Python objects, so it is dropped only with the GIL held.
    struct Entry {
        std::shared_ptr<const KeptRead> read;
        FrameLabels labels;
    };

    // Makes a memo the calling thread's for its lifetime. Needs the GIL, as the destructor does.
    PlanMemo() noexcept;
    ~PlanMemo();
    PlanMemo(const PlanMemo&) = delete;
    PlanMemo& operator=(const PlanMemo&) = delete;

    // The memo of the calling thread, or null.
    static PlanMemo* current() noexcept;

    // The kept plan when the fields equal its own; null otherwise. The entry stays valid
    // for its holder, whatever is kept meanwhile (a signal handler may decode too).
    std::shared_ptr<const Entry> find(const FooterFields& fields) const;
    // The kept plan's reading part, for decoding on other threads; null when none is kept.
    std::shared_ptr<const KeptRead> kept_read() const { return last_ ? last_->read : nullptr; }
    // The kept plan whose reading part is `read`; null when it is no longer kept.
    std::shared_ptr<const Entry> kept_for(const KeptRead* read) const {
        return last_ && last_->read.get() == read ? last_ : nullptr;
    }
    // Keeps `plan` for payloads with these fields, in place of the one kept.
    void keep(const FooterFields& fields, const FramePlan& plan);

private:
    std::shared_ptr<const Entry> last_;
    PlanMemo* outer_;
};

}  // namespace corvane::sync
