#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include "compact_bvh/compact_bvh.hpp"
#include "fixtures.hpp"

namespace {

using orvik::CompactBvh;
using orvik::CompactNode;
using orvik::NodeRef;
using orvik::hierarchy::BinaryNode;
using orvik::hierarchy::BinaryTree;
using orvik::hierarchy::Box3;

Box3 unite(const Box3& a, const Box3& b) {
    Box3 r;
    for (int k = 0; k < 3; ++k) {
        r.min[k] = std::min(a.min[k], b.min[k]);
        r.max[k] = std::max(a.max[k], b.max[k]);
    }
    return r;
}

// A pre-order binary tree by median split along x of the box centres: a
// stand-in for the SAH builder with the same shape of output.
BinaryTree median_tree(const std::vector<Box3>& boxes) {
    BinaryTree tree;
    if (boxes.empty()) return tree;
    std::vector<std::uint32_t> ids(boxes.size());
    for (std::uint32_t i = 0; i < ids.size(); ++i) ids[i] = i;
    std::function<Box3(std::size_t, std::size_t, std::size_t)> make =
        [&](std::size_t at, std::size_t lo, std::size_t hi) -> Box3 {
        if (hi - lo == 1) {
            tree.nodes[at].shape = ids[lo];
            return boxes[ids[lo]];
        }
        std::sort(ids.begin() + lo, ids.begin() + hi, [&](auto a, auto b) {
            return boxes[a].min[0] + boxes[a].max[0] < boxes[b].min[0] + boxes[b].max[0];
        });
        const std::size_t mid = (lo + hi) / 2;
        tree.nodes.emplace_back();
        const std::size_t left = tree.nodes.size() - 1;
        tree.nodes[at].left = static_cast<std::uint32_t>(left);
        const Box3 lb = make(left, lo, mid);
        tree.nodes.emplace_back();
        const std::size_t right = tree.nodes.size() - 1;
        tree.nodes[at].right = static_cast<std::uint32_t>(right);
        const Box3 rb = make(right, mid, hi);
        tree.nodes[at].left_box = lb;
        tree.nodes[at].right_box = rb;
        return unite(lb, rb);
    };
    tree.nodes.emplace_back();
    make(0, 0, boxes.size());
    return tree;
}

std::vector<Box3> random_boxes(std::size_t n, std::uint32_t seed) {
    return orvik::testing::random_boxes(n, seed, 0.0f, 100.0f, 0.1f, 8.0f);
}

// Checks every structural invariant and returns the leaf order.
std::vector<std::uint32_t> compact_checked(const std::vector<Box3>& boxes, CompactBvh& bvh) {
    std::vector<std::uint32_t> order;
    auto result = CompactBvh::compact(median_tree(boxes), order);
    EXPECT_TRUE(result.ok());
    bvh = std::move(result.value());
    EXPECT_EQ(order.size(), boxes.size());
    std::set<std::uint32_t> seen(order.begin(), order.end());
    EXPECT_EQ(seen.size(), boxes.size());  // a permutation
    if (!boxes.empty()) {
        EXPECT_EQ(*seen.rbegin(), boxes.size() - 1);
    }

    std::vector<int> covered(boxes.size(), 0);
    std::size_t next_node = 0, next_leaf = 0;
    // Pre-order walk: nodes are met in index order, leaves in position order.
    std::function<std::size_t(NodeRef, std::size_t)> walk = [&](NodeRef r, std::size_t parent) {
        if (orvik::is_leaf(r)) {
            const std::uint32_t first = orvik::ref_index(r), count = orvik::leaf_count(r);
            EXPECT_GE(count, 1u);
            EXPECT_LE(count, 4u);
            EXPECT_EQ(first, next_leaf);
            next_leaf += count;
            for (std::uint32_t i = first; i < first + count; ++i) ++covered[i];
            return static_cast<std::size_t>(count);
        }
        EXPECT_EQ(r & 0xE0000000u, 0u);
        EXPECT_EQ(r, next_node);
        if (parent != SIZE_MAX) {
            EXPECT_GT(r, parent);  // forward references only
        }
        ++next_node;
        const CompactNode& n = bvh.nodes.at(r);
        const std::size_t below = walk(n.child0, r) + walk(n.child1, r);
        EXPECT_GE(below, 5u);
        return below;
    };
    if (bvh.root) walk(*bvh.root, SIZE_MAX);
    EXPECT_EQ(next_node, bvh.nodes.size());
    for (int c : covered) EXPECT_EQ(c, 1);  // every simplex in exactly one leaf
    return order;
}

TEST(CompactBvh, EmptyTreeHasNoRoot) {
    std::vector<std::uint32_t> order;
    auto r = CompactBvh::compact(BinaryTree{}, order);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r->root.has_value());
    EXPECT_TRUE(r->nodes.empty());
    EXPECT_EQ(CompactBvh::depth(r.value()), 0u);
    int visited = 0;
    EXPECT_FALSE(orvik::traverse(r->nodes.data(), r->root, 0, 0, 0, [&](std::uint32_t) {
                     ++visited;
                     return true;
                 }).has_value());
    EXPECT_EQ(visited, 0);
}

TEST(CompactBvh, OneSimplexIsALeafRoot) {
    CompactBvh bvh;
    compact_checked(random_boxes(1, 1), bvh);
    EXPECT_TRUE(bvh.nodes.empty());
    EXPECT_EQ(*bvh.root, 0x80000000u);
    EXPECT_EQ(CompactBvh::depth(bvh), 0u);
}

TEST(CompactBvh, FourSimplicesFormOneLeaf) {
    CompactBvh bvh;
    compact_checked(random_boxes(4, 2), bvh);
    EXPECT_TRUE(bvh.nodes.empty());
    EXPECT_EQ(*bvh.root, 0x80000000u + 3u * (1u << 29));
    EXPECT_EQ(CompactBvh::depth(bvh), 0u);
}

TEST(CompactBvh, FiveSimplicesFormOneNode) {
    CompactBvh bvh;
    compact_checked(random_boxes(5, 3), bvh);
    ASSERT_EQ(bvh.nodes.size(), 1u);
    EXPECT_EQ(*bvh.root, 0u);
    const CompactNode& n = bvh.nodes[0];
    ASSERT_TRUE(orvik::is_leaf(n.child0));
    ASSERT_TRUE(orvik::is_leaf(n.child1));
    EXPECT_EQ(orvik::leaf_count(n.child0) + orvik::leaf_count(n.child1), 5u);
    EXPECT_EQ(CompactBvh::depth(bvh), 1u);
}

TEST(CompactBvh, NodeBoxesAreTheChildBoxes) {
    const auto boxes = random_boxes(37, 4);
    CompactBvh bvh;
    const auto order = compact_checked(boxes, bvh);
    // Every simplex box lies inside each box on its path.
    std::function<void(NodeRef, const float*, const float*)> check = [&](NodeRef r, const float* mn,
                                                                         const float* mx) {
        if (orvik::is_leaf(r)) {
            for (std::uint32_t i = orvik::ref_index(r);
                 i < orvik::ref_index(r) + orvik::leaf_count(r); ++i) {
                const Box3& b = boxes[order[i]];
                for (int k = 0; k < 3; ++k) {
                    EXPECT_LE(mn[k], b.min[k]);
                    EXPECT_GE(mx[k], b.max[k]);
                }
            }
            return;
        }
        const CompactNode& n = bvh.nodes[r];
        check(n.child0, n.box0_min, n.box0_max);
        check(n.child1, n.box1_min, n.box1_max);
    };
    const float lo[3] = {-1e30f, -1e30f, -1e30f}, hi[3] = {1e30f, 1e30f, 1e30f};
    check(*bvh.root, lo, hi);
}

class ManySimplices : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ManySimplices, TraversalFindsEveryContainingBox) {
    const auto boxes = random_boxes(GetParam(), static_cast<std::uint32_t>(GetParam()));
    CompactBvh bvh;
    const auto order = compact_checked(boxes, bvh);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> pos(-2.0f, 105.0f);
    for (int q = 0; q < 300; ++q) {
        const float x = pos(rng), y = pos(rng), z = pos(rng);
        std::multiset<std::uint32_t> visited;
        const auto stop =
            orvik::traverse(bvh.nodes.data(), bvh.root, x, y, z, [&](std::uint32_t i) {
                visited.insert(order[i]);
                return false;
            });
        EXPECT_FALSE(stop.has_value());
        for (std::uint32_t s = 0; s < boxes.size(); ++s) {
            const Box3& b = boxes[s];
            const bool inside = b.min[0] <= x && b.min[1] <= y && b.min[2] <= z && x <= b.max[0] &&
                                y <= b.max[1] && z <= b.max[2];
            if (inside) {
                EXPECT_EQ(visited.count(s), 1u) << "simplex " << s;
            }
            EXPECT_LE(visited.count(s), 1u);
        }
        // Stopping at a chosen simplex returns its position at once.
        if (!visited.empty()) {
            const std::uint32_t target = *visited.begin();
            const auto hit = orvik::traverse(bvh.nodes.data(), bvh.root, x, y, z,
                                             [&](std::uint32_t i) { return order[i] == target; });
            ASSERT_TRUE(hit.has_value());
            EXPECT_EQ(order[*hit], target);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ManySimplices, ::testing::Values(6, 17, 64, 1000, 5000));

TEST(CompactBvh, PointOnBoxFaceIsInsideAndNanIsNowhere) {
    std::vector<Box3> boxes;
    for (int i = 0; i < 9; ++i) {
        Box3 b{{float(i), 0, 0}, {float(i) + 1.0f, 1, 1}};
        boxes.push_back(b);
    }
    CompactBvh bvh;
    const auto order = compact_checked(boxes, bvh);
    std::set<std::uint32_t> seen;
    orvik::traverse(bvh.nodes.data(), bvh.root, 9.0f, 1.0f, 0.0f, [&](std::uint32_t i) {
        seen.insert(order[i]);
        return false;
    });
    EXPECT_TRUE(seen.count(8));
    int visited = 0;
    orvik::traverse(bvh.nodes.data(), bvh.root, std::nanf(""), 0.5f, 0.5f, [&](std::uint32_t) {
        ++visited;
        return false;
    });
    EXPECT_EQ(visited, 0);
}

TEST(CompactBvh, DeepStacksSpillToTheHeap) {
    // Nested boxes that all contain the origin: every node pushes both
    // children, so the stack outgrows its 16 in-place entries.
    std::vector<Box3> boxes(4000);
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const float e = 1.0f + static_cast<float>(i);
        boxes[i] = Box3{{-e, -e, -e}, {e * 2.0f, e, e}};
    }
    CompactBvh bvh;
    compact_checked(boxes, bvh);
    std::size_t visited = 0;
    orvik::traverse(bvh.nodes.data(), bvh.root, 0.0f, 0.0f, 0.0f, [&](std::uint32_t) {
        ++visited;
        return false;
    });
    EXPECT_EQ(visited, boxes.size());
    EXPECT_GE(CompactBvh::depth(bvh), 9u);
}

// Leaves met by one point's walk, stopping at its `stop_at`-th leaf (never
// when it has fewer).
std::vector<std::uint32_t> single_walk(const CompactBvh& bvh, float x, float y, float z,
                                       std::size_t stop_at) {
    std::vector<std::uint32_t> leaves;
    orvik::RefStack stack;
    orvik::walk_leaves(bvh.nodes.data(), bvh.root, x, y, z, stack,
                       [&](std::uint32_t first, std::uint32_t) {
                           leaves.push_back(first);
                           return leaves.size() == stop_at;
                       });
    return leaves;
}

class PacketWalk : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PacketWalk, EveryLaneMeetsTheLeavesOfItsOwnWalkInOrder) {
    const auto boxes = random_boxes(GetParam(), static_cast<std::uint32_t>(GetParam()) + 1);
    CompactBvh bvh;
    compact_checked(boxes, bvh);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> pos(-2.0f, 105.0f), near(-1.0f, 1.0f);
    std::uniform_int_distribution<int> stop(0, 6), coin(0, 9);
    constexpr int kLanes = 8;
    orvik::PacketStack stack;
    for (int packet = 0; packet < 200; ++packet) {
        // Points around a common centre, as in a spatially ordered batch;
        // some lanes far away, some NaN, some not taking part.
        const float cx = pos(rng), cy = pos(rng), cz = pos(rng);
        float xs[kLanes], ys[kLanes], zs[kLanes];
        std::size_t stop_at[kLanes];
        unsigned live = 0;
        for (int k = 0; k < kLanes; ++k) {
            xs[k] = cx + 4 * near(rng);
            ys[k] = cy + 4 * near(rng);
            zs[k] = cz + 4 * near(rng);
            if (coin(rng) == 0) xs[k] = pos(rng);
            if (coin(rng) == 0) ys[k] = std::nanf("");
            stop_at[k] = static_cast<std::size_t>(stop(rng));  // 0: never
            if (coin(rng) != 0) live |= 1u << k;
        }
        orvik::PointLanes<2> p;
        for (int g = 0; g < 2; ++g) {
            p.x[g] = orvik::lanes::load(xs + 4 * g);
            p.y[g] = orvik::lanes::load(ys + 4 * g);
            p.z[g] = orvik::lanes::load(zs + 4 * g);
        }
        std::vector<std::uint32_t> met[kLanes];
        const unsigned done =
            orvik::walk_leaves_packet(bvh.nodes.data(), bvh.root, p, live, stack,
                                      [&](std::uint32_t first, std::uint32_t, unsigned active) {
                                          unsigned finished = 0;
                                          EXPECT_EQ(active & ~live, 0u);
                                          for (int k = 0; k < kLanes; ++k) {
                                              if (!((active >> k) & 1u)) continue;
                                              met[k].push_back(first);
                                              if (met[k].size() == stop_at[k]) finished |= 1u << k;
                                          }
                                          return finished;
                                      });
        for (int k = 0; k < kLanes; ++k) {
            if (!((live >> k) & 1u)) {
                EXPECT_TRUE(met[k].empty());
                continue;
            }
            const auto expect = single_walk(bvh, xs[k], ys[k], zs[k], stop_at[k]);
            EXPECT_EQ(met[k], expect) << "packet " << packet << " lane " << k;
            const bool stopped = stop_at[k] != 0 && expect.size() == stop_at[k];
            EXPECT_EQ(((done >> k) & 1u) != 0, stopped);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PacketWalk, ::testing::Values(3, 17, 1000, 5000));

// A binary tree that is a chain: every interior node has one shape on the
// left and the rest of the shapes on the right, so it is as deep as it can be.
BinaryTree chain_tree(const std::vector<Box3>& boxes) {
    BinaryTree tree;
    const std::size_t n = boxes.size();
    tree.nodes.resize(2 * n - 1);
    std::vector<Box3> below(n);  // union of boxes[i..n)
    below[n - 1] = boxes[n - 1];
    for (std::size_t i = n - 1; i-- > 0;) below[i] = unite(boxes[i], below[i + 1]);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        BinaryNode& node = tree.nodes[2 * i];
        node.left = static_cast<std::uint32_t>(2 * i + 1);
        node.right = static_cast<std::uint32_t>(2 * i + 2);
        node.left_box = boxes[i];
        node.right_box = below[i + 1];
        tree.nodes[2 * i + 1].shape = static_cast<std::uint32_t>(i);
    }
    tree.nodes[2 * n - 2].shape = static_cast<std::uint32_t>(n - 1);
    return tree;
}

TEST(CompactBvh, StacksDeeperThanSixteenSpillToTheHeap) {
    // Nested boxes around the origin: along the chain every node passes both
    // children, so each level leaves one entry on the stack.
    std::vector<Box3> boxes(60);
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const float e = 100.0f - static_cast<float>(i);
        boxes[i] = Box3{{-e, -e, -e}, {e, e, e}};
    }
    std::vector<std::uint32_t> order;
    auto r = CompactBvh::compact(chain_tree(boxes), order);
    ASSERT_TRUE(r.ok());
    const CompactBvh& bvh = r.value();
    ASSERT_GT(CompactBvh::depth(bvh), 40u);

    orvik::RefStack single;
    std::size_t visited = 0;
    orvik::walk_leaves(bvh.nodes.data(), bvh.root, 0.0f, 0.0f, 0.0f, single,
                       [&](std::uint32_t, std::uint32_t count) {
                           visited += count;
                           return false;
                       });
    EXPECT_EQ(visited, boxes.size());
    EXPECT_TRUE(single.spilled());

    // Lane 3 lies only in the outer boxes.
    orvik::PointLanes<1> p;
    p.x[0] = orvik::lanes::set(0.0f, 0.5f, -0.5f, 80.5f);
    p.y[0] = p.z[0] = orvik::lanes::splat(0.0f);
    orvik::PacketStack stack;
    std::size_t met[4] = {0, 0, 0, 0};
    orvik::walk_leaves_packet(bvh.nodes.data(), bvh.root, p, 0xFu, stack,
                              [&](std::uint32_t, std::uint32_t count, unsigned active) {
                                  for (int k = 0; k < 4; ++k)
                                      met[k] += ((active >> k) & 1u) * count;
                                  return 0u;
                              });
    EXPECT_TRUE(stack.spilled());
    for (int k = 0; k < 3; ++k) EXPECT_EQ(met[k], boxes.size()) << k;
    EXPECT_LT(met[3], boxes.size());
    EXPECT_GE(met[3], 19u);
}

TEST(CompactBvh, DepthCountsInteriorLevels) {
    // 2^k leaves of a balanced median tree: groups of four become leaves.
    for (std::size_t n : {8u, 16u, 64u}) {
        CompactBvh bvh;
        compact_checked(random_boxes(n, 11), bvh);
        std::size_t levels = 0;
        for (std::size_t m = n; m > 4; m /= 2) ++levels;
        EXPECT_EQ(CompactBvh::depth(bvh), levels) << n;
    }
}

}  // namespace
