// The one way the detector's stages use threads: a number of tasks shared out
// among a number of threads, the calling one included. Every stage cuts its
// work into pieces whose results are put together in a fixed order, so the
// output never depends on how many threads there were or which took what.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

// How a run is carried out, which never changes what it computes: how large
// the pieces of each stage are (big enough that a piece pays for the thread
// that takes it) and how many lanes the vector kernels use. Tests pass
// smaller pieces, to cut small images too, and every width of lanes.
struct Schedule {
    int64_t pixels_per_band = int64_t{1} << 18;     // suppression: a quarter of a megapixel
    uint32_t records_per_band = uint32_t{1} << 18;  // linking: candidates per band
    size_t edges_per_piece = size_t{1} << 13;       // writing: about a megabyte of text
    int lanes = 0;                                  // 0: the widest the processor has
};

// Runs work(0) .. work(tasks - 1) on up to `threads` threads, the calling one
// included, each taking the next task not yet taken, and waits for them all.
// Where no thread can be had the threads there are take every task. The
// first exception a task throws stops the handing out of tasks and is thrown
// again here once every thread has stopped, so a failure on a helper thread
// (memory exhausted) reaches the caller instead of ending the process.
template <typename Work>
void share_out(uint64_t threads, uint64_t tasks, const Work& work)
{
    std::atomic<uint64_t> next{0};
    std::exception_ptr failure;
    std::mutex failing;
    const auto take_tasks = [&] {
        try {
            for (uint64_t task = next++; task < tasks; task = next++) work(task);
        } catch (...) {
            next = tasks;
            std::lock_guard<std::mutex> lock(failing);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    for (uint64_t k = 1; k < std::min(threads, tasks); ++k) {
        try {
            workers.emplace_back(take_tasks);
        } catch (const std::system_error&) {
            break;
        }
    }
    take_tasks();
    for (std::thread& worker : workers) worker.join();
    if (failure) std::rethrow_exception(failure);
}
