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
#include <bit>
#include <system_error>
#include <thread>
#include <vector>

#include "detector.h"

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
    std::vector<Step> pending;  // second sides not yet walked, innermost last
};

// A strong candidate a sweep meets: its sweep key (sweeps meet higher keys
// first) and its position.
struct Seed {
    uint64_t key;
    int32_t x;
    int32_t y;
};

Seed seed_of(int64_t x, int64_t y, uint32_t record)
{
    return Seed{edgel_sweep_key(x, y, record), static_cast<int32_t>(x), static_cast<int32_t>(y)};
}

// One linking thread: the shared detector, and what this thread builds.
struct Linker {
    Detector* detector;
    Links links;
    Chain chain;
    std::vector<ChainPoint> stack;  // pixels of a group still to gather from
    std::vector<Seed> strong;
    std::vector<Seed> promoted;
};

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
    Step step{x, y, false, 0, 0, true, false};
    signed char codes[DIRECTIONS];
    for (;;) {
        const int64_t cell = cell_of(detector, step.x, step.y);
        const int n = num_neighbors(detector, step.x, step.y, MASK_EDGE_POINT, codes);
        if (n <= 2) {
            const int t = num_neighbors(detector, step.x, step.y, MASK_CANDIDATE_OR_JUNCTION, codes);
            detector->Record_image[cell] = LABEL_CHAIN;
            const ChainPoint point{static_cast<int32_t>(step.x), static_cast<int32_t>(step.y)};
            bool linked = true;
            if (!step.has_prev) {
                // The starting candidate stays in the table; the chain holds a copy of it.
                chain->back.push_back(point);
            } else if (get_edgel(&detector->edgels, step.x, step.y) != NO_EDGEL) {
                (step.at_tail ? chain->back : chain->front).push_back(point);
            } else {
                linked = false;  // nothing left at the pixel: a closed curve has come back onto its own chain
            }
            if (linked && t >= 1) {
                if (t == 2)
                    chain->pending.push_back(Step{newx(step.x, 1, codes), newy(step.y, 1, codes), true, step.x, step.y,
                                                  false, !step.exchanged});
                const bool at_tail = step.at_tail;
                const bool exchanged = step.exchanged;
                step = Step{newx(step.x, 0, codes), newy(step.y, 0, codes), true, step.x, step.y, at_tail, exchanged};
                continue;
            }
        } else {
            const int t = num_neighbors(detector, step.x, step.y, MASK_CANDIDATE_OR_CHAIN, codes);
            detector->Record_image[cell] = LABEL_JUNCTION;
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
    }
}

void add_edges(Linker* linker, uint32_t cycle, uint64_t start_key)
{
    const Chain& chain = linker->chain;
    Links& links = linker->links;
    Edge edge;
    edge.first_point = static_cast<uint32_t>(links.edge_points.size());
    edge.point_count = static_cast<uint32_t>(chain.front.size() + chain.back.size());
    edge.start_key = start_key;
    edge.start_junction = chain.start_junction;
    edge.end_junction = chain.end_junction;
    edge.cycle = cycle;
    links.edge_points.insert(links.edge_points.end(), chain.front.rbegin(), chain.front.rend());
    links.edge_points.insert(links.edge_points.end(), chain.back.begin(), chain.back.end());
    links.edges.push_back(edge);
}

// Starts a walk at every candidate of `order`, all strong, that no walk has
// taken yet.
void sweep(Linker* linker, const std::vector<Seed>& order, uint32_t cycle)
{
    Detector* detector = linker->detector;
    Chain* chain = &linker->chain;
    for (const Seed& seed : order) {
        if (detector->Record_image[cell_of(detector, seed.x, seed.y)] != LABEL_CANDIDATE) continue;
        chain->front.clear();
        chain->back.clear();
        chain->start_junction = NO_JUNCTION;
        chain->end_junction = NO_JUNCTION;
        walk(linker, seed.x, seed.y);
        if (!chain->front.empty() || !chain->back.empty()) add_edges(linker, cycle, seed.key);
    }
}

// Makes the candidate neighbours of every open junction strong, and puts
// them, each once, in `promoted`; the order does not matter, as only their
// flags change.
void junction_pass(Linker* linker, std::vector<Seed>* promoted)
{
    Detector* detector = linker->detector;
    promoted->clear();
    signed char codes[DIRECTIONS];
    for (uint32_t j = linker->links.jct_lst; j != NO_JUNCTION; j = linker->links.junctions[j].older) {
        const Junction& junction = linker->links.junctions[j];
        const int n = num_neighbors(detector, junction.x, junction.y, MASK_CANDIDATE, codes);
        for (int k = 0; k < n; ++k) {
            const int64_t x = newx(junction.x, k, codes);
            const int64_t y = newy(junction.y, k, codes);
            const uint32_t record = get_edgel_ptr(&detector->edgels, x, y);
            if (record != NO_EDGEL && !edgel_is_high_at(&detector->edgels, x, y))
                promoted->push_back(seed_of(x, y, record));
            set_edgel_high(&detector->edgels, x, y);
        }
    }
}

// Gathers the 8-connected group of candidates that holds (x, y), which has
// just been gathered, and puts its strong members in linker->strong. Empty
// pixels are recognised by their label, which never changes, before the
// table is asked: a group never touches the table words of another group's rows.
void gather_group(Linker* linker, int32_t x, int32_t y, uint32_t first, bool first_high)
{
    Detector* detector = linker->detector;
    EdgelTable* table = &detector->edgels;
    linker->strong.clear();
    if (first_high) linker->strong.push_back(seed_of(x, y, first));
    linker->stack.assign(1, ChainPoint{x, y});
    const int64_t width = detector->XSIZE;
    while (!linker->stack.empty()) {
        const ChainPoint p = linker->stack.back();
        linker->stack.pop_back();
        // The neighbours that hold an edge point, one bit per direction code.
        const uint8_t* cell = detector->Record_image.data() + cell_of(detector, p.x, p.y);
        unsigned occupied = 0;
        for (int d = 0; d < DIRECTIONS; ++d)
            occupied |= static_cast<unsigned>(cell[y_offset[d] * width + x_offset[d]] != LABEL_EMPTY) << d;
        for (; occupied != 0; occupied &= occupied - 1) {
            const int d = std::countr_zero(occupied);
            const int32_t nx = p.x + x_offset[d];
            const int32_t ny = p.y + y_offset[d];
            bool high = false;
            const uint32_t neighbour = gather_edgel(table, nx, ny, &high);
            if (neighbour == NO_EDGEL) continue;
            linker->stack.push_back(ChainPoint{nx, ny});
            if (high) linker->strong.push_back(seed_of(nx, ny, neighbour));
        }
    }
}

// Links one group of candidates through all its cycles of sweep and junction
// pass. A junction still open at the end can never be reached again, since
// every candidate that could reach it belongs to this group, so it is
// dropped from the list.
void link_group(Linker* linker)
{
    for (uint32_t cycle = 1; !linker->strong.empty(); ++cycle) {
        std::sort(linker->strong.begin(), linker->strong.end(),
                  [](const Seed& a, const Seed& b) { return a.key > b.key; });
        sweep(linker, linker->strong, cycle);
        junction_pass(linker, &linker->promoted);
        linker->strong.swap(linker->promoted);
    }
    while (linker->links.jct_lst != NO_JUNCTION)
        delete_junction(linker->detector, &linker->links, linker->links.jct_lst);
}

// Links every group not yet gathered that holds a candidate of rows first_row .. last_row - 1.
void link_rows(Linker* linker, int64_t first_row, int64_t last_row)
{
    EdgelTable* table = &linker->detector->edgels;
    for (int64_t y = first_row; y < last_row; ++y) {
        for (int64_t w = 0; w < table->words_per_row; ++w) {
            // The first candidate of the word not gathered yet starts a group,
            // which may gather more of the word's candidates.
            const EdgelWord& word = table->words[y * table->words_per_row + w];
            for (uint64_t bits = word.occupied & ~word.gathered; bits != 0; bits = word.occupied & ~word.gathered) {
                const int64_t x = 64 * w + std::countr_zero(bits);
                bool high = false;
                const uint32_t record = gather_edgel(table, x, y, &high);
                gather_group(linker, static_cast<int32_t>(x), static_cast<int32_t>(y), record, high);
                link_group(linker);
            }
        }
    }
}

// Links the groups that join row `row` - 1 to row `row`, so that the bands of
// rows on either side hold only groups of their own.
void link_groups_across(Linker* linker, int64_t row)
{
    Detector* detector = linker->detector;
    EdgelTable* table = &detector->edgels;
    for (int64_t w = 0; w < table->words_per_row; ++w) {
        for (uint64_t bits = table->words[row * table->words_per_row + w].occupied; bits != 0; bits &= bits - 1) {
            const int64_t x = 64 * w + std::countr_zero(bits);
            bool joins = false;
            for (int64_t dx = -1; dx <= 1; ++dx)
                if (x + dx >= 0 && x + dx < detector->XSIZE &&
                    detector->Record_image[cell_of(detector, x + dx, row - 1)] != LABEL_EMPTY)
                    joins = true;
            bool high = false;
            const uint32_t record = joins ? gather_edgel(table, x, row, &high) : NO_EDGEL;
            if (record == NO_EDGEL) continue;
            gather_group(linker, static_cast<int32_t>(x), static_cast<int32_t>(row), record, high);
            link_group(linker);
        }
    }
}

// Whether edge a was traced before edge b in the whole sweeps: by cycle,
// then by the sweep order of the records their walks started from.
bool traced_before(const Edge& a, const Edge& b)
{
    return a.cycle != b.cycle ? a.cycle < b.cycle : a.start_key > b.start_key;
}

// Links the rows of one band, then puts its edges in the order they were traced.
void link_band(Linker* linker, int64_t first_row, int64_t last_row)
{
    link_rows(linker, first_row, last_row);
    std::sort(linker->links.edges.begin(), linker->links.edges.end(), traced_before);
}

// Puts the edges of every thread's links, each part in order already, into
// one list in the order they were traced, each edge marked with its part.
void merge_edges(Detector* detector)
{
    std::vector<Edge>& edges = detector->edges;
    edges.clear();
    for (size_t part = 0; part < detector->links.size(); ++part) {
        std::vector<Edge>& own = detector->links[part].edges;
        const size_t earlier = edges.size();
        for (Edge edge : own) {
            edge.part = static_cast<uint32_t>(part);
            edges.push_back(edge);
        }
        std::vector<Edge>().swap(own);
        std::inplace_merge(edges.begin(), edges.begin() + static_cast<std::ptrdiff_t>(earlier), edges.end(),
                           traced_before);
    }
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
//
// With several threads, the image is cut into bands of rows with about as
// many candidates each. The groups that cross a cut are linked first; then
// each band's groups are linked by a thread of its own.
void join_edges(Detector* detector, int threads, uint32_t records_per_band)
{
    EdgelTable* table = &detector->edgels;
    const uint64_t count = table->records_total;
    const int64_t rows = detector->YSIZE;
    const uint64_t bands = std::max<uint64_t>(
        1, std::min<uint64_t>(std::max(threads, 1), count / std::max<uint32_t>(records_per_band, 1)));

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

    std::vector<Linker> linkers(bands);
    for (Linker& linker : linkers) linker.detector = detector;
    for (uint64_t b = 1; b < bands; ++b)
        if (band_row[b] > 0 && band_row[b] < rows) link_groups_across(&linkers[0], band_row[b]);
    // Every chain point is a candidate of its linker's band, or of a group
    // across a cut, which the first linker takes.
    for (uint64_t b = 0; b < bands; ++b)
        linkers[b].links.edge_points.reserve(linkers[b].links.edge_points.size() +
                                             edgels_before_row(table, band_row[b + 1]) -
                                             edgels_before_row(table, band_row[b]));

    std::vector<std::thread> workers;
    for (uint64_t b = 1; b < bands; ++b) {
        try {
            workers.emplace_back(link_band, &linkers[b], band_row[b], band_row[b + 1]);
        } catch (const std::system_error&) {
            link_band(&linkers[b], band_row[b], band_row[b + 1]);
        }
    }
    link_band(&linkers[0], band_row[0], band_row[1]);
    for (std::thread& worker : workers) worker.join();

    detector->links.clear();
    for (Linker& linker : linkers) detector->links.push_back(std::move(linker.links));
    merge_edges(detector);
}
