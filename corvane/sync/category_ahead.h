// Reading the next category's metadata while an update synchronises the current one. Over
// a far link each category would otherwise start with a round trip of its own, the link
// idle meanwhile: its metadata is read on a thread of its own, through the client's
// `_get_category_meta`, while the category before it synchronises, and handed over when
// the category's own read of it comes (value or error, as if read then).
//
// Only when the instance's `_sync_category`, `_sync_pivot_category`,
// `_sync_unstack_category` and `_get_category_meta` are the client's own: a replaced one
// gets exactly the calls of a plain update. The next category's read is abandoned (its
// connection closed, never pooled) and its thread joined when the update fails or is
// interrupted, and when its category's turn passes without it being taken.
//
// The update then also holds the one read-ahead window of its categories' partitions
// (FetchAhead). When the methods that choose a pivot category's partitions are the
// client's own too (`_validate_category_name`, `_validate_partition_name`,
// `_filter_partitions_by_date`) and the update does not fetch only what changed, the next
// category's partitions follow the current one's in the window as soon as its metadata
// is read: its turn takes them over when it chooses the same partitions.
#pragma once

#include <memory>
#include <optional>

#include "corvane/common/ref.h"
#include "corvane/session/session_gate.h"
#include "corvane/sync/fetch_ahead.h"

namespace corvane::sync {

class CategoryAhead;

// The read-ahead window of an update, for one category's turn.
struct UpdateWindow {
    CategoryAhead* update;
    FetchAhead* window;
    std::optional<std::size_t> prepared;  // the segment read ahead for the category
};

class CategoryAhead {
public:
    // For an update of `self` over `categories` (read ahead only when it is a list) from
    // `start` (None: every partition); `only_changed` as the update's mode says.
    CategoryAhead(PyObject* module, PyObject* self, PyObject* categories, PyObject* start,
                  bool only_changed);
    // Stops the read in flight and joins its thread. Needs the GIL.
    ~CategoryAhead();
    CategoryAhead(const CategoryAhead&) = delete;
    CategoryAhead& operator=(const CategoryAhead&) = delete;

    // The `index`-th category's turn has come: the metadata read ahead for it is the one
    // handed over, and the next category's read starts.
    void begin(Py_ssize_t index, PyObject* category);

    // The metadata of `category`: what the calling thread's update read ahead for it, or
    // its error raised now; otherwise `_get_category_meta` called now.
    static Ref category_meta(PyObject* self, PyObject* category);

    // The window of the calling thread's update of `self`, with the segment read ahead for
    // `category` (handed over once); nothing outside such an update.
    static std::optional<UpdateWindow> window_for(PyObject* self, PyObject* category);
    // The current category's partitions are in the window: the next one's may follow.
    void segment_opened();

private:
    class Read;
    // What the next category's partitions are chosen from, and the window they go to.
    struct Prediction {
        Ref module;
        Ref start;
        FetchAhead* window;
    };

    std::optional<Ref> take(PyObject* category);
    void cancel_prepared();

    Ref self_;
    Ref categories_;  // null: nothing is read ahead
    // The session kept one thread at a time by the caller's thread and the readers.
    std::optional<session::SessionGate> gate_;
    std::optional<session::SessionGate::Scope> gate_scope_;
    std::optional<FetchAhead> window_;
    std::optional<Prediction> prediction_;  // none: partitions are read at their turn
    // The segment read ahead for the category whose turn it is, until its reads take it.
    Ref prepared_category_;
    std::optional<std::size_t> prepared_;
    std::unique_ptr<Read> current_;  // for the category whose turn it is
    std::unique_ptr<Read> next_;
    CategoryAhead* outer_;
};

}  // namespace corvane::sync
