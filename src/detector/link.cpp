// Edge linking and hysteresis, scheduled: bands of rows on several threads.
//
// Reads the edgel table and the label image that suppression left, and turns
// the candidates into edges with the rule of walk.cpp, set of groups by set of
// groups, then puts the edges of all sets in the order one sweep over the
// whole image would have traced them. Leaves the edges for the connectivity
// list.
#include <algorithm>
#include <bit>
#include <vector>

#include "junction.h"
#include "labels.h"
#include "link.h"
#include "sweep_order.h"
#include "walk.h"
#include "parallel.h"

namespace {

// The fewest candidates worth a linking thread: this fraction of a band's.
constexpr uint32_t THREAD_SHARE = 64;

// The first index in [low, high) for which before(index) is false, or high;
// before must hold on a prefix of the range only. (Integer ranges are not
// searched with std::ranges::partition_point over an iota view: clang 14
// cannot compile libstdc++ 12's iota_view.)
template <typename Index, typename Before>
Index partition_point(Index low, Index high, Before before)
{
    while (low < high) {
        const Index middle = low + (high - low) / 2;
        if (before(middle))
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

// Gathers the 8-connected group of candidates that holds the candidate at
// (x, y), marking them gathered, and adds its strong members to linker->strong.
void gather_group(Linker* linker, int32_t x, int32_t y)
{
    Detector* detector = linker->detector;
    uint8_t* labels = detector->Record_image.data();
    const int64_t width = detector->XSIZE;
    int64_t offsets[DIRECTIONS];
    for (int d = 0; d < DIRECTIONS; ++d) offsets[d] = y_offset[d] * width + x_offset[d];
    uint8_t& start = labels[cell_of(detector, x, y)];
    start |= FLAG_GATHERED;
    ++linker->gathered;
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
            ++linker->gathered;
            if (label & FLAG_STRONG) linker->strong.push_back(seed_of(linker, neighbour.x, neighbour.y));
        }
    }
}

// Links every group of rows first_row .. last_row - 1 (of the table) not yet
// gathered with sweeps over its rows alone. A group without a strong
// candidate makes no edge.
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
                const int64_t image_y = y + detector->first_row;
                if (detector->Record_image[cell_of(detector, x, image_y)] & FLAG_GATHERED) continue;
                linker->strong.push_back(seed_of(linker, x, image_y));
            }
        }
    }
    sort_raster_seeds(&linker->strong, &linker->scratch);
    link_groups(linker, true);
}

// Gathers the groups that join row `row` - 1 to row `row` (of the table), so that the bands
// of rows on either side hold only groups of their own, and adds their strong
// members to linker->strong, a group ending where `group_ends` says.
void gather_groups_across(Linker* linker, int64_t row, std::vector<size_t>* group_ends)
{
    Detector* detector = linker->detector;
    const uint8_t* labels = detector->Record_image.data();
    const EdgelTable* table = &detector->edgels;
    const int64_t y = row + detector->first_row;
    for (int64_t w = 0; w < table->words_per_row; ++w) {
        for (uint64_t bits = table->words[row * table->words_per_row + w].occupied; bits != 0; bits &= bits - 1) {
            const int64_t x = 64 * w + std::countr_zero(bits);
            bool joins = false;
            for (int64_t dx = -1; dx <= 1; ++dx)
                if (x + dx >= 0 && x + dx < detector->XSIZE && labels[cell_of(detector, x + dx, y - 1)] != LABEL_EMPTY)
                    joins = true;
            if (!joins || (labels[cell_of(detector, x, y)] & FLAG_GATHERED)) continue;
            const size_t before = linker->strong.size();
            gather_group(linker, static_cast<int32_t>(x), static_cast<int32_t>(y));
            if (linker->strong.size() > before) group_ends->push_back(linker->strong.size());
        }
    }
}

// Links the groups gather_groups_across kept in linker->strong, a batch of
// neighbouring groups (at least `batch` strong members, or one group) at a
// time, so that each batch's pixels stay in the cache while it is linked. A
// batch's edges come out in the order they were traced and end a run. The
// keys are let go before the last batch is linked: on an image that is one
// group, such as a grid of lines, they would otherwise be held twice through
// the whole of its linking.
void link_groups_across(Linker* linker, const std::vector<size_t>& group_ends, size_t batch)
{
    BulkVector<uint64_t> seeds;
    seeds.swap(linker->strong);
    size_t begin = 0;
    for (size_t g = 0; g < group_ends.size();) {
        size_t end = group_ends[g++];
        while (g < group_ends.size() && group_ends[g] - begin <= batch) end = group_ends[g++];
        const bool last = g == group_ends.size();
        if (begin == 0 && last) {
            linker->strong.swap(seeds);
        } else {
            linker->strong.assign(seeds.begin() + static_cast<std::ptrdiff_t>(begin),
                                  seeds.begin() + static_cast<std::ptrdiff_t>(end));
        }
        if (last) seeds = BulkVector<uint64_t>();
        link_groups(linker);
        linker->links.run_ends.push_back(linker->links.edges.size());
        begin = end;
    }
}

// An edge's place in the order of the whole sweeps as one number: the cycle
// above the sweep key turned around, so that edges traced earlier come lower.
__extension__ typedef unsigned __int128 TraceOrder;

TraceOrder trace_order(const Detector* detector, const Links& links, const Edge& edge)
{
    return static_cast<TraceOrder>(edge.cycle) << 64 | (UINT64_MAX - start_key(detector, links, edge));
}

// Puts the edges of every part into one list of references in the order they
// were traced. Each part's edges come in runs (Links::run_ends) that are each
// in that order already. The list is cut into as many slices as there are
// threads, at the places of edges of the longest run, and each slice is
// merged on its own, taking the run whose next edge comes first from a heap.
// The trace orders are read from the edges as they are needed, not kept
// beside them: on an image of short edges an array of them would take 16
// bytes for every edge at the peak of the run.
void merge_edges(Detector* detector, uint64_t threads)
{
    const std::vector<Links>& links = detector->links;
    struct Run {
        uint32_t part;
        size_t begin;
        size_t end;
    };
    std::vector<Run> runs;
    size_t total = 0;
    for (size_t p = 0; p < links.size(); ++p) {
        size_t begin = 0;
        for (size_t end : links[p].run_ends) {
            if (end > begin) runs.push_back(Run{static_cast<uint32_t>(p), begin, end});
            begin = end;
        }
        total += links[p].edges.size();
    }
    auto& edges = detector->edges;
    edges.clear();
    edges.resize(total);
    if (runs.empty()) return;
    const size_t count = runs.size();
    size_t longest = 0;
    for (size_t r = 0; r < count; ++r)
        if (runs[r].end - runs[r].begin > runs[longest].end - runs[longest].begin) longest = r;
    const auto order_at = [detector, &links, &runs](size_t r, size_t k) {
        return trace_order(detector, links[runs[r].part], links[runs[r].part].edges[k]);
    };
    const uint64_t slices =
        std::max<uint64_t>(1, std::min<uint64_t>(threads, runs[longest].end - runs[longest].begin));
    // cut[s][r]: where slice s starts in run r.
    std::vector<std::vector<size_t>> cut(slices + 1, std::vector<size_t>(count));
    for (size_t r = 0; r < count; ++r) {
        cut[0][r] = runs[r].begin;
        cut[slices][r] = runs[r].end;
    }
    for (uint64_t s = 1; s < slices; ++s) {
        const Run& run = runs[longest];
        const TraceOrder splitter = order_at(longest, run.begin + (run.end - run.begin) * s / slices);
        for (size_t r = 0; r < count; ++r)
            cut[s][r] = partition_point(runs[r].begin, runs[r].end,
                                        [&](size_t k) { return order_at(r, k) < splitter; });
    }

    share_out(threads, slices, [&runs, &cut, &edges, &order_at, count](uint64_t s) {
        size_t at = 0;
        for (size_t r = 0; r < count; ++r) at += cut[s][r] - runs[r].begin;
        size_t end = at;
        for (size_t r = 0; r < count; ++r) end += cut[s + 1][r] - cut[s][r];
        // The trace orders of each run's next edges, worked out a stretch at a
        // time: one loop over a stretch of edges and their starting points
        // reads them at the pace of memory, where one order at a time, taken
        // in turn from every run, would wait for each.
        constexpr size_t stretch = 64;
        std::vector<size_t> next = cut[s];
        std::vector<TraceOrder> orders(count * stretch);
        std::vector<size_t> stretch_start(count, SIZE_MAX);  // none worked out yet
        const auto next_order = [&](size_t r) {
            const size_t k = next[r];
            if (k < stretch_start[r] || k - stretch_start[r] >= stretch) {
                const size_t stop = std::min(k + stretch, cut[s + 1][r]);
                for (size_t e = k; e < stop; ++e) orders[r * stretch + (e - k)] = order_at(r, e);
                stretch_start[r] = k;
            }
            return orders[r * stretch + (k - stretch_start[r])];
        };
        // The runs with edges left in the slice, by the order of their next
        // edge, in a heap with the earliest on top.
        std::vector<std::pair<TraceOrder, uint32_t>> heads;
        for (size_t r = 0; r < count; ++r)
            if (next[r] < cut[s + 1][r]) heads.emplace_back(next_order(r), static_cast<uint32_t>(r));
        const auto later = [](const std::pair<TraceOrder, uint32_t>& a, const std::pair<TraceOrder, uint32_t>& b) {
            return a.first > b.first;
        };
        std::make_heap(heads.begin(), heads.end(), later);
        for (; at < end; ++at) {
            std::pop_heap(heads.begin(), heads.end(), later);
            const uint32_t r = heads.back().second;
            edges[at] = EdgeRef{runs[r].part, static_cast<uint32_t>(next[r]++)};
            if (next[r] < cut[s + 1][r]) {
                heads.back().first = next_order(r);
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
// and linked in batches of neighbouring groups, each batch a set; the threads
// take them and the bands one after another, each keeping its chains and
// junctions apart.
void join_edges(Detector* detector, int threads, const Schedule& schedule)
{
    EdgelTable* table = &detector->edgels;
    const uint64_t count = table->records_total;
    const int64_t rows = detector->YSIZE;
    // Two bands per thread at least even out the work, which goes by groups,
    // not candidates. A thread is started only for every 1/THREAD_SHARE of a
    // band's candidates and every two rows, so a small image is linked by as
    // few threads at any number of them; the edges depend on neither.
    const uint64_t useful = std::max<uint64_t>(
        1, std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(rows / 2, 1)),
                              count / std::max<uint64_t>(schedule.records_per_band / THREAD_SHARE, 1)));
    const uint64_t workers = std::min<uint64_t>(static_cast<uint64_t>(std::max(threads, 1)), useful);
    const uint64_t bands = std::max<uint64_t>(
        1, std::max<uint64_t>(2 * workers, count / std::max<uint32_t>(schedule.records_per_band, 1)));

    // Band b starts with the first row before which count * b / bands candidates lie.
    std::vector<int64_t> band_row(bands + 1, rows);
    band_row[0] = 0;
    for (uint64_t b = 1; b < bands; ++b)
        band_row[b] = partition_point(band_row[b - 1], rows, [&](int64_t row) {
            return edgels_before_row(table, row) < count * b / bands;
        });

    // The first linker takes the groups across the cuts, gathered here and
    // linked beside the bands; linker b + 1 takes the rest of band b.
    std::vector<Linker> linkers(bands + 1);
    for (Linker& linker : linkers) linker.detector = detector;
    std::vector<size_t> groups_across;
    for (uint64_t b = 1; b < bands; ++b)
        if (band_row[b] > 0 && band_row[b] < rows) gather_groups_across(&linkers[0], band_row[b], &groups_across);
    // The stack of a large group (a grid of lines is one) would otherwise be
    // held through the whole linking: 4 bytes a candidate on such a grid.
    linkers[0].stack = BulkVector<ChainPoint>();
    share_out(workers, bands + 1,
              [detector, table, &linkers, &band_row, &groups_across, &schedule](uint64_t task) {
        Linker* linker = &linkers[task];
        if (task == 0) {
            // The groups across the cuts may reach from the first row to the last.
            linker->links.open_junctions.records = table->records_total;
            // On an image that is one group (a grid of lines) these links
            // are all the image's, and growing them by doubling would hold
            // the old and new arrays at once: room is made for as many edges
            // as candidates (each holds a chain point of its own), for every
            // candidate among the points, and for as many junctions as
            // candidates. Room never used is never touched, so it takes
            // address space, not memory.
            const uint64_t members = linker->gathered;
            linker->links.edges.reserve(members);
            linker->links.edge_points.reserve(members);
            linker->links.junctions.reserve(members);
            link_groups_across(linker, groups_across, std::max<size_t>(schedule.records_per_band, 1));
        } else {
            // Every candidate of the band can become a chain point, once.
            const int64_t first_row = band_row[task - 1];
            const int64_t last_row = band_row[task];
            const uint64_t first_record = edgels_before_row(table, first_row);
            const uint64_t candidates = edgels_before_row(table, last_row) - first_record;
            linker->links.open_junctions.first_record = first_record;
            linker->links.open_junctions.records = candidates;
            linker->links.edge_points.reserve(candidates);
            link_rows(linker, first_row, last_row);
            linker->links.run_ends.push_back(linker->links.edges.size());
        }
        // Only what the list needs stays.
        Linker done{detector, std::move(linker->links), {}, {}, 0, {}, {}, {}};
        *linker = std::move(done);
        linker->links.open_junctions = OpenJunctions{};
    });

    detector->links.clear();
    for (Linker& linker : linkers) detector->links.push_back(std::move(linker.links));
    // Nothing reads the labels after linking; the list of edges the merge
    // makes takes their place.
    detector->Record_image = BulkVector<uint8_t>();
    merge_edges(detector, workers);
}
