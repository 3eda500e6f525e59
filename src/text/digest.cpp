#include "text/digest.hpp"

#include "common/batches.hpp"
#include "dedup/blake3.hpp"

#include <cstring>
#include <stdexcept>

namespace veltrane::text {

namespace {

// Texts of a few hundred bytes give BLAKE3's SIMD lanes nothing to share one at a time (a
// chunk of 1 KiB goes block by block); gathered, their blocks fill the lanes side by side.
// A batch of this many texts, or this many bytes, fills the 16 lanes many times over and stays
// in L2.
constexpr std::size_t kBatchTexts = 256;
constexpr std::size_t kBatchBytes = 256 << 10;

struct Batch {
    std::string bytes;             // the normalised texts, end to end
    std::vector<std::size_t> ends; // where each ends in bytes
    std::vector<uint32_t *> outs;  // where each digest goes
    std::vector<ByteSpan> spans;
    std::vector<dedup::Digest> digests;
    dedup::Blake3Many many;
};

Batch &batch_of(Scratch &scratch) {
    if (!scratch.batch) {
        scratch.batch = std::make_shared<Batch>();
    }
    return *static_cast<Batch *>(scratch.batch.get());
}

} // namespace

std::string_view normalized(std::string_view text, Normalize normalize, Scratch &scratch) {
    if (normalize == Normalize::none) {
        return text;
    }
    // The words come lower-cased, and never hold a space, so joined by one they stay apart.
    word_list(text, scratch, scratch.joined, ' ');
    return scratch.joined;
}

void Digester::sign(std::string_view text, Scratch &scratch, uint32_t *out) const {
    const std::string_view t = normalized(text, normalize_, scratch);
    Batch &b = batch_of(scratch);
    b.bytes.append(t.data(), t.size());
    b.ends.push_back(b.bytes.size());
    b.outs.push_back(out);
    if (b.ends.size() >= kBatchTexts || b.bytes.size() >= kBatchBytes) {
        flush(scratch);
    }
}

void Digester::flush(Scratch &scratch) const {
    if (!scratch.batch) {
        return;
    }
    Batch &b = batch_of(scratch);
    const std::size_t n = b.ends.size();
    const auto *base = reinterpret_cast<const unsigned char *>(b.bytes.data());
    b.spans.resize(n);
    for (std::size_t i = 0, from = 0; i < n; from = b.ends[i], ++i) {
        b.spans[i] = {base + from, b.ends[i] - from};
    }
    b.digests.resize(n);
    b.many.digest(b.spans.data(), n, b.digests.data());
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(b.outs[i], b.digests[i].data(), 16); // little-endian quarters, as the halves
    }
    b.bytes.clear();
    b.ends.clear();
    b.outs.clear();
}

void digests(const std::vector<std::string_view> &texts,
             Normalize normalize,
             int threads,
             uint64_t *out) {
    if (threads < 1) {
        throw std::invalid_argument("threads must be at least 1");
    }
    const Digester digester(normalize);
    std::vector<Scratch> scratch(static_cast<std::size_t>(threads));
    parallel_batches(
        texts.size(), 256, threads, [&](std::size_t begin, std::size_t end, std::size_t w) {
            for (std::size_t i = begin; i < end; ++i) {
                digester.sign(texts[i], scratch[w], reinterpret_cast<uint32_t *>(out + 2 * i));
            }
            digester.flush(scratch[w]);
        });
}

} // namespace veltrane::text
