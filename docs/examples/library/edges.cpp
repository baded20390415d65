// Prints, for an image of any format the programs read, how many edges
// lintrace finds and the longest of them; built against the installed
// libraries:
//   cmake -S . -B build -DCMAKE_PREFIX_PATH=/usr/local && cmake --build build
//   build/edges photo.jpg 1.0
#include <cstdio>
#include <cstdlib>
#include <exception>

#include <lintrace/image.h>
#include <lintrace/lintrace.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IMAGE SIGMA\n", argv[0]);
        return 2;
    }
    try {
        lintrace::Settings settings;
        settings.sigma = std::atof(argv[2]);
        settings.sub_pixel = true;
        const lintrace::Image image = lintrace::read_image(argv[1]);
        const lintrace::Edges edges = lintrace::trace(image.view(), settings);
        size_t longest = 0;
        for (size_t k = 0; k < edges.size(); ++k)
            if (edges.edge(k).size() > edges.edge(longest).size()) longest = k;
        std::printf("%zu edges, %zu points\n", edges.size(), edges.points().size());
        if (edges.size() > 0)
            std::printf("longest: edge %zu, %zu points, from (%.3f, %.3f)\n", longest, edges.edge(longest).size(),
                        edges.edge(longest)[0].x, edges.edge(longest)[0].y);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    return 0;
}
