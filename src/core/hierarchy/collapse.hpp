// Turns the shared binary hierarchy (one shape per leaf) into an index with
// wider leaves: every subtree of at most `max_leaf` shapes becomes one leaf.
// The mesh model's compact BVH and the coastline's segment index are both
// made this way; each supplies its own node and leaf records.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "hierarchy/hierarchy.hpp"

namespace orvik::hierarchy {

// Walks `tree` depth first, left subtree before right, and calls on `out`:
//   Result<std::uint32_t> leaf(std::span<const std::uint32_t> shapes)
//     for every subtree of at most `max_leaf` shapes, given left to right;
//   Result<std::uint32_t> interior(const BinaryNode& node, std::uint32_t depth)
//     for every other node, `depth` counting the interior nodes from the
//     root down to this one (1 for the root);
//   void link(std::uint32_t parent, int side, std::uint32_t child)
//     once the reference of child `side` (0 left, 1 right) of the interior
//     node whose reference is `parent` is known.
// leaf and interior return the reference of the record they made. Interior
// records are made in pre-order (a node, its left subtree, its right
// subtree) and leaves left to right. Returns the root's reference, or the
// first error of a callback. Precondition: `tree` is not empty.
template <class Out>
Result<std::uint32_t> collapse(const BinaryTree& tree, std::uint32_t max_leaf, Out& out) {
    const std::vector<BinaryNode>& nodes = tree.nodes;
    const std::size_t total = nodes.size();

    // Shapes under every node. Pre-order numbering puts children after
    // their parent, so one backward sweep sees both children first.
    std::vector<std::uint64_t> counts(total, 1);
    for (std::size_t i = total; i-- > 0;) {
        const BinaryNode& n = nodes[i];
        if (n.is_leaf()) continue;
        if (n.left <= i || n.right <= i || n.left >= total || n.right >= total) {
            return Error::internal("binary hierarchy is not in pre-order");
        }
        counts[i] = counts[n.left] + counts[n.right];
    }

    struct Pending {
        std::uint32_t node;
        std::uint32_t parent;  // kNone for the root
        int side;
        std::uint32_t depth;  // interior nodes above this one
    };
    constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    std::uint32_t root = 0;
    std::vector<std::uint32_t> shapes, below;
    std::vector<Pending> work{{0, kNone, 0, 0}};
    while (!work.empty()) {
        const Pending p = work.back();
        work.pop_back();
        Result<std::uint32_t> made = std::uint32_t{0};
        if (counts[p.node] <= max_leaf) {
            shapes.clear();
            below.assign(1, p.node);
            while (!below.empty()) {
                const BinaryNode& b = nodes[below.back()];
                below.pop_back();
                if (b.is_leaf()) {
                    shapes.push_back(b.shape);
                } else {
                    below.push_back(b.right);
                    below.push_back(b.left);
                }
            }
            made = out.leaf(std::span<const std::uint32_t>(shapes));
        } else {
            const BinaryNode& b = nodes[p.node];
            made = out.interior(b, p.depth + 1);
            if (made) {
                // Left on top: its subtree is finished before the right one starts.
                work.push_back({b.right, made.value(), 1, p.depth + 1});
                work.push_back({b.left, made.value(), 0, p.depth + 1});
            }
        }
        if (!made) return made.error();
        if (p.parent == kNone)
            root = made.value();
        else
            out.link(p.parent, p.side, made.value());
    }
    return root;
}

}  // namespace orvik::hierarchy
