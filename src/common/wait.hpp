#pragma once
// Waiting on a condition variable without libstdc++'s exported condition_variable::wait:
// since GCC 12 that symbol is versioned GLIBCXX_3.4.30, newer than the manylinux_2_34 wheel
// allows. wait_for is inline down to pthread_cond_clockwait, which glibc 2.34 has; the timeout
// only makes the predicate be checked again.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace veltrane {

template <class Predicate>
void wait_for_true(std::condition_variable &cv,
                   std::unique_lock<std::mutex> &lock,
                   Predicate ready) {
    while (!cv.wait_for(lock, std::chrono::seconds(1), ready)) {
    }
}

} // namespace veltrane
