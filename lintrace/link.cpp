// Edge linking and hysteresis.
//
// Reads the edgel table and the label image that suppression left, and turns
// the candidates into edges: chains of edge points, each bounded by a junction
// at either end or by nothing. A walk starts only at a strong candidate, but
// follows every connected candidate, strong or weak, until it meets a junction
// or runs out of candidates. After every sweep over the table, the candidates
// next to an open junction are made strong and the sweep is repeated, so that
// strength spreads through junctions too. Leaves the edges, in the order they
// were traced, for the connectivity list.
#include <algorithm>
#include <vector>

#include "detector.h"

namespace {

// A place a walk steps onto. `prev` is the chain point it comes from (none at
// the start); `at_tail` says whether points are appended after the tail or put
// in front of the head; `exchanged` says whether a junction met on this side
// bounds the edge's start instead of its end.
struct Step {
    int64_t x;
    int64_t y;
    uint32_t prev;
    int64_t prev_x;  // where prev stands
    int64_t prev_y;
    bool at_tail;
    bool exchanged;
};

// The edge a walk builds. Points put in front of the head are kept in the
// order they were put there, so the chain is front reversed, then back.
struct Chain {
    std::vector<uint32_t> front;
    std::vector<uint32_t> back;
    uint32_t start_junction = NO_JUNCTION;
    uint32_t end_junction = NO_JUNCTION;
    std::vector<Step> pending;  // second sides not yet walked, innermost last
};

// Walks from the candidate `start`: its first place to go is followed to the
// end, then its second one, the way a recursive walk would, with the second
// sides that are still to come kept on an explicit stack.
//
// Appending always happens at the current tail and prepending at the current
// head: a chain point other than the start was entered from a chain point,
// which is one of its at most two edge-point neighbours and no longer a
// candidate, so it has at most one place to go, and only the start ever
// leaves a second side behind.
void walk(Detector* detector, uint32_t start, Chain* chain)
{
    const Edgel& first = detector->edgels.records[start];
    Step step{first.x, first.y, NO_EDGEL, 0, 0, true, false};
    signed char codes[DIRECTIONS];
    for (;;) {
        const int64_t cell = cell_of(detector, step.x, step.y);
        const int n = num_neighbors(detector, step.x, step.y, MASK_EDGE_POINT, codes);
        if (n <= 2) {
            const int t = num_neighbors(detector, step.x, step.y, MASK_CANDIDATE_OR_JUNCTION, codes);
            detector->Record_image[cell] = LABEL_CHAIN;
            uint32_t record = NO_EDGEL;
            if (step.prev == NO_EDGEL) {
                // The starting candidate's record stays in the table; the chain holds it by identity.
                record = start;
                chain->back.push_back(record);
            } else {
                // Nothing left at the pixel: a closed curve has come back onto its own chain.
                record = get_edgel(&detector->edgels, step.x, step.y);
                if (record != NO_EDGEL) (step.at_tail ? chain->back : chain->front).push_back(record);
            }
            if (record != NO_EDGEL && t >= 1) {
                if (t == 2)
                    chain->pending.push_back(Step{newx(step.x, 1, codes), newy(step.y, 1, codes), record, step.x,
                                                  step.y, false, !step.exchanged});
                step = Step{newx(step.x, 0, codes), newy(step.y, 0, codes), record, step.x, step.y, step.at_tail,
                            step.exchanged};
                continue;
            }
        } else {
            const int t = num_neighbors(detector, step.x, step.y, MASK_CANDIDATE_OR_CHAIN, codes);
            detector->Record_image[cell] = LABEL_JUNCTION;
            const uint32_t junction = get_junction(detector, step.x, step.y);
            if (step.prev == NO_EDGEL) {
                chain->start_junction = junction;
                chain->end_junction = junction;
            } else {
                set_junction(detector, junction, step.prev, step.prev_x, step.prev_y);
                (step.exchanged ? chain->start_junction : chain->end_junction) = junction;
            }
            if (junction_done(detector, junction, t, codes)) delete_junction(detector, junction);
        }
        if (chain->pending.empty()) return;
        step = chain->pending.back();
        chain->pending.pop_back();
    }
}

void add_edges(Detector* detector, const Chain& chain, uint32_t cycle, uint32_t start_record)
{
    Edge edge;
    edge.cycle = cycle;
    edge.start_key = edgel_sweep_key(&detector->edgels, start_record);
    edge.first_point = detector->edge_points.size();
    edge.point_count = chain.front.size() + chain.back.size();
    edge.start_junction = chain.start_junction;
    edge.end_junction = chain.end_junction;
    detector->edge_points.insert(detector->edge_points.end(), chain.front.rbegin(), chain.front.rend());
    detector->edge_points.insert(detector->edge_points.end(), chain.back.begin(), chain.back.end());
    detector->edges.push_back(edge);
}

// Starts a walk at every candidate of `order`, all strong, that no walk has
// taken yet.
void sweep(Detector* detector, const std::vector<uint32_t>& order, uint32_t cycle, Chain* chain)
{
    const EdgelTable& table = detector->edgels;
    for (const uint32_t record : order) {
        const Edgel& e = table.records[record];
        if (detector->Record_image[cell_of(detector, e.x, e.y)] != LABEL_CANDIDATE) continue;
        chain->front.clear();
        chain->back.clear();
        chain->start_junction = NO_JUNCTION;
        chain->end_junction = NO_JUNCTION;
        walk(detector, record, chain);
        if (!chain->front.empty() || !chain->back.empty()) add_edges(detector, *chain, cycle, record);
    }
}

// Makes the candidate neighbours of every open junction strong. Returns them,
// each once; the order does not matter, as only their flags change.
std::vector<uint32_t> junction_pass(Detector* detector)
{
    std::vector<uint32_t> promoted;
    signed char codes[DIRECTIONS];
    for (uint32_t j = detector->jct_lst; j != NO_JUNCTION; j = detector->junctions[j].older) {
        const Junction& junction = detector->junctions[j];
        const int n = num_neighbors(detector, junction.x, junction.y, MASK_CANDIDATE, codes);
        for (int k = 0; k < n; ++k) {
            const int64_t x = newx(junction.x, k, codes);
            const int64_t y = newy(junction.y, k, codes);
            const uint32_t record = get_edgel_ptr(&detector->edgels, x, y);
            if (record != NO_EDGEL && !edgel_is_high(&detector->edgels, record)) promoted.push_back(record);
            set_edgel_high(&detector->edgels, x, y);
        }
    }
    return promoted;
}

// Gathers the 8-connected group of candidates that holds `first` and returns
// its strong members.
void gather_group(Detector* detector, uint32_t first, std::vector<uint32_t>* stack, std::vector<uint32_t>* strong)
{
    EdgelTable* table = &detector->edgels;
    strong->clear();
    stack->assign(1, first);
    while (!stack->empty()) {
        const uint32_t record = stack->back();
        stack->pop_back();
        if (edgel_is_high(table, record)) strong->push_back(record);
        const Edgel e = table->records[record];
        for (int d = 0; d < DIRECTIONS; ++d) {
            const uint32_t neighbour = gather_edgel(table, e.x + x_offset[d], e.y + y_offset[d]);
            if (neighbour != NO_EDGEL) stack->push_back(neighbour);
        }
    }
}

// Links one group of candidates through all its cycles of sweep and junction
// pass. A junction still open at the end can never be reached again, since
// every candidate that could reach it belongs to this group.
void link_group(Detector* detector, std::vector<uint32_t>* strong, Chain* chain)
{
    for (uint32_t cycle = 1; !strong->empty(); ++cycle) {
        sort_in_sweep_order(&detector->edgels, strong);
        sweep(detector, *strong, cycle, chain);
        *strong = junction_pass(detector);
    }
    while (detector->jct_lst != NO_JUNCTION) delete_junction(detector, detector->jct_lst);
}

}  // namespace

// Linking is defined as sweeps over the whole table in bucket order, each
// followed by a junction pass, until a pass promotes nothing. Every step of it
// (a walk, a junction, a promotion) reads and writes only pixels within one
// pixel of the pixel it stands on, so 8-connected groups of candidates never
// affect one another: each group is linked alone, through its own cycles, in
// the order the whole sweep would meet its members, while its pixels are in
// the cache. Each edge records the cycle and the start of its walk, and the
// edges are put in the order the whole sweeps would have traced them.
void join_edges(Detector* detector)
{
    detector->jct_lst = NO_JUNCTION;
    detector->junctions.clear();
    detector->open_junctions = PixelMap{};
    detector->edges.clear();
    detector->edge_points.clear();
    detector->edge_points.reserve(detector->edgels.records.size());

    EdgelTable* table = &detector->edgels;
    std::vector<uint32_t> stack;
    std::vector<uint32_t> strong;
    Chain chain;
    const uint32_t count = static_cast<uint32_t>(table->records.size());
    for (uint32_t first = 0; first < count; ++first) {
        if (gather_edgel(table, table->records[first].x, table->records[first].y) == NO_EDGEL) continue;
        gather_group(detector, first, &stack, &strong);
        link_group(detector, &strong, &chain);
    }

    std::sort(detector->edges.begin(), detector->edges.end(), [](const Edge& a, const Edge& b) {
        return a.cycle != b.cycle ? a.cycle < b.cycle : a.start_key > b.start_key;
    });
}
