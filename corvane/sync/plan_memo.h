// The plan of the last payload that the fast decoder accepted, kept per client.
//
// Partitions of one category nearly always carry byte-identical schemas and key-value
// metadata, and the plan depends on nothing else: a payload whose two footer fields equal
// the kept ones gets the kept plan without building pyarrow's schema or checking the pandas
// metadata again. One entry: a category's partitions come one after another.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "corvane/sync/footer_fields.h"
#include "corvane/sync/frame_plan.h"

namespace corvane::sync {

class PlanMemo {
public:
    // A kept plan; it holds Python objects, so it is dropped only with the GIL held.
    struct Entry {
        std::string schema;
        std::string pairs;
        FramePlan plan;
    };

    // The kept plan when the fields equal its own; null otherwise. Needs the GIL.
    std::shared_ptr<const Entry> find(const FooterFields& fields) const;
    // Keeps `plan` for payloads with these fields, in place of the one kept. Needs the GIL.
    void keep(const FooterFields& fields, const FramePlan& plan);

    // A new memo owned by a capsule, and the memo of such a capsule (null for anything else).
    static Ref new_capsule();
    static PlanMemo* of(PyObject* capsule);

private:
    // Guards `last_`; held only to copy or swap the pointer, never while calling Python.
    mutable std::mutex mutex_;
    std::shared_ptr<const Entry> last_;
};

}  // namespace corvane::sync
