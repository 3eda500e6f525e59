// The pieces of one run of dedup_tree (tree.hpp), shared by the files that hold its stages:
// tree.cpp walks and hands files to the workers, tree_read.cpp reads a file (or takes it from
// the cache), tree_digest.cpp cuts and digests what was read, tree_turn.cpp looks the digests
// up in the order walked. Internal to the pipeline.
#pragma once

#include "chunk/cdc.hpp"
#include "dedup/tree.hpp"
#include "files/walk.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace veltrane::dedup::tree_run {

// Device and inode: a file reached twice, by another link or the same path, is read once.
using FileKey = std::pair<uint64_t, uint64_t>;

struct Chunk {
    uint64_t length;
    Digest digest;
};

// A file holds back at most this many digested chunks before it waits for its turn to look
// them up (a long file then no longer needs memory in proportion to its length).
constexpr std::size_t kFlushChunks = std::size_t {1} << 14;
// Files taken ahead of the oldest one not yet looked up, per thread.
constexpr std::size_t kAheadPerThread = 128;
// and at most this many in all: each may hold its directory open (files/walk.hpp), and the
// descriptors a process may have open are often limited to 1024.
constexpr std::size_t kAheadMost = 512;

class Cutter {
public:
    explicit Cutter(const Chunking &c)
        : gear_(c.gear), cdc_(c.gear != nullptr ? 1 : c.cdc_chunk_size),
          longest_(c.gear != nullptr                   ? c.gear->max_size()
                   : c.cdc_chunk_size > UINT64_MAX / 2 ? UINT64_MAX
                                                       : 2 * c.cdc_chunk_size) {}

    // The ends of the chunks of data[0, size), size > 0.
    void ends(const unsigned char *data, std::size_t size, std::vector<uint64_t> &out) const {
        out.clear();
        if (gear_ != nullptr) {
            // One thread per file: files keep every core busy.
            const std::vector<int64_t> e = gear_->cut_points(data, size, 1);
            out.assign(e.begin(), e.end());
        } else {
            cdc_.for_each_chunk(data, size, [&](std::size_t offset, std::size_t length) {
                out.push_back(offset + length);
            });
        }
    }
    // The longest chunk; a chunk this long ends there whatever follows.
    uint64_t longest() const {
        return longest_;
    }
    // Whether a piece may be cut on its own, from its first byte as if a chunk began there,
    // and joined to the true chunking later by cut(): true of the gear chunker, whose cuts
    // depend only on the bytes from the chunk's start on.
    bool resumable() const {
        return gear_ != nullptr;
    }
    // The length of the chunk that starts at data, size > 0 bytes remaining; resumable only.
    std::size_t cut(const unsigned char *data, std::size_t size) const {
        return gear_->cut(data, size);
    }

private:
    const gear::GearCDC *gear_;
    CDC cdc_;
    uint64_t longest_;
};

// One file (or walk entry) on its way through: taken by a worker, read, then looked up in
// turn.
struct Slot {
    enum class Outcome { counted, error, special, same_file, cancelled };

    files::Entry entry;
    std::size_t index = 0;
    bool ready = false;
    Outcome outcome = Outcome::counted;
    int error = 0;
    FileKey key {};
    std::vector<Chunk> chunks; // digested, not yet looked up
    // Some chunks were looked up before the file was done; `seen_before` is the size of the
    // set before the first of them, so that a failure later can take them back.
    bool flushed = false;
    std::size_t seen_before = 0;
    FileStats stats;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const {
        return fd_;
    }

private:
    int fd_;
};

struct Buffer {
    std::unique_ptr<unsigned char[]> data;
    std::size_t size = 0;
    std::size_t begin = 0;  // where the piece's first chunk starts in data; ends count from it
    std::size_t filled = 0; // where the bytes read end in data
    std::vector<uint64_t> ends;
    std::vector<uint64_t> run; // cuts of the piece alone (see Fetch), from its first byte
    std::vector<Chunk> digested;

    // Room for at least `want` bytes; what the buffer held is dropped.
    void reserve(std::size_t want) {
        if (size < want) {
            data.reset();
            data.reset(new unsigned char[want]);
            size = want;
        }
    }
};

// A long file is read in pieces of read_size bytes at fixed offsets, each into its own buffer
// behind room for the unfinished chunk carried from the piece before. Whoever is idle reads a
// piece and, when it is not the owner's next, also cuts it on its own (Cutter::resumable):
// chunk ends depend only on the bytes from a chunk's start on, so once the true chunking,
// walked from the last true cut of the piece before, reaches one of those cuts, the rest of
// them are true. The owner only joins the pieces in order and digests beside the helpers.
// With reading and cutting on the owner alone (about half of the work), two threads ran one
// 1 GiB file 1.36 to 1.68 times as fast as one; now 1.67 to 1.94 times (Intel Xeon, AVX-512
// and AVX2).
struct Fetch {
    enum class State { open, taken, done };
    Buffer *piece = nullptr;
    int fd = -1;
    uint64_t offset = 0;
    std::size_t front = 0; // the piece's bytes go to piece->data + front
    // Under Run::mu_:
    State state = State::open;
    // Set by whoever took it, before `done`:
    std::size_t got = 0;
    int error = 0;
    bool cut = false; // piece->run holds the piece's own cuts
    std::exception_ptr failure = nullptr;
};

// Buffers of a worker's long file: pieces are read ahead while the ones before them are
// joined and digested. With three, two threads took 1.15 times as long on one file as with
// four; with four, the helper waited for a piece to read 27 to 68 ms of a 0.45 s run, with six
// 4 to 17 ms.
constexpr std::size_t kPieces = 6;
// Chunks the owner walks by the literal cut before a piece read by a helper is cut again whole
// from there (data whose true cuts never meet the piece's own).
constexpr int kJoinSteps = 4;
struct Buffers {
    Buffer pieces[kPieces];
};

// Files up to this size are read whole into a worker's batch, and their chunks digested
// together: one file of a few KiB has too few chunks to fill BLAKE3's SIMD lanes.
constexpr std::size_t kSmallFile = std::size_t {256} << 10;
constexpr std::size_t kBatchBytes = std::size_t {4} << 20;
// Slots a worker takes at a time, at most.
constexpr std::size_t kBatchFiles = 32;

struct Batch {
    struct File {
        Slot *slot;
        std::size_t begin, size;  // in data
        std::size_t first, count; // its chunks in spans
    };
    std::unique_ptr<unsigned char[]> data {new unsigned char[kBatchBytes]};
    std::size_t used = 0;
    std::vector<File> files;
    std::vector<Slot *> pending; // taken, in order, not finished yet
    std::vector<uint64_t> ends;
    std::vector<ByteSpan> spans;
    std::vector<Digest> digests;
    std::vector<ByteSpan> contents;
    std::vector<Digest> content_digests;
    Blake3Many many;
};

// Chunks handed out at a time, at least: enough to fill most SIMD lanes of BLAKE3 with chunks
// of one index and length (see Blake3Many; measured on 8 KiB chunks, 256 a call ran at 0.7 of
// the speed of one long message, 1024 at 0.85); 512 chunks of 8 KiB keep a helper busy for
// about 1 ms. A piece is cut in about two batches per worker.
constexpr std::size_t kDigestBatch = 512;
constexpr std::size_t kDigestBatchMost = 2048;

// The digests of one piece's chunks, which idle workers help with.
struct DigestJob {
    Buffer *piece = nullptr;
    std::size_t count = 0;
    std::size_t batch = kDigestBatch;
    std::atomic<std::size_t> next {0};
    // Under Run::mu_:
    std::size_t finished = 0;
    unsigned helpers = 0;
};

// Fewer chunks than this are digested by the reader alone.
constexpr std::size_t kShareChunks = 32;

// Files taken ahead: a quarter of the descriptors this process may open at most, so that the
// directories held open never leave a file unopened.
std::size_t files_ahead(std::size_t workers);

// Digests batches of the job's chunks until none is left; returns how many this call did.
std::size_t digest_batches(DigestJob &job);

class Run {
public:
    Run(const Chunking &chunking, const TreeOptions &options, DigestSet &seen)
        : cutter_(chunking), options_(options), seen_(seen),
          workers_(static_cast<std::size_t>(std::max(1, options.threads))),
          window_(files_ahead(workers_)),
          // A piece and the room in front of it must have a size in size_t; no allocation
          // reaches half the address space anyway.
          read_size_(std::clamp<std::size_t>(options.read_size, 1, SIZE_MAX / 2)),
          small_(std::min(kSmallFile, read_size_)) {}

    TreeReport run(const std::vector<std::string> &paths);

private:
    void work();
    void process(Slot &s, Buffers &bufs);
    // Opens s's file: false when s is settled without reading it (an error, not a regular
    // file, or a file another slot reads).
    bool opened(Slot &s, const Fd &fd, struct stat &st);
    // Reads and digests s's file a piece at a time; `size` is what stat saw.
    void stream(Slot &s, const Fd &fd, Buffers &bufs, uint64_t size);
    // Takes s into the batch: a short file is read whole into it, a long one streamed after
    // the batch so far is settled.
    void take(Slot &s, Buffers &bufs, Batch &b);
    // Cuts and digests the batch's files together, and finishes its slots.
    void settle(Batch &b);
    // Takes s's chunks from the cache when the file there is unchanged; false to read it.
    bool from_cache(Slot &s);
    // Digests what is left of a shared job's chunks (into its piece's `digested`) beside the
    // idle workers, helping with later jobs while they finish; returns once all are done.
    void digest(DigestJob &job);
    void share(Buffer &piece, DigestJob &job);
    // The oldest shared job with chunks left to take, or null; under mu_.
    DigestJob *open_job() const;
    // Digests batches of `job` as a helper: unlocks mu_ meanwhile, and tells the owner.
    void help(DigestJob &job, std::unique_lock<std::mutex> &lock);
    // Queues a piece to read; any worker may take it.
    void post(Fetch &f);
    // The oldest queued piece nobody took yet, or null; under mu_.
    Fetch *open_fetch() const;
    // Takes f from the queue and reads it (cut on its own when `cut`): unlocks mu_ meanwhile.
    void fetch(Fetch &f, bool cut, std::unique_lock<std::mutex> &lock);
    // Whether a digest job or a piece waits for a worker; under mu_.
    bool queued() const;
    // Digests or reads whatever is queued, oldest digests first; false when nothing is.
    bool help_any(std::unique_lock<std::mutex> &lock);
    // Returns once f is read: by this thread when nobody took it (then it is not cut on its
    // own, as the owner joins it next anyway), else helping with other work meanwhile. With
    // `drop`, a piece nobody took is just taken off the queue.
    void await(Fetch &f, bool drop);
    // The true chunk ends of the piece f read (into f.piece->ends), with the last `carried`
    // bytes of the piece before it put in front.
    void join(Fetch &f, const Buffer *before, std::size_t carried, bool ended);
    bool claim(const FileKey &key, std::size_t index);
    // Waits for s's turn and looks up its chunks so far; false when the file was counted
    // already or the run is cancelled, so reading it can stop.
    bool flush(Slot &s);
    void look_up(Slot &s);
    // Marks the slots ready and, unless another thread is doing it, looks up every ready slot
    // in turn.
    void finish(Slot *const *slots, std::size_t count);
    void commit(Slot &s);
    void fail(std::exception_ptr e);

    Cutter cutter_;
    const TreeOptions &options_;
    DigestSet &seen_;
    const std::size_t workers_;
    const std::size_t window_;
    const std::size_t read_size_;
    // Files shorter than this are batched; a longer one takes more than one read.
    const std::size_t small_;
    TreeReport report_;

    std::mutex mu_;
    std::condition_variable work_cv_; // a slot to take, or the end
    std::condition_variable turn_cv_; // the turn moved
    std::condition_variable walk_cv_; // the window has room, or the run is over
    std::condition_variable job_cv_;  // a piece was queued or read, a digest job finished
    std::deque<DigestJob *> shared_;  // digest jobs idle workers help with, oldest first
    std::deque<Fetch *> fetches_;     // pieces to read that nobody took yet, oldest first
    std::deque<std::unique_ptr<Slot>> slots_;
    std::size_t base_ = 0;   // index of slots_.front()
    std::size_t pushed_ = 0; // slots made so far
    std::size_t taken_ = 0;
    std::size_t turn_ = 0; // the next slot to look up
    bool walked_ = false;
    bool committing_ = false;
    std::atomic<bool> cancelled_ {false};
    std::exception_ptr failure_;

    std::atomic<uint64_t> bytes_read_ {0};
    std::mutex claims_mu_;
    std::map<FileKey, std::size_t> claims_; // the first slot to read each file
    std::set<FileKey> counted_;             // files whose chunks were looked up
};

} // namespace veltrane::dedup::tree_run
