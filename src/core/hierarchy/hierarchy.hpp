// The one bounding volume hierarchy builder of the system: binned SAH over
// boxes, binary, one shape per leaf (Embree's rtcBuildBVH), copied into a
// flat tree of our own. The mesh BVH, the model tree and the coastline index
// all start from this tree.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace orvik::hierarchy {

// Axis-aligned box in three dimensions; 2-D users leave z at 0.
struct Box3 {
    float min[3];
    float max[3];
};

inline constexpr std::uint32_t kInterior = 0xFFFFFFFFu;

struct BinaryNode {
    std::uint32_t shape = kInterior;  // the shape of a leaf; kInterior for an interior node
    std::uint32_t left = 0;           // interior only: child node indices
    std::uint32_t right = 0;
    Box3 left_box{};  // interior only: union of the shape boxes below each child
    Box3 right_box{};

    bool is_leaf() const { return shape != kInterior; }
};

// 2N - 1 nodes for N >= 1 shapes, root at index 0, numbered in pre-order
// (a node, then its left subtree, then its right subtree). Empty for N = 0.
struct BinaryTree {
    std::vector<BinaryNode> nodes;
};

// Builds the hierarchy over `boxes`, one leaf per box. The result depends only
// on the boxes, never on thread timing. Child boxes are the exact unions of the
// given boxes, where a NaN coordinate loses against a number; the split choice
// sees NaN and infinite coordinates replaced by finite ones. Large splits run
// on the process-wide TBB pool; the call returns when the whole tree is built.
// At most 2^31 - 1 boxes. Throws std::bad_alloc when memory runs out.
BinaryTree build(std::span<const Box3> boxes);

}  // namespace orvik::hierarchy
