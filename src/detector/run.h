// What an Edges object holds: the detector's records of one run (or edges
// given as arrays), and the arrays made from them on first use.
#pragma once

#include <mutex>
#include <vector>

#include "detector.h"
#include "lintrace/lintrace.h"
#include "parallel.h"

namespace lintrace::detail {

struct Run {
    int64_t width = 0;
    int64_t height = 0;
    bool sub_pixel = false;
    int threads = 1;
    Schedule schedule;
    bool traced = false;  // the edges are the detector's; else given as arrays
    Detector detector;

    std::once_flag arrays_made;
    std::vector<Point> points;
    std::vector<int64_t> offsets{0};
    std::vector<uint8_t> closed;
    std::vector<uint8_t> starts_at_junction;
    std::vector<uint8_t> ends_at_junction;

    // Filled by the driver when the run keeps the gradient, in the order of `points`.
    std::vector<double> magnitudes;
    std::vector<double> directions;

    // Calls visit(pixel, has_record) for every point of every edge, in the
    // order of the list: the junctions' pixels stand in line with the chain;
    // has_record is false for a junction where no candidate stood. end_edge()
    // follows the points of each edge.
    template <typename Visit, typename EndEdge>
    void each_point(const Visit& visit, const EndEdge& end_edge) const
    {
        const Detector* d = &detector;
        const size_t count = d->edges.size();
        for (size_t place = 0; place < count; ++place) {
            const EdgeRef ref = d->edges[count - 1 - place];
            const Edge& edge = edge_of(d, ref);
            const Links& part = d->links[ref.part];
            const auto visit_junction = [&](uint32_t index) {
                if (index == NO_JUNCTION) return;
                const Junction& junction = part.junctions[index];
                visit(ChainPoint{junction.x, junction.y}, junction.has_edgel);
            };
            visit_junction(edge.start_junction);
            const ChainPoint* first = chain_of(part.edge_points, edge);
            for (const ChainPoint* p = first; p != first + edge.point_count; ++p) visit(*p, true);
            visit_junction(edge.end_junction);
            end_edge();
        }
    }

    // The detector's edges as arrays, in the order of the list.
    void make_arrays()
    {
        if (!traced) return;
        const Detector* d = &detector;
        const size_t count = d->edges.size();
        offsets.assign(1, 0);
        offsets.reserve(count + 1);
        closed.resize(count);
        starts_at_junction.resize(count);
        ends_at_junction.resize(count);
        for (size_t place = 0; place < count; ++place) {
            const Edge& edge = edge_of(d, d->edges[count - 1 - place]);
            closed[place] = edge.closed;
            starts_at_junction[place] = edge.start_junction != NO_JUNCTION;
            ends_at_junction[place] = edge.end_junction != NO_JUNCTION;
        }
        points.reserve(point_count());
        each_point(
            [this, d](const ChainPoint& p, bool has_record) {
                if (!sub_pixel) {
                    points.push_back(Point{static_cast<double>(p.x), static_cast<double>(p.y)});
                    return;
                }
                // A junction's sub-pixel position is that of the candidate that
                // stood at its pixel; where none did, the list has (0, 0).
                const uint32_t record = has_record ? edgel_index(&d->edgels, p.x, p.y) : NO_EDGEL;
                if (record != NO_EDGEL) {
                    const SubPixel& s = d->edgels.sub_pixels[record];
                    points.push_back(Point{s.x, s.y});
                } else {
                    points.push_back(Point{0.0, 0.0});
                }
            },
            [this]() { offsets.push_back(static_cast<int64_t>(points.size())); });
    }

    size_t point_count() const
    {
        if (!traced) return points.size();
        size_t total = 0;
        for (const EdgeRef ref : detector.edges) {
            const Edge& edge = edge_of(&detector, ref);
            total += edge.point_count + (edge.start_junction != NO_JUNCTION) + (edge.end_junction != NO_JUNCTION);
        }
        return total;
    }
};

}  // namespace lintrace::detail
