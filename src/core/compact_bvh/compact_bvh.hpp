// The compact BVH of a mesh model: 56-byte interior nodes with packed 32-bit
// child references; leaves hold up to four consecutive simplices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/inline_vector.hpp"
#include "common/lanes.hpp"
#include "common/result.hpp"
#include "hierarchy/hierarchy.hpp"

namespace orvik {

// Bit 31: leaf. Leaf: bits 29-30 count - 1, bits 0-28 first simplex position.
// Interior: the node index (bits 29-31 clear).
using NodeRef = std::uint32_t;

inline constexpr NodeRef kLeafBit = 0x80000000u;
inline constexpr std::uint32_t kIndexMask = 0x1FFFFFFFu;
inline constexpr std::uint32_t kMaxIndex = 536870911u;  // 2^29 - 1

inline bool is_leaf(NodeRef r) {
    return (r & kLeafBit) != 0;
}
inline std::uint32_t ref_index(NodeRef r) {
    return r & kIndexMask;
}
inline std::uint32_t leaf_count(NodeRef r) {
    return ((r >> 29) & 3u) + 1;
}

struct CompactNode {
    float box0_min[3];
    float box0_max[3];
    NodeRef child0;
    float box1_min[3];
    float box1_max[3];
    NodeRef child1;
};
static_assert(sizeof(CompactNode) == 56, "CompactNode must stay 56 bytes");
// The box tests read a node as floats: box0 at float 0, box1 at float 7.
static_assert(offsetof(CompactNode, box0_max) == 12 && offsetof(CompactNode, box1_min) == 28 &&
              offsetof(CompactNode, box1_max) == 40);

struct CompactBvh {
    std::vector<CompactNode> nodes;
    std::optional<NodeRef> root;  // absent exactly when there are no simplices

    // Flattens a binary tree with one shape per leaf (2N - 1 nodes, root 0)
    // into pre-order compact nodes; subtrees of at most four shapes become
    // one leaf. `leaf_order[i]` receives the shape stored at position i.
    // Precondition: N <= kMaxIndex (MeshModel::build refuses more), so every
    // reference fits its fields. Fails only on a tree whose nodes are not in
    // pre-order (hierarchy::collapse).
    static Result<CompactBvh> compact(const hierarchy::BinaryTree& tree,
                                      std::vector<std::uint32_t>& leaf_order);

    // 0 for no root or a leaf root, else 1 + the deeper child's depth.
    static std::uint32_t depth(const CompactBvh& bvh) { return depth(bvh.nodes.data(), bvh.root); }
    static std::uint32_t depth(const CompactNode* nodes, std::optional<NodeRef> root);
};

// The traversal stack of one point: node references, the first 16 in place.
using RefStack = InlineVector<NodeRef, 16>;

// The points of a packet traversal in groups of lanes of type V (four
// floats, or eight in code built for AVX): lane k of group g is point
// width * g + k.
template <int Groups, class V = lanes::F4>
struct PointLanes {
    static constexpr int kLanes = lanes::width<V> * Groups;
    V x[Groups], y[Groups], z[Groups];

    // The points among `active` in child box `which` of the node (below).
    unsigned in_box(const CompactNode& n, int which, unsigned active) const;
};

// A pending subtree of a packet traversal and the points that still enter it.
struct PacketEntry {
    NodeRef ref;
    unsigned lanes;
};
using PacketStack = InlineVector<PacketEntry, 16>;

namespace detail {
// All six comparisons are evaluated (no short circuit): the outcome is
// unpredictable, and straight-line code beats six branches.
inline bool in_box(const float* mn, const float* mx, float x, float y, float z) {
    return static_cast<bool>((mn[0] <= x) & (mn[1] <= y) & (mn[2] <= z) & (x <= mx[0]) &
                             (y <= mx[1]) & (z <= mx[2]));
}

// Bit 0: the point lies in box0; bit 1: in box1. `p` holds (x, y, z, x).
inline unsigned child_boxes(const CompactNode& n, float x, float y, float z, lanes::F4 p) {
#if defined(__SSE2__)
    // Four unaligned loads cover both boxes: (min xyz, max x) and (max xyz,
    // child) for each; the fourth lane of every comparison is dropped.
    (void)x, (void)y, (void)z;
    const float* f = reinterpret_cast<const float*>(&n);
    const __m128 in0 =
        _mm_and_ps(_mm_cmple_ps(_mm_loadu_ps(f), p.v), _mm_cmple_ps(p.v, _mm_loadu_ps(f + 3)));
    const __m128 in1 =
        _mm_and_ps(_mm_cmple_ps(_mm_loadu_ps(f + 7), p.v), _mm_cmple_ps(p.v, _mm_loadu_ps(f + 10)));
    const unsigned m = static_cast<unsigned>(_mm_movemask_ps(in0) | (_mm_movemask_ps(in1) << 4));
    return static_cast<unsigned>((m & 0x7u) == 0x7u) |
           (static_cast<unsigned>((m & 0x70u) == 0x70u) << 1);
#else
    (void)p;
    return static_cast<unsigned>(in_box(n.box0_min, n.box0_max, x, y, z)) |
           (static_cast<unsigned>(in_box(n.box1_min, n.box1_max, x, y, z)) << 1);
#endif
}

// The points of `p` among `active` that lie in child box `which` of the
// node, one bit each.
template <int Groups, class V>
inline unsigned box_lanes(const CompactNode& n, int which, const PointLanes<Groups, V>& p,
                          unsigned active) {
    using lanes::le;
    // The six floats min xyz, max xyz of the box; the child reference follows.
    V b[6];
    lanes::splat_box(reinterpret_cast<const float*>(&n) + 7 * which, b);
    unsigned in = 0;
    for (int g = 0; g < Groups; ++g) {
        const V low = (le(b[0], p.x[g]) & le(b[1], p.y[g])) & le(b[2], p.z[g]);
        const V high = (le(p.x[g], b[3]) & le(p.y[g], b[4])) & le(p.z[g], b[5]);
        in |= lanes::bits(low & high) << (lanes::width<V> * g);
    }
    return in & active;
}
}  // namespace detail

template <int Groups, class V>
inline unsigned PointLanes<Groups, V>::in_box(const CompactNode& n, int which,
                                              unsigned active) const {
    return detail::box_lanes(n, which, *this, active);
}

// Hands the leaves whose path of boxes contains (x, y, z) to
// `leaf(first, count)` until it returns true; returns whether one did. When
// the point lies in both boxes of a node the second child is searched first
// (as if both were pushed and the top popped). `stack` is scratch that may be
// reused from point to point.
template <class Leaf>
inline bool walk_leaves(const CompactNode* nodes, std::optional<NodeRef> root, float x, float y,
                        float z, RefStack& stack, Leaf&& leaf) {
    if (!root) return false;
    // The stack's size and storage stay in registers; the storage only moves
    // when the stack outgrows it.
    NodeRef* pending = stack.data();
    std::size_t size = 0, capacity = stack.capacity();
    const lanes::F4 p = lanes::set(x, y, z, x);
    NodeRef r = *root;
    for (;;) {
        // Down through interior nodes: one passing child is taken at once,
        // the first of two waits on the stack.
        while (!is_leaf(r)) {
            const CompactNode& n = nodes[ref_index(r)];
            const unsigned in = detail::child_boxes(n, x, y, z, p);
            if (size == capacity) {
                pending = stack.grow(size);
                capacity = stack.capacity();
            }
            pending[size] = n.child0;
            size += in == 3 ? 1 : 0;
            r = (in & 2) ? n.child1 : n.child0;
            if (in == 0) goto next;
        }
        if (leaf(ref_index(r), leaf_count(r))) return true;
    next:
        if (size == 0) return false;
        r = pending[--size];
    }
}

// The walk of walk_leaves for a packet of points at once (`live` says which
// lanes take part). Each point meets its leaves in exactly the order of its own walk: a
// subtree is entered by the points whose path leads there, the second child
// before the first, and a point takes no part where its own walk would not
// go. `leaf(first, count, lanes)` returns the lanes that are done; they take
// no further part. Returns the lanes that finished that way.
// `p` tests the node boxes: `p.in_box(node, which, active)` gives the lanes
// among `active` in child box `which` (PointLanes, or a wider variant).
template <class Points, class Leaf>
inline unsigned walk_leaves_packet(const CompactNode* nodes, std::optional<NodeRef> root,
                                   const Points& p, unsigned live, PacketStack& stack,
                                   Leaf&& leaf) {
    unsigned done = 0;
    if (!root || live == 0) return done;
    PacketEntry* pending = stack.data();
    std::size_t size = 0, capacity = stack.capacity();
    NodeRef r = *root;
    unsigned active = live;
    for (;;) {
        // Down through interior nodes, as in the walk of one point.
        while (!is_leaf(r)) {
            const CompactNode& n = nodes[ref_index(r)];
            const unsigned in0 = p.in_box(n, 0, active);
            const unsigned in1 = p.in_box(n, 1, active);
            if (size == capacity) {
                pending = stack.grow(size);
                capacity = stack.capacity();
            }
            pending[size] = PacketEntry{n.child0, in0};
            size += static_cast<std::size_t>((in0 != 0) & (in1 != 0));
            const bool second = in1 != 0;
            r = second ? n.child1 : n.child0;
            active = second ? in1 : in0;
            if (active == 0) goto next;
        }
        done |= leaf(ref_index(r), leaf_count(r), active) & active;
        live &= ~done;
        if (live == 0) return done;
    next:
        // Next pending subtree that some unfinished point still enters.
        do {
            if (size == 0) return done;
            const PacketEntry& e = pending[--size];
            r = e.ref;
            active = e.lanes & live;
        } while (active == 0);
    }
}

// Hands every simplex position whose path of boxes contains (x, y, z) to
// `test` until it returns true; returns that position, or nothing.
template <class Test>
inline std::optional<std::uint32_t> traverse(const CompactNode* nodes, std::optional<NodeRef> root,
                                             float x, float y, float z, Test&& test) {
    RefStack stack;
    std::optional<std::uint32_t> found;
    walk_leaves(nodes, root, x, y, z, stack, [&](std::uint32_t first, std::uint32_t count) {
        for (std::uint32_t i = first; i < first + count; ++i) {
            if (test(i)) {
                found = i;
                return true;
            }
        }
        return false;
    });
    return found;
}

}  // namespace orvik
