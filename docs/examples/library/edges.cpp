// Prints, for a raw PGM image, how many edges lintrace finds and the longest
// of them; built against the installed library:
//   cmake -S . -B build -DCMAKE_PREFIX_PATH=/usr/local && cmake --build build
//   build/edges photo.pgm 1.0
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <lintrace/lintrace.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IMAGE.pgm SIGMA\n", argv[0]);
        return 2;
    }
    // A raw PGM: "P5", width, height, largest value, one white-space byte, the samples.
    std::ifstream file(argv[1], std::ios::binary);
    std::string magic;
    int64_t width = 0, height = 0;
    int max_value = 0;
    file >> magic >> width >> height >> max_value;
    file.get();
    std::vector<uint8_t> samples(static_cast<size_t>(width * height));
    file.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size()));
    if (magic != "P5" || max_value > 255 || !file) {
        std::fprintf(stderr, "%s: not an 8-bit raw PGM image\n", argv[1]);
        return 1;
    }
    try {
        lintrace::Settings settings;
        settings.sigma = std::atof(argv[2]);
        settings.sub_pixel = true;
        const lintrace::Edges edges = lintrace::trace(lintrace::ImageView::grey8(samples.data(), width, height), settings);
        size_t longest = 0;
        for (size_t k = 0; k < edges.size(); ++k)
            if (edges.edge(k).size() > edges.edge(longest).size()) longest = k;
        std::printf("%zu edges, %zu points\n", edges.size(), edges.points().size());
        if (edges.size() > 0)
            std::printf("longest: edge %zu, %zu points, from (%.3f, %.3f)\n", longest, edges.edge(longest).size(),
                        edges.edge(longest)[0].x, edges.edge(longest)[0].y);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s: %s\n", argv[1], failure.what());
        return 1;
    }
    return 0;
}
