// A scheduler for std::threads: batches of a range handed out as threads get free.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace veltrane {

// Runs work(begin, end, worker) over [0, n) in batches handed out on demand, on `threads`
// threads (the calling thread is one of them). Batches keep a skewed input (one huge group,
// a few slow texts) from idling the other workers.
template <typename Work>
void parallel_batches(std::size_t n, std::size_t batch, int threads, Work &&work) {
    const std::size_t workers = std::max<std::size_t>(
        1, std::min<std::size_t>(static_cast<std::size_t>(threads), (n + batch - 1) / batch));
    std::atomic<std::size_t> next {0};
    auto run = [&](std::size_t worker) {
        for (;;) {
            const std::size_t begin = next.fetch_add(batch);
            if (begin >= n) {
                return;
            }
            work(begin, std::min(n, begin + batch), worker);
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    for (std::size_t w = 1; w < workers; ++w) {
        pool.emplace_back(run, w);
    }
    run(0);
    for (auto &t : pool) {
        t.join();
    }
}

} // namespace veltrane
