// Blocks for the large arrays of a run. A large block is mapped from the
// system on its own, aligned to huge pages, and unmapped when it is freed:
// from the C library's heap, a freed block below its mapping threshold (which
// grows with the blocks freed, up to 32 MiB) stays resident, and on a grid of
// lines those leftovers of one stage outlived it by several bytes a pixel.
#include "bulk.h"

#include <sys/mman.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t HUGE_PAGE = size_t{1} << 21;

// Under AddressSanitizer every block comes from malloc, whose blocks it
// guards; it cannot see past the end of a mapping of our own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool MAPS_BLOCKS = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool MAPS_BLOCKS = false;
#else
constexpr bool MAPS_BLOCKS = true;
#endif
#else
constexpr bool MAPS_BLOCKS = true;
#endif

// The bytes mapped for a block of `bytes`, or 0 for a block from malloc.
size_t mapped_bytes(size_t bytes)
{
    if (!MAPS_BLOCKS || bytes < BULK_MAPPED_FROM) return 0;
    return (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
}

void* map_block(size_t bytes)
{
    // Mapped a huge page longer, then trimmed to an aligned run of whole huge pages.
    if (bytes > SIZE_MAX - HUGE_PAGE) return nullptr;
    void* map = mmap(nullptr, bytes + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(map);
    const uintptr_t aligned = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    if (aligned > start) munmap(map, aligned - start);
    if (aligned - start < HUGE_PAGE) munmap(reinterpret_cast<void*>(aligned + bytes), HUGE_PAGE - (aligned - start));
    void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(block, bytes, MADV_HUGEPAGE);
#endif
    return block;
}

}  // namespace

void* bulk_allocate(size_t count, size_t size)
{
    void* block = nullptr;
    if (size == 0 || count <= SIZE_MAX / size) {
        const size_t bytes = count * size;
        const size_t mapped = mapped_bytes(bytes);
        block = mapped != 0 ? map_block(mapped) : std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (block == nullptr) {
        if (std::new_handler handler = std::get_new_handler()) handler();
        throw std::bad_alloc();
    }
    return block;
}

void* bulk_allocate_zeroed(size_t count, size_t size)
{
    void* block = bulk_allocate(count, size);
    if (mapped_bytes(count * size) == 0) std::memset(block, 0, count * size);
    return block;
}

void bulk_free(void* block, size_t count, size_t size)
{
    if (block == nullptr) return;
    const size_t mapped = mapped_bytes(count * size);
    if (mapped != 0)
        munmap(block, mapped);
    else
        std::free(block);
}

void bulk_release(const void* begin, const void* end)
{
    const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t last = reinterpret_cast<uintptr_t>(end) & ~(HUGE_PAGE - 1);
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}
