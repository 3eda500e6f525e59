// What was read, cut into chunks and digested: a batch of short files together, a piece of a
// long one with the help of idle workers.
#include "common/wait.hpp"
#include "dedup/tree_run.hpp"

namespace veltrane::dedup::tree_run {

std::size_t digest_batches(DigestJob &job) {
    Buffer &b = *job.piece;
    const unsigned char *data = b.data.get() + b.begin;
    Chunk *out = b.digested.data();
    std::size_t done = 0;
    for (;;) {
        const std::size_t first = job.next.fetch_add(job.batch, std::memory_order_relaxed);
        if (first >= job.count) {
            return done;
        }
        const std::size_t last = std::min(job.count, first + job.batch);
        thread_local Blake3Many many;
        thread_local std::vector<ByteSpan> spans;
        thread_local std::vector<Digest> digests;
        spans.resize(last - first);
        digests.resize(last - first);
        for (std::size_t i = first; i < last; ++i) {
            const uint64_t start = i == 0 ? 0 : b.ends[i - 1];
            spans[i - first] = {data + start, static_cast<std::size_t>(b.ends[i] - start)};
        }
        many.digest(spans.data(), last - first, digests.data());
        for (std::size_t i = first; i < last; ++i) {
            out[i] = {spans[i - first].size, digests[i - first]};
        }
        done += last - first;
    }
}

void Run::share(Buffer &piece, DigestJob &job) {
    job.piece = &piece;
    job.count = piece.ends.size();
    job.batch = workers_ == 1
                    ? std::max<std::size_t>(job.count, 1)
                    : std::clamp(job.count / (2 * workers_), kDigestBatch, kDigestBatchMost);
    job.next = 0;
    job.finished = 0;
    job.helpers = 0;
    piece.digested.resize(job.count);
    if (job.count < kShareChunks) {
        return;
    }
    const std::lock_guard<std::mutex> lock(mu_);
    shared_.push_back(&job);
    work_cv_.notify_all();
}

DigestJob *Run::open_job() const {
    for (DigestJob *job : shared_) {
        if (job->next.load(std::memory_order_relaxed) < job->count) {
            return job;
        }
    }
    return nullptr;
}

void Run::help(DigestJob &job, std::unique_lock<std::mutex> &lock) {
    ++job.helpers;
    lock.unlock();
    const std::size_t done = digest_batches(job);
    lock.lock();
    job.finished += done;
    --job.helpers;
    job_cv_.notify_all();
}

bool Run::queued() const {
    return open_job() != nullptr || open_fetch() != nullptr;
}

bool Run::help_any(std::unique_lock<std::mutex> &lock) {
    if (DigestJob *job = open_job()) {
        help(*job, lock);
        return true;
    }
    if (Fetch *f = open_fetch()) {
        fetch(*f, cutter_.resumable(), lock);
        return true;
    }
    return false;
}

void Run::digest(DigestJob &job) {
    const std::size_t done = digest_batches(job);
    std::unique_lock<std::mutex> lock(mu_);
    job.finished += done;
    // While helpers finish this job, its owner helps with later pieces (its own or another
    // file's) rather than sleep: no one waits for a wake-up while work is queued.
    const auto done_all = [&] { return job.finished == job.count && job.helpers == 0; };
    while (!done_all()) {
        if (help_any(lock)) {
            continue;
        }
        wait_for_true(job_cv_, lock, [&] { return done_all() || queued(); });
    }
    const auto at = std::find(shared_.begin(), shared_.end(), &job);
    if (at != shared_.end()) {
        shared_.erase(at);
    }
}

void Run::settle(Batch &b) {
    try {
        b.spans.clear();
        for (Batch::File &f : b.files) {
            f.first = b.spans.size();
            if (f.size != 0) {
                const unsigned char *data = b.data.get() + f.begin;
                cutter_.ends(data, f.size, b.ends);
                uint64_t start = 0;
                for (const uint64_t end : b.ends) {
                    b.spans.push_back({data + start, static_cast<std::size_t>(end - start)});
                    start = end;
                }
            }
            f.count = b.spans.size() - f.first;
        }
        b.digests.resize(b.spans.size());
        b.many.digest(b.spans.data(), b.spans.size(), b.digests.data());
        // Each file's content digest is that of its chunk digests, which lie in a row.
        // Through a byte pointer: a batch of empty files has no digest, and no array to
        // call data() on.
        const auto *row = reinterpret_cast<const unsigned char *>(b.digests.data());
        b.contents.clear();
        for (const Batch::File &f : b.files) {
            b.contents.push_back({row + f.first * kDigestSize, f.count * kDigestSize});
        }
        b.content_digests.resize(b.files.size());
        b.many.digest(b.contents.data(), b.contents.size(), b.content_digests.data());
        for (std::size_t i = 0; i < b.files.size(); ++i) {
            const Batch::File &f = b.files[i];
            Slot &s = *f.slot;
            s.chunks.resize(f.count);
            for (std::size_t k = 0; k < f.count; ++k) {
                s.chunks[k] = {b.spans[f.first + k].size, b.digests[f.first + k]};
            }
            s.stats.content = b.content_digests[i];
        }
    } catch (...) {
        for (const Batch::File &f : b.files) {
            f.slot->outcome = Slot::Outcome::cancelled;
        }
        fail(std::current_exception());
    }
    finish(b.pending.data(), b.pending.size());
    b.files.clear();
    b.pending.clear();
    b.used = 0;
}

} // namespace veltrane::dedup::tree_run
