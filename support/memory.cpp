// Matrices are arrays of row pointers with every row a separate heap block,
// so images are indexed m[row][column]. Sizes are checked before the request:
// a negative count or a byte size that overflows is a refused allocation.
#include "memory.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

void (*errmsg_cleanup)() = nullptr;

void errmsg(const char* message)
{
    // Threads that fail together report once: the first one in ends the
    // process, the others wait here until it has.
    static std::mutex reporting;
    reporting.lock();
    if (errmsg_cleanup != nullptr) {
        void (*cleanup)() = errmsg_cleanup;
        errmsg_cleanup = nullptr;
        cleanup();
    }
    std::fprintf(stderr, "Program encounters run-time error...\n");
    std::fprintf(stderr, "%s\n", message);
    std::fprintf(stderr, "...now exiting to system...\n");
    std::fflush(nullptr);
    std::_Exit(1);
}

void fail_stop_on_exhausted_heap()
{
    std::set_new_handler([] { errmsg("Memory allocation failure"); });
}

namespace {

// A block of count elements of the given width, or null when the count is
// negative or the heap refuses. A count of zero still gets a distinct block.
void* allocate(int count, size_t width)
{
    if (count < 0) return nullptr;
    return std::malloc(count == 0 ? 1 : static_cast<size_t>(count) * width);
}

template <typename T>
T** matrix(int rows, int columns)
{
    T** m = static_cast<T**>(allocate(rows, sizeof(T*)));
    if (m == nullptr) errmsg("Memory allocation failure");
    for (int r = 0; r < rows; ++r) {
        m[r] = static_cast<T*>(allocate(columns, sizeof(T)));
        if (m[r] == nullptr) errmsg("Memory alloation failure");
    }
    return m;
}

template <typename T>
void free_matrix(T** m, int rows)
{
    for (int r = rows - 1; r >= 0; --r) std::free(m[r]);
    std::free(m);
}

template <typename T>
T* vector(int n)
{
    T* v = static_cast<T*>(allocate(n, sizeof(T)));
    if (v == nullptr) errmsg("Memory allocation failure");
    return v;
}

}  // namespace

int** imatrix(int rows, int columns)
{
    return matrix<int>(rows, columns);
}
short** smatrix(int rows, int columns)
{
    return matrix<short>(rows, columns);
}
char** cmatrix(int rows, int columns)
{
    return matrix<char>(rows, columns);
}
unsigned char** ucmatrix(int rows, int columns)
{
    return matrix<unsigned char>(rows, columns);
}
float** fmatrix(int rows, int columns)
{
    return matrix<float>(rows, columns);
}
double** dmatrix(int rows, int columns)
{
    return matrix<double>(rows, columns);
}

void free_imatrix(int** m, int rows, int)
{
    free_matrix(m, rows);
}
void free_smatrix(short** m, int rows, int)
{
    free_matrix(m, rows);
}
void free_cmatrix(char** m, int rows, int)
{
    free_matrix(m, rows);
}
void free_ucmatrix(unsigned char** m, int rows, int)
{
    free_matrix(m, rows);
}
void free_fmatrix(float** m, int rows, int)
{
    free_matrix(m, rows);
}
void free_dmatrix(double** m, int rows, int)
{
    free_matrix(m, rows);
}

int* ivector(int n)
{
    return vector<int>(n);
}
short* svector(int n)
{
    return vector<short>(n);
}
char* cvector(int n)
{
    return vector<char>(n);
}
float* fvector(int n)
{
    return vector<float>(n);
}
double* dvector(int n)
{
    return vector<double>(n);
}

void free_ivector(int* v, int)
{
    std::free(v);
}
void free_svector(short* v, int)
{
    std::free(v);
}
void free_cvector(char* v, int)
{
    std::free(v);
}
void free_fvector(float* v, int)
{
    std::free(v);
}
void free_dvector(double* v, int)
{
    std::free(v);
}

void* checked_calloc(size_t count, size_t size)
{
    if (count == 0 || size == 0) count = size = 1;  // a distinct block even for nothing
    if (count > SIZE_MAX / size) errmsg("Memory allocation failure");
    void* block = std::calloc(count, size);
    if (block == nullptr) errmsg("Memory allocation failure");
    return block;
}
