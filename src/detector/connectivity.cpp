// The connectivity list, scheduled: pieces of the list (runs of whole edges)
// are formatted by list_format.cpp on several threads and handed on in order,
// so the text is the same at any number of threads and pieces. The vector
// formats are written through the same pipeline.
#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "connectivity.h"
#include "parallel.h"

namespace {

// The room a piece of text is given at first: about a megabyte.
constexpr size_t CHUNK_BYTES = 1 << 20;

// Pieces of a text are formatted by several threads and written in order by
// the calling thread, with at most `slots` pieces in flight. Should formatting
// fail, the writer passes the failure on in place of the piece.
class WritingPipeline {
public:
    WritingPipeline(size_t count, size_t per_piece, const PieceFormat& format, size_t slots)
        : count_(count),
          per_piece_(per_piece),
          pieces_((count + per_piece - 1) / per_piece),
          format_(format),
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
            const size_t slot = piece % texts_.size();
            std::string text;
            for (;;) {
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    if (failure_) std::rethrow_exception(failure_);
                    if (ready_[slot]) {
                        text.swap(texts_[slot]);
                        ready_[slot] = false;
                        ++next_to_write_;
                        break;
                    }
                }
                if (!format_one(false)) {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait(lock, [this, slot] { return ready_[slot] || failure_; });
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
        try {
            text.reserve(CHUNK_BYTES);
            const size_t first = piece * per_piece_;
            format_(first, std::min(first + per_piece_, count_), &text);
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!failure_) failure_ = std::current_exception();
                next_to_format_ = pieces_;
            }
            changed_.notify_all();
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            texts_[piece % texts_.size()].swap(text);
            ready_[piece % texts_.size()] = true;
        }
        changed_.notify_all();
        return true;
    }

    size_t count_;
    size_t per_piece_;
    size_t pieces_;
    const PieceFormat& format_;
    std::vector<std::string> texts_;
    std::vector<bool> ready_;
    std::vector<std::string> spares_;  // written pieces, emptied, whose room is kept
    size_t next_to_format_ = 0;
    size_t next_to_write_ = 0;
    std::exception_ptr failure_;  // a piece's formatting failed
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace

void write_in_pieces(size_t count, const PieceFormat& format, const TextSink& sink, int threads,
                     const Schedule& schedule)
{
    const size_t per_piece = std::max<size_t>(schedule.edges_per_piece, 1);
    // One thread for each piece at most (the writer formats a piece itself
    // while the next is not ready), so a short text never starts more.
    const size_t pieces = (count + per_piece - 1) / per_piece;
    const uint64_t workers =
        std::min<uint64_t>(static_cast<uint64_t>(std::max(1, threads)), std::max<size_t>(pieces, 1));
    WritingPipeline pipeline(count, per_piece, format, 2 * workers);
    // One task writes, the others format ahead of it.
    share_out(workers, workers, [&pipeline, &sink](uint64_t task) {
        if (task == 0)
            pipeline.write(sink);
        else
            pipeline.format();
    });
}

void write_list(const Detector* detector, bool sub_pixel, const TextSink& sink, int threads,
                const Schedule& schedule)
{
    const PixelTexts numbers(std::max<int64_t>(detector->XSIZE, detector->first_row + detector->YSIZE));
    write_in_pieces(
        detector->edges.size(),
        [detector, sub_pixel, &numbers](size_t first, size_t last, std::string* text) {
            format_edges(detector, sub_pixel, first, last, numbers, text);
        },
        sink, threads, schedule);
}
