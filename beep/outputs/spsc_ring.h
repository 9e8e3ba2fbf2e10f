// Hand-offs between one writing thread and one reading thread, without a lock: the writer never
// waits for the reader, so either side may be a sound server's real-time thread. The writer may
// change from one thread to another where a lock the reader never takes orders them.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace beep {

template <typename T, std::size_t Capacity>
class SpscRing {
    static_assert((Capacity & (Capacity - 1)) == 0, "a power of two, so that indices wrap");

public:
    // The producer's: false, with nothing added, while the ring is full.
    bool push(const T& item) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == Capacity) return false;
        items_[tail % Capacity] = item;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // The consumer's: the oldest item, left in the ring until pop(); nullptr while empty.
    const T* front() const {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return nullptr;
        return &items_[head % Capacity];
    }
    void pop() {
        head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

    // Either side's: whether the consumer has taken everything pushed so far.
    bool empty() const {
        return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
    }

private:
    std::array<T, Capacity> items_{};
    std::atomic<std::size_t> head_{0};  // the next to be taken; the consumer moves it
    std::atomic<std::size_t> tail_{0};  // the next free slot; the producer moves it
};

// The latest of a value that one thread publishes now and then, for another to read. Two slots:
// the writer fills the one not published, so a reader never waits on a writer held up halfway;
// it reads again only where the writer has since published twice.
template <typename T>
class LatestValue {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) % sizeof(std::uint64_t) == 0);
    static constexpr std::size_t kWords = sizeof(T) / sizeof(std::uint64_t);
    using Words = std::array<std::uint64_t, kWords>;

public:
    explicit LatestValue(const T& value = {}) { publish(value); }

    void publish(const T& value) {
        const std::uint64_t next = published_.load(std::memory_order_relaxed) + 1;
        writing_.store(next, std::memory_order_relaxed);
        // Each word released, rather than after a fence (which the thread sanitizer cannot
        // follow): a reader that sees one also sees that the slot is being refilled.
        const auto words = std::bit_cast<Words>(value);
        for (std::size_t i = 0; i < kWords; ++i)
            slots_[next % 2][i].store(words[i], std::memory_order_release);
        published_.store(next, std::memory_order_release);
    }

    T read() const {
        for (;;) {
            const std::uint64_t published = published_.load(std::memory_order_acquire);
            Words words{};
            for (std::size_t i = 0; i < kWords; ++i)
                words[i] = slots_[published % 2][i].load(std::memory_order_acquire);
            // The slot read is refilled only for the publication after next.
            if (writing_.load(std::memory_order_relaxed) < published + 2)
                return std::bit_cast<T>(words);
        }
    }

private:
    std::array<std::array<std::atomic<std::uint64_t>, kWords>, 2> slots_{};
    std::atomic<std::uint64_t> published_{0};  // slot published_ % 2 holds the latest
    std::atomic<std::uint64_t> writing_{0};    // the publication being filled
};

}  // namespace beep
