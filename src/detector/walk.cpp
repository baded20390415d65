// Edge linking and hysteresis: the rule.
//
// A walk starts only at a strong candidate, but follows every connected
// candidate, strong or weak, until it meets a junction or runs out of
// candidates. A sweep starts a walk at each strong candidate no walk has
// taken, in the order of their sweep keys (bucket 19999 down to 0, newest
// first within a bucket). After every sweep, a junction pass makes the
// candidates next to an open junction strong, and the sweep is repeated, so
// that strength spreads through junctions too. The literal twin in the tests
// (literal::join_edges, with its recursive walk and its 20000-bucket table)
// must agree with every edge and every point this traces.
#include <algorithm>
#include <bit>
#include <stdexcept>
#include <vector>

#include "junction.h"
#include "labels.h"
#include "sweep_order.h"
#include "walk.h"

// Walks from the candidate at (x, y): its first place to go is followed to the
// end, then its second one, the way a recursive walk would, with the second
// sides that are still to come kept on an explicit stack.
//
// Appending always happens at the current tail and prepending at the current
// head: a chain point other than the start was entered from a chain point,
// which is one of its at most two edge-point neighbours and no longer a
// candidate, so it has at most one place to go, and only the start ever
// leaves a second side behind.
void walk(Linker* linker, int64_t x, int64_t y)
{
    Detector* detector = linker->detector;
    Chain* chain = &linker->chain;
    uint8_t* const labels = detector->Record_image.data();
    const int64_t width = detector->XSIZE;
    // The step to the neighbour of bit k of neighbour_bits, in columns, rows and cells.
    int64_t step_x[DIRECTIONS];
    int64_t step_y[DIRECTIONS];
    int64_t step_cell[DIRECTIONS];
    for (int k = 0; k < DIRECTIONS; ++k) {
        step_x[k] = x_offset[code_of_bit[k]];
        step_y[k] = y_offset[code_of_bit[k]];
        step_cell[k] = step_y[k] * width + step_x[k];
    }
    // The step under way, kept in registers: each step of a walk depends on the last.
    Step step{x, y, false, 0, 0, true, false};
    uint8_t* cell = labels + cell_of(detector, x, y);
    for (;;) {
        const Neighbourhood around = neighbourhood_of(cell, width);
        const int n = std::popcount(neighbour_bits(around, MASK_EDGE_POINT));
        if (n <= 2) {
            const unsigned next = neighbour_bits(around, MASK_CANDIDATE_OR_JUNCTION);
            const uint8_t label = *cell;
            const ChainPoint point{static_cast<int32_t>(step.x), static_cast<int32_t>(step.y)};
            bool linked = true;
            if (!step.has_prev) {
                // The starting candidate stays in the table; the chain holds a copy of it.
                *cell = static_cast<uint8_t>((label & ~LABEL_KIND) | LABEL_CHAIN);
                chain->back.push_back(point);
            } else if (label & FLAG_IN_TABLE) {
                *cell = static_cast<uint8_t>((label & ~(LABEL_KIND | FLAG_IN_TABLE)) | LABEL_CHAIN);
                (step.at_tail ? chain->back : chain->front).push_back(point);
            } else {
                // Nothing left at the pixel: a closed curve has come back onto its own chain.
                *cell = static_cast<uint8_t>((label & ~LABEL_KIND) | LABEL_CHAIN);
                linked = false;
                chain->closed = true;
            }
            if (linked && next != 0) {
                const int first = std::countr_zero(next);
                const unsigned rest = next & (next - 1);
                if (rest != 0) {
                    const int second = std::countr_zero(rest);
                    chain->pending.push_back(Step{step.x + step_x[second], step.y + step_y[second], true, step.x,
                                                  step.y, false, !step.exchanged});
                }
                step.has_prev = true;
                step.prev_x = step.x;
                step.prev_y = step.y;
                step.x += step_x[first];
                step.y += step_y[first];
                cell += step_cell[first];
                // A curve mostly goes on the way it came: the row two steps
                // ahead is fetched while this step's neighbourhood is read.
                __builtin_prefetch(cell + 2 * step_cell[first]);
                continue;
            }
        } else {
            signed char codes[DIRECTIONS];
            int t = 0;
            for (unsigned bits = neighbour_bits(around, MASK_CANDIDATE_OR_CHAIN); bits != 0; bits &= bits - 1)
                codes[t++] = code_of_bit[std::countr_zero(bits)];
            *cell = static_cast<uint8_t>((*cell & ~LABEL_KIND) | LABEL_JUNCTION);
            const uint32_t junction = get_junction(detector, &linker->links, step.x, step.y);
            if (!step.has_prev) {
                chain->start_junction = junction;
                chain->end_junction = junction;
            } else {
                set_junction(&linker->links, junction, step.prev_x, step.prev_y);
                (step.exchanged ? chain->start_junction : chain->end_junction) = junction;
            }
            if (junction_done(detector, &linker->links, junction, t, codes))
                delete_junction(detector, &linker->links, junction);
        }
        if (chain->pending.empty()) return;
        step = chain->pending.back();
        chain->pending.pop_back();
        cell = labels + cell_of(detector, step.x, step.y);
    }
}

void add_edges(Linker* linker, uint32_t cycle)
{
    const Chain& chain = linker->chain;
    Links& links = linker->links;
    Edge edge;
    const size_t points = chain.front.size() + chain.back.size();
    edge.point_count = static_cast<uint32_t>(points);
    edge.start_junction = chain.start_junction;
    edge.end_junction = chain.end_junction;
    edge.cycle = cycle;
    edge.closed = chain.closed;
    if (points == 1) {
        edge.point = chain.back.front();
    } else {
        // The points are copied into room made for them all at once.
        const size_t at = links.edge_points.size();
        links.edge_points.resize(at + points);
        ChainPoint* out = links.edge_points.data() + at;
        edge.chain.first_point = static_cast<uint32_t>(at);
        edge.chain.start = static_cast<uint32_t>(chain.front.size());
        out = std::reverse_copy(chain.front.begin(), chain.front.end(), out);
        std::copy(chain.back.begin(), chain.back.end(), out);
    }
    links.edges.push_back(edge);
}

constexpr size_t LARGE_SWEEP = size_t{1} << 20;

// Starts a walk at every candidate of `order`, all strong, that no walk has
// taken yet.
void sweep(Linker* linker, const BulkVector<uint64_t>& order, uint32_t cycle)
{
    Detector* detector = linker->detector;
    Chain* chain = &linker->chain;
    const int64_t width = detector->XSIZE;
    const uint8_t* labels = detector->Record_image.data();
    // A key's place is the candidate's in the image; the labels start at the detector's first row.
    const uint64_t origin = static_cast<uint64_t>(detector->first_row * width);
    const auto untaken = [labels, origin](uint64_t key) {
        return (labels[(key & PLACE_MASK) - origin] & LABEL_KIND) == LABEL_CANDIDATE;
    };
    // Most candidates of a sweep have been taken by a walk before it meets
    // them, in no pattern a branch could learn: the sweep goes through a
    // group at a time, finding the candidates still untaken first, without
    // branching on each. A candidate a walk takes never becomes untaken again.
    constexpr size_t group = 16;
    // A large sweep (over an image that is one group, such as a grid of
    // lines) gives the pages of the keys it has passed back as it goes: nothing
    // reads them again before the array is filled anew, and by the end of the
    // sweep, when its edges are all built, they would hold 8 bytes a candidate.
    constexpr size_t release_every = size_t{1} << 18;
    const bool releases = order.size() > LARGE_SWEEP;
    for (size_t first = 0; first < order.size(); first += group) {
        if (releases && first % release_every == 0) bulk_release(order.data(), order.data() + first);
        const size_t end = std::min(first + group, order.size());
        // The next group's neighbourhoods are fetched while this one is walked.
        for (size_t k = end; k < std::min(end + group, order.size()); ++k) {
            const uint8_t* cell = labels + ((order[k] & PLACE_MASK) - origin);
            __builtin_prefetch(cell - width);
            __builtin_prefetch(cell);
            __builtin_prefetch(cell + width);
        }
        uint32_t left = 0;
        for (size_t k = first; k < end; ++k) left |= static_cast<uint32_t>(untaken(order[k])) << (k - first);
        for (; left != 0; left &= left - 1) {
            const uint64_t key = order[first + static_cast<size_t>(std::countr_zero(left))];
            if (!untaken(key)) continue;  // taken by a walk from this group
            const int64_t place = static_cast<int64_t>(key & PLACE_MASK);
            chain->front.clear();
            chain->back.clear();
            chain->start_junction = NO_JUNCTION;
            chain->closed = false;
            chain->end_junction = NO_JUNCTION;
            walk(linker, place % width, place / width);
            if (!chain->front.empty() || !chain->back.empty()) add_edges(linker, cycle);
        }
    }
}

// Makes the candidate neighbours of every open junction strong, and puts
// them, each once, in `promoted`; the order does not matter, as only their
// flags change. (A candidate's record is always still in the table, so
// making it strong never fails.)
void junction_pass(Linker* linker, BulkVector<uint64_t>* promoted)
{
    Detector* detector = linker->detector;
    uint8_t* labels = detector->Record_image.data();
    promoted->clear();
    each_open_junction(&linker->links, [linker, detector, labels, promoted](uint32_t j) {
        const Junction& junction = linker->links.junctions[j];
        const uint8_t* cell = labels + cell_of(detector, junction.x, junction.y);
        for (unsigned bits = neighbour_bits(neighbourhood_of(cell, detector->XSIZE), MASK_CANDIDATE); bits != 0;
             bits &= bits - 1) {
            const int d = code_of_bit[std::countr_zero(bits)];
            const int64_t x = junction.x + x_offset[d];
            const int64_t y = junction.y + y_offset[d];
            uint8_t& label = labels[cell_of(detector, x, y)];
            if ((label & (FLAG_IN_TABLE | FLAG_STRONG)) == FLAG_IN_TABLE) promoted->push_back(seed_of(linker, x, y));
            label |= FLAG_STRONG;
        }
    });
}

constexpr size_t LARGE_SCRATCH = size_t{1} << 20;

// Links the groups whose strong members are in linker->strong through all
// their cycles of sweep and junction pass. A junction still open at the end
// can never be reached again, since every candidate that could reach it
// belongs to these groups, so it is dropped from the list. The edges come
// out in the order they were traced.
void link_groups(Linker* linker, bool in_order)
{
    for (uint32_t cycle = 1; !linker->strong.empty(); ++cycle) {
        if (cycle > MAX_CYCLE) throw std::length_error("Too many linking cycles");
        if (cycle > 1 || !in_order) sort_descending(&linker->strong, &linker->scratch);
        // The room of a large sort is let go before the sweep builds the
        // edges: on an image that is one group it is 8 bytes a candidate.
        if (linker->scratch.capacity() > LARGE_SCRATCH) linker->scratch = BulkVector<uint64_t>();
        sweep(linker, linker->strong, cycle);
        junction_pass(linker, &linker->promoted);
        linker->strong.swap(linker->promoted);
    }
    each_open_junction(&linker->links,
                       [linker](uint32_t j) { delete_junction(linker->detector, &linker->links, j); });
    linker->links.jct_lst = NO_JUNCTION;
}
