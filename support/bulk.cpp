// Blocks for the large arrays of a run: aligned to huge pages where they are
// large enough to be made of them.
#include "bulk.h"

#include <sys/mman.h>
#include <cstdint>
#include <cstdlib>

void* bulk_allocate(size_t count, size_t size)
{
    constexpr size_t huge_page = size_t{1} << 21;
    void* block = nullptr;
    if (size == 0 || count <= SIZE_MAX / size) {
        const size_t bytes = count * size;
        if (bytes >= 2 * huge_page) {
            // Rounded up to whole huge pages, as aligned_alloc asks.
            const size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
            if (rounded >= bytes) block = std::aligned_alloc(huge_page, rounded);
#ifdef MADV_HUGEPAGE
            if (block != nullptr) madvise(block, rounded, MADV_HUGEPAGE);
#endif
        } else {
            block = std::malloc(bytes == 0 ? 1 : bytes);
        }
    }
    if (block == nullptr) {
        if (std::new_handler handler = std::get_new_handler()) handler();
        throw std::bad_alloc();
    }
    return block;
}

void bulk_free(void* block)
{
    std::free(block);
}

void bulk_release(const void* begin, const void* end)
{
    constexpr uintptr_t huge_page = uintptr_t{1} << 21;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + huge_page - 1) & ~(huge_page - 1);
    const uintptr_t last = reinterpret_cast<uintptr_t>(end) & ~(huge_page - 1);
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}
