// The store's generation of one category synchronisation: every partition the run stores
// is part of it, committed once the run ends, whether it completed or failed.
#pragma once

#include "corvane/common/ref.h"

namespace corvane::sync {

// Opens the generation on the client's store (`CV_db.begin_generation(category, mode)`);
// end() commits it; one not ended (the run failed) is committed when it goes, what was
// stored being that generation. A store without generations is left alone.
class StoreGeneration {
public:
    StoreGeneration(PyObject* self, PyObject* category, const char* mode);
    StoreGeneration(const StoreGeneration&) = delete;
    StoreGeneration& operator=(const StoreGeneration&) = delete;
    ~StoreGeneration();

    void end();

private:
    Ref store_;     // null: the store keeps no generations, or it has been ended
    Ref category_;
};

}  // namespace corvane::sync
