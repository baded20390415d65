// SVG: one polyline per edge, in pixels whatever the georeference (an SVG
// lies over the image), closed edges drawn back to their first point.
#include <string>

#include "writer.h"

namespace lintrace::writers {

void write_svg(const Edges& edges, const WriteOptions& options, const TextSink& sink)
{
    const Pieces pieces(edges, options, false, false);
    const Numbers numbers{options.precision};
    std::string text;
    Text out(&text);
    const std::string width_text = std::to_string(edges.width());
    const std::string height_text = std::to_string(edges.height());
    // The view box puts the image's pixels, centred at whole numbers, exactly
    // on the canvas, so the drawing lies over the image at any scale.
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" << width_text << "\" height=\""
        << height_text << "\" viewBox=\"-0.5 -0.5 " << width_text << " " << height_text << "\">\n"
        << "<g stroke=\"black\" stroke-width=\"1\" stroke-linecap=\"round\" stroke-linejoin=\"round\">\n";
    sink(text);
    pieces.write(
        [&](size_t first, size_t last, std::string* piece_text) {
            Text out(piece_text);
            char x_room[NUMBER_ROOM];
            char y_room[NUMBER_ROOM];
            pieces.each(first, last, [&](const ReadyEdge& edge) {
                out << "<polyline fill=\"none\" points=\"";
                const auto put = [&](const Point& point, bool first_point) {
                    if (!first_point) out << " ";
                    out << numbers.position(point.x, x_room) << "," << numbers.position(point.y, y_room);
                };
                const std::vector<Point>& at = edge.positions;
                for (size_t p = 0; p < at.size(); ++p) put(at[p], p == 0);
                // A closed edge comes back to its first point; a single point is
                // a line of no length, which round caps draw as a dot.
                if (!at.empty() && (edge.closed || edge.count == 1)) put(at[0], false);
                out << "\"/>\n";
            });
        },
        sink);
    sink("</g>\n</svg>\n");
}

}  // namespace lintrace::writers
