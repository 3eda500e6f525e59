// The digests looked up in the order walked, whatever order the files were read in: a file's
// turn, its chunks counted against the set, the report's entry, a run's failure.
#include "common/wait.hpp"
#include "dedup/tree_run.hpp"

namespace veltrane::dedup::tree_run {

bool Run::claim(const FileKey &key, std::size_t index) {
    const std::lock_guard<std::mutex> lock(claims_mu_);
    auto [it, inserted] = claims_.emplace(key, index);
    if (inserted) {
        return true;
    }
    if (it->second < index) {
        return false;
    }
    // Taken out of order by a later slot: this one reads it too, and the lookup in order
    // decides which one counts.
    it->second = index;
    return true;
}

bool Run::flush(Slot &s) {
    {
        std::unique_lock<std::mutex> lock(mu_);
        wait_for_true(turn_cv_, lock, [&] { return turn_ == s.index || cancelled_; });
        if (cancelled_) {
            s.outcome = Slot::Outcome::cancelled;
            return false;
        }
    }
    // Our turn: no other thread looks anything up until this slot is done.
    if (!s.flushed) {
        if (counted_.count(s.key) != 0) {
            s.outcome = Slot::Outcome::same_file;
            s.chunks.clear();
            return false;
        }
        s.flushed = true;
        s.seen_before = seen_.size();
        counted_.insert(s.key);
    }
    look_up(s);
    return true;
}

void Run::look_up(Slot &s) {
    FileStats &f = s.stats;
    if (options_.record && !f.cached) {
        for (const Chunk &c : s.chunks) {
            f.lengths.push_back(c.length);
            f.digests.push_back(c.digest);
        }
    }
    for (const Chunk &c : s.chunks) {
        const bool fresh = seen_.insert(c.digest);
        f.min_chunk = f.chunks == 0 ? c.length : std::min(f.min_chunk, c.length);
        f.max_chunk = std::max(f.max_chunk, c.length);
        f.bytes += c.length;
        ++f.chunks;
        if (fresh) {
            f.unique_bytes += c.length;
            ++f.unique_chunks;
        }
    }
    // Its room is kept for the file's next chunks: given back and grown again at every flush,
    // a long file's chunks came in fresh pages, zeroed by the kernel (3 to 5 % of one 1 GiB
    // file's time). The slot goes when it is committed.
    s.chunks.clear();
}

void Run::commit(Slot &s) {
    using O = Slot::Outcome;
    switch (s.outcome) {
    case O::cancelled:
        return;
    case O::error:
        if (s.flushed) {
            seen_.truncate(s.seen_before);
            counted_.erase(s.key);
        }
        report_.errors.push_back({std::move(s.entry.path), s.error});
        return;
    case O::special:
        report_.skipped.push_back({std::move(s.entry.path), Skipped::Why::special});
        return;
    case O::same_file:
        if (counted_.count(s.key) == 0 && !s.flushed) {
            // The link read first failed; this one is read now, in its turn.
            s.outcome = O::counted;
            Buffers bufs;
            {
                const std::lock_guard<std::mutex> lock(claims_mu_);
                claims_[s.key] = s.index;
            }
            process(s, bufs);
            commit(s);
            return;
        }
        report_.skipped.push_back({std::move(s.entry.path), Skipped::Why::same_file});
        return;
    case O::counted:
        if (!s.flushed) {
            if (counted_.count(s.key) != 0) {
                report_.skipped.push_back({std::move(s.entry.path), Skipped::Why::same_file});
                return;
            }
            counted_.insert(s.key);
        }
        look_up(s);
        s.stats.path = std::move(s.entry.path);
        report_.files.push_back(std::move(s.stats));
        return;
    }
}

void Run::fail(std::exception_ptr e) {
    const std::lock_guard<std::mutex> lock(mu_);
    if (!failure_) {
        failure_ = e;
    }
    cancelled_ = true;
    turn_cv_.notify_all();
    walk_cv_.notify_all();
}

void Run::finish(Slot *const *slots, std::size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    for (std::size_t i = 0; i < count; ++i) {
        slots[i]->ready = true;
    }
    if (committing_) {
        return;
    }
    committing_ = true;
    while (!slots_.empty() && slots_.front()->ready) {
        std::unique_ptr<Slot> front = std::move(slots_.front());
        slots_.pop_front();
        ++base_;
        lock.unlock();
        if (!cancelled_) {
            try {
                commit(*front);
            } catch (...) {
                fail(std::current_exception());
            }
        }
        front.reset();
        lock.lock();
        ++turn_;
    }
    committing_ = false;
    // Once for all the slots looked up: a long file may be waiting for its turn.
    turn_cv_.notify_all();
    if (walked_ && turn_ == pushed_) {
        work_cv_.notify_all();
        walk_cv_.notify_all();
    } else if (!walked_ && pushed_ - turn_ <= window_ / 2) {
        walk_cv_.notify_all();
    }
}

} // namespace veltrane::dedup::tree_run
