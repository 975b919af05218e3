// The best-first queue of the hit enumeration: smallest key first in the IEEE
// total order, the larger node index first among equal keys. Eight entries
// live inside the queue; a ninth moves them to the heap for good.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

namespace orvik {

struct PendingEntry {
    std::uint64_t node = 0;
    float key = 0;
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
    PendingQueue(const PendingQueue&) = delete;
    PendingQueue& operator=(const PendingQueue&) = delete;
    PendingQueue(PendingQueue&& o) noexcept
        : inline_(o.inline_), heap_(std::move(o.heap_)), size_(o.size_), spilled_(o.spilled_) {
        o.size_ = 0;
    }

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    bool spilled() const { return spilled_; }

    void push(PendingEntry e) {
        if (!spilled_ && size_ == kInline) {
            heap_.assign(inline_.begin(), inline_.end());
            spilled_ = true;
        }
        if (spilled_) {
            heap_.push_back(e);
        } else {
            inline_[size_] = e;
        }
        ++size_;
        sift_up(size_ - 1);
    }

    // Precondition: not empty.
    PendingEntry pop() {
        PendingEntry* d = data();
        const PendingEntry top = d[0];
        --size_;
        if (size_ > 0) {
            d[0] = d[size_];
            sift_down(0);
        }
        if (spilled_) heap_.pop_back();
        return top;
    }

private:
    PendingEntry* data() { return spilled_ ? heap_.data() : inline_.data(); }

    void sift_up(std::size_t i) {
        PendingEntry* d = data();
        while (i > 0) {
            const std::size_t parent = (i - 1) / 2;
            if (!pops_before(d[i], d[parent])) break;
            std::swap(d[i], d[parent]);
            i = parent;
        }
    }
    void sift_down(std::size_t i) {
        PendingEntry* d = data();
        for (;;) {
            const std::size_t l = 2 * i + 1, r = l + 1;
            std::size_t best = i;
            if (l < size_ && pops_before(d[l], d[best])) best = l;
            if (r < size_ && pops_before(d[r], d[best])) best = r;
            if (best == i) return;
            std::swap(d[i], d[best]);
            i = best;
        }
    }

    std::array<PendingEntry, kInline> inline_{};
    std::vector<PendingEntry> heap_;
    std::size_t size_ = 0;
    bool spilled_ = false;
};

}  // namespace orvik
