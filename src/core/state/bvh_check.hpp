// Checks a compact BVH: it must be exactly what compaction makes. Nodes are
// numbered in pre-order from the root (each child after its parent, the
// first child's subtree before the second's), leaves of one to four
// simplices cover the simplex positions in order, and every interior subtree
// holds at least five simplices. Such a tree has every traversal end and
// stay in bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compact_bvh/compact_bvh.hpp"

namespace orvik::state {

// The first problem of the compact BVH of `node_count` nodes over
// `simplex_count` simplices, if any. Two passes over the nodes in index
// order decide; only a tree that fails is walked again, with
// CompactBvhCheck, to say where it fails.
std::optional<std::string> compact_bvh_problem(const CompactNode* nodes, std::size_t node_count,
                                               std::optional<NodeRef> root,
                                               std::size_t simplex_count);

// Whether the tree passes, decided in two passes over the nodes: the
// subtree sizes from the last node back, then the simplex each subtree
// starts at from the first node on. Accepts exactly what CompactBvhCheck
// accepts, several times faster (no stack, few unpredictable branches).
bool compact_bvh_valid(const CompactNode* nodes, std::size_t node_count,
                       std::optional<NodeRef> root, std::size_t simplex_count);

// The walk in pre-order that finds the first problem and says where it is.
// It can follow a reader piece by piece (advance()), since pre-order visits
// the nodes in index order.
class CompactBvhCheck {
  public:
    CompactBvhCheck(std::optional<NodeRef> root, std::size_t node_count, std::size_t simplex_count);

    // Walks as far as nodes[0, available) allow; the first problem sticks.
    void advance(const CompactNode* nodes, std::size_t available);

    // Once every node is read: the first problem, if any.
    std::optional<std::string> finish(const CompactNode* nodes);

  private:
    struct Step {
        NodeRef ref;          // a reference to follow, or the node whose subtree ends
        std::int64_t parent;  // the node holding the reference; -1 for the root
        std::uint32_t first;  // end of a subtree: the simplex position where it began
        bool subtree_end;
    };

    void fail(std::string problem) { problem_ = std::move(problem); }
    std::string origin(const Step& s) const;

    std::size_t node_count_;
    std::size_t simplex_count_;
    std::size_t next_node_ = 0;
    std::uint32_t next_simplex_ = 0;
    std::vector<Step> stack_;
    std::optional<std::string> problem_;
};

}  // namespace orvik::state
