#include "dedup/tree.hpp"

#include "common/wait.hpp"
#include "dedup/tree_run.hpp"

#include <chrono>
#include <sys/resource.h>
#include <thread>

namespace veltrane::dedup::tree_run {

// Files taken ahead: a quarter of the descriptors this process may open at most, so that the
// directories held open never leave a file unopened.
std::size_t files_ahead(std::size_t workers) {
    std::size_t most = std::min(kAheadPerThread * workers, kAheadMost);
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        most = std::min(most, std::max<std::size_t>(limit.rlim_cur / 4, 2));
    }
    return most;
}

void Run::work() {
    Buffers bufs;
    Batch batch;
    Slot *taken[kBatchFiles];
    for (;;) {
        std::size_t count = 0;
        {
            std::unique_lock<std::mutex> lock(mu_);
            // A worker with nothing to take stays until every file is done: the long file
            // another worker is reading may still want help.
            const auto over = [&] { return walked_ && turn_ == pushed_; };
            wait_for_true(work_cv_, lock, [&] { return queued() || taken_ < pushed_ || over(); });
            // Pieces of a long file come first, digests before reads: its file holds up the
            // lookups.
            if (help_any(lock)) {
                continue;
            }
            if (taken_ == pushed_) {
                return; // over()
            }
            // An even share of the slots waiting, so that every worker has some.
            count = std::min(kBatchFiles, (pushed_ - taken_ + workers_ - 1) / workers_);
            for (std::size_t i = 0; i < count; ++i) {
                taken[i] = slots_[taken_++ - base_].get();
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            try {
                take(*taken[i], bufs, batch);
            } catch (...) {
                taken[i]->outcome = Slot::Outcome::cancelled;
                fail(std::current_exception());
            }
        }
        settle(batch);
    }
}

TreeReport Run::run(const std::vector<std::string> &paths) {
    files::Walker walker(paths);
    std::vector<std::unique_ptr<Slot>> walked;
    std::vector<std::thread> threads;
    threads.reserve(workers_);
    for (std::size_t i = 0; i < workers_; ++i) {
        threads.emplace_back([this] { work(); });
    }
    using Clock = std::chrono::steady_clock;
    const auto every = std::chrono::milliseconds(std::max(1u, options_.tick_ms));
    auto next_tick = Clock::now() + every;
    {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            // Walks ahead while the window has room, until the next tick is due, a few entries
            // at a time: workers take several, and are woken once for them.
            while (!walked_ && !cancelled_ && pushed_ < turn_ + window_ &&
                   Clock::now() < next_tick) {
                const std::size_t room = std::min(kBatchFiles, turn_ + window_ - pushed_);
                lock.unlock();
                bool more = true;
                walked.clear();
                while (more && walked.size() < room) {
                    auto slot = std::make_unique<Slot>();
                    more = walker.next(slot->entry);
                    if (more) {
                        walked.push_back(std::move(slot));
                    }
                }
                lock.lock();
                for (auto &slot : walked) {
                    slot->index = pushed_++;
                    slots_.push_back(std::move(slot));
                }
                if (!walked.empty()) {
                    work_cv_.notify_all();
                }
                if (!more) {
                    walked_ = true;
                    break;
                }
            }
            if (cancelled_) {
                walked_ = true;
            }
            if (walked_) {
                work_cv_.notify_all();
                if (turn_ == pushed_) {
                    break;
                }
            }
            walk_cv_.wait_until(lock, next_tick);
            if (Clock::now() >= next_tick) {
                next_tick = Clock::now() + every;
                if (options_.tick) {
                    lock.unlock();
                    const bool go = options_.tick(bytes_read_.load());
                    lock.lock();
                    if (!go) {
                        cancelled_ = true;
                        turn_cv_.notify_all();
                    }
                }
            }
        }
    }
    for (auto &t : threads) {
        t.join();
    }
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    report_.cancelled = cancelled_;
    return std::move(report_);
}

} // namespace veltrane::dedup::tree_run

namespace veltrane::dedup {

TreeReport dedup_tree(const std::vector<std::string> &paths,
                      const Chunking &chunking,
                      const TreeOptions &options,
                      DigestSet &seen) {
    return tree_run::Run(chunking, options, seen).run(paths);
}

} // namespace veltrane::dedup
