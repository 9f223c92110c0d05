// parallel_runs: the thread pool of one bulk call.
#pragma once

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace dax::batch {

template <class Work>
void parallel_runs(std::size_t count, std::size_t chunk, unsigned threads, Work&& work) {
    chunk = std::max<std::size_t>(chunk, 1);
    const std::size_t runs = (count + chunk - 1) / chunk;
    const unsigned used = static_cast<unsigned>(std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(runs, 1)));
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::exception_ptr failure;
    std::mutex failure_lock;
    auto body = [&]() noexcept {
        try {
            while (!stop.load(std::memory_order_relaxed)) {
                const std::size_t run = next.fetch_add(1, std::memory_order_relaxed);
                if (run >= runs) return;
                const std::size_t begin = run * chunk;
                work(begin, std::min(count, begin + chunk));
            }
        } catch (...) {
            stop.store(true);
            const std::lock_guard<std::mutex> guard(failure_lock);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (unsigned t = 1; t < used; ++t) helpers.emplace_back(body);
    } catch (...) {
        // No more threads to be had: those started and this one do the work.
    }
    body();
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace dax::batch
