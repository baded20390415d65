// The library's entry point with the schedule given (the sizes of the stages'
// pieces, the width of the vector kernels), so that tests and fuzzers cut even
// small images into many pieces, ask for every width, and run the
// very path the programs run.
#pragma once

#include "lintrace/lintrace.h"
#include "parallel.h"

namespace lintrace::detail {

// `after_stage`, where given, is called with the name of each stage as it
// ends ("suppression", "linking", "gradient at the points"), for the
// benchmark's clock, and with SAMPLES_READ once the image's samples are read
// for the last time.
constexpr const char* SAMPLES_READ = "samples read";
Edges trace(const ImageView& image, const Settings& settings, const Schedule& schedule,
            const std::function<void(const char*)>& after_stage = nullptr);

// The records behind an Edges object, for the library's own stages.
struct Access {
    static std::unique_ptr<Run>& run(Edges& edges) { return edges.run_; }
    static const Run* run(const Edges& edges) { return edges.run_.get(); }
};

inline const Run* run_of(const Edges& edges)
{
    return Access::run(edges);
}

}  // namespace lintrace::detail
