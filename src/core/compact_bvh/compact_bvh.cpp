#include "compact_bvh/compact_bvh.hpp"

#include <algorithm>
#include <cassert>
#include <span>
#include <utility>

#include "hierarchy/collapse.hpp"

namespace orvik {
namespace {

void copy_box(const hierarchy::Box3& box, float* mn, float* mx) {
    for (int k = 0; k < 3; ++k) {
        mn[k] = box.min[k];
        mx[k] = box.max[k];
    }
}

// Compact nodes and leaf references for hierarchy::collapse.
struct CompactOut {
    CompactBvh& bvh;
    std::vector<std::uint32_t>& leaf_order;

    // Both references fit their fields: collapse() hands a leaf one to four
    // shapes, and with at most kMaxIndex shapes neither a leaf's first
    // position nor a node's index exceeds kMaxIndex.
    Result<std::uint32_t> leaf(std::span<const std::uint32_t> shapes) {
        const std::size_t first = leaf_order.size();
        assert(!shapes.empty() && shapes.size() <= 4 && first <= kMaxIndex);
        leaf_order.insert(leaf_order.end(), shapes.begin(), shapes.end());
        return kLeafBit + static_cast<NodeRef>((shapes.size() - 1) << 29) +
               static_cast<NodeRef>(first);
    }
    Result<std::uint32_t> interior(const hierarchy::BinaryNode& b, std::uint32_t) {
        const std::size_t k = bvh.nodes.size();
        assert(k <= kMaxIndex);
        CompactNode node{};
        copy_box(b.left_box, node.box0_min, node.box0_max);
        copy_box(b.right_box, node.box1_min, node.box1_max);
        bvh.nodes.push_back(node);
        return static_cast<NodeRef>(k);
    }
    void link(std::uint32_t parent, int side, std::uint32_t child) {
        (side == 0 ? bvh.nodes[parent].child0 : bvh.nodes[parent].child1) = child;
    }
};

}  // namespace

Result<CompactBvh> CompactBvh::compact(const hierarchy::BinaryTree& tree,
                                       std::vector<std::uint32_t>& leaf_order) {
    CompactBvh out;
    leaf_order.clear();
    if (tree.nodes.empty()) return out;
    const std::size_t shapes = (tree.nodes.size() + 1) / 2;
    assert(shapes <= kMaxIndex);
    out.nodes.reserve(shapes / 2);
    leaf_order.reserve(shapes);
    CompactOut sink{out, leaf_order};
    Result<std::uint32_t> root = hierarchy::collapse(tree, 4, sink);
    if (!root) return root.error();
    out.root = root.value();
    return out;
}

std::uint32_t CompactBvh::depth(const CompactNode* nodes, std::optional<NodeRef> root) {
    if (!root || is_leaf(*root)) return 0;
    // The depth is the largest number of interior nodes on a path to a leaf.
    std::uint32_t best = 0;
    std::vector<std::pair<NodeRef, std::uint32_t>> stack{{*root, 0}};
    while (!stack.empty()) {
        auto [r, d] = stack.back();
        stack.pop_back();
        if (is_leaf(r)) {
            best = std::max(best, d);
            continue;
        }
        const CompactNode& n = nodes[ref_index(r)];
        stack.push_back({n.child0, d + 1});
        stack.push_back({n.child1, d + 1});
    }
    return best;
}

}  // namespace orvik
