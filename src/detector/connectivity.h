// The connectivity list (connectivity.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "parallel.h"
#include "state.h"

// "%.1f" of v, as C's printf writes it, into out (room for any double); returns the end.
char* format_one_decimal(double v, char* out, char* limit);
// The texts "v.00" of the numbers 0 .. size - 1 (at most LIMIT of them), for
// pixel lines; a number past them is formatted on its own.
struct PixelTexts {
    static constexpr int64_t LIMIT = 1 << 17;
    using Text = std::array<char, 16>;  // the characters, then their count in the last byte
    explicit PixelTexts(int64_t size);
    std::vector<Text> texts;
};
// Appends to `text` the blocks of the edges at places first .. last - 1 of the
// file, which holds the edges newest first.
void format_edges(const Detector* detector, bool sub_pixel, size_t first, size_t last, std::string* text);
void format_edges(const Detector* detector, bool sub_pixel, size_t first, size_t last, const PixelTexts& numbers,
                  std::string* text);
using TextSink = std::function<void(std::string_view)>;
// Appends to `text` the text of items first .. last - 1.
using PieceFormat = std::function<void(size_t first, size_t last, std::string* text)>;
// Hands the text of items 0 .. count - 1 to `sink` in order, formatting pieces
// of `schedule.edges_per_piece` items ahead on up to `threads` threads. Only
// the order of the texts depends on the pieces, so the output is the same on
// any number of threads; a failure to format a piece reaches the caller.
void write_in_pieces(size_t count, const PieceFormat& format, const TextSink& sink, int threads,
                     const Schedule& schedule);
// Hands the list to `sink` in pieces, in order (write_in_pieces).
void write_list(const Detector* detector, bool sub_pixel, const TextSink& sink, int threads = 1,
                const Schedule& schedule = Schedule{});
