// The plain twin of the detector: every stage written the slow, literal way,
// with the records, the 20000-bucket table, the scatter convolution, the
// recursive walk and the linear junction list exactly as the design describes
// them, and printf for the output. The product's stages are compared with it
// bit for bit. It carries the same deliberate mends as the product (a zero gx
// places the vertex one row down, a parabola that is not concave gives u = 0).
#pragma once

#include <string>
#include <vector>

namespace literal {

struct Edgel {
    double x, y, gx, gy, sub_x, sub_y;
    int high;
    Edgel* prev;
    Edgel* next;
};

struct Junction {
    double x, y, gx, gy, sub_x, sub_y;
    Edgel* branch[8];
};

struct JunctionEntry {
    Junction* junction;
    JunctionEntry* next;
};

struct Edge {
    Edgel* head;
    Edgel* tail;
    Junction* start_junction;
    Junction* end_junction;
    Edge* next;
};

// The run's globals.
extern int XSIZE, YSIZE;
extern Edgel** edgels;
extern unsigned short* Record_image;
extern JunctionEntry* jct_lst;
extern Edge* edges;

void gaussian_vectors(int mask, double sigma, double** deriv_table, double** gauss_taps);
// Three new arrays of XSIZE * YSIZE doubles (free with delete[]).
void convolve(const unsigned char* const* pixels, int mask, double sigma, double** dx, double** dy, double** magnitude);
// The same on grey levels that are doubles on the 0..255 scale: a source's
// products are its level times each tap.
void convolve(const double* const* levels, int mask, double sigma, double** dx, double** dy, double** magnitude);
void localize(double m, double forward, double backward, double slope, double x, double y, double gx, double gy,
              double* sub_x, double* sub_y);
void local_extrema(int mask, const double* dx, const double* dy, const double* magnitude, double low, double high);

Edgel** new_edgel_list();
int edgel_key(double x, double y);
void add_edgel(Edgel** table, double x, double y, double gx, double gy, int high, double sub_x, double sub_y);
Edgel* get_edgel(Edgel** table, double x, double y);
Edgel* get_edgel_ptr(Edgel** table, double x, double y);
void set_edgel_high(Edgel** table, double x, double y);

int num_neighbors(double x, double y, int mask, signed char* codes);
void join_edges();
std::string write_list(bool sub_pixel);

// Releases everything the run allocated and clears the globals.
void reset();

// A whole run on an image of rows x columns bytes (row-major), as lintrace
// does it after reading: the connectivity list's text.
std::string run(const std::vector<unsigned char>& image, int columns, int rows, double sigma, float low, float high,
                bool sub_pixel);

// The same on grey levels that are doubles (row-major).
std::string run(const std::vector<double>& levels, int columns, int rows, double sigma, float low, float high,
                bool sub_pixel);

// The mask size lintrace derives from sigma.
int mask_for(double sigma);

}  // namespace literal
