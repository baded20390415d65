// The connectivity list, scheduled: pieces of the list (runs of whole edges)
// are formatted by list_format.cpp on several threads and handed on in order,
// so the text is the same at any number of threads and pieces.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "connectivity.h"
#include "parallel.h"

namespace {

// The room a piece of text is given at first: about a megabyte.
constexpr size_t CHUNK_BYTES = 1 << 20;

// Pieces of the list are formatted by several threads and written in order by
// the calling thread, with at most `slots` pieces in flight.
class WritingPipeline {
public:
    WritingPipeline(const Detector* detector, bool sub_pixel, size_t edges_per_piece, size_t slots)
        : detector_(detector),
          sub_pixel_(sub_pixel),
          edges_per_piece_(edges_per_piece),
          pieces_((detector->edges.size() + edges_per_piece - 1) / edges_per_piece),
          numbers_(std::max(detector->XSIZE, detector->YSIZE)),
          texts_(slots),
          ready_(slots, false)
    {
    }

    // Formats pieces until none is left.
    void format()
    {
        while (format_one(true)) {
        }
    }

    // Hands every piece in order to `sink`. While the next piece is not
    // ready, the writer formats one itself. Should the sink fail, the
    // formatters are let go before the failure goes on up.
    void write(const TextSink& sink)
    {
        try {
            write_pieces(sink);
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                next_to_format_ = pieces_;
            }
            changed_.notify_all();
            throw;
        }
    }

private:
    void write_pieces(const TextSink& sink)
    {
        for (size_t piece = 0; piece < pieces_; ++piece) {
            std::string text;
            for (;;) {
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    if (ready_[piece % texts_.size()]) {
                        text.swap(texts_[piece % texts_.size()]);
                        ready_[piece % texts_.size()] = false;
                        ++next_to_write_;
                        break;
                    }
                }
                if (!format_one(false)) {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait(lock, [this, piece] { return ready_[piece % texts_.size()]; });
                }
            }
            changed_.notify_all();
            sink(std::string_view(text.data(), text.size()));
            // The piece's room is used again for a later piece.
            text.clear();
            std::lock_guard<std::mutex> lock(mutex_);
            spares_.push_back(std::move(text));
        }
    }

    // Formats the next piece; false when there is none to take (or, unless
    // `wait`, none that has room).
    bool format_one(bool wait)
    {
        size_t piece;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto has_room = [this] { return next_to_format_ < next_to_write_ + texts_.size(); };
            if (wait) changed_.wait(lock, [this, &has_room] { return next_to_format_ >= pieces_ || has_room(); });
            if (next_to_format_ >= pieces_ || !has_room()) return false;
            piece = next_to_format_++;
        }
        std::string text;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!spares_.empty()) {
                text.swap(spares_.back());
                spares_.pop_back();
            }
        }
        text.reserve(CHUNK_BYTES);
        const size_t first = piece * edges_per_piece_;
        const size_t last = std::min(first + edges_per_piece_, detector_->edges.size());
        format_edges(detector_, sub_pixel_, first, last, numbers_, &text);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            texts_[piece % texts_.size()].swap(text);
            ready_[piece % texts_.size()] = true;
        }
        changed_.notify_all();
        return true;
    }

    const Detector* detector_;
    bool sub_pixel_;
    size_t edges_per_piece_;
    size_t pieces_;
    PixelTexts numbers_;
    std::vector<std::string> texts_;
    std::vector<bool> ready_;
    std::vector<std::string> spares_;  // written pieces, emptied, whose room is kept
    size_t next_to_format_ = 0;
    size_t next_to_write_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace

void write_list(const Detector* detector, bool sub_pixel, const TextSink& sink, int threads,
                const Schedule& schedule)
{
    const uint64_t workers = static_cast<uint64_t>(std::max(1, threads));
    WritingPipeline pipeline(detector, sub_pixel, std::max<size_t>(schedule.edges_per_piece, 1), 2 * workers);
    // One task writes, the others format ahead of it.
    share_out(workers, workers, [&pipeline, &sink](uint64_t task) {
        if (task == 0)
            pipeline.write(sink);
        else
            pipeline.format();
    });
}
