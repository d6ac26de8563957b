#include "corvane/redis/spare_value.h"

#include <cstdint>

#include <sys/mman.h>

#include "corvane/common/error.h"

namespace corvane::redis {

namespace {

// Asks for huge pages where the kernel leaves that to the program: fresh memory then fills
// with one page fault per 2 MiB instead of one per 4 KiB, which can halve the CPU time of
// receiving a large value where faults are dear (virtual machines).
void advise_huge_pages(char* data, std::size_t length) {
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + length) & ~(kHugePage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// The kept value is ours alone: the caller and everything it gave the value to (views,
// buffers, containers) have let go. Without the GIL another thread could take a reference
// meanwhile, so a build without it never reuses.
bool unshared(const Ref& value) {
#ifdef Py_GIL_DISABLED
    (void)value;
    return false;
#else
    return Py_REFCNT(value.get()) == 1;
#endif
}

// A reused object must not answer hash() with its former content's hash.
void forget_hash(PyObject* bytes) {
    _Py_COMP_DIAG_PUSH
    _Py_COMP_DIAG_IGNORE_DEPR_DECLS
    reinterpret_cast<PyBytesObject*>(bytes)->ob_shash = -1;
    _Py_COMP_DIAG_POP
}

}  // namespace

Ref SpareValue::take(std::size_t length) {
    Ref kept = std::move(value_);
    if (length >= kMinLength && kept && unshared(kept)) {
        // Resizing keeps the pages that are already mapped (mremap); on failure the object
        // is gone and MemoryError set.
        PyObject* reused = kept.release();
        if (_PyBytes_Resize(&reused, static_cast<Py_ssize_t>(length)) != 0) throw_current();
        forget_hash(reused);
        return Ref::steal(reused);
    }
    kept = Ref();  // its memory may serve the new object
    Ref fresh = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (length >= kMinLength) advise_huge_pages(PyBytes_AS_STRING(fresh.get()), length);
    return fresh;
}

void SpareValue::keep(const Ref& value) {
    if (static_cast<std::size_t>(PyBytes_GET_SIZE(value.get())) >= kMinLength) value_ = value;
}

}  // namespace corvane::redis
