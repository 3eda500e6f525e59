// Transparent huge pages for large blocks that grow with the corpus. Where the system leaves
// them to madvise (the default of many distributions), a block faults in 2 MiB at a time
// instead of 4 KiB: on a virtual machine each fault costs microseconds, and a corpus-sized
// table took a second of system time in faults alone.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <system_error>
#include <thread>
#include <utility>

namespace veltrane::memory {

// 2 MiB: the huge page size of x86-64.
constexpr std::size_t kHugePage = std::size_t {2} << 20;

// Asks for huge pages over the whole 2 MiB pages inside [p, p + bytes). Only advice: where it
// is refused, the block works as before.
inline void advise_huge(void *p, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t begin = (at + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (at + bytes) & ~(kHugePage - 1);
    if (end > begin) {
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
    }
#else
    (void)p;
    (void)bytes;
#endif
}

// Maps `bytes` (a multiple of kHugePage) of fresh zeroed memory starting on a huge page's
// boundary, advised to use huge pages; nullptr when the system refuses. `reserve_only`: address
// space for growing into, not counted against the system's commit limit until touched.
inline void *map_huge(std::size_t bytes, bool reserve_only) {
    // One huge page more, to start on a boundary.
    void *at = mmap(nullptr,
                    bytes + kHugePage,
                    PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | (reserve_only ? MAP_NORESERVE : 0),
                    -1,
                    0);
    if (at == MAP_FAILED) {
        return nullptr;
    }
    const auto raw = reinterpret_cast<std::uintptr_t>(at);
    const std::uintptr_t begin = (raw + kHugePage - 1) & ~(kHugePage - 1);
    if (begin > raw) {
        munmap(at, begin - raw);
    }
    munmap(reinterpret_cast<void *>(begin + bytes), raw + kHugePage - begin);
    advise_huge(reinterpret_cast<void *>(begin), bytes);
    return reinterpret_cast<void *>(begin);
}

// Faults in [p, p + bytes) (huge-page aligned), on `threads` threads at once. A table is
// probed at random from its first use, so it is touched whole at once anyway; on a virtual
// machine the first touch of memory the host has not backed yet runs at about 0.4 GB/s a
// thread (an 837 MB table took 2 s of the thread that decides spans), and two threads do it
// about 1.6 times as fast. Where the kernel does not populate (before Linux 5.14, or a
// sandbox), the pages are touched by writing the zeros they hold, as they always were.
inline void populate(void *p, std::size_t bytes, int threads) {
    auto part = [p](std::size_t begin, std::size_t end) {
        char *at = static_cast<char *>(p) + begin;
#ifdef MADV_POPULATE_WRITE
        if (madvise(at, end - begin, MADV_POPULATE_WRITE) == 0) {
            return;
        }
#endif
        std::memset(at, 0, end - begin);
    };
    const std::size_t half = (bytes / 2) & ~(kHugePage - 1);
    if (threads < 2 || half == 0) {
        part(0, bytes);
        return;
    }
    std::thread other;
    try {
        other = std::thread(part, half, bytes);
    } catch (const std::system_error &) {
        part(0, bytes); // no thread to be had: all of it here
        return;
    }
    part(0, half);
    other.join();
}

// A fixed-size array of plain values, zeroed: a hash table. A large one is mapped on huge
// pages and faulted in before it is used, on up to two of `threads`.
template <typename T> class Zeroed {
public:
    explicit Zeroed(std::size_t n, int threads = 1) : size_(n) {
        const std::size_t bytes = n * sizeof(T);
        void *p = nullptr;
        if (bytes >= 2 * kHugePage) {
            const std::size_t whole = (bytes + kHugePage - 1) & ~(kHugePage - 1);
            p = map_huge(whole, false);
            if (p == nullptr) {
                throw std::bad_alloc();
            }
            mapped_ = whole;
            populate(p, whole, threads);
        } else {
            p = std::calloc(n == 0 ? 1 : n, sizeof(T));
            if (p == nullptr) {
                throw std::bad_alloc();
            }
        }
        data_ = static_cast<T *>(p);
    }
    Zeroed(const Zeroed &) = delete;
    Zeroed &operator=(const Zeroed &) = delete;
    Zeroed(Zeroed &&o) noexcept : data_(o.data_), size_(o.size_), mapped_(o.mapped_) {
        o.data_ = nullptr;
        o.size_ = o.mapped_ = 0;
    }
    ~Zeroed() {
        if (mapped_ != 0) {
            munmap(data_, mapped_);
        } else {
            std::free(data_);
        }
    }
    void swap(Zeroed &o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(mapped_, o.mapped_);
    }
    T &operator[](std::size_t i) {
        return data_[i];
    }
    const T &operator[](std::size_t i) const {
        return data_[i];
    }
    std::size_t size() const {
        return size_;
    }
    T *begin() {
        return data_;
    }
    T *end() {
        return data_ + size_;
    }

private:
    T *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0; // bytes mapped for the values; 0: calloc'ed
};

// A buffer of plain values that grows to the size of the corpus (first occurrences, word
// hashes). Small, it grows by realloc; past kReserveFrom it moves once into a reservation of
// address space (kReserve, never committed up front) advised to use huge pages, and grows
// there in place: no copy, no remapping, and faults 2 MiB at a time. Where the system refuses
// such a reservation (strict overcommit), it stays with realloc, which remaps a large block
// rather than copying it.
template <typename T> class Grown {
public:
    Grown() = default;
    Grown(const Grown &) = delete;
    Grown &operator=(const Grown &) = delete;
    Grown(Grown &&o) noexcept
        : data_(o.data_), size_(o.size_), capacity_(o.capacity_), reserved_(o.reserved_) {
        o.data_ = nullptr;
        o.size_ = o.capacity_ = o.reserved_ = 0;
    }
    ~Grown() {
        release();
    }

    void append(const T *values, std::size_t n) {
        if (size_ + n > capacity_) {
            grow(size_ + n);
        }
        if (n > 0) {
            std::memcpy(data_ + size_, values, n * sizeof(T));
        }
        size_ += n;
    }
    const T *data() const {
        return data_;
    }
    std::size_t size() const {
        return size_;
    }
    // Bytes of memory the buffer may occupy: what it has touched, in a reservation.
    std::size_t held() const {
        if (reserved_ == 0) {
            return capacity_ * sizeof(T);
        }
        return (size_ * sizeof(T) + kHugePage - 1) & ~(kHugePage - 1);
    }

private:
    // 8 MiB: below, realloc is as good; 64 GiB of address space: a corpus of several
    // hundred GB of text, out of the 128 TiB a process has.
    static constexpr std::size_t kReserveFrom = std::size_t {8} << 20;
    static constexpr std::size_t kReserve = std::size_t {64} << 30;

    void grow(std::size_t need) {
        std::size_t want = capacity_ < 4096 ? 4096 : capacity_ + capacity_ / 2;
        want = want < need ? need : want;
        if (want * sizeof(T) >= kReserveFrom &&
            reserve(std::max(kReserve, 2 * want * sizeof(T)))) {
            return;
        }
        if (reserved_ != 0) {
            throw std::bad_alloc(); // a reservation could not be replaced by a larger one
        }
        void *grown = std::realloc(data_, want * sizeof(T));
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<T *>(grown);
        capacity_ = want;
    }

    // Moves the values into a new reservation of `bytes`; false when it cannot be had.
    bool reserve(std::size_t bytes) {
        bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
        T *data = static_cast<T *>(map_huge(bytes, true));
        if (data == nullptr) {
            return false;
        }
        if (size_ > 0) {
            std::memcpy(data, data_, size_ * sizeof(T));
        }
        release();
        data_ = data;
        capacity_ = bytes / sizeof(T);
        reserved_ = bytes;
        return true;
    }

    void release() {
        if (reserved_ != 0) {
            munmap(data_, reserved_);
        } else {
            std::free(data_);
        }
        data_ = nullptr;
        capacity_ = reserved_ = 0;
    }

    T *data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
    std::size_t reserved_ = 0; // bytes of the reservation the values are in; 0: malloc'ed
};

} // namespace veltrane::memory
