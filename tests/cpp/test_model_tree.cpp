#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "fixtures.hpp"
#include "model_tree/hit_iterator.hpp"
#include "model_tree/model_tree.hpp"
#include "model_tree/pending_queue.hpp"

namespace orvik {
namespace {

using testing::corner_model;
using testing::quality;

// --- pending queue -----------------------------------------------------------

// Reference order: IEEE total order on the key (std::strong_order), then the
// larger node index first.
bool reference_before(const PendingEntry& a, const PendingEntry& b) {
    const auto c = std::strong_order(a.key, b.key);
    if (c != 0) return c < 0;
    return a.node > b.node;
}

std::vector<PendingEntry> drain(PendingQueue& q) {
    std::vector<PendingEntry> out;
    while (!q.empty()) out.push_back(q.pop());
    return out;
}

TEST(PendingQueue, EqualKeysPopLargerNodeFirst) {
    PendingQueue q;
    q.push({3, 5.0f});
    q.push({7, 5.0f});
    q.push({1, 5.0f});
    q.push({2, 4.0f});
    const auto out = drain(q);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].node, 2u);
    EXPECT_EQ(out[1].node, 7u);
    EXPECT_EQ(out[2].node, 3u);
    EXPECT_EQ(out[3].node, 1u);
}

TEST(PendingQueue, TotalOrderPutsNegativeZeroBeforeZeroAndOrdersNegatives) {
    PendingQueue q;
    q.push({1, 0.0f});
    q.push({2, -0.0f});
    q.push({3, -1.0f});
    q.push({4, -2.0f});
    q.push({5, 1.0f});
    const auto out = drain(q);
    const std::uint64_t expect[] = {4, 3, 2, 1, 5};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i].node, expect[i]) << i;
}

TEST(PendingQueue, EightEntriesStayInPlaceTheNinthSpills) {
    PendingQueue q;
    for (int i = 0; i < 8; ++i) q.push({static_cast<std::uint64_t>(i), float(i % 3)});
    EXPECT_FALSE(q.spilled());
    q.push({8, 1.0f});
    EXPECT_TRUE(q.spilled());
    q.pop();
    EXPECT_TRUE(q.spilled());  // stays on the heap
}

TEST(PendingQueue, MatchesReferenceOrderUnderInterleavedPushAndPop) {
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> key(-3, 3);
    for (int round = 0; round < 200; ++round) {
        PendingQueue q;
        std::vector<PendingEntry> ref;
        std::uint64_t next = 0;
        for (int step = 0; step < 40; ++step) {
            if (ref.empty() || rng() % 3 != 0) {
                PendingEntry e{next++, static_cast<float>(key(rng)) * 0.5f};
                q.push(e);
                ref.push_back(e);
            } else {
                auto best = std::min_element(ref.begin(), ref.end(), reference_before);
                const PendingEntry got = q.pop();
                EXPECT_EQ(got.node, best->node);
                ref.erase(best);
            }
        }
        std::sort(ref.begin(), ref.end(), reference_before);
        const auto rest = drain(q);
        ASSERT_EQ(rest.size(), ref.size());
        for (std::size_t i = 0; i < ref.size(); ++i) EXPECT_EQ(rest[i].node, ref[i].node);
    }
}

// --- tree construction -----------------------------------------------------

// Leaves below `node`, and the smallest and largest priority among them.
void collect(const ModelTree& t, std::uint32_t node, std::vector<std::uint32_t>& leaves) {
    const TreeNode& n = t.nodes[node];
    if (n.is_leaf()) {
        leaves.push_back(n.model);
        return;
    }
    collect(t, n.left, leaves);
    collect(t, n.right, leaves);
}

std::vector<MeshModel> random_models(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> pos(-100, 100);
    std::uniform_int_distribution<int> prio(0, 255);
    std::vector<MeshModel> models;
    for (int k = 0; k < n; ++k) {
        models.push_back(corner_model({pos(rng), pos(rng), pos(rng)}, 16, quality(1, 1),
                                      static_cast<std::uint8_t>(prio(rng))));
    }
    return models;
}

TEST(ModelTreeBuild, EmptyTreeHasNoNodes) {
    const ModelTree t = ModelTree::build(std::vector<Model>{});
    EXPECT_TRUE(t.nodes.empty());
    EXPECT_FALSE(ModelTree::aabb(t).ok());
    EXPECT_EQ(ModelTree::aabb(t).error().message, "ModelTree must contain at least one model");
}

class TreeShape : public ::testing::TestWithParam<int> {};

TEST_P(TreeShape, NodesAreTwoNMinusOneWithCarriedPriorityRanges) {
    const int n = GetParam();
    const ModelTree t = ModelTree::build(random_models(n, 7 + n));
    ASSERT_EQ(t.nodes.size(), static_cast<std::size_t>(2 * n - 1));
    for (int k = 0; k < n; ++k) EXPECT_EQ(id_of(t.models[k]), static_cast<std::uint64_t>(k));

    std::vector<std::uint32_t> leaves;
    collect(t, 0, leaves);
    std::sort(leaves.begin(), leaves.end());
    for (int k = 0; k < n; ++k) ASSERT_EQ(leaves[k], static_cast<std::uint32_t>(k));

    for (std::size_t i = 0; i < t.nodes.size(); ++i) {
        const TreeNode& node = t.nodes[i];
        if (node.is_leaf()) continue;
        for (int side = 0; side < 2; ++side) {
            const std::uint32_t child = side ? node.right : node.left;
            const TreeBox& box = side ? node.right_box : node.left_box;
            EXPECT_GT(child, i);  // pre-order
            std::vector<std::uint32_t> below;
            collect(t, child, below);
            float lo = 255, hi = 0;
            for (std::uint32_t m : below) {
                const MeshModel& mm = std::get<MeshModel>(t.models[m]);
                lo = std::min(lo, float(mm.priority));
                hi = std::max(hi, float(mm.priority) + 0.5f);
                for (int a = 0; a < 3; ++a) {
                    EXPECT_LE(box.min[a], mm.bounds[a]);
                    EXPECT_GE(box.max[a], mm.bounds[a + 3]);
                }
            }
            EXPECT_EQ(box.min[3], lo);
            EXPECT_EQ(box.max[3], hi);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TreeShape, ::testing::Values(1, 2, 3, 9, 40));

TEST(ModelTreeBuild, SameModelsGiveSameNodes) {
    const ModelTree a = ModelTree::build(random_models(30, 3));
    const ModelTree b = ModelTree::build(random_models(30, 3));
    ASSERT_EQ(a.nodes.size(), b.nodes.size());
    for (std::size_t i = 0; i < a.nodes.size(); ++i) {
        EXPECT_EQ(a.nodes[i].model, b.nodes[i].model);
        EXPECT_EQ(a.nodes[i].left, b.nodes[i].left);
        EXPECT_EQ(a.nodes[i].right, b.nodes[i].right);
    }
}

TEST(ModelTreeBuild, AabbIsUnionOfDeclaredBounds) {
    std::vector<MeshModel> models;
    models.push_back(corner_model({0, 0, 0}, 1, quality(1, 1), 0));
    models.push_back(corner_model({0, 0, 0}, 1, quality(1, 1), 0));
    models[1].bounds = {-1, 2, -3, 0.5f, 4, 0};
    const auto box = ModelTree::aabb(ModelTree::build(std::move(models)));
    ASSERT_TRUE(box.ok());
    const std::array<float, 6> expect = {-1, 0, -3, 1, 4, 1};
    EXPECT_EQ(box.value(), expect);
}

// --- hit enumeration and fold ------------------------------------------------

std::vector<Hit> all_hits(const ModelTree& t, QueryPoint p, std::uint8_t lo, std::uint8_t hi) {
    HitIterator it = ModelTree::hits(t, p, lo, hi);
    std::vector<Hit> out;
    while (auto h = it.next()) out.push_back(*h);
    EXPECT_FALSE(it.next().has_value());  // stays ended
    return out;
}

TEST(HitEnumeration, ComesOutInAscendingPriorityWhateverTheListOrder) {
    std::vector<MeshModel> models;
    const std::uint8_t prios[] = {9, 3, 200, 0, 3, 77};
    for (std::uint8_t p : prios) models.push_back(corner_model({0, 0, 0}, 8, quality(p, 0.1f), p));
    models.push_back(corner_model({50, 50, 50}, 8, quality(1, 1), 1));  // elsewhere
    const ModelTree t = ModelTree::build(std::move(models));
    const auto hits = all_hits(t, {1, 1, 1, 0}, 0, 255);
    ASSERT_EQ(hits.size(), 6u);
    const std::uint8_t expect[] = {0, 3, 3, 9, 77, 200};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(hits[i].priority, expect[i]);
    // rho carries the priority: exact, since the weights 1/8, 1/8, 1/8, 5/8 are exact
    for (const Hit& h : hits) EXPECT_EQ(h.quality.rho, float(h.priority));
}

TEST(HitEnumeration, PriorityRangeSelectsInclusively) {
    std::vector<MeshModel> models;
    models.push_back(corner_model({0, 0, 0}, 8, quality(1, 0.5f), 0));
    models.push_back(corner_model({0, 0, 0}, 8, quality(2, 0.5f), 255));
    models.push_back(corner_model({0, 0, 0}, 8, quality(3, 0.5f), 5));
    const ModelTree t = ModelTree::build(std::move(models));
    EXPECT_EQ(all_hits(t, {1, 1, 1, 0}, 0, 255).size(), 3u);
    EXPECT_EQ(all_hits(t, {1, 1, 1, 0}, 1, 255).size(), 2u);
    EXPECT_EQ(all_hits(t, {1, 1, 1, 0}, 0, 0).size(), 1u);
    EXPECT_EQ(all_hits(t, {1, 1, 1, 0}, 5, 5).size(), 1u);
    EXPECT_EQ(all_hits(t, {1, 1, 1, 0}, 5, 4).size(), 0u);
    EXPECT_EQ(all_hits(t, {1, 1, 1, 0}, 255, 255)[0].priority, 255);
}

TEST(HitEnumeration, DepthModelsReadTheDepthAndAreBoxedByElevation) {
    std::vector<MeshModel> models;
    models.push_back(corner_model({0, 0, 0}, 8, quality(1, 1), 1));
    // Depth model: its mesh spans depths 0..8, its declared bounds are in elevation.
    models.push_back(corner_model({0, 0, 0}, 8, quality(2, 1), 2, VerticalMode::Depth));
    models[1].bounds = {0, 0, -100, 8, 8, 100};
    const ModelTree t = ModelTree::build(std::move(models));
    // elevation 50 is outside model 0 but within model 1's bounds; depth 1 is in its mesh
    auto hits = all_hits(t, {1, 1, 50, 1}, 0, 255);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].priority, 2);
    // the same depth at an elevation outside the declared bounds: the box test rejects it
    EXPECT_TRUE(all_hits(t, {1, 1, 150, 1}, 0, 255).empty());
    // depth outside the vertex box
    EXPECT_TRUE(all_hits(t, {1, 1, 50, 20}, 0, 255).empty());
}

TEST(HitEnumeration, SingleModelTreeNeverTestsBounds) {
    std::vector<MeshModel> models;
    models.push_back(corner_model({0, 0, 0}, 8, quality(1, 1), 1, VerticalMode::Depth));
    models[0].bounds = {100, 100, 100, 101, 101, 101};
    const ModelTree t = ModelTree::build(std::move(models));
    EXPECT_EQ(all_hits(t, {1, 1, -1000, 1}, 0, 255).size(), 1u);
}

TEST(HitEnumeration, NaNPassesBoxTests) {
    std::vector<MeshModel> models;
    models.push_back(corner_model({0, 0, 0}, 8, quality(1, 1), 1, VerticalMode::Depth));
    models.push_back(corner_model({40, 0, 0}, 8, quality(1, 1), 1));
    const ModelTree t = ModelTree::build(std::move(models));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // NaN elevation passes every box; the depth model locates by depth
    EXPECT_EQ(all_hits(t, {1, 1, nan, 1}, 0, 255).size(), 1u);
}

TEST(CompositingFold, BlendsFrontToBackAndStopsWhenOpaque) {
    const Quality q1 = quality(1, 0.5f), q2 = quality(2, 0.5f), q3 = quality(4, 1.0f),
                  q4 = quality(8, 1.0f);
    std::vector<MeshModel> models;
    models.push_back(corner_model({0, 0, 0}, 8, q4, 4));
    models.push_back(corner_model({0, 0, 0}, 8, q2, 2));
    models.push_back(corner_model({0, 0, 0}, 8, q3, 3));
    models.push_back(corner_model({0, 0, 0}, 8, q1, 1));
    const ModelTree t = ModelTree::build(std::move(models));
    const auto got = ModelTree::query(t, {1, 1, 1, 0}, 0, 255);
    ASSERT_TRUE(got.has_value());
    const auto hits = all_hits(t, {1, 1, 1, 0}, 0, 255);
    ASSERT_EQ(hits.size(), 4u);
    const Quality expect =
        Quality::blend(Quality::blend(hits[0].quality, hits[1].quality), hits[2].quality);
    EXPECT_EQ(got->rho, expect.rho);
    EXPECT_EQ(got->qp, expect.qp);
    EXPECT_EQ(got->alpha, expect.alpha);
    EXPECT_EQ(got->alpha, 1.0f);
    // nothing outside
    EXPECT_FALSE(ModelTree::query(t, {7, 7, 7, 0}, 0, 255).has_value());
}

TEST(CompositingFold, AlphaWithinToleranceStopsAtTheNextHit) {
    const Quality front = quality(1, 0.99995f), back = quality(2, 1.0f);
    std::vector<MeshModel> models;
    models.push_back(corner_model({0, 0, 0}, 8, front, 1));
    models.push_back(corner_model({0, 0, 0}, 8, back, 2));
    const ModelTree t = ModelTree::build(std::move(models));
    const auto hits = all_hits(t, {1, 1, 1, 0}, 0, 255);
    ASSERT_EQ(hits.size(), 2u);
    ASSERT_LE(std::fabs(hits[0].quality.alpha - 1.0f), kOpaqueTolerance);
    ASSERT_NE(hits[0].quality.alpha, 1.0f);
    const auto got = ModelTree::query(t, {1, 1, 1, 0}, 0, 255);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->alpha, hits[0].quality.alpha);
    EXPECT_EQ(got->rho, hits[0].quality.rho);
    EXPECT_EQ(got->qp, hits[0].quality.qp);
}

}  // namespace
}  // namespace orvik
