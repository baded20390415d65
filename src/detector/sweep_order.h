// The order of a sweep over the candidates: strong candidates are known by
// their sweep keys, and sorted by them (sweep_order.cpp). The sorts' twin is a
// plain descending sort, which the tests compare them with.
#pragma once

#include <cstdint>

#include "bulk.h"

// A strong candidate a sweep meets is known by its sweep key (sweeps meet
// higher keys first): the bucket above bit 48, the pixel's place in the
// raster below.
constexpr int BUCKET_SHIFT = 48;
constexpr uint64_t PLACE_MASK = (uint64_t{1} << BUCKET_SHIFT) - 1;

// Puts `keys` in descending order. Many keys are sorted by their digits,
// least significant first, a byte at a time.
void sort_descending(BulkVector<uint64_t>* keys, BulkVector<uint64_t>* scratch);
// Puts keys that come in raster order in descending order.
void sort_raster_seeds(BulkVector<uint64_t>* keys, BulkVector<uint64_t>* scratch);
