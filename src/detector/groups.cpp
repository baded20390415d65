// Linking by groups, as the rows of a streamed image come (groups.h).
//
// Reads the candidates of each row, in raster order, and puts each into the
// 8-connected group of its neighbours in the row above and to its left
// (joining their groups where it touches several). After a band of rows,
// every group with no candidate in the band's last row is complete: no
// later row can reach it. The complete groups' candidates are copied into a
// label image and table of their own rows, linked there by join_edges, and
// their edges handed over group by group; the open groups' candidates stay.
//
// Linking reads and writes only pixels within one pixel of a candidate of
// the group it works on, and orders the walks by sweep keys that depend on
// a candidate's position in the image alone (not on the rows around it), so
// a group linked among fewer rows and other groups has the same edges.
#include "groups.h"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <utility>

#include "detector.h"
#include "driver.h"
#include "run.h"

namespace {

constexpr uint32_t NO_GROUP = UINT32_MAX;

}  // namespace

GroupLinker::GroupLinker(const Options& options, lintrace::EdgesReady edges_ready)
    : options_(options), edges_ready_(std::move(edges_ready))
{
}

uint32_t GroupLinker::new_group(int64_t y, int32_t x)
{
    if (parent_.size() >= NO_GROUP - 1) throw std::length_error(TOO_MANY_CANDIDATES);
    const uint32_t group = static_cast<uint32_t>(parent_.size());
    parent_.push_back(group);
    bottom_.push_back(y);
    first_.push_back(y * options_.width + x);
    crosses_.push_back(0);
    return group;
}

uint32_t GroupLinker::find(uint32_t group)
{
    uint32_t root = group;
    while (parent_[root] != root) root = parent_[root];
    while (parent_[group] != root) {
        const uint32_t next = parent_[group];
        parent_[group] = root;
        group = next;
    }
    return root;
}

uint32_t GroupLinker::unite(uint32_t a, uint32_t b)
{
    a = find(a);
    b = find(b);
    if (a == b) return a;
    if (b < a) std::swap(a, b);
    parent_[b] = a;
    bottom_[a] = std::max(bottom_[a], bottom_[b]);
    crosses_[a] |= crosses_[b];
    return a;
}

void GroupLinker::add_row(int64_t y, size_t count, const int* columns, const uint8_t* high, const double* sub_x,
                          const double* sub_y)
{
    last_row_ = y;
    if (count == 0) return;
    Row row;
    row.y = y;
    row.x.assign(columns, columns + count);
    row.group.resize(count);
    row.strong.assign(high, high + count);
    if (options_.sub_pixel) {
        row.sub.resize(count);
        for (size_t k = 0; k < count; ++k) row.sub[k] = SubPixel{sub_x[k], sub_y[k]};
    }
    const Row* above = !rows_.empty() && rows_.back().y == y - 1 ? &rows_.back() : nullptr;
    const size_t above_count = above != nullptr ? above->x.size() : 0;
    const bool crossing = y == options_.crossing_top || y == options_.crossing_bottom;
    size_t p = 0;  // the first candidate above not left of x - 1
    for (size_t k = 0; k < count; ++k) {
        const int32_t x = row.x[k];
        uint32_t group = k > 0 && row.x[k - 1] == x - 1 ? find(row.group[k - 1]) : NO_GROUP;
        while (p < above_count && above->x[p] < x - 1) ++p;
        for (size_t q = p; q < above_count && above->x[q] <= x + 1; ++q)
            group = group == NO_GROUP ? find(above->group[q]) : unite(group, above->group[q]);
        if (group == NO_GROUP) group = new_group(y, x);
        bottom_[group] = y;
        if (crossing) crosses_[group] = 1;
        row.group[k] = group;
    }
    rows_.push_back(std::move(row));
}

size_t GroupLinker::held() const
{
    size_t count = 0;
    for (const Row& row : rows_) count += row.x.size();
    return count;
}

void GroupLinker::flush(bool at_end)
{
    const GroupCandidates complete = take_complete(at_end);
    if (complete.x.empty()) return;
    lintrace::Edges edges = link_group_candidates(complete, options_);
    edges_handed_ += edges.size();
    edges_ready_(std::move(edges));
}

GroupCandidates GroupLinker::take_complete(bool at_end)
{
    if (rows_.empty()) return GroupCandidates{};
    const size_t groups = parent_.size();
    // A group goes on where it has a candidate in the last row added.
    std::vector<uint8_t> open(groups, 0);
    if (!at_end && rows_.back().y == last_row_)
        for (const uint32_t group : rows_.back().group) open[find(group)] = 1;

    // One pass over the rows held, in raster order: the open groups'
    // candidates stay (their groups numbered again, in the order first met,
    // which is the order of their first candidates), the crossing groups'
    // are set aside, the others linked. A complete group is numbered in the
    // order first met as well, for now.
    std::vector<uint32_t> renumbered(groups, NO_GROUP);
    std::vector<uint32_t> parent;
    std::vector<int64_t> bottom, first;
    std::vector<uint8_t> crosses;
    std::vector<uint32_t> complete_place(groups, NO_GROUP);
    std::vector<uint32_t> complete;  // roots, in the order first met
    GroupCandidates linked;
    std::vector<Row> kept;
    const bool sub_pixel = options_.sub_pixel;
    for (Row& row : rows_) {
        Row keep;
        keep.y = row.y;
        for (size_t k = 0; k < row.x.size(); ++k) {
            const uint32_t root = find(row.group[k]);
            if (open[root]) {
                if (renumbered[root] == NO_GROUP) {
                    renumbered[root] = static_cast<uint32_t>(parent.size());
                    parent.push_back(renumbered[root]);
                    bottom.push_back(bottom_[root]);
                    first.push_back(first_[root]);
                    crosses.push_back(crosses_[root]);
                }
                keep.x.push_back(row.x[k]);
                keep.group.push_back(renumbered[root]);
                keep.strong.push_back(row.strong[k]);
                if (sub_pixel) keep.sub.push_back(row.sub[k]);
            } else if (crosses_[root]) {
                crossing_.x.push_back(row.x[k]);
                crossing_.y.push_back(static_cast<int32_t>(row.y));
                crossing_.strong.push_back(row.strong[k]);
                if (sub_pixel) {
                    crossing_.sub_x.push_back(row.sub[k].x);
                    crossing_.sub_y.push_back(row.sub[k].y);
                }
            } else {
                if (complete_place[root] == NO_GROUP) {
                    complete_place[root] = static_cast<uint32_t>(complete.size());
                    complete.push_back(root);
                }
                linked.x.push_back(row.x[k]);
                linked.y.push_back(static_cast<int32_t>(row.y));
                linked.strong.push_back(row.strong[k]);
                if (sub_pixel) linked.sub.push_back(row.sub[k]);
                linked.group.push_back(complete_place[root]);
            }
        }
        if (!keep.x.empty()) kept.push_back(std::move(keep));
    }

    // The complete groups in the order of their keys: met in the order of
    // their first candidates, so counted out by their lowest rows.
    std::vector<uint32_t> order(complete.size());
    if (!complete.empty()) {
        int64_t lowest = INT64_MAX, highest = INT64_MIN;
        for (const uint32_t root : complete) {
            lowest = std::min(lowest, bottom_[root]);
            highest = std::max(highest, bottom_[root]);
        }
        std::vector<uint32_t> starts(static_cast<size_t>(highest - lowest) + 2, 0);
        for (const uint32_t root : complete) ++starts[static_cast<size_t>(bottom_[root] - lowest) + 1];
        for (size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
        for (uint32_t k = 0; k < complete.size(); ++k)
            order[starts[static_cast<size_t>(bottom_[complete[k]] - lowest)]++] = k;
    }
    std::vector<uint32_t> rank(complete.size());
    linked.keys.reserve(2 * complete.size());
    for (uint32_t k = 0; k < order.size(); ++k) {
        rank[order[k]] = k;
        linked.keys.push_back(bottom_[complete[order[k]]]);
        linked.keys.push_back(first_[complete[order[k]]]);
    }
    for (uint32_t& group : linked.group) group = rank[group];

    rows_ = std::move(kept);
    parent_ = std::move(parent);
    bottom_ = std::move(bottom);
    first_ = std::move(first);
    crosses_ = std::move(crosses);
    return linked;
}

lintrace::Edges link_group_candidates(const GroupCandidates& candidates, const GroupLinker::Options& options)
{
    lintrace::Edges edges;
    std::unique_ptr<lintrace::detail::Run>& owner = lintrace::detail::Access::run(edges);
    owner = std::make_unique<lintrace::detail::Run>();
    lintrace::detail::Run* run = owner.get();
    run->width = options.width;
    run->height = options.height;
    run->sub_pixel = options.sub_pixel;
    run->threads = options.threads;
    run->schedule = options.schedule;
    run->traced = true;
    const size_t count = candidates.x.size();
    if (count == 0) return edges;
    if (count >= NO_EDGEL) throw std::length_error(TOO_MANY_CANDIDATES);

    // The groups' rows and one more on either side, which linking's looks
    // at a candidate's neighbours read.
    Detector* detector = &run->detector;
    const int64_t top = candidates.y.front() - 1;
    const int64_t rows = candidates.y.back() + 1 - top + 1;
    detector->XSIZE = static_cast<int>(options.width);
    detector->YSIZE = static_cast<int>(rows);
    detector->first_row = top;
    detector->keep_edgel_records = false;
    EdgelTable* table = &detector->edgels;
    new_edgel_list(table, options.width, rows, options.sub_pixel, true);
    table->first_row = top;
    table->keeps_records = false;
    detector->Record_image.resize(static_cast<size_t>(options.width) * static_cast<size_t>(rows));
    std::fill(detector->Record_image.begin(), detector->Record_image.end(), LABEL_EMPTY);
    for (size_t k = 0; k < count;) {
        const int32_t y = candidates.y[k];
        size_t end = k;
        while (end < count && candidates.y[end] == y) ++end;
        place_row_edgels(table, static_cast<uint32_t>(k), y - top, candidates.x.data() + k,
                         candidates.strong.data() + k, end - k);
        uint8_t* labels = detector->Record_image.data() + (y - top) * options.width;
        for (size_t q = k; q < end; ++q) labels[candidates.x[q]] = candidate_label(candidates.strong[q] != 0);
        k = end;
    }
    table->records_total = count;
    table->last_position = static_cast<int64_t>(candidates.y.back()) * options.width + candidates.x.back();
    if (options.sub_pixel) table->sub_pixels.assign(candidates.sub.begin(), candidates.sub.end());

    join_edges(detector, options.threads, options.schedule);
    if (options.refine != nullptr) refine_curvature(detector, *options.refine);

    // The edges of each group together, groups in their order: the list
    // holds the edges newest first, so the trace order is sorted by group
    // from the last, keeping each group's edges in the order traced.
    BulkVector<EdgeRef>& traced = detector->edges;
    const size_t groups = candidates.keys.size() / 2;
    // Each edge's group is its starting candidate's. The edges are in the
    // order traced, which jumps across the rows: the lookups are made in
    // passes, each fetching a stretch ahead, so that many are under way at once.
    constexpr size_t ahead = 16;
    std::vector<uint32_t> group_of(traced.size());
    for (size_t k = 0; k < traced.size(); ++k) {
        if (k + ahead < traced.size()) {
            const EdgeRef next = traced[k + ahead];
            __builtin_prefetch(&detector->links[next.part].edges[next.index]);
        }
        const Links& part = detector->links[traced[k].part];
        const ChainPoint start = start_of(part.edge_points, edge_of(detector, traced[k]));
        group_of[k] = edgel_index(table, start.x, start.y);
    }
    std::vector<size_t> starts(groups + 1, 0);  // of group g, at groups - g: the last group first
    for (size_t k = 0; k < traced.size(); ++k) {
        if (k + ahead < traced.size()) __builtin_prefetch(&candidates.group[group_of[k + ahead]]);
        group_of[k] = candidates.group[group_of[k]];
        ++starts[groups - group_of[k]];
    }
    for (size_t g = 1; g <= groups; ++g) starts[g] += starts[g - 1];
    BulkVector<EdgeRef> sorted(traced.size());
    std::vector<uint32_t> sorted_group(traced.size());
    for (size_t k = 0; k < traced.size(); ++k) {
        const size_t at = starts[groups - 1 - group_of[k]]++;
        sorted[at] = traced[k];
        sorted_group[at] = group_of[k];
    }
    traced.swap(sorted);
    run->group_keys.resize(2 * traced.size());
    for (size_t place = 0; place < traced.size(); ++place) {
        const uint32_t group = sorted_group[traced.size() - 1 - place];
        run->group_keys[2 * place] = candidates.keys[2 * group];
        run->group_keys[2 * place + 1] = candidates.keys[2 * group + 1];
    }
    return edges;
}
