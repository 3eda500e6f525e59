#include "dedup/file_cache.hpp"

#include "common/wait.hpp"
#include "files/walk.hpp"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unordered_map>
#include <utility>

namespace veltrane::dedup {

namespace {

int64_t nanoseconds(const struct timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A regular file walked, as stat and the cache see it.
struct Seen {
    bool regular = false;
    uint64_t dev = 0;
    uint64_t ino = 0;
    const CachedFile *cached = nullptr; // unchanged since cached, else null
    Digest content {};
};

struct KeyHash {
    std::size_t operator()(const std::pair<uint64_t, uint64_t> &k) const {
        return std::hash<uint64_t>()(k.first * 0x9E3779B97F4A7C15ULL ^ k.second);
    }
};

// Walk entries stat'ed (and their content digests taken from the cache) per batch.
constexpr std::size_t kStatBatch = 256;

void look(const files::Entry &entry, const FileCache &cache, Seen &out) {
    struct stat st;
    if (entry.kind != files::Entry::Kind::file || entry.stat(st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    out.regular = true;
    out.dev = static_cast<uint64_t>(st.st_dev);
    out.ino = static_cast<uint64_t>(st.st_ino);
    const CachedFile *found = cache.find(entry.path);
    if (found == nullptr) {
        return;
    }
    const CachedFile &c = *found;
    if (c.size != static_cast<uint64_t>(st.st_size) || c.inode != st.st_ino ||
        c.mtime_ns != nanoseconds(st.st_mtim) || c.ctime_ns != nanoseconds(st.st_ctim)) {
        return;
    }
    out.cached = &c;
    Blake3 content;
    content.update(cache.digests(c), c.chunks * kDigestSize);
    out.content = content.digest();
}

} // namespace

void FileCache::reserve(std::size_t files, std::size_t chunks) {
    ends_.reserve(ends_.size() + files);
    files_.reserve(files_.size() + files);
    replaced_.reserve(replaced_.size() + files);
    lengths_.reserve(lengths_.size() + chunks);
    digests_.reserve(digests_.size() + chunks);
    while (2 * (files_.size() + files) > slots_.size()) {
        grow();
    }
}

namespace {

// The top half of a path's hash: where its slot is, and a tag that settles most comparisons
// without reading the path.
uint64_t tag_of(std::string_view p) {
    return std::hash<std::string_view>()(p) >> 32;
}

} // namespace

std::size_t FileCache::slot(std::string_view p) const {
    const std::size_t mask = slots_.size() - 1;
    const uint64_t tag = tag_of(p);
    for (std::size_t at = tag & mask;; at = (at + 1) & mask) {
        const uint64_t s = slots_[at];
        if (s == 0 || ((s >> 32) == tag && path((s & 0xffffffff) - 1) == p)) {
            return at;
        }
    }
}

void FileCache::grow() {
    // At most half full, so that a miss ends soon.
    std::vector<uint64_t> old(std::max<std::size_t>(64, 2 * slots_.size()), 0);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const uint64_t s : old) {
        if (s != 0) {
            std::size_t at = (s >> 32) & mask;
            while (slots_[at] != 0) {
                at = (at + 1) & mask;
            }
            slots_[at] = s;
        }
    }
}

void FileCache::add(std::string_view p,
                    const CachedFile &ident,
                    const uint64_t *lengths,
                    const Digest *digests) {
    if (2 * (files_.size() + 1) > slots_.size()) {
        grow();
    }
    CachedFile c = ident;
    c.first = lengths_.size();
    lengths_.insert(lengths_.end(), lengths, lengths + c.chunks);
    digests_.insert(digests_.end(), digests, digests + c.chunks);
    names_.append(p);
    ends_.push_back(names_.size());
    files_.push_back(c);
    replaced_.push_back(false);
    const std::size_t at = slot(p);
    if (slots_[at] != 0) {
        replaced_[(slots_[at] & 0xffffffff) - 1] = true;
    } else {
        ++live_;
    }
    slots_[at] = tag_of(p) << 32 | files_.size();
}

const CachedFile *FileCache::find(std::string_view p) const {
    if (slots_.empty()) {
        return nullptr;
    }
    const uint64_t k = slots_[slot(p)];
    return k == 0 ? nullptr : &files_[(k & 0xffffffff) - 1];
}

bool report_from_cache(const std::vector<std::string> &paths,
                       const FileCache &cache,
                       const Chunking &chunking,
                       const TreeOptions &options,
                       DigestSet &seen,
                       TreeReport &out) {
    // The walk goes on while every other thread stats what it has found so far, a batch at a
    // time; the batches never move once published, so workers use them unlocked.
    struct Batch {
        std::vector<files::Entry> entries;
        std::vector<Seen> looks;
    };
    std::vector<std::unique_ptr<Batch>> batches;
    std::mutex mu;
    std::condition_variable more;
    std::size_t taken = 0;
    bool walked = false;
    const auto work = [&] {
        for (;;) {
            Batch *b = nullptr;
            {
                std::unique_lock<std::mutex> lock(mu);
                wait_for_true(more, lock, [&] { return taken < batches.size() || walked; });
                if (taken == batches.size()) {
                    return;
                }
                b = batches[taken++].get();
            }
            b->looks.resize(b->entries.size());
            for (std::size_t i = 0; i < b->entries.size(); ++i) {
                look(b->entries[i], cache, b->looks[i]);
            }
        }
    };
    {
        std::vector<std::thread> helpers;
        for (int t = 1; t < options.threads; ++t) {
            helpers.emplace_back(work);
        }
        files::Walker walker(paths);
        auto batch = std::make_unique<Batch>();
        files::Entry entry;
        for (bool going = true; going;) {
            going = walker.next(entry);
            if (going) {
                batch->entries.push_back(std::move(entry));
            }
            if (batch->entries.size() == kStatBatch || (!going && !batch->entries.empty())) {
                const std::lock_guard<std::mutex> lock(mu);
                batches.push_back(std::move(batch));
                batch = std::make_unique<Batch>();
                more.notify_one();
            }
        }
        {
            const std::lock_guard<std::mutex> lock(mu);
            walked = true;
            more.notify_all();
        }
        work();
        for (auto &h : helpers) {
            h.join();
        }
    }
    std::vector<files::Entry> entries;
    std::vector<Seen> looks;
    for (auto &b : batches) {
        std::move(b->entries.begin(), b->entries.end(), std::back_inserter(entries));
        looks.insert(looks.end(), b->looks.begin(), b->looks.end());
    }
    batches.clear();
    // The files to read: the first path to each file (device and inode) that the cache does
    // not hold unchanged. They go through the pipeline on their own, and their chunks are
    // looked up below in the walk's order with the others.
    using Key = std::pair<uint64_t, uint64_t>;
    std::unordered_map<Key, std::size_t, KeyHash> first_of;
    first_of.reserve(entries.size());
    // Each file's first path (the entry that stands for its device and inode), so that the
    // files counted are marked by it, with no second table of keys.
    std::vector<std::size_t> first(entries.size());
    std::vector<std::string> to_read;
    std::unordered_map<std::size_t, std::size_t> read_as; // entry -> index in to_read
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].kind != files::Entry::Kind::file) {
            continue;
        }
        const Seen &s = looks[i];
        if (!s.regular) {
            return false; // what stat saw differs from the walk: the pipeline's case
        }
        const auto [at, fresh] = first_of.emplace(Key {s.dev, s.ino}, i);
        first[i] = at->second;
        if (fresh && s.cached == nullptr) {
            read_as[i] = to_read.size();
            to_read.push_back(entries[i].path);
        }
    }
    std::vector<FileStats *> read(to_read.size(), nullptr);
    std::vector<int> read_error(to_read.size(), 0);
    TreeReport fresh;
    if (!to_read.empty()) {
        DigestSet scratch;
        TreeOptions o = options;
        o.cache = nullptr;
        o.record = true;
        fresh = dedup_tree(to_read, chunking, o, scratch);
        if (fresh.cancelled) {
            out = std::move(fresh);
            return true;
        }
        // Named one by one, each path is one entry of the pipeline's report.
        std::unordered_map<std::string, std::size_t> index;
        for (std::size_t k = 0; k < to_read.size(); ++k) {
            index.emplace(to_read[k], k);
        }
        if (!fresh.skipped.empty() || index.size() != to_read.size()) {
            return false; // changed under us, or named twice: the pipeline's case
        }
        for (FileStats &f : fresh.files) {
            read[index.at(f.path)] = &f;
        }
        for (const Failure &e : fresh.errors) {
            read_error[index.at(e.path)] = e.error;
        }
    }
    const std::size_t before = seen.size();
    TreeReport report;
    std::vector<char> counted(entries.size(), 0); // by first path
    report.files.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        files::Entry &entry = entries[i];
        const Seen &s = looks[i];
        if (entry.kind == files::Entry::Kind::error) {
            report.errors.push_back({std::move(entry.path), entry.error});
            continue;
        }
        if (entry.kind == files::Entry::Kind::special) {
            report.skipped.push_back({std::move(entry.path), Skipped::Why::special});
            continue;
        }
        if (counted[first[i]] != 0) {
            report.skipped.push_back({std::move(entry.path), Skipped::Why::same_file});
            continue;
        }
        const auto it = read_as.find(i);
        if (it == read_as.end() && s.cached == nullptr) {
            // A later path to a file whose first path could not be read: the pipeline reads
            // it in its turn.
            seen.truncate(before);
            return false;
        }
        const uint64_t *lengths;
        const Digest *digests;
        std::size_t n;
        FileStats f;
        if (it == read_as.end()) {
            const CachedFile &c = *s.cached;
            f.cached = true;
            f.inode = c.inode;
            f.mtime_ns = c.mtime_ns;
            f.ctime_ns = c.ctime_ns;
            f.content = s.content;
            lengths = cache.lengths(c);
            digests = cache.digests(c);
            n = c.chunks;
        } else if (read[it->second] == nullptr) {
            report.errors.push_back({std::move(entry.path), read_error[it->second]});
            continue;
        } else {
            FileStats &r = *read[it->second];
            f.inode = r.inode;
            f.mtime_ns = r.mtime_ns;
            f.ctime_ns = r.ctime_ns;
            f.content = r.content;
            f.lengths = std::move(r.lengths);
            f.digests = std::move(r.digests);
            lengths = f.lengths.data();
            digests = f.digests.data();
            n = f.digests.size();
        }
        counted[first[i]] = 1;
        for (std::size_t k = 0; k < n; ++k) {
            const uint64_t length = lengths[k];
            f.min_chunk = f.chunks == 0 ? length : std::min(f.min_chunk, length);
            f.max_chunk = std::max(f.max_chunk, length);
            f.bytes += length;
            ++f.chunks;
            if (seen.insert(digests[k])) {
                f.unique_bytes += length;
                ++f.unique_chunks;
            }
        }
        f.path = std::move(entry.path);
        report.files.push_back(std::move(f));
    }
    out = std::move(report);
    return true;
}

} // namespace veltrane::dedup
