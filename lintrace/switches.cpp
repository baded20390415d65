// lintrace's settings and its switch table.
#include "switches.h"

#include <bit>
#include <cstdint>

double sigma = 0.4;
int mask;
float low_threshold = 1.4f;
float high_threshold = 2.0f;
int Sub_pixel = 0;
char infile[256];
char outfile[256];

namespace {

// -s is read in single precision and widened into sigma, whose default is the
// double 0.4. The switch's slot starts as a signalling NaN, which no
// conversion ever produces, so an unconverted value leaves sigma at its default.
constexpr uint32_t SIGMA_UNSET_BITS = 0x7fa5a5a5;
float sigma_switch = std::bit_cast<float>(SIGMA_UNSET_BITS);

}  // namespace

SwitchEntry args[] = {
    {"i", 1, STRING, 256, infile, 0, "the name of the PGM image file for input"},
    {"s", 0, FLOAT, 1, &sigma_switch, 0, "the sigma value used for convolution (default 0.4)"},
    {"m", 0, INT, 1, &mask, 0, "the size of the full mask used for convolution (default 4*sigma)"},
    {"lt", 0, FLOAT, 1, &low_threshold, 0, "the low threshold value (default 1.4)"},
    {"ht", 0, FLOAT, 1, &high_threshold, 0, "the high threshold value (default 2.0)"},
    {"sp", 0, BOOLEAN, 1, &Sub_pixel, 0, "print out sub-pixel localized values (default FALSE)"},
    {"o", 1, STRING, 256, outfile, 0, "the name of the file to store the connectivity list"},
    {nullptr, 0, 0, 0, nullptr, 0, nullptr},
};

void take_sigma_switch()
{
    if (std::bit_cast<uint32_t>(sigma_switch) != SIGMA_UNSET_BITS) sigma = sigma_switch;
}
