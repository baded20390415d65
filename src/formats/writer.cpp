// What the vector formats share (writer.h): numbers, the edges of a piece
// made ready, simplification and the test of a simple ring.
#include "writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "connectivity.h"

namespace lintrace {

Point to_map(const Georeference& georeference, Point pixel)
{
    const std::array<double, 6>& t = georeference.transform;
    // GDAL's pixel/line of a pixel-centred position.
    const double col = pixel.x + 0.5;
    const double row = pixel.y + 0.5;
    return Point{t[0] + col * t[1] + row * t[2], t[3] + col * t[4] + row * t[5]};
}

namespace writers {

namespace {

std::string_view view(char* room, const char* end)
{
    return std::string_view(room, static_cast<size_t>(end - room));
}

// v with `precision` decimals, trailing zeros and a lone point dropped, and
// no minus sign on a zero.
std::string_view rounded(double v, int precision, char* room)
{
    char* end = std::to_chars(room, room + NUMBER_ROOM, v, std::chars_format::fixed, precision).ptr;
    if (std::find(room, end, '.') != end) {
        while (end[-1] == '0') --end;
        if (end[-1] == '.') --end;
    }
    if (end - room == 2 && room[0] == '-' && room[1] == '0') return view(room + 1, end);
    return view(room, end);
}

}  // namespace

std::string_view Numbers::position(double v, char* room) const
{
    if (v == std::floor(v) && std::fabs(v) < 0x1p53)
        return view(room, std::to_chars(room, room + NUMBER_ROOM, static_cast<int64_t>(v)).ptr);
    if (precision >= 0 && std::isfinite(v)) return rounded(v, precision, room);
    return view(room, std::to_chars(room, room + NUMBER_ROOM, v, std::chars_format::fixed).ptr);
}

std::string_view Numbers::number(double v, char* room) const
{
    if (precision >= 0 && std::isfinite(v)) return rounded(v, precision, room);
    return view(room, std::to_chars(room, room + NUMBER_ROOM, v).ptr);
}

std::string_view Numbers::json(double v, char* room) const
{
    return std::isfinite(v) ? number(v, room) : std::string_view("null");
}

double Numbers::written(double v) const
{
    if (precision < 0 || !std::isfinite(v)) return v;
    char room[NUMBER_ROOM + 1];
    const std::string_view text = position(v, room);
    room[text.data() - room + text.size()] = '\0';
    return std::strtod(text.data(), nullptr);
}

Pieces::Pieces(const Edges& edges, const WriteOptions& options, bool map, bool gradient)
    : run_(detail::run_of(edges)), options_(options), map_(map && options.georeference.has_value())
{
    // The positions written are rounded to the precision, which moves each
    // corner of the simplified line, and so every point of its sides, by at
    // most half a unit of the last decimal in x and in y: the line is
    // simplified within what is left of the tolerance, so that no point lies
    // farther than the tolerance from the line as written.
    tolerance_ = options.simplify;
    if (options.precision >= 0 && tolerance_ > 0) {
        const double rounding = 0.5 * std::pow(10.0, -options.precision) * std::sqrt(2.0) * (1 + 1e-9);
        tolerance_ = std::max(tolerance_ - rounding, 0.0);
    }
    if (run_ == nullptr) return;
    count_ = edges.size();
    // An edge's vector text is several times its list text: pieces of an
    // eighth as many edges keep the pieces in flight about as large as the
    // list's.
    per_piece_ = std::max<size_t>(run_->schedule.edges_per_piece / 8, 1);
    if (!gradient) return;
    if (!run_->magnitudes.empty()) {
        has_gradient_ = true;
        piece_starts_ = run_->piece_starts(per_piece_);
    } else if (options.image != nullptr && run_->traced) {
        if (options.image->width != run_->width || options.image->height != run_->height)
            throw std::invalid_argument("the image of " + std::to_string(options.image->width) + " x " +
                                        std::to_string(options.image->height) +
                                        " pixels is not the one the edges were traced from (" +
                                        std::to_string(run_->width) + " x " + std::to_string(run_->height) + ")");
        has_gradient_ = true;
        image_gradient_ = std::make_unique<detail::PointGradient>(*options.image, options.settings.sigma);
    }
}

void Pieces::write(const PieceFormat& format, const TextSink& sink) const
{
    if (run_ == nullptr) return;
    Schedule schedule = run_->schedule;
    schedule.edges_per_piece = per_piece_;
    write_in_pieces(count_, format, sink, run_->threads, schedule);
}

bool Pieces::ready(const detail::Run::Piece& piece, size_t first, size_t k, ReadyEdge* edge) const
{
    const size_t local = k - first;
    const int64_t begin = piece.offsets[local];
    const int64_t count = piece.offsets[local + 1] - begin;
    if (count < options_.min_points) return false;
    edge->index = k;
    edge->count = count;
    edge->flags_known = !piece.closed.empty();
    edge->closed = edge->flags_known && piece.closed[local] != 0;
    edge->starts_at_junction = edge->flags_known && piece.starts_at_junction[local] != 0;
    edge->ends_at_junction = edge->flags_known && piece.ends_at_junction[local] != 0;
    const Point* pixels = piece.points.data() + begin;
    edge->positions.resize(static_cast<size_t>(count));
    for (int64_t p = 0; p < count; ++p)
        edge->positions[p] = map_ ? to_map(*options_.georeference, pixels[p]) : pixels[p];
    // The length along the points, in their order; a closed edge's goes
    // round, back to the first point.
    const std::vector<Point>& at = edge->positions;
    double length = 0;
    for (int64_t p = 1; p < count; ++p) length += std::hypot(at[p].x - at[p - 1].x, at[p].y - at[p - 1].y);
    if (edge->closed && count > 1) length += std::hypot(at[0].x - at[count - 1].x, at[0].y - at[count - 1].y);
    edge->length = length;

    edge->magnitudes.clear();
    edge->directions.clear();
    if (has_gradient_) {
        edge->magnitudes.resize(static_cast<size_t>(count));
        edge->directions.resize(static_cast<size_t>(count));
        if (image_gradient_) {
            const ChainPoint* pixel = piece.pixels.data() + begin;
            for (int64_t p = 0; p < count; ++p)
                image_gradient_->at(pixel[p].x, pixel[p].y, &edge->magnitudes[p], &edge->directions[p]);
        } else {
            const int64_t global = piece_starts_[first / per_piece_] + begin;
            std::copy(run_->magnitudes.begin() + global, run_->magnitudes.begin() + global + count,
                      edge->magnitudes.begin());
            std::copy(run_->directions.begin() + global, run_->directions.begin() + global + count,
                      edge->directions.begin());
        }
    }

    edge->kept.clear();
    if (tolerance_ > 0 && count > 2) {
        edge->kept = simplified_places(at.data(), count, edge->closed, tolerance_);
    } else {
        edge->kept.resize(static_cast<size_t>(count));
        for (int64_t p = 0; p < count; ++p) edge->kept[p] = p;
    }
    edge->pixels.clear();
    if (map_)
        for (int64_t p : edge->kept) edge->pixels.push_back(pixels[p]);
    if (edge->kept.size() != static_cast<size_t>(count)) {
        std::vector<Point> kept_positions;
        kept_positions.reserve(edge->kept.size());
        for (int64_t p : edge->kept) kept_positions.push_back(at[p]);
        edge->positions.swap(kept_positions);
    }
    return true;
}

namespace {

double segment_distance(Point p, Point a, Point b)
{
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double squared = dx * dx + dy * dy;
    double t = 0;
    if (squared > 0) t = std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / squared, 0.0, 1.0);
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

// The place strictly between a and b farthest from the segment a b (of the
// ring's place `count` standing for place 0), and its distance.
struct Farthest {
    int64_t place;
    double distance;
};

Farthest farthest(const Point* points, int64_t count, int64_t a, int64_t b)
{
    const Point pa = points[a % count];
    const Point pb = points[b % count];
    Farthest best{-1, -1};
    for (int64_t p = a + 1; p < b; ++p) {
        const double d = segment_distance(points[p], pa, pb);
        if (d > best.distance) best = Farthest{p, d};
    }
    return best;
}

}  // namespace

std::vector<int64_t> simplified_places(const Point* points, int64_t count, bool closed, double tolerance)
{
    std::vector<uint8_t> keep(static_cast<size_t>(count) + 1, 0);
    // The spans still to look at, as a stack (an edge may have millions of points).
    std::vector<std::pair<int64_t, int64_t>> spans;
    const int64_t end = closed ? count : count - 1;  // a ring ends where it started
    keep[0] = keep[end] = 1;
    if (closed) {
        // A ring is cut at its first point and at the point farthest from it,
        // then, so that it stays a ring of three points or more, at the point
        // farthest from its side in whichever half strays farther.
        int64_t far = -1;
        double best = -1;
        for (int64_t p = 1; p < count; ++p) {
            const double d = std::hypot(points[p].x - points[0].x, points[p].y - points[0].y);
            if (d > best) best = d, far = p;
        }
        keep[far] = 1;
        // Its last point too: a chain closed through a junction has the
        // junction at both ends.
        keep[count - 1] = 1;
        const Farthest left = farthest(points, count, 0, far);
        const Farthest right = farthest(points, count, far, count);
        const Farthest third = left.distance >= right.distance ? left : right;
        if (third.place > 0 && third.distance > 0) keep[third.place] = 1;
        int64_t previous = 0;
        for (int64_t p = 1; p <= end; ++p)
            if (keep[p]) spans.emplace_back(previous, p), previous = p;
    } else {
        spans.emplace_back(0, end);
    }
    while (!spans.empty()) {
        const auto [a, b] = spans.back();
        spans.pop_back();
        if (b - a < 2) continue;
        const Farthest f = farthest(points, count, a, b);
        if (f.distance <= tolerance) continue;
        keep[f.place] = 1;
        spans.emplace_back(a, f.place);
        spans.emplace_back(f.place, b);
    }
    std::vector<int64_t> places;
    for (int64_t p = 0; p < count; ++p)
        if (keep[p]) places.push_back(p);
    return places;
}

namespace {

double orientation(Point a, Point b, Point c)
{
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

int sign(double v)
{
    return (v > 0) - (v < 0);
}

// c, on the line through a and b, lies within their box.
bool within(Point a, Point b, Point c)
{
    return std::min(a.x, b.x) <= c.x && c.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= c.y &&
           c.y <= std::max(a.y, b.y);
}

// The closed segments a b and c d have a point in common.
bool meet(Point a, Point b, Point c, Point d)
{
    const int o1 = sign(orientation(a, b, c));
    const int o2 = sign(orientation(a, b, d));
    const int o3 = sign(orientation(c, d, a));
    const int o4 = sign(orientation(c, d, b));
    if (o1 != o2 && o3 != o4) return true;
    return (o1 == 0 && within(a, b, c)) || (o2 == 0 && within(a, b, d)) || (o3 == 0 && within(c, d, a)) ||
           (o4 == 0 && within(c, d, b));
}

}  // namespace

bool simple_ring(const std::vector<Point>& given)
{
    std::vector<Point> q;
    for (const Point& p : given)
        if (q.empty() || p.x != q.back().x || p.y != q.back().y) q.push_back(p);
    while (q.size() > 1 && q.front().x == q.back().x && q.front().y == q.back().y) q.pop_back();
    const size_t n = q.size();
    if (n < 3) return false;
    const auto at = [&q, n](size_t k) { return q[k % n]; };
    // Neighbouring sides meet only at their common corner: the next corner
    // is not on the side before, nor doubles back along it.
    bool flat = true;
    for (size_t k = 0; k < n; ++k) {
        const Point a = at(k), b = at(k + 1), c = at(k + 2);
        if (orientation(a, b, c) != 0) {
            flat = false;
            continue;
        }
        // On one line: b must lie between a and c.
        if ((c.x - b.x) * (b.x - a.x) + (c.y - b.y) * (b.y - a.y) <= 0) return false;
    }
    if (flat) return false;
    // Sides that are not neighbours never meet: a sweep over the sides by
    // their leftmost x, each compared with those whose boxes reach it.
    std::vector<size_t> order(n);
    for (size_t k = 0; k < n; ++k) order[k] = k;
    const auto left = [&](size_t k) { return std::min(at(k).x, at(k + 1).x); };
    const auto right = [&](size_t k) { return std::max(at(k).x, at(k + 1).x); };
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return left(a) < left(b); });
    std::vector<size_t> active;
    for (size_t side : order) {
        const double x = left(side);
        size_t kept = 0;
        for (size_t other : active) {
            if (right(other) < x) continue;
            active[kept++] = other;
            const bool neighbours = (other + 1) % n == side || (side + 1) % n == other;
            if (neighbours) continue;
            const double low = std::min(at(side).y, at(side + 1).y), high = std::max(at(side).y, at(side + 1).y);
            if (std::max(at(other).y, at(other + 1).y) < low || std::min(at(other).y, at(other + 1).y) > high)
                continue;
            if (meet(at(side), at(side + 1), at(other), at(other + 1))) return false;
        }
        active.resize(kept);
        active.push_back(side);
    }
    return true;
}

}  // namespace writers

Edges simplify(const Edges& edges, double tolerance)
{
    if (!(tolerance >= 0) || !std::isfinite(tolerance))
        throw std::invalid_argument("the tolerance of simplification must be a finite number not below 0, not " +
                                    std::to_string(tolerance));
    std::vector<Point> points;
    std::vector<int64_t> offsets{0};
    std::vector<uint8_t> closed, starts, ends;
    WriteOptions options;
    options.simplify = tolerance;
    const writers::Pieces pieces(edges, options, false, false);
    pieces.each(0, pieces.size(), [&](const writers::ReadyEdge& edge) {
        points.insert(points.end(), edge.positions.begin(), edge.positions.end());
        offsets.push_back(static_cast<int64_t>(points.size()));
        closed.push_back(edge.closed);
        starts.push_back(edge.starts_at_junction);
        ends.push_back(edge.ends_at_junction);
    });
    const detail::Run* given = detail::run_of(edges);
    const bool flags = given != nullptr && (given->traced || !given->closed.empty());
    Edges result = Edges::from_arrays(edges.width(), edges.height(), edges.sub_pixel(), std::move(points),
                                      std::move(offsets));
    if (flags) {
        // Edges as arrays carry the flags they were given.
        auto* run = const_cast<detail::Run*>(detail::run_of(result));
        run->closed = std::move(closed);
        run->starts_at_junction = std::move(starts);
        run->ends_at_junction = std::move(ends);
    }
    return result;
}

}  // namespace lintrace
