// Sorting sweep keys, descending, faster than a comparison sort: sweeps meet
// higher keys first.
#include "sweep_order.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <vector>

#include "edgel.h"

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
