// The compact BVH of a mesh model: 56-byte interior nodes with packed 32-bit
// child references; leaves hold up to four consecutive simplices.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "common/result.hpp"
#include "hierarchy/hierarchy.hpp"

namespace orvik {

// Bit 31: leaf. Leaf: bits 29-30 count - 1, bits 0-28 first simplex position.
// Interior: the node index (bits 29-31 clear).
using NodeRef = std::uint32_t;

inline constexpr NodeRef kLeafBit = 0x80000000u;
inline constexpr std::uint32_t kIndexMask = 0x1FFFFFFFu;
inline constexpr std::uint32_t kMaxIndex = 536870911u;  // 2^29 - 1

inline bool is_leaf(NodeRef r) { return (r & kLeafBit) != 0; }
inline std::uint32_t ref_index(NodeRef r) { return r & kIndexMask; }
inline std::uint32_t leaf_count(NodeRef r) { return ((r >> 29) & 3u) + 1; }

struct CompactNode {
    float box0_min[3];
    float box0_max[3];
    NodeRef child0;
    float box1_min[3];
    float box1_max[3];
    NodeRef child1;
};
static_assert(sizeof(CompactNode) == 56, "CompactNode must stay 56 bytes");

struct CompactBvh {
    std::vector<CompactNode> nodes;
    std::optional<NodeRef> root;  // absent exactly when there are no simplices

    // Flattens a binary tree with one shape per leaf (2N - 1 nodes, root 0)
    // into pre-order compact nodes; subtrees of at most four shapes become
    // one leaf. `leaf_order[i]` receives the shape stored at position i.
    static Result<CompactBvh> compact(const hierarchy::BinaryTree& tree,
                                      std::vector<std::uint32_t>& leaf_order);

    // 0 for no root or a leaf root, else 1 + the deeper child's depth.
    static std::uint32_t depth(const CompactBvh& bvh) { return depth(bvh.nodes.data(), bvh.root); }
    static std::uint32_t depth(const CompactNode* nodes, std::optional<NodeRef> root);
};

// LIFO of node references: the first 16 entries live in place, deeper
// stacks spill to the heap.
class RefStack {
public:
    RefStack() = default;
    RefStack(const RefStack&) = delete;
    RefStack& operator=(const RefStack&) = delete;

    bool empty() const { return size_ == 0; }
    void push(NodeRef r) {
        if (size_ == capacity_) grow();
        data_[size_++] = r;
    }
    NodeRef pop() { return data_[--size_]; }

private:
    void grow() {
        const std::size_t cap = capacity_ * 2;
        auto bigger = std::make_unique<NodeRef[]>(cap);
        std::memcpy(bigger.get(), data_, size_ * sizeof(NodeRef));
        heap_ = std::move(bigger);
        data_ = heap_.get();
        capacity_ = cap;
    }

    NodeRef inline_[16];
    NodeRef* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 16;
    std::unique_ptr<NodeRef[]> heap_;
};

namespace detail {
// All six comparisons are evaluated (no short circuit): the outcome is
// unpredictable, and straight-line code beats six branches.
inline bool in_box(const float* mn, const float* mx, float x, float y, float z) {
    return static_cast<bool>((mn[0] <= x) & (mn[1] <= y) & (mn[2] <= z) & (x <= mx[0]) &
                             (y <= mx[1]) & (z <= mx[2]));
}
}  // namespace detail

// Hands every simplex position whose path of boxes contains (x, y, z) to
// `test` until it returns true; returns that position, or nothing. When the
// point lies in both boxes of a node the second child is searched first.
template <class Test>
inline std::optional<std::uint32_t> traverse(const CompactNode* nodes, std::optional<NodeRef> root,
                                             float x, float y, float z, Test&& test) {
    if (!root) return std::nullopt;
    RefStack stack;
    NodeRef r = *root;
    for (;;) {
        if (is_leaf(r)) {
            const std::uint32_t first = ref_index(r);
            const std::uint32_t end = first + leaf_count(r);
            for (std::uint32_t i = first; i < end; ++i) {
                if (test(i)) return i;
            }
        } else {
            // Equivalent to pushing child0 then child1 and popping: a single
            // passing child is taken at once without touching the stack.
            const CompactNode& n = nodes[ref_index(r)];
            const bool in0 = detail::in_box(n.box0_min, n.box0_max, x, y, z);
            const bool in1 = detail::in_box(n.box1_min, n.box1_max, x, y, z);
            if (in1) {
                if (in0) stack.push(n.child0);
                r = n.child1;
                continue;
            }
            if (in0) {
                r = n.child0;
                continue;
            }
        }
        if (stack.empty()) return std::nullopt;
        r = stack.pop();
    }
}

}  // namespace orvik
