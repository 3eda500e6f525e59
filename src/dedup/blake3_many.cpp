// BLAKE3 of many short messages at once. The reference hasher takes one message at a time: an
// 8 KiB message gives its SIMD path at most 8 whole chunks (often fewer: it splits the input
// into power-of-two subtrees, and a subtree of one or two chunks goes one block at a time), and
// the message's last chunk always goes one block at a time. Here the whole chunks of every
// message are hashed together, lanes filled across messages; the blocks of last chunks and the
// parent nodes are batched the same way. Only the reference's own compression functions hash.
#include "dedup/blake3.hpp"

#include <algorithm>
#include <cstring>

extern "C" {
// The reference sources' internal entry points (declared in blake3_impl.h, a C-only header):
// each input of `blocks` whole blocks hashed from `key` in its own SIMD lane, and one block
// compressed in place.
void blake3_hash_many(const uint8_t *const *inputs,
                      size_t num_inputs,
                      size_t blocks,
                      const uint32_t key[8],
                      uint64_t counter,
                      bool increment_counter,
                      uint8_t flags,
                      uint8_t flags_start,
                      uint8_t flags_end,
                      uint8_t *out);
void blake3_compress_in_place(
    uint32_t cv[8], const uint8_t block[64], uint8_t block_len, uint64_t counter, uint8_t flags);
}

namespace veltrane::dedup {

namespace {

constexpr std::size_t kBlock = 64;
constexpr std::size_t kChunk = 1024;
constexpr uint8_t kChunkStart = 1, kChunkEnd = 2, kParent = 4, kRoot = 8;
constexpr uint32_t kIV[8] = {0x6A09E667,
                             0xBB67AE85,
                             0x3C6EF372,
                             0xA54FF53A,
                             0x510E527F,
                             0x9B05688C,
                             0x1F83D9AB,
                             0x5BE0CD19};

// The reference's many-input hash on `count` inputs, padded with copies of the first to a
// multiple of 4: it hashes 16, 8 or 4 inputs at a time in SIMD lanes, but any fewer one block
// at a time, which costs more than the idle lanes.
void hash_lanes(const unsigned char **inputs,
                std::size_t count,
                std::size_t blocks,
                uint64_t counter,
                uint8_t flags,
                uint8_t start,
                uint8_t end,
                unsigned char *out) {
    const std::size_t padded = count == 1 ? 1 : (count + 3) / 4 * 4;
    for (std::size_t i = count; i < padded; ++i) {
        inputs[i] = inputs[0];
    }
    blake3_hash_many(inputs, padded, blocks, kIV, counter, false, flags, start, end, out);
}

} // namespace

void Blake3Many::Lanes::add(const unsigned char *in, unsigned char *out) {
    inputs[count] = in;
    outputs[count] = out;
    ++count;
}

void Blake3Many::Lanes::flush(
    std::size_t blocks, uint64_t counter, uint8_t flags, uint8_t start, uint8_t end) {
    if (count == 0) {
        return;
    }
    unsigned char hashed[kLanes * kDigestSize];
    hash_lanes(inputs, count, blocks, counter, flags, start, end, hashed);
    for (unsigned i = 0; i < count; ++i) {
        std::memcpy(outputs[i], hashed + i * kDigestSize, kDigestSize);
    }
    count = 0;
}

void Blake3Many::digest(const ByteSpan *messages, std::size_t count, Digest *out) {
    msgs_.clear();
    std::size_t cvs = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t size = messages[i].size;
        const std::size_t chunks = (size + kChunk - 1) / kChunk;
        if (size == 0 || chunks > kMaxChunks) {
            // Nothing to batch: an empty message, or one the reference hashes wide itself.
            out[i] = blake3(messages[i].data, size);
            continue;
        }
        msgs_.push_back({messages[i].data, size, i, static_cast<uint32_t>(chunks), cvs, 0});
        if (chunks > 1) {
            cvs += chunks;
        }
    }
    cvs_.resize(cvs * kDigestSize);
    whole_chunks();
    last_chunks(out);
    parents(out);
}

// Every chunk of 1 KiB that is not a root: lanes take the chunks of one index (their counter)
// from many messages.
void Blake3Many::whole_chunks() {
    for (const Message &m : msgs_) {
        if (m.chunks == 1) {
            continue;
        }
        const std::size_t whole = m.size / kChunk;
        if (by_counter_.size() < whole) {
            by_counter_.resize(whole);
        }
        for (std::size_t j = 0; j < whole; ++j) {
            Lanes &lanes = by_counter_[j];
            lanes.add(m.data + j * kChunk, cv(m, j));
            if (lanes.count == kLanes) {
                lanes.flush(kChunk / kBlock, j, 0, kChunkStart, kChunkEnd);
            }
        }
    }
    for (std::size_t j = 0; j < by_counter_.size(); ++j) {
        by_counter_[j].flush(kChunk / kBlock, j, 0, kChunkStart, kChunkEnd);
    }
}

// The last chunk of each message, unless it was a whole one of several: lanes take the
// leading whole blocks that a group of last chunks with the same counter share (the longest
// first, so that the group's lengths are close), then each goes on alone to its final block,
// which may be short.
void Blake3Many::last_chunks(Digest *out) {
    tails_.clear();
    for (uint32_t i = 0; i < msgs_.size(); ++i) {
        const Message &m = msgs_[i];
        const std::size_t rest = m.size - (m.chunks - 1) * kChunk;
        if (m.chunks > 1 && rest == kChunk) {
            continue;
        }
        tails_.push_back({m.chunks - 1, static_cast<uint32_t>((rest - 1) / kBlock), i});
    }
    std::sort(tails_.begin(), tails_.end(), [](const Tail &a, const Tail &b) {
        return a.counter != b.counter ? a.counter < b.counter : a.final_block > b.final_block;
    });
    for (std::size_t first = 0; first < tails_.size();) {
        const uint32_t counter = tails_[first].counter;
        std::size_t last = first;
        // A group's lanes all stop at its shortest member; the blocks the others have left go
        // one at a time, so a group takes only lengths close to its longest.
        while (last < tails_.size() && last - first < kLanes && tails_[last].counter == counter &&
               tails_[first].final_block - tails_[last].final_block <= kSpread) {
            ++last;
        }
        const std::size_t shared = tails_[last - 1].final_block;
        unsigned char hashed[kLanes * kDigestSize];
        if (shared != 0) {
            const unsigned char *inputs[kLanes];
            for (std::size_t t = first; t < last; ++t) {
                inputs[t - first] = msgs_[tails_[t].message].data + counter * kChunk;
            }
            hash_lanes(inputs, last - first, shared, counter, 0, kChunkStart, 0, hashed);
        }
        for (std::size_t t = first; t < last; ++t) {
            const Message &m = msgs_[tails_[t].message];
            const unsigned char *chunk = m.data + counter * kChunk;
            uint32_t state[8];
            if (shared != 0) {
                std::memcpy(state, hashed + (t - first) * kDigestSize, sizeof state);
            } else {
                std::memcpy(state, kIV, sizeof state);
            }
            const std::size_t final_block = tails_[t].final_block;
            for (std::size_t b = shared; b < final_block; ++b) {
                blake3_compress_in_place(
                    state, chunk + b * kBlock, kBlock, counter, b == 0 ? kChunkStart : 0);
            }
            const std::size_t length = m.size - counter * kChunk - final_block * kBlock;
            unsigned char block[kBlock] = {};
            std::memcpy(block, chunk + final_block * kBlock, length);
            const uint8_t flags =
                kChunkEnd | (final_block == 0 ? kChunkStart : 0) | (m.chunks == 1 ? kRoot : 0);
            blake3_compress_in_place(state, block, static_cast<uint8_t>(length), counter, flags);
            std::memcpy(m.chunks == 1 ? out[m.index].data() : cv(m, counter), state, kDigestSize);
        }
        first = last;
    }
}

// The tree above the chunks of each message of several, a level at a time: neighbours are
// merged in pairs and an odd one at the end moves up as it is, which builds the same tree as
// the reference (left subtrees of a power of two chunks). The last merge is the root.
void Blake3Many::parents(Digest *out) {
    active_.clear();
    for (uint32_t i = 0; i < msgs_.size(); ++i) {
        if (msgs_[i].chunks > 1) {
            msgs_[i].left = msgs_[i].chunks;
            active_.push_back(i);
        }
    }
    Lanes inner, roots;
    while (!active_.empty()) {
        for (const uint32_t i : active_) {
            const Message &m = msgs_[i];
            if (m.left == 2) {
                roots.add(cv(m, 0), out[m.index].data());
                if (roots.count == kLanes) {
                    roots.flush(1, 0, kParent, 0, kRoot);
                }
                continue;
            }
            // Pair k is read before its output overwrites node k (k <= 2k), and a flush
            // reads all of its inputs before writing any output.
            for (std::size_t k = 0; k < m.left / 2; ++k) {
                inner.add(cv(m, 2 * k), cv(m, k));
                if (inner.count == kLanes) {
                    inner.flush(1, 0, kParent, 0, 0);
                }
            }
        }
        inner.flush(1, 0, kParent, 0, 0);
        roots.flush(1, 0, kParent, 0, kRoot);
        std::size_t kept = 0;
        for (const uint32_t i : active_) {
            Message &m = msgs_[i];
            if (m.left == 2) {
                continue;
            }
            if (m.left % 2 == 1) {
                std::memcpy(cv(m, m.left / 2), cv(m, m.left - 1), kDigestSize);
            }
            m.left = (m.left + 1) / 2;
            active_[kept++] = i;
        }
        active_.resize(kept);
    }
}

} // namespace veltrane::dedup
