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

    // A streamed run's: two numbers per edge, in the order of the list.
    std::vector<int64_t> group_keys;

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

    // Edges first .. last - 1 of the list as arrays of their own, for a
    // writer that formats a piece of the list at a time: no array of the
    // whole run is made. offsets are the piece's (from 0); pixels, where
    // asked for, the pixel of each point (its sub-pixel position's pixel).
    struct Piece {
        std::vector<Point> points;
        std::vector<int64_t> offsets;
        std::vector<uint8_t> closed, starts_at_junction, ends_at_junction;  // empty for edges given as arrays
        std::vector<ChainPoint> pixels;
    };
    void piece(size_t first, size_t last, bool with_pixels, Piece* out) const
    {
        out->points.clear();
        out->offsets.assign(1, 0);
        out->closed.clear();
        out->starts_at_junction.clear();
        out->ends_at_junction.clear();
        out->pixels.clear();
        if (!traced) {
            const int64_t base = offsets[first];
            out->points.assign(points.begin() + base, points.begin() + offsets[last]);
            for (size_t k = first; k < last; ++k) out->offsets.push_back(offsets[k + 1] - base);
            if (!closed.empty()) {
                // Flags given with the arrays (simplified edges keep the detector's).
                out->closed.assign(closed.begin() + first, closed.begin() + last);
                out->starts_at_junction.assign(starts_at_junction.begin() + first, starts_at_junction.begin() + last);
                out->ends_at_junction.assign(ends_at_junction.begin() + first, ends_at_junction.begin() + last);
            }
            return;
        }
        const Detector* d = &detector;
        const size_t count = d->edges.size();
        for (size_t place = first; place < last; ++place) {
            const EdgeRef ref = d->edges[count - 1 - place];
            const Edge& edge = edge_of(d, ref);
            const Links& part = d->links[ref.part];
            out->closed.push_back(edge.closed);
            out->starts_at_junction.push_back(edge.start_junction != NO_JUNCTION);
            out->ends_at_junction.push_back(edge.end_junction != NO_JUNCTION);
            const auto put = [&](const ChainPoint& p, bool has_record) {
                if (with_pixels) out->pixels.push_back(p);
                if (!sub_pixel) {
                    out->points.push_back(Point{static_cast<double>(p.x), static_cast<double>(p.y)});
                    return;
                }
                const uint32_t record = has_record ? edgel_index(&d->edgels, p.x, p.y) : NO_EDGEL;
                if (record != NO_EDGEL) {
                    const SubPixel& s = d->edgels.sub_pixels[record];
                    out->points.push_back(Point{s.x, s.y});
                } else {
                    out->points.push_back(Point{0.0, 0.0});
                }
            };
            const auto put_junction = [&](uint32_t index) {
                if (index == NO_JUNCTION) return;
                const Junction& junction = part.junctions[index];
                put(ChainPoint{junction.x, junction.y}, junction.has_edgel);
            };
            put_junction(edge.start_junction);
            const ChainPoint* chain = chain_of(part.edge_points, edge);
            for (const ChainPoint* p = chain; p != chain + edge.point_count; ++p) put(*p, true);
            put_junction(edge.end_junction);
            out->offsets.push_back(static_cast<int64_t>(out->points.size()));
        }
    }

    // The place in points() of the first point of edges 0, per, 2 per, ...
    // (and the point count last), for a writer of pieces of `per` edges that
    // reads the run's per-point arrays.
    std::vector<int64_t> piece_starts(size_t per) const
    {
        std::vector<int64_t> starts;
        const size_t count = traced ? detector.edges.size() : offsets.size() - 1;
        int64_t total = 0;
        for (size_t place = 0; place < count; ++place) {
            if (place % per == 0) starts.push_back(total);
            if (!traced) {
                total = offsets[place + 1];
                continue;
            }
            const Edge& edge = edge_of(&detector, detector.edges[count - 1 - place]);
            total += edge.point_count + (edge.start_junction != NO_JUNCTION) + (edge.end_junction != NO_JUNCTION);
        }
        starts.push_back(total);
        return starts;
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
