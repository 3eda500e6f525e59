#include "common/team.hpp"

#include <pthread.h>

namespace veltrane::team {

namespace {

// multiprocessing forks by default on Linux, so a child of a process that has run a region
// runs its parallel work on its own thread instead.
std::atomic<bool> started {false};
std::atomic<bool> unusable {false};

void after_fork_in_child() {
    if (started.load(std::memory_order_relaxed)) {
        unusable.store(true, std::memory_order_relaxed);
    }
}

} // namespace

bool usable() {
    // Registered before the first region, so no team exists that a child could not see.
    static const bool fork_handler_registered =
        pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    if (unusable.load(std::memory_order_relaxed) || !fork_handler_registered) {
        return false;
    }
    started.store(true, std::memory_order_relaxed);
    return true;
}

} // namespace veltrane::team
