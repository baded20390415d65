// Linking an image a band of rows at a time (groups.cpp): the candidates of
// each row are put into their 8-connected groups as the row comes, and a
// group is linked as soon as a row without a candidate of it has come, in a
// label image of its own rows, by the linking of link.cpp; its edges are
// then those of the whole image's linking. What the groups hold of the rows
// read so far is all that is kept of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "edgel.h"
#include "lintrace/lintrace.h"
#include "lintrace/stream.h"
#include "parallel.h"
#include "refine.h"

// The candidates of whole groups, in raster order, with each one's group
// in the order of the groups (by lowest row, then place of the first
// candidate).
struct GroupCandidates {
    std::vector<int32_t> x;
    std::vector<int32_t> y;
    std::vector<uint8_t> strong;
    std::vector<SubPixel> sub;  // with sub_pixel
    std::vector<uint32_t> group;  // the group's place in the order of the groups
    std::vector<int64_t> keys;    // per group, in that order: its lowest row and first candidate's place
};
class GroupLinker {
public:
    struct Options {
        int64_t width = 0;
        int64_t height = 0;
        bool sub_pixel = false;
        int threads = 1;
        Schedule schedule;
        const RefineModel* refine = nullptr;  // refinement along the edges, after linking
        // Rows whose groups may go on into another band (-1: none): those
        // groups are kept as crossing candidates instead of linked.
        int64_t crossing_top = -1;
        int64_t crossing_bottom = -1;
    };
    GroupLinker(const Options& options, lintrace::EdgesReady edges_ready);

    // Adds the candidates of row y, below every row added so far: their
    // columns in increasing order, strong flags and, with sub_pixel, positions.
    void add_row(int64_t y, size_t count, const int* columns, const uint8_t* high, const double* sub_x,
                 const double* sub_y);
    // Takes out the candidates of the groups that no row below the last one
    // added can join (at the end, of every group left), except the crossing ones.
    GroupCandidates take_complete(bool at_end);
    // Takes them out, links them and hands their edges over.
    void flush(bool at_end);
    const Options& options() const { return options_; }
    // The crossing candidates found so far, in raster order of each flush.
    lintrace::Candidates& crossing() { return crossing_; }
    uint64_t edges_handed() const { return edges_handed_; }
    // Hands over edges linked elsewhere from groups this linker completed.
    void hand_over(lintrace::Edges&& edges)
    {
        edges_handed_ += edges.size();
        edges_ready_(std::move(edges));
    }
    // The candidates held, of the groups still open.
    size_t held() const;

private:
    struct Row {
        int64_t y;
        std::vector<int32_t> x;
        std::vector<uint32_t> group;
        std::vector<uint8_t> strong;
        std::vector<SubPixel> sub;  // with sub_pixel
    };
    uint32_t new_group(int64_t y, int32_t x);
    uint32_t find(uint32_t group);
    uint32_t unite(uint32_t a, uint32_t b);

    Options options_;
    lintrace::EdgesReady edges_ready_;
    std::vector<Row> rows_;  // rows with candidates of open groups, top first
    int64_t last_row_ = -1;  // the last row added
    // Groups by number, numbered in the raster order of their first
    // candidate, so that the lower number of two joined groups is the one
    // whose first candidate comes first.
    std::vector<uint32_t> parent_;
    std::vector<int64_t> bottom_;  // of a root: its lowest row
    std::vector<int64_t> first_;   // of a root: the raster place of its first candidate
    std::vector<uint8_t> crosses_; // of a root: it holds a candidate of a crossing row
    lintrace::Candidates crossing_;
    uint64_t edges_handed_ = 0;
};

// The edges of whole groups, as trace() would link them: the edges of each
// group together, the groups in their order, each group's edges in the
// order of the list.
lintrace::Edges link_group_candidates(const GroupCandidates& candidates, const GroupLinker::Options& options);
