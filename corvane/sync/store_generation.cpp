#include "corvane/sync/store_generation.h"

#include "corvane/common/call.h"
#include "corvane/common/quietly.h"

namespace corvane::sync {

StoreGeneration::StoreGeneration(PyObject* self, PyObject* category, const char* mode) {
    Ref store = getattr(self, "CV_db");
    if (!getattr_optional(store.get(), "begin_generation")) return;
    call_method(store.get(), "begin_generation", category, text(mode));
    store_ = std::move(store);
    category_ = Ref::borrow(category);
}

void StoreGeneration::end() {
    if (!store_) return;
    Ref store = std::move(store_);
    call_method(store.get(), "end_generation", category_);
}

StoreGeneration::~StoreGeneration() {
    // The run's own failure is what the caller gets; a failing commit must not replace it.
    if (store_) quietly([&] { end(); }, PyExc_BaseException);
}

}  // namespace corvane::sync
