// Tracing an image larger than memory: a band of rows at a time, or in
// bands on several machines, with the edges trace() finds.
//
// Linking never joins two 8-connected groups of candidates: each group's
// edges depend on its own candidates alone. So an image can be traced by
// rows, keeping the candidates of the groups that the rows read so far leave
// open, and each group linked as soon as a row without a candidate of it is
// read. A group's edges are then the whole run's, point for point; only the
// order in which the groups come differs. That order is the groups' own:
//
//   groups by the row of their lowest candidate, groups of the same row by
//   the place of their first candidate in raster order (top row first, then
//   the leftmost); a group's edges in the order trace() lists them.
//
// The same order comes out of a run in bands, whatever the bands.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "lintrace/lintrace.h"
#include "lintrace/samples.h"

namespace lintrace {

// How far a streamed run has come.
struct StreamProgress {
    int64_t rows_read = 0;  // of the image's
    int64_t rows = 0;
    uint64_t edges = 0;     // handed over so far
};

// Hands over the edges of some whole groups, in the order above. Its
// group_keys() tell each edge's group.
using EdgesReady = std::function<void(Edges&& edges)>;

// Traces the image that `source` reads, a band of rows at a time, holding
// the rows the gradient needs, the candidates of the groups still open and
// one band's edges: the edges of trace(), each with the same points in the
// same order, handed to `edges_ready` a batch at a time, in the order above.
// `progress`, where given, is called after each band. Settings::gradient is
// refused (std::invalid_argument): the gradient at the points would need
// rows long gone. Throws what trace() and the source throw.
void trace_stream(RowSource& source, const Settings& settings, const EdgesReady& edges_ready,
                  const std::function<void(const StreamProgress&)>& progress = nullptr);

// Candidates of groups that cross from one band into another, in raster
// order within each band: their pixels, whether each is strong, and their
// sub-pixel positions (empty without Settings::sub_pixel).
struct Candidates {
    std::vector<int32_t> x;
    std::vector<int32_t> y;
    std::vector<uint8_t> strong;
    std::vector<double> sub_x;
    std::vector<double> sub_y;

    size_t size() const { return x.size(); }
};

// The rows a band needs beyond its own, above and below, for the gradient
// and the placement of its candidates.
int band_margin(const Settings& settings);

// Traces the rows first_row .. end_row - 1 of an image of `image_height`
// rows, of which `rows` holds rows rows_first .. rows_first + rows.height - 1:
// at least the band and band_margin() rows on either side, where the image
// has them (std::invalid_argument otherwise). The edges of the groups that
// lie in the band alone go to `edges_ready`, in the order above; the
// candidates of the groups that reach the band's first or last row, which
// may go on into the next band, are returned.
Candidates trace_band(const ImageView& rows, int64_t rows_first, int64_t image_height, int64_t first_row,
                      int64_t end_row, const Settings& settings, const EdgesReady& edges_ready);

// Links the crossing candidates of the bands of an image (together, in any
// order): the edges of their groups go to `edges_ready`, in the order above.
// Throws std::invalid_argument for candidates outside the image, at the
// same pixel twice, or without sub-pixel positions where settings ask for them.
void link_crossing(const std::vector<const Candidates*>& bands, int64_t image_width, int64_t image_height,
                   const Settings& settings, const EdgesReady& edges_ready);

}  // namespace lintrace
