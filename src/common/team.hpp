// The OpenMP thread team, guarded against fork: work handed out in batches as threads get free.
// batches.hpp is the std::thread scheduler for callers that choose their thread count.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <omp.h>

namespace veltrane::team {

// Whether this process may start a parallel region. False in a child forked after its parent
// ran one: GNU OpenMP's child inherits the team's bookkeeping but not its threads, and the
// next region waits for them forever. A true answer records that a team may now exist.
bool usable();

// Runs work(begin, end) over batches of [0, count) on the OpenMP team, or on the calling thread
// alone where the team cannot be used. Threads take the next batch as they get free, so that a
// core busy with other work does not hold up the call: a static division waits for its slowest
// thread. Batches are an eighth of a thread's share, at most 256 items, so that each runs long
// enough to pay for taking it. The answer must not depend on who did what. `work` must not
// allocate or throw: no thread of a team can fail part-way.
template <typename Work> void on_team(std::size_t count, Work &&work) {
    if (!usable()) {
        work(std::size_t {0}, count);
        return;
    }
    std::atomic<std::size_t> next {0};
#pragma omp parallel
    {
        const auto threads = static_cast<std::size_t>(omp_get_num_threads());
        const std::size_t batch = std::clamp<std::size_t>(count / (8 * threads), 1, 256);
        for (;;) {
            const std::size_t begin = next.fetch_add(batch, std::memory_order_relaxed);
            if (begin >= count) {
                break;
            }
            work(begin, std::min(count, begin + batch));
        }
    }
}

} // namespace veltrane::team
