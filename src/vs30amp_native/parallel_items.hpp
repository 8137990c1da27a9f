#pragma once

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

// Calls work(worker, item) for every item in [0, items) on up to `threads` threads, the calling
// thread being worker 0; items are handed out one at a time, so uneven items balance. A thread
// that cannot be started leaves its share to the others. Never throws; `work` must not either.
template <typename Work>
void for_each_item(std::size_t items, std::size_t threads, Work &&work) noexcept {
    std::atomic<std::size_t> next{0};
    auto worker = [&](std::size_t id) {
        for (std::size_t item; (item = next.fetch_add(1, std::memory_order_relaxed)) < items;) work(id, item);
    };
    std::vector<std::thread> pool;
    try {
        pool.reserve(threads > 1 ? threads - 1 : 0);
        for (std::size_t id = 1; id < threads && id < items; ++id) pool.emplace_back(worker, id);
    } catch (...) {  // std::bad_alloc or std::system_error: fewer threads
    }
    worker(0);
    for (std::thread &thread : pool) thread.join();
}
