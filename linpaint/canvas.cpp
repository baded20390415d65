// The image linpaint draws on.
#include "canvas.h"

#include <unistd.h>
#include <cstdint>
#include <cstring>

#include "memory.h"

bool image_fits_in_memory(int rows, int columns)
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    const unsigned long long bytes = static_cast<unsigned long long>(rows) * static_cast<unsigned long long>(columns);
    return pages <= 0 || page_size <= 0 ||
           bytes <= static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page_size);
}

PgmImage* black_image(int rows, int columns)
{
    PgmImage* image = static_cast<PgmImage*>(checked_calloc(1, sizeof(PgmImage)));
    std::memcpy(image->magic, "P5", 3);
    image->columns = columns;
    image->rows = rows;
    image->max_value = 255;
    image->pixels = ucmatrix(rows, columns);
    for (int r = 0; r < rows; ++r) std::memset(image->pixels[r], 0, static_cast<size_t>(columns));
    return image;
}

void paint_point(PgmImage* image, const EdgePoint& point)
{
    if (!(point.x > -1.0f && point.x < 2147483648.0f && point.y > -1.0f && point.y < 2147483648.0f)) return;
    const int64_t x = static_cast<int64_t>(point.x);
    const int64_t y = static_cast<int64_t>(point.y);
    if (x >= image->columns || y >= image->rows) return;
    image->pixels[y][x] = 255;
}
