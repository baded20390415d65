// The library's entry point with the sizes of the stages' pieces given, so
// that tests and fuzzers cut even small images into many pieces and run the
// very path the programs run.
#pragma once

#include "lintrace/lintrace.h"
#include "parallel.h"

namespace lintrace::detail {

// `after_stage`, where given, is called with the name of each stage as it
// ends ("suppression", "linking"), for the benchmark's clock.
Edges trace(const ImageView& image, const Settings& settings, const PieceSizes& pieces,
            const std::function<void(const char*)>& after_stage = nullptr);

}  // namespace lintrace::detail
