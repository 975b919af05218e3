// The best-first queue of the hit enumeration: smallest key first in the IEEE
// total order, the larger node index first among equal keys. Eight entries
// live inside the queue; a ninth moves them to the heap for good.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/inline_vector.hpp"

namespace orvik {

struct PendingEntry {
    std::uint64_t node;
    float key;
};

// The key as a signed integer whose order is the IEEE total order.
inline std::int32_t total_order_key(float key) {
    const std::int32_t bits = std::bit_cast<std::int32_t>(key);
    return bits ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 31) >> 1);
}

// True when `a` pops before `b`.
inline bool pops_before(const PendingEntry& a, const PendingEntry& b) {
    const std::int32_t ka = total_order_key(a.key), kb = total_order_key(b.key);
    if (ka != kb) return ka < kb;
    return a.node > b.node;
}

class PendingQueue {
  public:
    static constexpr std::size_t kInline = 8;

    PendingQueue() = default;
    PendingQueue(PendingQueue&&) noexcept = default;

    bool empty() const { return heap_.empty(); }
    std::size_t size() const { return heap_.size(); }
    bool spilled() const { return heap_.spilled(); }

    void push(PendingEntry e) {
        heap_.push_back(e);
        sift_up(heap_.size() - 1);
    }

    // Precondition: not empty.
    PendingEntry pop() {
        PendingEntry* d = heap_.data();
        const PendingEntry top = d[0];
        const PendingEntry last = heap_.pop_back();
        if (!heap_.empty()) {
            d[0] = last;
            sift_down(0);
        }
        return top;
    }

  private:
    void sift_up(std::size_t i) {
        PendingEntry* d = heap_.data();
        while (i > 0) {
            const std::size_t parent = (i - 1) / 2;
            if (!pops_before(d[i], d[parent])) break;
            std::swap(d[i], d[parent]);
            i = parent;
        }
    }
    void sift_down(std::size_t i) {
        PendingEntry* d = heap_.data();
        const std::size_t n = heap_.size();
        for (;;) {
            const std::size_t l = 2 * i + 1, r = l + 1;
            std::size_t best = i;
            if (l < n && pops_before(d[l], d[best])) best = l;
            if (r < n && pops_before(d[r], d[best])) best = r;
            if (best == i) return;
            std::swap(d[i], d[best]);
            i = best;
        }
    }

    // A binary heap in an array whose first eight entries live in place.
    InlineVector<PendingEntry, kInline> heap_;
};

}  // namespace orvik
