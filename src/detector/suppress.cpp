// Non-maximum suppression, scheduled: bands of rows.
//
// Reads the image's gradient rows as a GradientSource yields them (the
// convolution's, gradient_rows.cpp, by default) and keeps
// the candidates that the rule of maximum.cpp finds, in raster order, in the
// edgel table, flagged strong when their magnitude reaches the high
// threshold; every candidate's pixel is labelled in the label image, which
// linking works on.
//
// Only pixels more than half a mask from every border can be stored, so only
// their rows are scanned and only the gradient rows around them asked for.
// Bands of rows are independent and are computed on separate threads, each
// storing its own rows' candidates as it finds them, numbered from 0; the
// numbers are shifted by the candidates of the bands above once all are done,
// which makes them raster order, so the table is the same at any number of
// bands.
#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "bulk.h"
#include "edgel.h"
#include "gradient.h"
#include "kernels.h"
#include "parallel.h"
#include "suppress.h"

namespace {

// One band of rows: those it scans, those whose words and labels it clears
// first (its own and, for the first and last band, the margins), and what it
// finds. Its candidates are numbered from 0 in the words.
struct Band {
    int first_row;
    int last_row;
    int64_t first_cleared;
    int64_t last_cleared;
    CandidateRows found;  // the records only where the table keeps them
    uint32_t count = 0;
};

// Suppression of a band's rows, reading the gradient rows around each from
// `gradient`; every row's candidates are marked in the words and labelled at
// once.
void suppress_band(const SuppressionSettings& s, GradientSource* gradient, Detector* detector, Band* band)
{
    EdgelTable* table = &detector->edgels;
    // Each row's words and labels are cleared just before its candidates are
    // stored, while they are in the cache anyway; the margins' rows first and last.
    const auto clear_rows = [table, detector, &s](int64_t first, int64_t last) {
        if (first >= last) return;
        clear_edgel_rows(table, first, last);
        std::fill(detector->Record_image.begin() + first * s.columns, detector->Record_image.begin() + last * s.columns,
                  LABEL_EMPTY);
    };
    clear_rows(band->first_cleared, band->first_row);

    const int columns = s.columns;
    CandidateRows* out = &band->found;
    out->keep_records = table->keeps_records;
    // Room for the sub-pixel positions of a candidate in every third pixel,
    // more than a photograph has even without thresholds, so that the
    // positions are seldom moved as they grow; room not used is never touched.
    // It is mapped on its own from the start: a smaller first block, left in
    // the thread's heap once the positions outgrew it, would stay resident
    // through the rest of the run, a few megabytes for every thread.
    if (s.sub_pixel) {
        const size_t band_pixels = static_cast<size_t>(band->last_row - band->first_row) * static_cast<size_t>(columns);
        out->sub_pixels.reserve(std::max(band_pixels / 3, BULK_MAPPED_FROM / sizeof(SubPixel)));
    }
    for (int j = band->first_row; j < band->last_row; ++j) {
        const GradientWindow rows = gradient->window(j);
        const int found = suppress_row(s, j, rows.above, rows.here, rows.below, rows.dx, rows.dy, out);
        if (band->count + static_cast<uint64_t>(found) >= NO_EDGEL) throw std::length_error(TOO_MANY_CANDIDATES);
        clear_rows(j, j + 1);
        place_row_edgels(table, band->count, j, out->passed.data(), out->high.data(), static_cast<size_t>(found));
        uint8_t* labels = detector->Record_image.data() + static_cast<int64_t>(j) * columns;
        for (int k = 0; k < found; ++k) labels[out->passed[k]] = candidate_label(out->high[k] != 0);
        band->count += static_cast<uint32_t>(found);
    }
    clear_rows(band->last_row, band->last_cleared);
}

}  // namespace

void local_extrema(Detector* detector, GreyRows pixels, int mask, double sigma, double low, double high,
                   bool sub_pixel, int threads, const Schedule& schedule, const RefineModel* refine)
{
    const int columns = detector->XSIZE;
    const int rows = detector->YSIZE;
    const int half = (mask + 1) / 2;
    const GaussianKernel kernel = gaussian_vectors(mask, sigma, std::max(columns, rows));
    const VectorKernels& kernels = vector_kernels(schedule.lanes);
    const auto convolved = [&](int first_row, int last_row) -> std::unique_ptr<GradientSource> {
        return std::make_unique<ConvolvedGradient>(pixels, columns, rows, &kernel, kernels, low, first_row, last_row,
                                                   half + 1, columns - half);
    };
    local_extrema(detector, convolved, mask, low, high, sub_pixel, threads, schedule, refine);
}

void local_extrema(Detector* detector, const GradientSourceFor& gradient, int mask, double low, double high,
                   bool sub_pixel, int threads, const Schedule& schedule, const RefineModel* refine)
{
    const int columns = detector->XSIZE;
    const int rows = detector->YSIZE;
    // The words and labels are cleared band by band, as the candidates are stored.
    new_edgel_list(&detector->edgels, columns, rows, sub_pixel, false);
    detector->edgels.keeps_records = detector->keep_edgel_records;
    detector->Record_image.clear();
    detector->Record_image.resize(static_cast<size_t>(columns) * rows);
    const int64_t half = (static_cast<int64_t>(mask) + 1) / 2;

    // Rows and columns strictly between half and size - half qualify.
    const int64_t first_row = half + 1;
    const int64_t last_row = rows - half;  // exclusive
    if (!(first_row < last_row && half + 1 < columns - half)) {
        clear_edgel_rows(&detector->edgels, 0, rows);
        std::fill(detector->Record_image.begin(), detector->Record_image.end(), LABEL_EMPTY);
        return;
    }
    const SuppressionSettings settings{&vector_kernels(schedule.lanes), columns, rows, static_cast<int>(half), low, high,
                                       sub_pixel, sub_pixel ? refine : nullptr};
    const int64_t band_rows = last_row - first_row;
    int64_t bands = std::max(1, threads);
    bands = std::min<int64_t>(bands, band_rows * columns / std::max<int64_t>(schedule.pixels_per_band, 1));
    bands = std::min<int64_t>(bands, band_rows);
    bands = std::max<int64_t>(bands, 1);
    const auto band_begin = [first_row, band_rows, bands](int64_t b) {
        return static_cast<int>(first_row + band_rows * b / bands);
    };
    std::vector<Band> found(static_cast<size_t>(bands));
    for (int64_t b = 0; b < bands; ++b) {
        Band& band = found[b];
        band.first_row = band_begin(b);
        band.last_row = band_begin(b + 1);
        band.first_cleared = b == 0 ? 0 : band.first_row;
        band.last_cleared = b + 1 == bands ? rows : band.last_row;
    }
    share_out(static_cast<uint64_t>(threads), static_cast<uint64_t>(bands),
              [&](uint64_t b) {
                  Band& band = found[b];
                  const std::unique_ptr<GradientSource> rows_of_band = gradient(band.first_row, band.last_row);
                  suppress_band(settings, rows_of_band.get(), detector, &band);
              });

    // Each band's candidates come after those of the bands above it: their
    // numbers in the words are shifted, and their records and sub-pixel
    // positions copied into place, on the bands' own threads again.
    EdgelTable* table = &detector->edgels;
    std::vector<uint64_t> offsets(found.size() + 1, 0);
    for (size_t b = 0; b < found.size(); ++b) offsets[b + 1] = offsets[b] + found[b].count;
    if (offsets.back() >= NO_EDGEL) throw std::length_error(TOO_MANY_CANDIDATES);
    // A single band's records and positions become the table's as they stand.
    const bool single = found.size() == 1;
    if (table->keeps_records) {
        if (single)
            table->records = std::move(found[0].found.records);
        else
            table->records.resize(offsets.back());
    }
    if (sub_pixel) {
        if (single)
            table->sub_pixels = std::move(found[0].found.sub_pixels);
        else
            table->sub_pixels.resize(offsets.back());
    }
    table->records_total = offsets.back();
    // The last candidate is the last occupied pixel of the words.
    for (int64_t w = static_cast<int64_t>(table->words.size()); w-- > 0;) {
        const uint64_t occupied = table->words[w].occupied;
        if (occupied == 0) continue;
        table->last_position = w / table->words_per_row * columns + 64 * (w % table->words_per_row) + 63 -
                               std::countl_zero(occupied);
        break;
    }
    const auto place = [&](int64_t b) {
        Band& band = found[b];
        shift_edgel_rows(table, band.first_row, band.last_row, static_cast<uint32_t>(offsets[b]));
        if (single) return;
        if (table->keeps_records)
            std::copy(band.found.records.begin(), band.found.records.end(), table->records.begin() + offsets[b]);
        if (sub_pixel)
            std::copy(band.found.sub_pixels.begin(), band.found.sub_pixels.end(),
                      table->sub_pixels.begin() + offsets[b]);
        band.found = CandidateRows{};
    };
    share_out(static_cast<uint64_t>(threads), static_cast<uint64_t>(bands),
              [&](uint64_t b) { place(static_cast<int64_t>(b)); });
}
