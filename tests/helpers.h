// Shared helpers of the tests: images, the product's detector run in-process,
// and running the built programs the way a user does.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "detector.h"
#include "driver.h"

// Pieces of every stage small enough that small images are cut too: bands of
// as few as 16 pixels and 64 candidates, and three edges a piece of the list;
// vector kernels of at most `lanes` doubles (0: the widest there are).
inline Schedule small_pieces(int lanes = 0)
{
    return Schedule{16, 64, 3, lanes};
}

struct TestImage {
    int columns = 0;
    int rows = 0;
    std::vector<unsigned char> pixels;  // row-major

    unsigned char& at(int c, int r) { return pixels[static_cast<size_t>(r) * columns + c]; }
    std::vector<unsigned char*> row_pointers();
};

TestImage blank_image(int columns, int rows, unsigned char value = 0);
// Smooth random blobs plus noise: many edges, junctions and closed curves.
TestImage random_image(int columns, int rows, std::mt19937& random);
// A real photograph of the repository's data directory.
TestImage photograph(const std::string& name);
// The top-left corner of a photograph.
TestImage crop(const TestImage& image, int columns, int rows, int left = 0, int top = 0);

// The mask lintrace derives from sigma (which must be accepted).
int mask_of(double sigma);

// The product's detector on an image, through the library's entry point, cut
// into small pieces: the connectivity list's text.
std::string detect(const TestImage& image, double sigma, float low, float high, bool sub_pixel, int threads = 1,
                   int lanes = 0);

// The product's gradient rows over a whole image.
void gradient_images(const TestImage& image, double sigma, std::vector<double>* dx, std::vector<double>* dy,
                     std::vector<double>* magnitude, int lanes = 0);

// Where two texts first differ, by line: "" when they are the same, else the
// line's number and both versions of it (long lists are not printed whole).
std::string first_difference(const std::string& got, const std::string& expected);

struct ProgramRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    long peak_kilobytes = 0;  // the child's peak resident memory
};

// Runs a program with arguments (argv[0] is the program's path), feeding `input` on standard input.
ProgramRun run_program(const std::vector<std::string>& argv, const std::string& input = "");

std::string read_file(const std::string& path);
void write_file_bytes(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
// A fresh empty directory for one test.
std::string scratch_directory();
std::string pgm_bytes(const TestImage& image, const std::string& comment = "");

extern const std::string LINTRACE;
extern const std::string LINPAINT;
extern const std::string DATA_DIR;
