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
#include <atomic>
#include <bit>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "detector.h"
#include "parallel.h"

namespace {

// A place a walk steps onto. The chain point it comes from (none at the
// start) stands at (prev_x, prev_y); `at_tail` says whether points are
// appended after the tail or put in front of the head; `exchanged` says
// whether a junction met on this side bounds the edge's start instead of its end.
struct Step {
    int64_t x;
    int64_t y;
    bool has_prev;
    int64_t prev_x;
    int64_t prev_y;
    bool at_tail;
    bool exchanged;
};

// The edge a walk builds. Points put in front of the head are kept in the
// order they were put there, so the chain is front reversed, then back.
struct Chain {
    std::vector<ChainPoint> front;
    std::vector<ChainPoint> back;
    uint32_t start_junction = NO_JUNCTION;
    uint32_t end_junction = NO_JUNCTION;
    bool closed = false;  // the walk came back onto its own chain
    std::vector<Step> pending;  // second sides not yet walked, innermost last
};

// A strong candidate a sweep meets is known by its sweep key (sweeps meet
// higher keys first): the bucket above bit 48, the pixel's place in the
// raster below.
constexpr int BUCKET_SHIFT = 48;
constexpr uint64_t PLACE_MASK = (uint64_t{1} << BUCKET_SHIFT) - 1;

// One set of groups linked on its own (a band, or the groups across the
// cuts): the shared detector, and what the linking builds.
struct Linker {
    Detector* detector;
    Links links;
    Chain chain;
    std::vector<ChainPoint> stack;  // pixels of a group still to gather from
    BulkVector<uint64_t> strong;   // sweep keys
    BulkVector<uint64_t> promoted;
    BulkVector<uint64_t> scratch;
};

uint64_t seed_of(const Linker* linker, int64_t x, int64_t y)
{
    return edgel_sweep_key(&linker->detector->edgels, x, y);
}

// Puts `keys` in descending order. Many keys are sorted by their digits,
// least significant first, a byte at a time: the bucket and the place
// relative to the lowest place, which is as many bits as the group spans.
void sort_descending(BulkVector<uint64_t>* keys, BulkVector<uint64_t>* scratch)
{
    constexpr size_t few = 64;
    const size_t n = keys->size();
    if (n < few) {
        std::sort(keys->begin(), keys->end(), std::greater<uint64_t>());
        return;
    }
    uint64_t lowest = PLACE_MASK;
    uint64_t highest = 0;
    for (uint64_t key : *keys) {
        lowest = std::min(lowest, key & PLACE_MASK);
        highest = std::max(highest, key & PLACE_MASK);
    }
    const int place_bits = std::bit_width(highest - lowest);
    for (uint64_t& key : *keys) key = (key >> BUCKET_SHIFT) << place_bits | ((key & PLACE_MASK) - lowest);
    scratch->resize(n);
    uint64_t* from = keys->data();
    uint64_t* to = scratch->data();
    for (int shift = 0; shift < place_bits + 15; shift += 8) {
        size_t count[256] = {};
        for (size_t k = 0; k < n; ++k) ++count[255 - (from[k] >> shift & 255)];
        if (count[255 - (from[0] >> shift & 255)] == n) continue;  // one digit throughout
        size_t at = 0;
        for (size_t& c : count) {
            const size_t here = c;
            c = at;
            at += here;
        }
        for (size_t k = 0; k < n; ++k) to[count[255 - (from[k] >> shift & 255)]++] = from[k];
        std::swap(from, to);
    }
    const uint64_t place_mask = (uint64_t{1} << place_bits) - 1;
    for (size_t k = 0; k < n; ++k)
        (*keys)[k] = (from[k] >> place_bits) << BUCKET_SHIFT | ((from[k] & place_mask) + lowest);
}

// Puts keys that come in raster order in descending order: by bucket, counting,
// and within a bucket by place, which taking them from the last keeps. A
// few keys are merely sorted.
void sort_raster_seeds(BulkVector<uint64_t>* keys, BulkVector<uint64_t>* scratch)
{
    if (keys->size() < EDGEL_BUCKETS / 4) {
        sort_descending(keys, scratch);
        return;
    }
    std::vector<uint32_t> ends(EDGEL_BUCKETS + 1, 0);  // of bucket 19999 - b, at b + 1
    const auto place_of = [](uint64_t key) { return static_cast<size_t>(EDGEL_BUCKETS - 1 - (key >> BUCKET_SHIFT)); };
    for (uint64_t key : *keys) ++ends[place_of(key) + 1];
    for (size_t b = 1; b <= EDGEL_BUCKETS; ++b) ends[b] += ends[b - 1];
    scratch->resize(keys->size());
    for (size_t k = keys->size(); k-- > 0;) (*scratch)[ends[place_of((*keys)[k])]++] = (*keys)[k];
    keys->swap(*scratch);
}

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

void add_edges(Linker* linker, uint32_t cycle, uint64_t start_key)
{
    const Chain& chain = linker->chain;
    Links& links = linker->links;
    Edge edge;
    const bool has_start = chain.start_junction != NO_JUNCTION;
    const bool has_end = chain.end_junction != NO_JUNCTION;
    const size_t points = chain.front.size() + chain.back.size();
    // The points are copied into room made for them all at once.
    const size_t at = links.edge_points.size();
    links.edge_points.resize(at + points + has_start + has_end);
    ChainPoint* out = links.edge_points.data() + at;
    if (has_start) {
        const Junction& junction = links.junctions[chain.start_junction];
        *out++ = ChainPoint{junction.x, junction.y};
    }
    edge.first_point = static_cast<uint64_t>(out - links.edge_points.data());
    edge.point_count = static_cast<uint32_t>(points);
    edge.start_key = start_key;
    edge.start_junction = chain.start_junction;
    edge.end_junction = chain.end_junction;
    edge.cycle = cycle;
    edge.closed = chain.closed;
    out = std::reverse_copy(chain.front.begin(), chain.front.end(), out);
    out = std::copy(chain.back.begin(), chain.back.end(), out);
    if (has_end) {
        const Junction& junction = links.junctions[chain.end_junction];
        *out = ChainPoint{junction.x, junction.y};
    }
    links.edges.push_back(edge);
}

// Starts a walk at every candidate of `order`, all strong, that no walk has
// taken yet.
void sweep(Linker* linker, const BulkVector<uint64_t>& order, uint32_t cycle)
{
    Detector* detector = linker->detector;
    Chain* chain = &linker->chain;
    const int64_t width = detector->XSIZE;
    const uint8_t* labels = detector->Record_image.data();
    const auto untaken = [labels](uint64_t key) { return (labels[key & PLACE_MASK] & LABEL_KIND) == LABEL_CANDIDATE; };
    // Most candidates of a sweep have been taken by a walk before it meets
    // them, in no pattern a branch could learn: the sweep goes through a
    // group at a time, finding the candidates still untaken first, without
    // branching on each. A candidate a walk takes never becomes untaken again.
    constexpr size_t group = 16;
    for (size_t first = 0; first < order.size(); first += group) {
        const size_t end = std::min(first + group, order.size());
        // The next group's neighbourhoods are fetched while this one is walked.
        for (size_t k = end; k < std::min(end + group, order.size()); ++k) {
            const uint8_t* cell = labels + (order[k] & PLACE_MASK);
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
            if (!chain->front.empty() || !chain->back.empty()) add_edges(linker, cycle, key);
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
    for (uint32_t j = linker->links.jct_lst; j != NO_JUNCTION; j = linker->links.junctions[j].older) {
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
    }
}

// Gathers the 8-connected group of candidates that holds the candidate at
// (x, y), marking them gathered, and puts its strong members in linker->strong.
void gather_group(Linker* linker, int32_t x, int32_t y)
{
    Detector* detector = linker->detector;
    uint8_t* labels = detector->Record_image.data();
    const int64_t width = detector->XSIZE;
    int64_t offsets[DIRECTIONS];
    for (int d = 0; d < DIRECTIONS; ++d) offsets[d] = y_offset[d] * width + x_offset[d];
    uint8_t& start = labels[cell_of(detector, x, y)];
    start |= FLAG_GATHERED;
    linker->strong.clear();
    if (start & FLAG_STRONG) linker->strong.push_back(seed_of(linker, x, y));
    linker->stack.assign(1, ChainPoint{x, y});
    while (!linker->stack.empty()) {
        const ChainPoint p = linker->stack.back();
        linker->stack.pop_back();
        uint8_t* cell = labels + cell_of(detector, p.x, p.y);
        // The neighbours that hold a candidate not gathered yet, one bit per direction code.
        unsigned fresh = 0;
        for (int d = 0; d < DIRECTIONS; ++d) {
            const uint8_t label = cell[offsets[d]];
            fresh |= static_cast<unsigned>(label != LABEL_EMPTY && (label & FLAG_GATHERED) == 0) << d;
        }
        for (; fresh != 0; fresh &= fresh - 1) {
            const int d = std::countr_zero(fresh);
            uint8_t& label = cell[offsets[d]];
            label |= FLAG_GATHERED;
            const ChainPoint neighbour{p.x + x_offset[d], p.y + y_offset[d]};
            linker->stack.push_back(neighbour);
            if (label & FLAG_STRONG) linker->strong.push_back(seed_of(linker, neighbour.x, neighbour.y));
        }
    }
}

// Links the groups whose strong members are in linker->strong through all
// their cycles of sweep and junction pass. A junction still open at the end
// can never be reached again, since every candidate that could reach it
// belongs to these groups, so it is dropped from the list. The edges come
// out in the order they were traced.
void link_groups(Linker* linker, bool in_order = false)
{
    for (uint32_t cycle = 1; !linker->strong.empty(); ++cycle) {
        if (cycle > 1 || !in_order) sort_descending(&linker->strong, &linker->scratch);
        sweep(linker, linker->strong, cycle);
        junction_pass(linker, &linker->promoted);
        linker->strong.swap(linker->promoted);
    }
    while (linker->links.jct_lst != NO_JUNCTION)
        delete_junction(linker->detector, &linker->links, linker->links.jct_lst);
}

// Links every group of rows first_row .. last_row - 1 not yet gathered with
// sweeps over its rows alone. A group without a strong candidate makes no edge.
void link_rows(Linker* linker, int64_t first_row, int64_t last_row)
{
    Detector* detector = linker->detector;
    const EdgelTable* table = &detector->edgels;
    const EdgelWord* first_word = table->words.data() + first_row * table->words_per_row;
    const EdgelWord* last_word = table->words.data() + last_row * table->words_per_row;
    size_t strong = 0;
    for (const EdgelWord* word = first_word; word != last_word; ++word)
        strong += static_cast<size_t>(std::popcount(word->high & word->in_table));
    linker->strong.reserve(strong);
    for (int64_t y = first_row; y < last_row; ++y) {
        for (int64_t w = 0; w < table->words_per_row; ++w) {
            const EdgelWord& word = table->words[y * table->words_per_row + w];
            for (uint64_t bits = word.high & word.in_table; bits != 0; bits &= bits - 1) {
                const int64_t x = 64 * w + std::countr_zero(bits);
                if (detector->Record_image[cell_of(detector, x, y)] & FLAG_GATHERED) continue;
                linker->strong.push_back(seed_of(linker, x, y));
            }
        }
    }
    sort_raster_seeds(&linker->strong, &linker->scratch);
    link_groups(linker, true);
}

// Gathers the groups that join row `row` - 1 to row `row`, so that the bands
// of rows on either side hold only groups of their own, and keeps the strong
// members of each in `seeds`, a group ending where `group_ends` says.
void gather_groups_across(Linker* linker, int64_t row, BulkVector<uint64_t>* seeds, std::vector<size_t>* group_ends)
{
    Detector* detector = linker->detector;
    const uint8_t* labels = detector->Record_image.data();
    const EdgelTable* table = &detector->edgels;
    for (int64_t w = 0; w < table->words_per_row; ++w) {
        for (uint64_t bits = table->words[row * table->words_per_row + w].occupied; bits != 0; bits &= bits - 1) {
            const int64_t x = 64 * w + std::countr_zero(bits);
            bool joins = false;
            for (int64_t dx = -1; dx <= 1; ++dx)
                if (x + dx >= 0 && x + dx < detector->XSIZE && labels[cell_of(detector, x + dx, row - 1)] != LABEL_EMPTY)
                    joins = true;
            if (!joins || (labels[cell_of(detector, x, row)] & FLAG_GATHERED)) continue;
            gather_group(linker, static_cast<int32_t>(x), static_cast<int32_t>(row));
            if (linker->strong.empty()) continue;
            seeds->insert(seeds->end(), linker->strong.begin(), linker->strong.end());
            group_ends->push_back(seeds->size());
        }
    }
}

// Links the groups gather_groups_across kept, one at a time, while each
// group's pixels are in the cache.
void link_groups_across(Linker* linker, const BulkVector<uint64_t>& seeds, const std::vector<size_t>& group_ends)
{
    size_t begin = 0;
    for (size_t end : group_ends) {
        linker->strong.assign(seeds.begin() + static_cast<std::ptrdiff_t>(begin),
                              seeds.begin() + static_cast<std::ptrdiff_t>(end));
        link_groups(linker);
        begin = end;
    }
}

// An edge's place in the order of the whole sweeps as one number: the cycle
// above the sweep key turned around, so that edges traced earlier come lower.
__extension__ typedef unsigned __int128 TraceOrder;

TraceOrder trace_order(const Edge& edge)
{
    return static_cast<TraceOrder>(edge.cycle) << 64 | (UINT64_MAX - edge.start_key);
}

// Puts the edges of the groups across the cuts, which come group after group,
// in the order they were traced.
void order_edges(BulkVector<Edge>* edges)
{
    std::sort(edges->begin(), edges->end(),
              [](const Edge& a, const Edge& b) { return trace_order(a) < trace_order(b); });
}

// The trace orders of a linker's edges, which are in order already, closed by
// the highest number there is.
BulkVector<TraceOrder> trace_orders(const BulkVector<Edge>& edges)
{
    BulkVector<TraceOrder> orders(edges.size() + 1);
    for (size_t k = 0; k < edges.size(); ++k) orders[k] = trace_order(edges[k]);
    orders[edges.size()] = ~TraceOrder{0};
    return orders;
}

// Puts the edges of every linker's links, each in order with its trace
// orders in `orders`, into one list of references in the order they were
// traced. The list is cut into as many slices as there are
// threads, at the places of edges of the longest part, and each slice is
// merged on its own, taking the part whose next edge comes first from a heap.
void merge_edges(Detector* detector, const std::vector<BulkVector<TraceOrder>>& orders, uint64_t threads)
{
    const size_t parts = orders.size();
    size_t longest = 0;
    size_t total = 0;
    for (size_t p = 0; p < parts; ++p) {
        total += orders[p].size() - 1;
        if (orders[p].size() > orders[longest].size()) longest = p;
    }
    const uint64_t slices = std::max<uint64_t>(1, std::min<uint64_t>(threads, orders[longest].size() - 1));
    // cut[s][p]: the edges of part p before slice s.
    std::vector<std::vector<size_t>> cut(slices + 1, std::vector<size_t>(parts, 0));
    for (size_t p = 0; p < parts; ++p) cut[slices][p] = orders[p].size() - 1;
    for (uint64_t s = 1; s < slices; ++s) {
        const TraceOrder splitter = orders[longest][(orders[longest].size() - 1) * s / slices];
        for (size_t p = 0; p < parts; ++p)
            cut[s][p] = static_cast<size_t>(std::lower_bound(orders[p].begin(), orders[p].end() - 1, splitter) -
                                            orders[p].begin());
    }

    auto& edges = detector->edges;
    edges.clear();
    edges.resize(total);
    share_out(threads, slices, [&orders, &cut, &edges, parts](uint64_t s) {
        size_t at = 0;
        for (size_t p = 0; p < parts; ++p) at += cut[s][p];
        const size_t end = at + [&cut, s, parts] {
            size_t count = 0;
            for (size_t p = 0; p < parts; ++p) count += cut[s + 1][p] - cut[s][p];
            return count;
        }();
        // The parts with edges left in the slice, by the order of their next
        // edge, in a heap with the earliest on top.
        std::vector<size_t> next = cut[s];
        std::vector<std::pair<TraceOrder, uint32_t>> heads;
        for (size_t p = 0; p < parts; ++p)
            if (next[p] < cut[s + 1][p]) heads.emplace_back(orders[p][next[p]], static_cast<uint32_t>(p));
        const auto later = [](const std::pair<TraceOrder, uint32_t>& a, const std::pair<TraceOrder, uint32_t>& b) {
            return a.first > b.first;
        };
        std::make_heap(heads.begin(), heads.end(), later);
        for (; at < end; ++at) {
            std::pop_heap(heads.begin(), heads.end(), later);
            const uint32_t part = heads.back().second;
            edges[at] = EdgeRef{part, static_cast<uint32_t>(next[part]++)};
            if (next[part] < cut[s + 1][part]) {
                heads.back().first = orders[part][next[part]];
                std::push_heap(heads.begin(), heads.end(), later);
            } else {
                heads.pop_back();
            }
        }
    });
}

}  // namespace

// Linking is defined as sweeps over the whole table in bucket order, each
// followed by a junction pass, until a pass promotes nothing. Every step of it
// (a walk, a junction, a promotion) reads and writes only pixels within one
// pixel of the pixel it stands on, so 8-connected groups of candidates never
// affect one another: any set of whole groups can be linked by sweeps of its
// own, through its own cycles, in the order the whole sweep would meet its
// members. Each edge records the cycle and the start of its walk, and the
// edges of all sets are put in the order the whole sweeps would have traced
// them.
//
// The sets are bands of rows with about as many candidates each, small
// enough for their labels to stay in the cache and at least two per thread,
// less the groups that cross a cut between bands. Those are gathered first
// and linked group by group; the threads take them and the bands one after
// another, each keeping its chains and junctions apart.
void join_edges(Detector* detector, int threads, uint32_t records_per_band)
{
    EdgelTable* table = &detector->edgels;
    const uint64_t count = table->records_total;
    const int64_t rows = detector->YSIZE;
    // Two bands per thread at least even out the work, which goes by groups, not candidates.
    const uint64_t workers = static_cast<uint64_t>(std::max(threads, 1));
    const uint64_t bands = std::max<uint64_t>(
        1, std::max<uint64_t>(2 * workers, count / std::max<uint32_t>(records_per_band, 1)));

    // Band b starts with the first row before which count * b / bands candidates lie.
    std::vector<int64_t> band_row(bands + 1, rows);
    band_row[0] = 0;
    for (uint64_t b = 1; b < bands; ++b) {
        int64_t low = band_row[b - 1], high = rows;
        while (low < high) {
            const int64_t middle = low + (high - low) / 2;
            if (edgels_before_row(table, middle) < count * b / bands)
                low = middle + 1;
            else
                high = middle;
        }
        band_row[b] = low;
    }

    // The first linker takes the groups across the cuts, gathered here and
    // linked beside the bands; linker b + 1 takes the rest of band b.
    std::vector<Linker> linkers(bands + 1);
    for (Linker& linker : linkers) linker.detector = detector;
    BulkVector<uint64_t> seeds_across;
    std::vector<size_t> groups_across;
    for (uint64_t b = 1; b < bands; ++b)
        if (band_row[b] > 0 && band_row[b] < rows)
            gather_groups_across(&linkers[0], band_row[b], &seeds_across, &groups_across);
    std::vector<BulkVector<TraceOrder>> orders(bands + 1);
    share_out(workers, bands + 1,
              [detector, table, &linkers, &band_row, &seeds_across, &groups_across, &orders](uint64_t task) {
        Linker* linker = &linkers[task];
        if (task == 0) {
            link_groups_across(linker, seeds_across, groups_across);
            order_edges(&linker->links.edges);
        } else {
            // Every candidate of the band can become a chain point; the
            // junctions' positions, two at most per edge, come on top.
            const int64_t first_row = band_row[task - 1];
            const int64_t last_row = band_row[task];
            const uint64_t candidates = edgels_before_row(table, last_row) - edgels_before_row(table, first_row);
            linker->links.edge_points.reserve(candidates + candidates / 4);
            link_rows(linker, first_row, last_row);
        }
        orders[task] = trace_orders(linker->links.edges);
        // Only what the list needs stays.
        Linker done{detector, std::move(linker->links), {}, {}, {}, {}, {}};
        *linker = std::move(done);
        linker->links.open_junctions = PixelMap{};
    });

    detector->links.clear();
    for (Linker& linker : linkers) detector->links.push_back(std::move(linker.links));
    merge_edges(detector, orders, workers);
}
