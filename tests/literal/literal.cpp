// The plain twin of the detector, stage by stage, the slow literal way.
#include "literal.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace literal {

int XSIZE, YSIZE;
Edgel** edgels;
Edgel* tedgels;
unsigned short* Record_image;
JunctionEntry* jct_lst;
Edge* edges;

namespace {

const double x_offset[8] = {-1, 0, 1, -1, -1, 0, 1, 1};
const double y_offset[8] = {1, 1, 1, 0, -1, -1, -1, 0};

// Every block the run allocates, released by reset().
std::vector<void*> allocations;

template <typename T>
T* zalloc(size_t count = 1)
{
    void* block = std::calloc(count, sizeof(T));
    allocations.push_back(block);
    return static_cast<T*>(block);
}

int cell(double x, double y)
{
    return static_cast<int>(y + 0.5) * XSIZE + static_cast<int>(x + 0.5);
}

}  // namespace

void gaussian_vectors(int mask, double sigma, double** deriv_table, double** gauss_taps)
{
    const int half = (mask + 1) / 2;
    double* deriv_taps = new double[half];
    *gauss_taps = new double[half];
    *deriv_table = new double[256 * static_cast<size_t>(half)];
    const double s2 = sigma * sigma;
    const double twice = 2 * s2;
    const double norm = 1 / (sigma * std::sqrt(6.283185307179586));
    for (double t = 0; t < half; ++t) {
        const double g = std::exp(-(t * t) / twice) * norm;
        (*gauss_taps)[static_cast<int>(t)] = g;
        deriv_taps[static_cast<int>(t)] = g * (-t / s2);
    }
    for (int n = 255; n >= 0; --n)
        for (int t = 0; t < half; ++t) (*deriv_table)[n * half + t] = n * deriv_taps[t];
    delete[] deriv_taps;
}

namespace {

// The first pass's products of a grey value: the table's row for a byte,
// the level times each tap (row 1 of the table holds the taps) for a double.
const double* products(const double* deriv_table, int half, unsigned char grey, std::vector<double>*)
{
    return deriv_table + grey * half;
}
const double* products(const double* deriv_table, int half, double level, std::vector<double>* row)
{
    row->resize(static_cast<size_t>(half));
    for (int t = 0; t < half; ++t) (*row)[t] = level * deriv_table[half + t];
    return row->data();
}

template <typename Grey>
void convolve_grey(const Grey* const* pixels, int mask, double sigma, double** dx_out, double** dy_out,
                   double** magnitude_out)
{
    if (mask % 2 == 0) mask = mask + 1;
    if (mask < 3) mask = 3;
    double* deriv_table;
    double* gauss_taps;
    gaussian_vectors(mask, sigma, &deriv_table, &gauss_taps);
    const int half = (mask + 1) / 2;
    const int N = XSIZE * YSIZE;
    std::vector<double> row;
    double* dx = new double[N]();
    double* dy = new double[N]();
    double* raw_dx = new double[N]();
    double* raw_dy = new double[N]();

    for (int r = 0; r < YSIZE; ++r) {
        for (int c = 0; c < XSIZE; ++c) {
            const double* T = products(deriv_table, half, pixels[r][c], &row);
            const int p = r * XSIZE + c;
            raw_dx[p] += T[0];
            raw_dy[p] += T[0];
            for (int l = 1; l < half; ++l) {
                const double m = T[l];
                if (c + l < XSIZE) raw_dx[p + l] += m;
                if (c - l >= 0) raw_dx[p - l] -= m;
                if (r + l < YSIZE) raw_dy[p + l * XSIZE] += m;
                if (r - l >= 0) raw_dy[p - l * XSIZE] -= m;
            }
        }
    }
    for (int r = 0; r < YSIZE; ++r) {
        for (int c = 0; c < XSIZE; ++c) {
            const int p = r * XSIZE + c;
            const double a = raw_dx[p];
            const double b = raw_dy[p];
            dx[p] += a * gauss_taps[0];
            dy[p] += b * gauss_taps[0];
            for (int l = 1; l < half; ++l) {
                const double w = gauss_taps[l];
                if (c + l < XSIZE) dy[p + l] += b * w;
                if (c - l >= 0) dy[p - l] += b * w;
                if (r + l < YSIZE) dx[p + l * XSIZE] += a * w;
                if (r - l >= 0) dx[p - l * XSIZE] += a * w;
            }
        }
    }
    delete[] raw_dx;
    delete[] raw_dy;
    double* magnitude = new double[N];
    for (int i = 0; i < N; ++i) magnitude[i] = std::hypot(dx[i], dy[i]);
    delete[] deriv_table;
    delete[] gauss_taps;
    *dx_out = dx;
    *dy_out = dy;
    *magnitude_out = magnitude;
}

}  // namespace

void convolve(const unsigned char* const* pixels, int mask, double sigma, double** dx, double** dy,
              double** magnitude)
{
    convolve_grey(pixels, mask, sigma, dx, dy, magnitude);
}

void convolve(const double* const* levels, int mask, double sigma, double** dx, double** dy, double** magnitude)
{
    convolve_grey(levels, mask, sigma, dx, dy, magnitude);
}

void localize(double m, double forward, double backward, double slope, double x, double y, double gx, double gy,
              double* sub_x, double* sub_y)
{
    double d;
    if (std::fabs(slope) < 1)
        d = std::sqrt(1 + slope * slope);
    else
        d = std::sqrt(1 + 1 / (slope * slope));
    double denominator = 2 * ((forward + backward) - 2 * m);
    // The sum can round a curvature of one unit in the last place to 0; the
    // differences from m cannot.
    if (!(denominator < 0)) denominator = 2 * ((forward - m) + (backward - m));
    double u = 0;
    if (denominator < 0) u = (d * (backward - forward)) / denominator;
    if (gx < 0) {
        gx = -gx;
        gy = -gy;
    }
    if (gx == 0) gy = std::fabs(gy);  // the vertex lies one row down, along +y
    *sub_x = x + (u * gx) / m;
    *sub_y = y + (u * gy) / m;
}

void local_extrema(int mask, const double* dx, const double* dy, const double* magnitude, double low, double high)
{
    edgels = new_edgel_list();
    const int half = (mask + 1) / 2;
    auto M = [magnitude](double c, double r) { return magnitude[cell(c, r)]; };
    for (int j = 0; j < YSIZE; ++j) {
        for (int i = 0; i < XSIZE; ++i) {
            const double m = magnitude[cell(i, j)];
            if (!(m >= low)) continue;
            if (!(0 < i && i < XSIZE - 1 && 0 < j && j < YSIZE - 1)) continue;
            const double gx = dx[cell(i, j)];
            const double gy = dy[cell(i, j)];
            double slope = 0;
            if (gx != 0) slope = gy / gx;
            double backward;
            double forward;
            if (gx == 0) {
                backward = M(i, j - 1);
                forward = M(i, j + 1);
            } else if (slope < 0) {
                if (slope > -1) {
                    backward = (1 + slope) * M(i - 1, j) - slope * M(i - 1, j + 1);
                    forward = (1 + slope) * M(i + 1, j) - slope * M(i + 1, j - 1);
                } else {
                    const double W = 1 / slope;
                    backward = (1 + W) * M(i, j + 1) - W * M(i - 1, j + 1);
                    forward = (1 + W) * M(i, j - 1) - W * M(i + 1, j - 1);
                }
            } else {
                if (slope < 1) {
                    backward = (1 - slope) * M(i - 1, j) + slope * M(i - 1, j - 1);
                    forward = (1 - slope) * M(i + 1, j) + slope * M(i + 1, j + 1);
                } else {
                    const double W = 1 / slope;
                    backward = (1 - W) * M(i, j - 1) + W * M(i - 1, j - 1);
                    forward = (1 - W) * M(i, j + 1) + W * M(i + 1, j + 1);
                }
            }
            if (!(m > forward && m >= backward)) continue;
            if (!(half < i && i < XSIZE - half && half < j && j < YSIZE - half)) continue;
            double sub_x;
            double sub_y;
            localize(m, forward, backward, slope, i, j, gx, gy, &sub_x, &sub_y);
            add_edgel(edgels, i, j, gx, gy, m >= high ? 1 : 0, sub_x, sub_y);
        }
    }
    Record_image = zalloc<unsigned short>(static_cast<size_t>(XSIZE) * YSIZE);
    for (int k = 19999; k >= 0; --k)
        for (tedgels = edgels[k]; tedgels != nullptr; tedgels = tedgels->next)
            Record_image[cell(tedgels->x, tedgels->y)] = 128;
}

Edgel** new_edgel_list()
{
    return zalloc<Edgel*>(20000);
}

int edgel_key(double x, double y)
{
    return static_cast<int>(static_cast<long long>(x * 1000.0 + y) % 20000);
}

void add_edgel(Edgel** table, double x, double y, double gx, double gy, int high, double sub_x, double sub_y)
{
    Edgel* e = zalloc<Edgel>();
    e->x = x;
    e->y = y;
    e->gx = gx;
    e->gy = gy;
    e->sub_x = sub_x;
    e->sub_y = sub_y;
    e->high = high;
    const int k = edgel_key(x, y);
    e->next = table[k];
    table[k] = e;
}

Edgel* get_edgel_ptr(Edgel** table, double x, double y)
{
    for (Edgel* e = table[edgel_key(x, y)]; e != nullptr; e = e->next)
        if (e->x == x && e->y == y) return e;
    return nullptr;
}

Edgel* get_edgel(Edgel** table, double x, double y)
{
    const int k = edgel_key(x, y);
    Edgel* before = nullptr;
    for (Edgel* e = table[k]; e != nullptr; before = e, e = e->next) {
        if (e->x == x && e->y == y) {
            if (before == nullptr)
                table[k] = e->next;
            else
                before->next = e->next;
            e->prev = nullptr;
            e->next = nullptr;
            return e;
        }
    }
    return nullptr;
}

void set_edgel_high(Edgel** table, double x, double y)
{
    Edgel* e = get_edgel_ptr(table, x, y);
    if (e == nullptr) {
        std::fprintf(stderr, "\n\nERROR:  Could not set (%.1f, %.1f) high!\n", x, y);
        return;
    }
    e->high = 1;
}

int num_neighbors(double x, double y, int mask, signed char* codes)
{
    const int below = Record_image[cell(x, y + 1)];
    const int right = Record_image[cell(x + 1, y)];
    const int above = Record_image[cell(x, y - 1)];
    const int left = Record_image[cell(x - 1, y)];
    int n = 0;
    if (below & mask) codes[n++] = 1;
    if (right & mask) codes[n++] = 7;
    if (above & mask) codes[n++] = 5;
    if (left & mask) codes[n++] = 3;
    if (below == 0) {
        if (right == 0 && (Record_image[cell(x + 1, y + 1)] & mask)) codes[n++] = 2;
        if (left == 0 && (Record_image[cell(x - 1, y + 1)] & mask)) codes[n++] = 0;
    }
    if (above == 0) {
        if (right == 0 && (Record_image[cell(x + 1, y - 1)] & mask)) codes[n++] = 6;
        if (left == 0 && (Record_image[cell(x - 1, y - 1)] & mask)) codes[n++] = 4;
    }
    return n;
}

namespace {

double newx(double x, int i, const signed char* codes)
{
    return x + x_offset[codes[i]];
}
double newy(double y, int i, const signed char* codes)
{
    return y + y_offset[codes[i]];
}

JunctionEntry* get_junction(double x, double y)
{
    for (JunctionEntry* entry = jct_lst; entry != nullptr; entry = entry->next)
        if (entry->junction->x == x && entry->junction->y == y) return entry;
    Junction* junction = zalloc<Junction>();
    JunctionEntry* entry = zalloc<JunctionEntry>();
    entry->junction = junction;
    junction->x = x;
    junction->y = y;
    if (Edgel* e = get_edgel(edgels, x, y)) {
        junction->gx = e->gx;
        junction->gy = e->gy;
        junction->sub_x = e->sub_x;
        junction->sub_y = e->sub_y;
    }
    for (Edgel*& branch : junction->branch) branch = nullptr;
    entry->next = jct_lst;
    jct_lst = entry;
    return entry;
}

void set_junction(JunctionEntry* entry, Edgel* e)
{
    const double dx = e->x - entry->junction->x;
    const double dy = e->y - entry->junction->y;
    for (int d = 0; d < 8; ++d) {
        if (x_offset[d] == dx && y_offset[d] == dy) {
            entry->junction->branch[d] = e;
            return;
        }
    }
}

int junction_done(JunctionEntry* entry, int n, const signed char* codes)
{
    for (int k = n - 1; k >= 0; --k) {
        Edgel* branch = entry->junction->branch[codes[k]];
        if (branch == nullptr) return 0;
        if (Record_image[cell(branch->x, branch->y)] & 128) return 0;
    }
    return 1;
}

void delete_junction(JunctionEntry* entry)
{
    JunctionEntry* before = nullptr;
    for (JunctionEntry* e = jct_lst; e != nullptr; before = e, e = e->next) {
        if (e == entry) {
            if (before == nullptr)
                jct_lst = e->next;
            else
                before->next = e->next;
            return;
        }
    }
}

void walk(double x, double y, Edgel* prev, Edgel** head, Edgel** tail, Junction** start, Junction** end, int at_tail)
{
    signed char codes[8];
    const int n = num_neighbors(x, y, 224, codes);
    if (n <= 2) {
        const int t = num_neighbors(x, y, 160, codes);
        Record_image[cell(x, y)] = 64;
        Edgel* e;
        if (prev == nullptr) {
            e = zalloc<Edgel>();
            *e = *tedgels;
            e->prev = nullptr;
            e->next = nullptr;
            *head = e;
            *tail = e;
        } else {
            e = get_edgel(edgels, x, y);
            if (e == nullptr) return;
            if (at_tail) {
                e->prev = prev;
                prev->next = e;
                e->next = nullptr;
                *tail = e;
            } else {
                e->next = prev;
                prev->prev = e;
                e->prev = nullptr;
                *head = e;
            }
        }
        if (t >= 1) walk(newx(x, 0, codes), newy(y, 0, codes), e, head, tail, start, end, at_tail);
        if (t == 2) walk(newx(x, 1, codes), newy(y, 1, codes), e, head, tail, end, start, 0);
    } else {
        const int t = num_neighbors(x, y, 192, codes);
        Record_image[cell(x, y)] = 32;
        JunctionEntry* J = get_junction(x, y);
        if (prev == nullptr) {
            *start = J->junction;
            *end = J->junction;
        } else {
            set_junction(J, prev);
            *end = J->junction;
        }
        if (junction_done(J, t, codes)) delete_junction(J);
    }
}

void add_edges(Edge** list, Edgel* head, Edgel* tail, Junction* start, Junction* end)
{
    Edge* edge = zalloc<Edge>();
    edge->head = head;
    edge->tail = tail;
    edge->start_junction = start;
    edge->end_junction = end;
    edge->next = *list;
    *list = edge;
}

bool in_bucket(int k, const Edgel* record)
{
    for (const Edgel* e = edgels[k]; e != nullptr; e = e->next)
        if (e == record) return true;
    return false;
}

}  // namespace

void join_edges()
{
    jct_lst = nullptr;
    bool repeat;
    do {
        for (int k = 19999; k >= 0; --k) {
            tedgels = edgels[k];
            while (tedgels != nullptr) {
                Edgel* current = tedgels;
                Edgel* following = current->next;
                if (current->high && Record_image[cell(current->x, current->y)] == 128) {
                    Edgel* head = nullptr;
                    Edgel* tail = nullptr;
                    Junction* start = nullptr;
                    Junction* end = nullptr;
                    walk(current->x, current->y, nullptr, &head, &tail, &start, &end, 1);
                    if (head != nullptr) add_edges(&edges, head, tail, start, end);
                    tedgels = in_bucket(k, current) ? current->next : following;
                } else {
                    tedgels = current->next;
                }
            }
        }
        repeat = false;
        for (JunctionEntry* entry = jct_lst; entry != nullptr; entry = entry->next) {
            signed char codes[8];
            const int n = num_neighbors(entry->junction->x, entry->junction->y, 128, codes);
            for (int k = 0; k < n; ++k) {
                set_edgel_high(edgels, std::trunc(newx(entry->junction->x, k, codes)),
                               std::trunc(newy(entry->junction->y, k, codes)));
                repeat = true;
            }
        }
    } while (repeat);
}

std::string write_list(bool sub_pixel)
{
    std::string text;
    char line[1024];
    auto point = [&](double x, double y, double sub_x, double sub_y) {
        if (sub_pixel)
            std::snprintf(line, sizeof line, "%.1f %.1f\n", sub_x, sub_y);
        else
            std::snprintf(line, sizeof line, "%.2f %.2f\n", x, y);
        text += line;
    };
    for (Edge* edge = edges; edge != nullptr; edge = edge->next) {
        if (Junction* j = edge->start_junction) point(j->x, j->y, j->sub_x, j->sub_y);
        for (Edgel* e = edge->head; e != nullptr; e = e->next) point(e->x, e->y, e->sub_x, e->sub_y);
        if (Junction* j = edge->end_junction) point(j->x, j->y, j->sub_x, j->sub_y);
        text += "-1 -1\n";
    }
    return text;
}

void reset()
{
    for (void* block : allocations) std::free(block);
    allocations.clear();
    edgels = nullptr;
    tedgels = nullptr;
    Record_image = nullptr;
    jct_lst = nullptr;
    edges = nullptr;
}

int mask_for(double sigma)
{
    const double v = 4.0 * sigma + 0.5;
    int mask = static_cast<int>(v);
    if (mask < 3) mask = 3;
    if (mask % 2 == 0) mask = mask + 1;
    return mask;
}

namespace {

template <typename Grey>
std::string run_grey(const std::vector<Grey>& image, int columns, int rows, double sigma, float low, float high,
                     bool sub_pixel)
{
    reset();
    XSIZE = columns;
    YSIZE = rows;
    std::vector<const Grey*> pixels(rows);
    for (int r = 0; r < rows; ++r) pixels[r] = image.data() + static_cast<size_t>(r) * columns;
    const int mask = mask_for(sigma);
    double* dx;
    double* dy;
    double* magnitude;
    convolve(pixels.data(), mask, sigma, &dx, &dy, &magnitude);
    local_extrema(mask, dx, dy, magnitude, static_cast<double>(low), static_cast<double>(high));
    join_edges();
    std::string text = write_list(sub_pixel);
    delete[] dx;
    delete[] dy;
    delete[] magnitude;
    reset();
    return text;
}

}  // namespace

std::string run(const std::vector<unsigned char>& image, int columns, int rows, double sigma, float low, float high,
                bool sub_pixel)
{
    return run_grey(image, columns, rows, sigma, low, high, sub_pixel);
}

std::string run(const std::vector<double>& levels, int columns, int rows, double sigma, float low, float high,
                bool sub_pixel)
{
    return run_grey(levels, columns, rows, sigma, low, high, sub_pixel);
}

}  // namespace literal
