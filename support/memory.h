// Fail-stop allocation of vectors and row-pointer matrices, and the one
// fatal-error routine. Every allocation either succeeds or ends the process
// through errmsg, so callers never test for null.
#pragma once

#include <cstddef>

// Prints the three-line report of a fatal error and exits with status 1.
[[noreturn]] void errmsg(const char* message);

// Hook run by errmsg before it exits (removes an unfinished output file).
extern void (*errmsg_cleanup)();

// Makes every allocation of the C++ library fail-stop too: when operator new
// finds the heap exhausted, the process ends through errmsg.
void fail_stop_on_exhausted_heap();

int** imatrix(int rows, int columns);
short** smatrix(int rows, int columns);
char** cmatrix(int rows, int columns);
unsigned char** ucmatrix(int rows, int columns);
float** fmatrix(int rows, int columns);
double** dmatrix(int rows, int columns);

void free_imatrix(int** m, int rows, int columns);
void free_smatrix(short** m, int rows, int columns);
void free_cmatrix(char** m, int rows, int columns);
void free_ucmatrix(unsigned char** m, int rows, int columns);
void free_fmatrix(float** m, int rows, int columns);
void free_dmatrix(double** m, int rows, int columns);

int* ivector(int n);
short* svector(int n);
char* cvector(int n);
float* fvector(int n);
double* dvector(int n);

void free_ivector(int* v, int n);
void free_svector(short* v, int n);
void free_cvector(char* v, int n);
void free_fvector(float* v, int n);
void free_dvector(double* v, int n);

// Zero-filled block of count * size bytes; ends the process when the product
// overflows or the heap refuses.
void* checked_calloc(size_t count, size_t size);

// A block for one of the large arrays of a run, of count * size bytes. A
// block of several megabytes is aligned to huge pages and advised to be made
// of them, which takes a fraction of the page faults to fill. A refusal goes
// where operator new's would (errmsg, once fail_stop_on_exhausted_heap has
// run); else std::bad_alloc is thrown.
void* bulk_allocate(size_t count, size_t size);
void bulk_free(void* block);

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
    void deallocate(T* block, size_t) noexcept { bulk_free(block); }
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
