// Pairs of items produced a batch at a time from groups of members: each item's partners are
// a few sorted runs of a members array (the later members of its own group, and those of each
// group paired with it), merged by index so that the pairs come sorted by (item, partner).
// Shared by the Hamming pair stream (a distance per run) and the Jaccard expansion (a
// similarity per run).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <numeric>
#include <utility>
#include <vector>

namespace veltrane::search {

// The items 0 .. n - 1 sorted by group (a counting sort, so increasing within each group):
// group g's members are members[starts[g] .. starts[g + 1]). group_of(x) is x's group, below
// `groups`.
template <typename Member, typename GroupOf>
void sort_members(std::size_t n,
                  std::size_t groups,
                  GroupOf &&group_of,
                  std::vector<std::size_t> &starts,
                  std::vector<Member> &members) {
    starts.assign(groups + 1, 0);
    for (std::size_t x = 0; x < n; ++x) {
        ++starts[static_cast<std::size_t>(group_of(x)) + 1];
    }
    std::partial_sum(starts.begin(), starts.end(), starts.begin());
    members.resize(n);
    std::vector<std::size_t> fill(starts.begin(), starts.end() - 1);
    for (std::size_t x = 0; x < n; ++x) {
        members[fill[static_cast<std::size_t>(group_of(x))]++] = static_cast<Member>(x);
    }
}

// The pairs within the groups: m(m - 1)/2 for a group of m members.
inline uint64_t pairs_within(const std::vector<std::size_t> &starts) {
    uint64_t total = 0;
    for (std::size_t g = 0; g + 1 < starts.size(); ++g) {
        const uint64_t m = starts[g + 1] - starts[g];
        total += m * (m - 1) / 2;
    }
    return total;
}

template <typename Member, typename Value> class RunMerge {
public:
    // The first item whose pairs are not all written yet.
    std::size_t item() const {
        return item_;
    }

    // For the item being started: its partners members[pos, end), all at `value`. Empty runs
    // are dropped.
    void add(std::size_t pos, std::size_t end, Value value) {
        if (pos < end) {
            runs_.push_back({pos, end, value});
        }
    }

    // Writes up to `max` next pairs {item, partner, value} to out and returns how many; 0 once
    // the items up to n - 1 are done. start(item) add()s the item's runs; done(item) is called
    // once all its pairs are written.
    template <typename Record, typename Start, typename Done>
    std::size_t next(const Member *members,
                     std::size_t n,
                     Record *out,
                     std::size_t max,
                     Start &&start,
                     Done &&done) {
        std::size_t written = 0;
        while (written < max) {
            if (!started_) {
                if (item_ >= n) {
                    break;
                }
                runs_.clear();
                heap_.clear();
                start(item_);
                for (std::size_t r = 0; r < runs_.size(); ++r) {
                    heap_.emplace_back(members[runs_[r].pos], static_cast<uint32_t>(r));
                }
                std::make_heap(heap_.begin(), heap_.end(), std::greater<>());
                started_ = true;
            }
            if (heap_.empty()) {
                done(item_);
                ++item_;
                started_ = false;
                continue;
            }
            const auto i = static_cast<int64_t>(item_);
            if (heap_.size() == 1) {
                // One run left: copy it without the heap.
                Run &run = runs_[heap_.front().second];
                const std::size_t take = std::min(max - written, run.end - run.pos);
                for (std::size_t t = 0; t < take; ++t) {
                    out[written++] = {i, members[run.pos++], run.value};
                }
                if (run.pos == run.end) {
                    heap_.clear();
                } else {
                    heap_.front().first = members[run.pos];
                }
                continue;
            }
            std::pop_heap(heap_.begin(), heap_.end(), std::greater<>());
            Run &run = runs_[heap_.back().second];
            out[written++] = {i, members[run.pos++], run.value};
            if (run.pos < run.end) {
                heap_.back().first = members[run.pos];
                std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
            } else {
                heap_.pop_back();
            }
        }
        return written;
    }

private:
    struct Run {
        std::size_t pos; // into the members array
        std::size_t end;
        Value value;
    };

    std::size_t item_ = 0;
    bool started_ = false;
    // The current item's runs, merged by index through a heap of (next member, run).
    std::vector<Run> runs_;
    std::vector<std::pair<Member, uint32_t>> heap_;
};

} // namespace veltrane::search
