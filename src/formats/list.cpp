// The connectivity list among the formats: the detector's own writer
// (Edges::write_list), byte for byte; the vector formats' options do not
// apply to it (write() refuses them).
#include "writer.h"

namespace lintrace::writers {

void write_list(const Edges& edges, const WriteOptions&, const TextSink& sink)
{
    edges.write_list(sink);
}

}  // namespace lintrace::writers
