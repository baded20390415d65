// Raw PGM and PPM files: header parsing, raster reading and atomic writing.
//
// The header is read exactly as the fixed layout prescribes: the first token
// (all white space after it skipped), lines of at most 254 bytes skipped while
// they begin with '#', "%d %d" from the line that ended the comments, "%d"
// for the maximum value, then exactly one byte. Every way a header can fail
// that layout is reported and gives no image.
#include "imgformat.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "memory.h"
#include "outfile.h"

namespace {

constexpr int MAGIC_BUFFER = 256;  // the first token must fit 255 characters
constexpr int LINE_LIMIT = 255;    // a header line is read 254 bytes at a time
constexpr int MAX_SAMPLE_VALUE = 65535;

bool is_space(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The "%d" conversion on a stream: white space skipped, an optional sign,
// decimal digits. False when no digit follows or the number does not fit an int.
bool scan_int(FILE* file, int* value)
{
    int c;
    do c = getc(file);
    while (is_space(c));
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = getc(file);
    }
    if (c < '0' || c > '9') {
        if (c != EOF) ungetc(c, file);
        return false;
    }
    long long number = 0;
    bool overflow = false;
    for (; c >= '0' && c <= '9'; c = getc(file)) {
        number = number * 10 + (c - '0');
        if (number > static_cast<long long>(INT_MAX) + 1) {
            overflow = true;
            number = static_cast<long long>(INT_MAX) + 1;
        }
    }
    if (c != EOF) ungetc(c, file);
    if (negative) number = -number;
    if (overflow || number > INT_MAX || number < INT_MIN) return false;
    *value = static_cast<int>(number);
    return true;
}

// The same conversion on text; *text moves past the number.
bool parse_int(const char** text, int* value)
{
    const char* p = *text;
    while (is_space(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    long long number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10 + (*p - '0');
        if (number > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) number = -number;
    if (number > INT_MAX || number < INT_MIN) return false;
    *value = static_cast<int>(number);
    *text = p;
    return true;
}

struct Header {
    int columns = 0;
    int rows = 0;
    int max_value = 0;
};

struct Format {
    const char* magic;  // "P5" or "P6"
    const char* name;   // "PGM" or "PPM"
    int channels;       // samples per pixel
};

const Format PGM{"P5", "PGM", 1};
const Format PPM{"P6", "PPM", 3};

FILE* open_input(const char* path)
{
    if (std::strcmp(path, "-") == 0) return stdin;
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) errmsg("Input file not found");
    struct stat status {};
    if (fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(file);
        errmsg("Input file not found");
    }
    return file;
}

void close_input(FILE* file)
{
    if (file != stdin) std::fclose(file);
}

// A file that fails to read looks as if it ended: the failure is reported
// as what it is.
bool read_error_reported(FILE* file)
{
    if (!std::ferror(file)) return false;
    std::fprintf(stderr, "Input file could not be read: %s.\n", std::strerror(errno));
    return true;
}

void malformed(FILE* file, const Format& format, const char* reason)
{
    if (read_error_reported(file)) return;
    std::fprintf(stderr, "Input file has a malformed %s header: %s.\n", format.name, reason);
}

// Reads the header up to and including the byte that ends it. False, after a
// message, when the file is not of the format or the header is malformed.
bool read_header(FILE* file, const Format& format, Header* header)
{
    char token[MAGIC_BUFFER];
    int length = 0;
    int c;
    do c = getc(file);
    while (is_space(c));
    while (c != EOF && !is_space(c)) {
        if (length < MAGIC_BUFFER - 1) token[length] = static_cast<char>(c);
        ++length;
        c = getc(file);
    }
    while (is_space(c)) c = getc(file);
    if (c != EOF) ungetc(c, file);
    if (length == 0 || length > MAGIC_BUFFER - 1 || length != 2 || std::memcmp(token, format.magic, 2) != 0) {
        if (!read_error_reported(file)) std::fprintf(stderr, "Input file is not a %s raw image.\n", format.name);
        return false;
    }

    char line[LINE_LIMIT];
    do {
        if (std::fgets(line, LINE_LIMIT, file) == nullptr) {
            malformed(file, format, "the file ends before the dimension line");
            return false;
        }
    } while (line[0] == '#');

    const char* cursor = line;
    if (!parse_int(&cursor, &header->columns) || !parse_int(&cursor, &header->rows)) {
        malformed(file, format, "the dimension line does not hold two numbers");
        return false;
    }
    if (header->columns <= 0 || header->rows <= 0) {
        malformed(file, format, "a dimension is not positive");
        return false;
    }
    if (!scan_int(file, &header->max_value)) {
        malformed(file, format, "the maximum value is missing");
        return false;
    }
    if (header->max_value < 1 || header->max_value > MAX_SAMPLE_VALUE) {
        malformed(file, format, "the maximum value is not within 1 to 65535");
        return false;
    }
    if (getc(file) == EOF) {
        malformed(file, format, "the file ends before the raster");
        return false;
    }
    return true;
}

void truncated(const Header& header)
{
    std::fprintf(stderr, "Input file is truncated: its raster holds fewer than %d x %d pixels.\n", header.columns,
                 header.rows);
}

// Reads exactly `bytes` bytes of raster from a stream into `data`, which
// grows with what actually arrives, so a header's claim never decides how
// much is allocated.
bool read_raster(FILE* file, long long bytes, std::vector<unsigned char>* data)
{
    constexpr size_t first_block = 1 << 16;
    size_t wanted = static_cast<size_t>(bytes);
    size_t have = 0;
    while (have < wanted) {
        size_t capacity = std::min(wanted, std::max(first_block, 2 * have));
        data->resize(capacity);
        size_t got = std::fread(data->data() + have, 1, capacity - have, file);
        have += got;
        if (have < capacity) break;
    }
    data->resize(have);
    return have == wanted;
}

// Splits one row of file samples into the planes, scaling two-byte samples
// to 0..255 (rounded to nearest).
void convert_row(const unsigned char* source, const Format& format, const Header& header, int bytes_per_sample,
                 unsigned char*** planes, int r)
{
    const long long max_value = header.max_value;
    for (int c = 0; c < header.columns; ++c) {
        for (int k = 0; k < format.channels; ++k) {
            if (bytes_per_sample == 1) {
                planes[k][r][c] = *source++;
            } else {
                const long long value = (static_cast<long long>(source[0]) << 8) | source[1];
                source += 2;
                const long long scaled = (2 * value * 255 + max_value) / (2 * max_value);
                planes[k][r][c] = static_cast<unsigned char>(scaled > 255 ? 255 : scaled);
            }
        }
    }
}

void read_failed(FILE* file, const Header& header)
{
    if (!read_error_reported(file)) truncated(header);
}

// Reads `count` rows of `row_bytes` bytes, stored one after another in the
// file from `offset` on, into `rows`, many rows per system call. Returns 0
// when all were read, the errno of a failed read, or -1 when the file ended first.
int read_rows_at(int fd, off_t offset, unsigned char** rows, int count, size_t row_bytes)
{
    constexpr int rows_per_call = 256;
    std::vector<iovec> parts;
    for (int first = 0; first < count; first += rows_per_call) {
        const int n = std::min(rows_per_call, count - first);
        parts.clear();
        for (int r = first; r < first + n; ++r) parts.push_back(iovec{rows[r], row_bytes});
        size_t part = 0;
        while (part < parts.size()) {
            const ssize_t got = preadv(fd, &parts[part], static_cast<int>(parts.size() - part), offset);
            if (got < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            if (got == 0) return -1;
            offset += got;
            // Past the parts read whole, into the one read in part.
            for (size_t left = static_cast<size_t>(got); left > 0;) {
                const size_t taken = std::min(left, parts[part].iov_len);
                parts[part].iov_base = static_cast<unsigned char*>(parts[part].iov_base) + taken;
                parts[part].iov_len -= taken;
                left -= taken;
                if (parts[part].iov_len == 0) ++part;
            }
        }
    }
    return 0;
}

// A grey raster of a regular file is mapped rather than copied: its rows are
// the file's own pages, which costs neither the copy nor fresh memory to copy
// into. Should the file shrink while it is mapped, reading a page past its new
// end raises SIGBUS; the handler says that the input shrank and ends the
// process, as a failed read would. Other faults are left to the default action.
struct MappedRaster {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    unsigned char** rows = nullptr;
};
constexpr int MAPPED_SLOTS = 16;
MappedRaster mapped[MAPPED_SLOTS];

void on_bus_error(int, siginfo_t* info, void*)
{
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (const MappedRaster& slot : mapped) {
        if (address >= slot.begin.load() && address < slot.end.load()) {
            static const char message[] = "Input file is truncated: it shrank while it was being read.\n";
            if (write(STDERR_FILENO, message, sizeof message - 1) < 0) {
                // Nothing more can be said.
            }
            _exit(1);
        }
    }
    std::signal(SIGBUS, SIG_DFL);  // not ours: the fault happens again, unhandled
}

bool bus_errors_handled()
{
    static const bool handled = [] {
        struct sigaction action {};
        action.sa_sigaction = on_bus_error;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGBUS, &action, nullptr) == 0;
    }();
    return handled;
}

// Maps `count` rows of `row_bytes` bytes stored from `offset` on in the
// regular file `fd`; null when it cannot be mapped (the caller reads instead).
unsigned char** map_rows(int fd, off_t offset, int count, size_t row_bytes)
{
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || count <= 0 || row_bytes == 0) return nullptr;
    const off_t start = offset / page * page;
    const size_t length = static_cast<size_t>(offset - start) + static_cast<size_t>(count) * row_bytes;
    MappedRaster* slot = nullptr;
    for (MappedRaster& free_slot : mapped)
        if (free_slot.rows == nullptr) {
            slot = &free_slot;
            break;
        }
    if (slot == nullptr) return nullptr;
    auto** rows = static_cast<unsigned char**>(std::malloc(sizeof(unsigned char*) * static_cast<size_t>(count)));
    if (rows == nullptr) return nullptr;
    // Private and writable: a caller that changes a pixel changes its own copy of the page.
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, start);
    if (base == MAP_FAILED) {
        std::free(rows);
        return nullptr;
    }
    if (!bus_errors_handled()) {
        munmap(base, length);
        std::free(rows);
        return nullptr;
    }
    unsigned char* raster = static_cast<unsigned char*>(base) + (offset - start);
    for (int r = 0; r < count; ++r) rows[r] = raster + static_cast<size_t>(r) * row_bytes;
    slot->rows = rows;
    slot->begin.store(reinterpret_cast<uintptr_t>(base));
    slot->end.store(reinterpret_cast<uintptr_t>(base) + length);
    return rows;
}

// Unmaps rows map_rows made; false for rows it did not make.
bool unmap_rows(unsigned char** rows)
{
    for (MappedRaster& slot : mapped) {
        if (slot.rows != rows || rows == nullptr) continue;
        const uintptr_t begin = slot.begin.load();
        const uintptr_t end = slot.end.load();
        slot.begin.store(0);
        slot.end.store(0);
        munmap(reinterpret_cast<void*>(begin), end - begin);
        std::free(rows);
        slot.rows = nullptr;
        return true;
    }
    return false;
}

// Reads the raster after a parsed header into `planes` (one matrix per
// channel, each rows x columns), scaling two-byte samples to 0..255. A
// regular file is checked against its size first; a grey one-byte raster is
// then mapped (or, where it cannot be, read straight into the image's rows,
// many rows per system call), and any other read row by row. A stream is
// read whole first, into a buffer that grows only with what arrives.
bool read_planes(FILE* file, const Format& format, Header* header, unsigned char*** planes)
{
    const int bytes_per_sample = header->max_value > 255 ? 2 : 1;
    const long long row_bytes = static_cast<long long>(header->columns) * format.channels * bytes_per_sample;
    const long long raster_bytes = row_bytes * header->rows;
    const bool direct = format.channels == 1 && bytes_per_sample == 1;

    struct stat status {};
    const long position = std::ftell(file);
    if (fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode) && position >= 0) {
        if (status.st_size - position < raster_bytes) {
            truncated(*header);
            return false;
        }
        if (direct) {
            planes[0] = map_rows(fileno(file), position, header->rows, static_cast<size_t>(row_bytes));
            if (planes[0] != nullptr) return true;
        }
        for (int k = 0; k < format.channels; ++k) planes[k] = ucmatrix(header->rows, header->columns);
        if (direct) {
            // Straight from the file into the rows, past what the header's reading buffered.
            const int failure = read_rows_at(fileno(file), position, planes[0], header->rows,
                                             static_cast<size_t>(row_bytes));
            if (failure != 0) {
                if (failure > 0)
                    std::fprintf(stderr, "Input file could not be read: %s.\n", std::strerror(failure));
                else
                    truncated(*header);
                free_ucmatrix(planes[0], header->rows, header->columns);
                return false;
            }
            return true;
        }
        std::vector<unsigned char> row(static_cast<size_t>(row_bytes));
        for (int r = 0; r < header->rows; ++r) {
            if (std::fread(row.data(), 1, static_cast<size_t>(row_bytes), file) != static_cast<size_t>(row_bytes)) {
                read_failed(file, *header);
                for (int k = 0; k < format.channels; ++k) free_ucmatrix(planes[k], header->rows, header->columns);
                return false;
            }
            convert_row(row.data(), format, *header, bytes_per_sample, planes, r);
        }
    } else {
        std::vector<unsigned char> raster;
        if (!read_raster(file, raster_bytes, &raster)) {
            read_failed(file, *header);
            return false;
        }
        for (int k = 0; k < format.channels; ++k) planes[k] = ucmatrix(header->rows, header->columns);
        for (int r = 0; r < header->rows; ++r)
            convert_row(raster.data() + r * row_bytes, format, *header, bytes_per_sample, planes, r);
    }
    if (bytes_per_sample == 2) header->max_value = 255;
    return true;
}

void write_header(OutputFile& out, const char* magic, const char* path, int columns, int rows, int max_value)
{
    std::string text = std::string(magic) + "\n# " + path + "\n" + std::to_string(columns) + " " +
                       std::to_string(rows) + "\n" + std::to_string(max_value) + "\n";
    out.write(text.data(), text.size());
}

void open_output(OutputFile& out, const char* path)
{
    if (!out.open(path)) errmsg("Output file open failed");
}

void commit_output(OutputFile& out)
{
    if (!out.commit()) {
        std::string message = std::string("Output file write failed: ") + std::strerror(errno);
        errmsg(message.c_str());
    }
}

}  // namespace

bool guard_mapped_input(const void* begin, const void* end)
{
    const auto from = reinterpret_cast<uintptr_t>(begin);
    const auto to = reinterpret_cast<uintptr_t>(end);
    static unsigned char* const GUARDED = reinterpret_cast<unsigned char*>(1);  // a slot's rows: held, not ours to free
    if (from == to) {
        for (MappedRaster& slot : mapped)
            if (slot.rows == &GUARDED && slot.begin.load() == from) {
                slot.begin.store(0);
                slot.end.store(0);
                slot.rows = nullptr;
            }
        return true;
    }
    if (!bus_errors_handled()) return false;
    for (MappedRaster& slot : mapped)
        if (slot.rows == nullptr) {
            slot.rows = const_cast<unsigned char**>(&GUARDED);
            slot.begin.store(from);
            slot.end.store(to);
            return true;
        }
    return false;
}

PgmImage* read_pgm_file(const char* path)
{
    FILE* file = open_input(path);
    Header header;
    unsigned char** planes[1];
    if (!read_header(file, PGM, &header) || !read_planes(file, PGM, &header, planes)) {
        close_input(file);
        return nullptr;
    }
    close_input(file);
    PgmImage* image = static_cast<PgmImage*>(checked_calloc(1, sizeof(PgmImage)));
    std::memcpy(image->magic, "P5", 3);
    image->columns = header.columns;
    image->rows = header.rows;
    image->max_value = header.max_value;
    image->pixels = planes[0];
    return image;
}

PpmImage* read_ppm_file(const char* path)
{
    FILE* file = open_input(path);
    Header header;
    unsigned char** planes[3];
    if (!read_header(file, PPM, &header) || !read_planes(file, PPM, &header, planes)) {
        close_input(file);
        return nullptr;
    }
    close_input(file);
    PpmImage* image = static_cast<PpmImage*>(checked_calloc(1, sizeof(PpmImage)));
    std::memcpy(image->magic, "P6", 3);
    image->columns = header.columns;
    image->rows = header.rows;
    image->max_value = header.max_value;
    image->red = planes[0];
    image->green = planes[1];
    image->blue = planes[2];
    return image;
}

int write_pgm_file(const char* path, PgmImage* image)
{
    OutputFile out;
    open_output(out, path);
    write_header(out, image->magic, path, image->columns, image->rows, image->max_value);
    for (int r = 0; r < image->rows; ++r) out.write(image->pixels[r], static_cast<size_t>(image->columns));
    commit_output(out);
    return 1;
}

int write_ppm_file(const char* path, PpmImage* image)
{
    OutputFile out;
    open_output(out, path);
    write_header(out, image->magic, path, image->columns, image->rows, image->max_value);
    std::vector<unsigned char> row(3 * static_cast<size_t>(image->columns));
    for (int r = 0; r < image->rows; ++r) {
        for (int c = 0; c < image->columns; ++c) {
            row[3 * c] = image->red[r][c];
            row[3 * c + 1] = image->green[r][c];
            row[3 * c + 2] = image->blue[r][c];
        }
        out.write(row.data(), row.size());
    }
    commit_output(out);
    return 1;
}

void free_pgm_data(PgmImage* image)
{
    if (!unmap_rows(image->pixels)) free_ucmatrix(image->pixels, image->rows, image->columns);
    std::free(image);
}

void free_ppm_data(PpmImage* image)
{
    free_ucmatrix(image->red, image->rows, image->columns);
    free_ucmatrix(image->green, image->rows, image->columns);
    free_ucmatrix(image->blue, image->rows, image->columns);
    std::free(image);
}
