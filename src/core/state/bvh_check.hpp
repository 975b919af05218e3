// Checks a compact BVH while its nodes are being read: it must be exactly
// what compaction makes. Nodes are numbered in pre-order from the root (each
// child after its parent, the first child's subtree before the second's),
// leaves of one to four simplices cover the simplex positions in order, and
// every interior subtree holds at least five simplices. Such a tree has every
// traversal end and stay in bounds. Pre-order visits the nodes in index
// order, so the walk can follow the reader piece by piece while the nodes are
// still in cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compact_bvh/compact_bvh.hpp"

namespace orvik::state {

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
