#include "compact_bvh/compact_bvh.hpp"

#include <algorithm>
#include <utility>

namespace orvik {
namespace {

constexpr const char* kIndexBounds = "value out of bounds [0, 536870911]";
constexpr const char* kCountBounds = "value out of bounds [0, 3]";

void copy_box(const hierarchy::Box3& box, float* mn, float* mx) {
    for (int k = 0; k < 3; ++k) {
        mn[k] = box.min[k];
        mx[k] = box.max[k];
    }
}

// Appends the shapes under `b`, left to right. Only called on subtrees of at
// most four shapes, so the recursion stays shallow.
void append_shapes(const std::vector<hierarchy::BinaryNode>& nodes, std::uint32_t b,
                   std::vector<std::uint32_t>& out) {
    const hierarchy::BinaryNode& n = nodes[b];
    if (n.is_leaf()) {
        out.push_back(n.shape);
        return;
    }
    append_shapes(nodes, n.left, out);
    append_shapes(nodes, n.right, out);
}

}  // namespace

Result<CompactBvh> CompactBvh::compact(const hierarchy::BinaryTree& tree,
                                       std::vector<std::uint32_t>& leaf_order) {
    const std::vector<hierarchy::BinaryNode>& bin = tree.nodes;
    CompactBvh out;
    leaf_order.clear();
    if (bin.empty()) return out;
    const std::size_t total = bin.size();

    // Leaf counts. Pre-order numbering puts children after their parent, so
    // one backward sweep sees both children before the parent.
    std::vector<std::uint64_t> counts(total, 0);
    for (std::size_t i = total; i-- > 0;) {
        const hierarchy::BinaryNode& n = bin[i];
        if (n.is_leaf()) {
            counts[i] = 1;
            continue;
        }
        if (n.left <= i || n.right <= i || n.left >= total || n.right >= total) {
            return Error::internal("binary hierarchy is not in pre-order");
        }
        counts[i] = counts[n.left] + counts[n.right];
    }
    const std::uint64_t shapes = counts[0];
    out.nodes.reserve(static_cast<std::size_t>(shapes / 2));
    leaf_order.reserve(static_cast<std::size_t>(shapes));

    // Depth-first flatten with an explicit stack: a node is numbered when it
    // is popped and its left subtree is finished before its right one starts,
    // which gives pre-order numbering and left-to-right leaves. The finished
    // reference goes to the parent's child slot (parent -1: the root).
    struct Pending {
        std::uint32_t node;
        std::int64_t parent;
        int side;
    };
    NodeRef root = 0;
    auto store = [&](const Pending& p, NodeRef r) {
        if (p.parent < 0) root = r;
        else if (p.side == 0) out.nodes[static_cast<std::size_t>(p.parent)].child0 = r;
        else out.nodes[static_cast<std::size_t>(p.parent)].child1 = r;
    };
    std::vector<Pending> work;
    work.push_back({0, -1, 0});
    while (!work.empty()) {
        const Pending p = work.back();
        work.pop_back();
        const std::uint64_t c = counts[p.node];
        if (c <= 4) {
            const std::size_t first = leaf_order.size();
            append_shapes(bin, p.node, leaf_order);
            if (first > kMaxIndex) return Error::value(kIndexBounds);
            if (c < 1 || c - 1 > 3) return Error::value(kCountBounds);
            store(p, kLeafBit + static_cast<NodeRef>((c - 1) << 29) + static_cast<NodeRef>(first));
            continue;
        }
        const hierarchy::BinaryNode& n = bin[p.node];
        const std::size_t k = out.nodes.size();
        if (k > kMaxIndex) return Error::value(kIndexBounds);
        CompactNode node{};
        copy_box(n.left_box, node.box0_min, node.box0_max);
        copy_box(n.right_box, node.box1_min, node.box1_max);
        out.nodes.push_back(node);
        store(p, static_cast<NodeRef>(k));
        work.push_back({n.right, static_cast<std::int64_t>(k), 1});
        work.push_back({n.left, static_cast<std::int64_t>(k), 0});
    }
    out.root = root;
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
