// The library's entry point with the schedule given (the sizes of the stages'
// pieces, the width of the vector kernels), so that tests and fuzzers cut even
// small images into many pieces, ask for every width, and run the
// very path the programs run.
#pragma once

#include "lintrace/lintrace.h"
#include "lintrace/stream.h"
#include "parallel.h"

namespace lintrace::detail {

// `after_stage`, where given, is called with the name of each stage as it
// ends ("suppression", "linking", "gradient at the points"), for the
// benchmark's clock, and with SAMPLES_READ once the image's samples are read
// for the last time.
constexpr const char* SAMPLES_READ = "samples read";
Edges trace(const ImageView& image, const Settings& settings, const Schedule& schedule,
            const std::function<void(const char*)>& after_stage = nullptr);

// The grey levels of one row of `image`'s samples (its layout, not its
// samples, is read), as trace() computes them.
void level_row(const ImageView& image, const unsigned char* row, double* out);
// The number of threads the settings ask for (0: every processor).
int threads_of(const Settings& settings);

// The streamed runs (lintrace/stream.h) with the schedule given and, where
// `stream_rows` is above 0, bands of that many rows.
void trace_stream(RowSource& source, const Settings& settings, const Schedule& schedule, int64_t stream_rows,
                  const EdgesReady& edges_ready, const std::function<void(const StreamProgress&)>& progress);
Candidates trace_band(const ImageView& rows, int64_t rows_first, int64_t image_height, int64_t first_row,
                      int64_t end_row, const Settings& settings, const Schedule& schedule, int64_t stream_rows,
                      const EdgesReady& edges_ready);
void link_crossing(const std::vector<const Candidates*>& bands, int64_t image_width, int64_t image_height,
                   const Settings& settings, const Schedule& schedule, int64_t stream_rows,
                   const EdgesReady& edges_ready);

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
