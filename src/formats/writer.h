// What the vector formats share: numbers as text, and the edges of a piece
// of the list made ready to write (the edges too short left out, positions
// in the output's units, simplified, the gradient at the points).
//
// Each writer formats pieces of edges on the run's threads through the
// list's own pipeline (write_in_pieces), so only the pieces in flight are
// ever held: never an array or a text of the whole run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver.h"
#include "lintrace/formats.h"
#include "point_gradient.h"
#include "run.h"

namespace lintrace::writers {

// Room for any double in any of the forms below.
constexpr size_t NUMBER_ROOM = 400;

// How numbers are written: every digit, or at most `precision` after the point.
struct Numbers {
    int precision = -1;
    // A position: a whole number as an integer, anything else as the shortest
    // fixed-point text that reads back as the same double (never an exponent,
    // which some readers of coordinates refuse); with a precision, rounded to
    // that many decimals, trailing zeros dropped.
    std::string_view position(double v, char* room) const;
    // Any other number: the shortest text that reads back as the same double
    // (with a precision, as a position is).
    std::string_view number(double v, char* room) const;
    // A number of JSON, which has no infinities and no NaN: those are null.
    std::string_view json(double v, char* room) const;
    // The value a reader gets back from position(v).
    double written(double v) const;
};

// Text appended to a string.
class Text {
public:
    explicit Text(std::string* text) : text_(text) {}
    Text& operator<<(std::string_view more)
    {
        text_->append(more);
        return *this;
    }

private:
    std::string* text_;
};

// One edge of a piece, ready to write.
struct ReadyEdge {
    size_t index;        // in the list
    int64_t count;       // its points in the list
    bool closed;         // the linking's flag (false where unknown)
    bool flags_known;    // the edges are the detector's, or simplify()'s of them
    bool starts_at_junction;
    bool ends_at_junction;
    // Its positions in the output's units, simplified where asked; kept[k] the
    // place among the edge's own points of position k.
    std::vector<Point> positions;
    std::vector<int64_t> kept;
    std::vector<Point> pixels;        // the pixel positions of the kept points (with a transform)
    double length;                    // along all its points in the output's units, round a closed edge
    std::vector<double> magnitudes;   // at every one of its points (not only the kept), when known
    std::vector<double> directions;
};

// Where a writer's pieces come from.
class Pieces {
public:
    // `map` puts positions in map units (the options' georeference), else
    // pixels; `gradient` asks for the gradient at the points.
    Pieces(const Edges& edges, const WriteOptions& options, bool map, bool gradient);

    size_t size() const { return count_; }
    bool has_gradient() const { return has_gradient_; }
    const detail::Run* run() const { return run_; }
    // Hands each edge of list places first .. last - 1 that is written to
    // `use(const ReadyEdge&)`, in order.
    template <typename Use>
    void each(size_t first, size_t last, const Use& use) const
    {
        if (run_ == nullptr) return;
        detail::Run::Piece piece;
        run_->piece(first, last, image_gradient_ != nullptr, &piece);
        ReadyEdge edge;
        for (size_t k = first; k < last; ++k) {
            if (!ready(piece, first, k, &edge)) continue;
            use(static_cast<const ReadyEdge&>(edge));
        }
    }

    // Formats the edges through the list's pipeline.
    void write(const PieceFormat& format, const TextSink& sink) const;

private:
    bool ready(const detail::Run::Piece& piece, size_t first, size_t k, ReadyEdge* edge) const;

    const detail::Run* run_;
    WriteOptions options_;
    bool map_;
    double tolerance_ = 0;  // of the simplification, what the precision's rounding leaves of the options'
    bool has_gradient_ = false;
    size_t count_ = 0;
    std::unique_ptr<detail::PointGradient> image_gradient_;
    std::vector<int64_t> piece_starts_;  // where the run keeps the gradient per point
    size_t per_piece_ = 1;
};

// The simplified points of an edge: the places of the points kept (first and
// last always), within `tolerance` of every point; a closed edge as a ring.
std::vector<int64_t> simplified_places(const Point* points, int64_t count, bool closed, double tolerance);

// Whether the ring through `points` (its first point not repeated at its end)
// is a simple polygon's: at least three distinct points, no two sides that
// cross or touch but where neighbours meet, not all on one line.
bool simple_ring(const std::vector<Point>& points);

}  // namespace lintrace::writers
