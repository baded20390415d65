// CSV: a row per point, edge,point,x,y,magnitude,direction; with a
// georeference edge,point,x,y,col,row,magnitude,direction, x and y in map
// units and col, row the position in pixels. `point` is the point's place in
// its edge in the list (simplification leaves gaps); the gradient fields are
// empty where the edges keep no gradient and no image is given.
#include <charconv>
#include <string>

#include "writer.h"

namespace lintrace::writers {

void write_csv(const Edges& edges, const WriteOptions& options, const TextSink& sink)
{
    const bool map = options.georeference.has_value();
    const Pieces pieces(edges, options, map, true);
    const Numbers numbers{options.precision};
    sink(map ? "edge,point,x,y,col,row,magnitude,direction\n" : "edge,point,x,y,magnitude,direction\n");
    pieces.write(
        [&](size_t first, size_t last, std::string* text) {
            // A row is put together in place, each number written where it
            // stands: two indices and six numbers, each with room for any double.
            char row[8 * NUMBER_ROOM];
            pieces.each(first, last, [&](const ReadyEdge& edge) {
                char* const after_edge = std::to_chars(row, row + 32, edge.index).ptr;
                *after_edge = ',';
                for (size_t k = 0; k < edge.kept.size(); ++k) {
                    const int64_t p = edge.kept[k];
                    char* end = std::to_chars(after_edge + 1, after_edge + 33, p).ptr;
                    const auto put = [&end](std::string_view number) {
                        *end++ = ',';
                        end += number.size();
                    };
                    put(numbers.position(edge.positions[k].x, end + 1));
                    put(numbers.position(edge.positions[k].y, end + 1));
                    if (map) {
                        put(numbers.position(edge.pixels[k].x, end + 1));
                        put(numbers.position(edge.pixels[k].y, end + 1));
                    }
                    // Where the run kept no gradient, its fields are empty.
                    put(edge.magnitudes.empty() ? std::string_view() : numbers.number(edge.magnitudes[p], end + 1));
                    put(edge.directions.empty() ? std::string_view() : numbers.number(edge.directions[p], end + 1));
                    *end++ = '\n';
                    text->append(row, end);
                }
            });
        },
        sink);
}

}  // namespace lintrace::writers
