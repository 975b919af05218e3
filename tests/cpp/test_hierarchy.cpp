#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "fixtures.hpp"
#include "hierarchy/hierarchy.hpp"

namespace {

using orvik::hierarchy::BinaryNode;
using orvik::hierarchy::BinaryTree;
using orvik::hierarchy::Box3;
using orvik::hierarchy::build;

Box3 make_box(float x0, float y0, float z0, float x1, float y1, float z1) {
    return Box3{{x0, y0, z0}, {x1, y1, z1}};
}

std::vector<Box3> random_boxes(std::size_t n, unsigned seed) {
    return orvik::testing::random_boxes(n, seed, -100.0f, 100.0f, 0.0f, 5.0f);
}

bool same_float(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

bool same_box(const Box3& a, const Box3& b) {
    for (int k = 0; k < 3; ++k) {
        if (!same_float(a.min[k], b.min[k]) || !same_float(a.max[k], b.max[k])) return false;
    }
    return true;
}

// Union where NaN loses against a number, written independently of the builder.
float nan_min(float a, float b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a < b ? a : b;
}
float nan_max(float a, float b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a > b ? a : b;
}

struct Checked {
    Box3 box;
    std::size_t end;  // one past the last node index of the subtree
};

// Verifies pre-order numbering (a node's subtree occupies the contiguous
// range [i, end), left subtree first) and returns the subtree's union box.
Checked check_subtree(const BinaryTree& tree, std::span<const Box3> boxes, std::size_t i,
                      std::vector<int>& seen) {
    const BinaryNode& n = tree.nodes.at(i);
    if (n.is_leaf()) {
        EXPECT_LT(n.shape, boxes.size());
        if (n.shape < boxes.size()) ++seen[n.shape];
        return {boxes[n.shape < boxes.size() ? n.shape : 0], i + 1};
    }
    EXPECT_EQ(n.left, i + 1);
    Checked left = check_subtree(tree, boxes, n.left, seen);
    EXPECT_EQ(n.right, left.end);
    Checked right = check_subtree(tree, boxes, n.right, seen);
    EXPECT_TRUE(same_box(n.left_box, left.box)) << "node " << i;
    EXPECT_TRUE(same_box(n.right_box, right.box)) << "node " << i;
    Box3 u;
    for (int k = 0; k < 3; ++k) {
        u.min[k] = nan_min(left.box.min[k], right.box.min[k]);
        u.max[k] = nan_max(left.box.max[k], right.box.max[k]);
    }
    return {u, right.end};
}

void check_tree(const BinaryTree& tree, std::span<const Box3> boxes) {
    if (boxes.empty()) {
        EXPECT_TRUE(tree.nodes.empty());
        return;
    }
    ASSERT_EQ(tree.nodes.size(), 2 * boxes.size() - 1);
    std::vector<int> seen(boxes.size(), 0);
    Checked root = check_subtree(tree, boxes, 0, seen);
    EXPECT_EQ(root.end, tree.nodes.size());
    for (std::size_t s = 0; s < boxes.size(); ++s) EXPECT_EQ(seen[s], 1) << "shape " << s;
}

bool same_tree(const BinaryTree& a, const BinaryTree& b) {
    if (a.nodes.size() != b.nodes.size()) return false;
    for (std::size_t i = 0; i < a.nodes.size(); ++i) {
        const BinaryNode& x = a.nodes[i];
        const BinaryNode& y = b.nodes[i];
        if (x.shape != y.shape) return false;
        if (!x.is_leaf()) {
            if (x.left != y.left || x.right != y.right) return false;
            if (!same_box(x.left_box, y.left_box) || !same_box(x.right_box, y.right_box))
                return false;
        }
    }
    return true;
}

TEST(Hierarchy, EmptyInputGivesEmptyTree) {
    std::vector<Box3> boxes;
    EXPECT_TRUE(build(boxes).nodes.empty());
}

TEST(Hierarchy, OneShapeIsALeafRoot) {
    std::vector<Box3> boxes{make_box(1, 2, 3, 4, 5, 6)};
    BinaryTree tree = build(boxes);
    ASSERT_EQ(tree.nodes.size(), 1u);
    EXPECT_TRUE(tree.nodes[0].is_leaf());
    EXPECT_EQ(tree.nodes[0].shape, 0u);
}

TEST(Hierarchy, TwoShapes) {
    std::vector<Box3> boxes{make_box(0, 0, 0, 1, 1, 0), make_box(5, 5, 0, 6, 7, 0)};
    BinaryTree tree = build(boxes);
    check_tree(tree, boxes);
    ASSERT_EQ(tree.nodes.size(), 3u);
    EXPECT_FALSE(tree.nodes[0].is_leaf());
    EXPECT_EQ(tree.nodes[0].left, 1u);
    EXPECT_EQ(tree.nodes[0].right, 2u);
}

class HierarchyRandom : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HierarchyRandom, StructureAndBoxes) {
    auto boxes = random_boxes(GetParam(), 7u + static_cast<unsigned>(GetParam()));
    check_tree(build(boxes), boxes);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HierarchyRandom,
                         ::testing::Values(2, 3, 5, 17, 64, 65, 1000, 20000));

TEST(Hierarchy, NaNCoordinatesLoseInUnions) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto boxes = random_boxes(300, 11);
    boxes[3].min[0] = nan;
    boxes[10].max[1] = nan;
    boxes[20] = make_box(nan, nan, nan, nan, nan, nan);
    boxes[21] = make_box(nan, nan, nan, nan, nan, nan);
    boxes[50].min[2] = nan;
    boxes[50].max[2] = nan;
    check_tree(build(boxes), boxes);
}

TEST(Hierarchy, AllNaNBoxes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<Box3> boxes(40, make_box(nan, nan, nan, nan, nan, nan));
    BinaryTree tree = build(boxes);
    check_tree(tree, boxes);
    EXPECT_TRUE(std::isnan(tree.nodes[0].left_box.min[0]));
}

TEST(Hierarchy, InfiniteAndHugeCoordinates) {
    const float inf = std::numeric_limits<float>::infinity();
    const float big = std::numeric_limits<float>::max();
    auto boxes = random_boxes(200, 13);
    boxes[0] = make_box(-inf, -inf, -inf, inf, inf, inf);
    boxes[1] = make_box(-big, 0, 0, big, 0, 0);
    boxes[2] = make_box(big, big, big, big, big, big);
    boxes[3] = make_box(inf, 0, 0, inf, 0, 0);
    BinaryTree tree = build(boxes);
    check_tree(tree, boxes);
    const Box3 u = orvik::hierarchy::Box3{
        {nan_min(tree.nodes[0].left_box.min[0], tree.nodes[0].right_box.min[0]), 0, 0},
        {nan_max(tree.nodes[0].left_box.max[0], tree.nodes[0].right_box.max[0]), 0, 0}};
    EXPECT_EQ(u.min[0], -inf);
    EXPECT_EQ(u.max[0], inf);
}

TEST(Hierarchy, IdenticalBoxes) {
    std::vector<Box3> boxes(5000, make_box(1, 1, 1, 2, 2, 2));
    check_tree(build(boxes), boxes);
}

TEST(Hierarchy, InvertedAndDegenerateBoxes) {
    auto boxes = random_boxes(100, 17);
    boxes[5] = make_box(3, 3, 3, -3, -3, -3);
    boxes[6] = make_box(0, 0, 0, 0, 0, 0);
    check_tree(build(boxes), boxes);
}

TEST(Hierarchy, FewDistinctCentroids) {
    // Many shapes share each centroid: the splits must still be reproducible.
    std::vector<Box3> boxes;
    for (int i = 0; i < 30000; ++i) {
        const float c = static_cast<float>(i % 3);
        boxes.push_back(make_box(c, 0, 0, c + 1, 1, 1));
    }
    const BinaryTree first = build(boxes);
    check_tree(first, boxes);
    for (int rep = 0; rep < 10; ++rep)
        EXPECT_TRUE(same_tree(first, build(boxes))) << "repetition " << rep;
}

TEST(Hierarchy, Deterministic) {
    auto boxes = random_boxes(100000, 23);
    // Clustered duplicates exercise ties in the split choice.
    for (std::size_t i = 0; i < 20000; ++i) boxes[50000 + i] = boxes[i % 50];
    const BinaryTree first = build(boxes);
    check_tree(first, boxes);
    for (int rep = 0; rep < 20; ++rep)
        EXPECT_TRUE(same_tree(first, build(boxes))) << "repetition " << rep;
}

TEST(Hierarchy, ExponentialSpacingStaysBuildable) {
    std::vector<Box3> boxes;
    for (int i = 0; i < 250; ++i) {
        const float x = std::ldexp(1.0f, i - 125);
        boxes.push_back(make_box(x, 0, 0, x, 0, 0));
    }
    check_tree(build(boxes), boxes);
}

}  // namespace
