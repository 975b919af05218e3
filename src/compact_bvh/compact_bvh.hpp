// The compact BVH of a mesh model: 56-byte interior nodes with packed 32-bit
// child references; leaves hold up to four consecutive simplices.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

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
};

}  // namespace orvik
