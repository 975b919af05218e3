#include "state/bvh_check.hpp"

#include <algorithm>
#include <cstdio>

namespace orvik::state {
namespace {

// Nodes ahead of the passes that are asked for early: the hardware
// prefetcher gives up at each page of a mapped file.
constexpr std::size_t kNodesAhead = 16;

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

}  // namespace

bool compact_bvh_valid(const CompactNode* nodes, std::size_t node_count,
                       std::optional<NodeRef> root, std::size_t simplex_count) {
    if (!root) return node_count == 0 && simplex_count == 0;
    if (is_leaf(*root)) {
        return node_count == 0 && ref_index(*root) == 0 && leaf_count(*root) == simplex_count;
    }
    if (*root != 0 || node_count == 0) return false;
    // From the last node back: each subtree's node and simplex counts, once
    // its children are known to lie after it. Pre-order puts the first
    // child's subtree right after its parent and the second's right after
    // that, so each subtree covers the nodes [i, i + nodes[i]).
    const std::size_t n = node_count;
    std::vector<std::uint64_t> subtree_nodes(n), simplices(n);
    for (std::size_t i = n; i-- > 0;) {
        __builtin_prefetch(&nodes[i > kNodesAhead ? i - kNodesAhead : 0]);
        std::uint64_t next = i + 1;  // where the next child's subtree must start
        std::uint64_t held = 0;
        for (const NodeRef c : {nodes[i].child0, nodes[i].child1}) {
            if (is_leaf(c)) {
                held += leaf_count(c);
            } else {
                if (c > kMaxIndex || c != next || c >= n) return false;
                next += subtree_nodes[c];
                held += simplices[c];
            }
        }
        if (held < 5) return false;
        subtree_nodes[i] = next - i;
        simplices[i] = held;
    }
    if (subtree_nodes[0] != n || simplices[0] != simplex_count) return false;
    // From the first node on: the simplex each child's subtree starts at,
    // which a leaf must name.
    std::vector<std::uint64_t>& first = subtree_nodes;  // reused: read no more
    first[0] = 0;
    for (std::size_t i = 0; i < n; ++i) {
        __builtin_prefetch(&nodes[std::min(i + kNodesAhead, n - 1)]);
        std::uint64_t at = first[i];
        for (const NodeRef c : {nodes[i].child0, nodes[i].child1}) {
            if (is_leaf(c)) {
                if (ref_index(c) != at) return false;
                at += leaf_count(c);
            } else {
                first[c] = at;
                at += simplices[c];
            }
        }
    }
    return true;
}

std::optional<std::string> compact_bvh_problem(const CompactNode* nodes, std::size_t node_count,
                                               std::optional<NodeRef> root,
                                               std::size_t simplex_count) {
    if (compact_bvh_valid(nodes, node_count, root, simplex_count)) return std::nullopt;
    CompactBvhCheck walk(root, node_count, simplex_count);
    if (auto problem = walk.finish(nodes)) return problem;
    return "the compact BVH is not in the form that compaction makes";
}

CompactBvhCheck::CompactBvhCheck(std::optional<NodeRef> root, std::size_t node_count,
                                 std::size_t simplex_count)
    : node_count_(node_count), simplex_count_(simplex_count) {
    if (root)
        stack_.push_back({*root, -1, 0, false});
    else if (node_count > 0)
        fail("compact nodes without a root");
}

std::string CompactBvhCheck::origin(const Step& s) const {
    return s.parent < 0 ? std::string("the root reference")
                        : "a child reference of node " + std::to_string(s.parent);
}

void CompactBvhCheck::advance(const CompactNode* nodes, std::size_t available) {
    while (!problem_ && !stack_.empty()) {
        const Step s = stack_.back();
        if (s.subtree_end) {
            stack_.pop_back();
            const std::uint32_t held = next_simplex_ - s.first;
            if (held < 5) {
                fail("compact node " + std::to_string(s.ref) + " holds " + std::to_string(held) +
                     " simplices; subtrees of at most four are leaves");
            }
            continue;
        }
        if (is_leaf(s.ref)) {
            stack_.pop_back();
            const std::uint32_t first = ref_index(s.ref);
            const std::uint32_t count = leaf_count(s.ref);
            if (first != next_simplex_) {
                fail(origin(s) + " is a leaf starting at simplex " + std::to_string(first) +
                     ", but the leaves must cover the simplices in order (expected " +
                     std::to_string(next_simplex_) + ")");
            } else if (first + count > simplex_count_) {
                fail(origin(s) + " is a leaf of simplices " + std::to_string(first) + " to " +
                     std::to_string(first + count - 1) + ", past the " +
                     std::to_string(simplex_count_) + " simplices");
            }
            next_simplex_ += count;
            continue;
        }
        if (s.ref > kMaxIndex) {
            fail(origin(s) + " " + hex(s.ref) + " has leaf-count bits on an interior node");
            return;
        }
        const std::size_t index = s.ref;
        if (index >= node_count_) {
            fail(origin(s) + " points to node " + std::to_string(index) + ", past the " +
                 std::to_string(node_count_) + " nodes");
        } else if (s.parent >= 0 && index <= static_cast<std::size_t>(s.parent)) {
            fail(origin(s) + " points backwards, to node " + std::to_string(index));
        } else if (index != next_node_) {
            fail(origin(s) + " points to node " + std::to_string(index) +
                 ", but pre-order puts node " + std::to_string(next_node_) + " there");
        }
        if (problem_ || index >= available) return;  // or wait for the node to be read
        stack_.pop_back();
        ++next_node_;
        const CompactNode& n = nodes[index];
        const auto at = static_cast<std::int64_t>(index);
        stack_.push_back({s.ref, at, next_simplex_, true});
        stack_.push_back({n.child1, at, 0, false});
        stack_.push_back({n.child0, at, 0, false});
    }
}

std::optional<std::string> CompactBvhCheck::finish(const CompactNode* nodes) {
    advance(nodes, node_count_);
    if (problem_) return problem_;
    if (next_node_ != node_count_) {
        return std::to_string(node_count_ - next_node_) + " of the " + std::to_string(node_count_) +
               " compact nodes are not reachable from the root";
    }
    if (next_simplex_ != simplex_count_) {
        return "the leaves cover " + std::to_string(next_simplex_) + " of the " +
               std::to_string(simplex_count_) + " simplices";
    }
    return std::nullopt;
}

}  // namespace orvik::state
