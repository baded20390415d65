// The image linpaint draws on, the painting of edges as they arrive, and the
// image's writing.
#include "canvas.h"

#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>

#include "memory.h"
#include "outfile.h"

namespace {

constexpr uint8_t BLACK = 0;
constexpr uint8_t WHITE = 255;
constexpr uint8_t PENDING = 1;  // under a point of the edge being read, black before it
constexpr size_t PENDING_LISTED = 1 << 20;  // pending pixels remembered one by one
constexpr size_t LONGEST_COMMENT = 251;     // "# ", the comment and its newline in 254 bytes

// A limit of a control group's memory, from the first of the files that holds one.
uint64_t control_group_limit()
{
    uint64_t limit = std::numeric_limits<uint64_t>::max();
    for (const char* path : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        std::ifstream file(path);
        unsigned long long value = 0;
        if (file >> value) limit = std::min<uint64_t>(limit, value);
    }
    return limit;
}

// a * b + c, or the largest value when that does not fit.
uint64_t saturated(uint64_t a, uint64_t b, uint64_t c)
{
    const uint64_t most = std::numeric_limits<uint64_t>::max();
    if (a != 0 && b > most / a) return most;
    return a * b > most - c ? most : a * b + c;
}

}  // namespace

uint64_t image_cost(int rows, int columns)
{
    if (rows <= 0 || columns <= 0) return 0;
    // A row of the matrix is a heap block: the allocator's 8-byte header,
    // rounded up to 16 bytes, 32 at the least; and its pointer.
    const uint64_t row_block = std::max<uint64_t>(32, (static_cast<uint64_t>(columns) + 8 + 15) / 16 * 16);
    const uint64_t per_row = row_block + sizeof(unsigned char*);
    const uint64_t besides = PENDING_LISTED * 8 + (4u << 20);  // the pending list, the reading and writing buffers
    return saturated(static_cast<uint64_t>(rows), per_row, besides);
}

bool image_fits_in_memory(int rows, int columns)
{
    uint64_t available = std::numeric_limits<uint64_t>::max();
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) available = saturated(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size), 0);
    available = std::min(available, control_group_limit());
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit limit {};
        if (getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            available = std::min<uint64_t>(available, limit.rlim_cur);
    }
    return image_cost(rows, columns) <= available;
}

PgmImage* black_image(int rows, int columns)
{
    PgmImage* image = static_cast<PgmImage*>(checked_calloc(1, sizeof(PgmImage)));
    std::memcpy(image->magic, "P5", 3);
    image->columns = columns;
    image->rows = rows;
    image->max_value = 255;
    image->pixels = ucmatrix(rows, columns);
    for (int r = 0; r < rows; ++r) std::memset(image->pixels[r], BLACK, static_cast<size_t>(columns));
    return image;
}

namespace {

// The pixel under a point, false when it is outside the image.
bool pixel_of(const PgmImage* image, const EdgePoint& point, int64_t* x, int64_t* y)
{
    if (!(point.x > -1.0f && point.x < 2147483648.0f && point.y > -1.0f && point.y < 2147483648.0f)) return false;
    *x = static_cast<int64_t>(point.x);
    *y = static_cast<int64_t>(point.y);
    return *x < image->columns && *y < image->rows;
}

}  // namespace

void paint_point(PgmImage* image, const EdgePoint& point)
{
    int64_t x, y;
    if (pixel_of(image, point, &x, &y)) image->pixels[y][x] = WHITE;
}

EdgePainter::EdgePainter(PgmImage* image, int64_t length) : image_(image), length_(length) {}

void EdgePainter::add(const EdgePoint& point)
{
    ++count_;
    int64_t x, y;
    if (!pixel_of(image_, point, &x, &y)) return;
    unsigned char& pixel = image_->pixels[y][x];
    if (pixel != BLACK) return;  // white already, or pending for this edge
    pixel = PENDING;
    const int32_t row = static_cast<int32_t>(y), column = static_cast<int32_t>(x);
    if (pending_.size() < PENDING_LISTED) {
        pending_.push_back(Pixel{row, column});
    } else if (!overflowed_) {
        overflowed_ = true;
        top_ = bottom_ = row;
        left_ = right_ = column;
    } else {
        top_ = std::min(top_, row);
        bottom_ = std::max(bottom_, row);
        left_ = std::min(left_, column);
        right_ = std::max(right_, column);
    }
}

void EdgePainter::close()
{
    settle(count_ >= length_ && count_ > 0);
}

void EdgePainter::drop()
{
    settle(false);
}

void EdgePainter::settle(bool drawn)
{
    const uint8_t value = drawn ? WHITE : BLACK;
    for (const Pixel& p : pending_) image_->pixels[p.row][p.column] = value;
    if (overflowed_)
        for (int32_t r = top_; r <= bottom_; ++r)
            for (int32_t c = left_; c <= right_; ++c)
                if (image_->pixels[r][c] == PENDING) image_->pixels[r][c] = value;
    pending_.clear();
    overflowed_ = false;
    count_ = 0;
}

std::string header_comment(const char* path)
{
    std::string comment;
    for (const char* p = path; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        std::string piece(1, static_cast<char>(c));
        if (c < 0x20 || c == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            piece = escape;
        } else if (c >= 0xc0) {
            // A UTF-8 character is kept whole or not at all.
            while ((static_cast<unsigned char>(p[1]) & 0xc0) == 0x80 && piece.size() < 4) piece += *++p;
        }
        if (comment.size() + piece.size() > LONGEST_COMMENT) break;
        comment += piece;
    }
    return comment;
}

void write_image(OutputFile* out, const char* path, const PgmImage* image)
{
    const std::string header = std::string(image->magic) + "\n# " + header_comment(path) + "\n" +
                               std::to_string(image->columns) + " " + std::to_string(image->rows) + "\n" +
                               std::to_string(image->max_value) + "\n";
    out->write(header.data(), header.size());
    for (int r = 0; r < image->rows; ++r) out->write(image->pixels[r], static_cast<size_t>(image->columns));
}
