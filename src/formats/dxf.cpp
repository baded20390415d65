// DXF: an ASCII drawing exchange file of AutoCAD 2000 (AC1015), which
// LibreCAD, QCAD, ezdxf and GDAL's DXF driver read: a header with the units,
// then one LWPOLYLINE per edge on layer 0, its closed flag (group 70 = 1) set
// on closed edges (whose first point is then not repeated), and a POINT for
// an edge of one point. Each entity has a handle of its own, from 100 (hex)
// up in the order of the list.
//
// CAD's y grows upwards. In pixels (no georeference) a point (x, y) is drawn
// at (x, height - 1 - y): the image stands upright, its bottom row's pixel
// centres on y = 0, and the drawing's extent is 0 .. width - 1 by 0 ..
// height - 1. Pixels have no length, so $INSUNITS is 0 (unitless); map
// coordinates are written as they are, also unitless (the coordinate
// system's unit is not known here).
#include <charconv>
#include <string>

#include "writer.h"

namespace lintrace::writers {

void write_dxf(const Edges& edges, const WriteOptions& options, const TextSink& sink)
{
    const bool map = options.georeference.has_value();
    const Pieces pieces(edges, options, true, false);
    const Numbers numbers{options.precision};
    const double top = static_cast<double>(edges.height() - 1);
    // Handles of the entities: after those of the few table records GDAL's
    // and ezdxf's readers make for themselves.
    constexpr size_t FIRST_HANDLE = 0x100;
    std::string text =
        "0\nSECTION\n2\nHEADER\n9\n$ACADVER\n1\nAC1015\n9\n$INSUNITS\n70\n0\n9\n$HANDSEED\n5\n";
    char room[NUMBER_ROOM];
    text.append(room, std::to_chars(room, room + 32, FIRST_HANDLE + pieces.size(), 16).ptr);
    text += "\n0\nENDSEC\n0\nSECTION\n2\nENTITIES\n";
    sink(text);
    pieces.write(
        [&](size_t first, size_t last, std::string* piece_text) {
            Text out(piece_text);
            char x_room[NUMBER_ROOM];
            char y_room[NUMBER_ROOM];
            char handle[32];
            pieces.each(first, last, [&](const ReadyEdge& edge) {
                const std::string_view handle_text(
                    handle, static_cast<size_t>(std::to_chars(handle, handle + 32, FIRST_HANDLE + edge.index, 16).ptr -
                                                handle));
                const auto y_of = [&](double y) { return map ? y : top - y; };
                const std::vector<Point>& at = edge.positions;
                if (edge.count == 1) {
                    out << "0\nPOINT\n5\n" << handle_text << "\n100\nAcDbEntity\n8\n0\n100\nAcDbPoint\n10\n"
                        << numbers.position(at[0].x, x_room) << "\n20\n" << numbers.position(y_of(at[0].y), y_room)
                        << "\n30\n0\n";
                    return;
                }
                out << "0\nLWPOLYLINE\n5\n" << handle_text << "\n100\nAcDbEntity\n8\n0\n100\nAcDbPolyline\n90\n"
                    << std::to_string(at.size()) << "\n70\n" << (edge.closed ? "1" : "0") << "\n";
                for (const Point& p : at)
                    out << "10\n" << numbers.position(p.x, x_room) << "\n20\n" << numbers.position(y_of(p.y), y_room)
                        << "\n";
            });
        },
        sink);
    sink("0\nENDSEC\n0\nEOF\n");
}

}  // namespace lintrace::writers
