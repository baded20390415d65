// Blocks for the large arrays of a run.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

// A block for one of the large arrays of a run, of count * size bytes. A
// block of several megabytes is mapped from the system on its own, aligned to
// huge pages and advised to be made of them, which takes a fraction of the
// page faults to fill; its pages go back to the system when it is freed. A
// refusal goes where operator new's would (errmsg, once
// fail_stop_on_exhausted_heap has run); else std::bad_alloc is thrown.
void* bulk_allocate(size_t count, size_t size);
// Blocks from this many bytes on (two huge pages) are mapped on their own.
constexpr size_t BULK_MAPPED_FROM = size_t{4} << 20;
// The same, reading as zeros: a mapped block's pages are the system's zeros
// until they are written, so only a small block is cleared.
void* bulk_allocate_zeroed(size_t count, size_t size);
// Frees a block of bulk_allocate, given the count and size it was made with.
void bulk_free(void* block, size_t count, size_t size);
// Gives the whole huge pages within [begin, end), part of a block from
// bulk_allocate, back to the system, for an array whose front will not be
// read again; the bytes there read as zeros afterwards.
void bulk_release(const void* begin, const void* end);

// An allocator for the large vectors of a run: its blocks come from
// bulk_allocate, and the elements of a resized vector of plain records are
// left unset, for vectors that are filled right after, band by band on
// several threads.
template <typename T>
struct BulkAllocator {
    using value_type = T;
    BulkAllocator() = default;
    template <typename U>
    BulkAllocator(const BulkAllocator<U>&) noexcept
    {
    }
    T* allocate(size_t n) { return static_cast<T*>(bulk_allocate(n, sizeof(T))); }
    void deallocate(T* block, size_t n) noexcept { bulk_free(block, n, sizeof(T)); }
    template <typename U>
    void construct(U* place) noexcept
    {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args)
    {
        ::new (static_cast<void*>(place)) U(static_cast<Args&&>(args)...);
    }
    template <typename U>
    bool operator==(const BulkAllocator<U>&) const noexcept
    {
        return true;
    }
};

// The large vectors of a run (see BulkAllocator).
template <typename T>
using BulkVector = std::vector<T, BulkAllocator<T>>;
