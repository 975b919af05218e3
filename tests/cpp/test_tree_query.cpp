#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "fixtures.hpp"
#include "model/mesh_builder.hpp"
#include "model_tree/tree_query.hpp"

namespace orvik {
namespace {

using testing::corner_model;
using testing::quality;

ModelTree three_models() {
    std::vector<MeshModel> models;
    models.push_back(corner_model({0, 0, 0}, 8, quality(1, 0.5f), 2));
    models.push_back(corner_model({0, 0, 0}, 8, quality(2, 0.5f), 1));
    models.push_back(corner_model({100, 0, 0}, 8, quality(4, 1.0f), 0));
    return ModelTree::build(std::move(models));
}

template <class T>
StridedView<T, 1> view_of(const std::vector<T>& v, std::ptrdiff_t step = 1) {
    StridedView<T, 1> s;
    s.data = reinterpret_cast<const char*>(v.data());
    s.shape[0] = static_cast<std::ptrdiff_t>(v.size()) / step;
    s.strides[0] = static_cast<std::ptrdiff_t>(sizeof(T)) * step;
    return s;
}

TEST(QueryRows, StridedAndDenseRowsAgreeWithSinglePointQueries) {
    const ModelTree t = three_models();
    const std::vector<float> xs = {1, 101, 50, 1, 2, 102};
    const std::vector<float> ys = {1, 1, 1, 7, 2, 2};
    const std::vector<float> zs = {1, 1, 1, 7, 2, 2};
    const std::vector<float> ds = {0, 0, 0, 0, 0, 0};
    const std::size_t n = xs.size();
    const float fill = -7.0f;

    // dense
    std::vector<float> dense(n * 6, fill);
    QueryRows rows{view_of(xs), view_of(ys), view_of(zs), view_of(ds), std::nullopt, {}};
    rows.out.data = reinterpret_cast<char*>(dense.data());
    rows.out.shape = {static_cast<std::ptrdiff_t>(n), 6};
    rows.out.strides = {24, 4};
    QueryScratch scratch(static_cast<std::ptrdiff_t>(n));
    query_rows(t, rows, 0, 255, scratch);

    // strided: every coordinate interleaved with junk, out with padded rows in reverse column order
    std::vector<float> x2, y2, z2, d2;
    for (std::size_t i = 0; i < n; ++i) {
        x2.insert(x2.end(), {xs[i], 1e9f});
        y2.insert(y2.end(), {ys[i], 1e9f});
        z2.insert(z2.end(), {zs[i], 1e9f});
        d2.insert(d2.end(), {ds[i], 1e9f});
    }
    std::vector<float> padded(n * 8, fill);
    QueryRows srows{view_of(x2, 2), view_of(y2, 2), view_of(z2, 2),
                    view_of(d2, 2), std::nullopt,   {}};
    srows.out.data = reinterpret_cast<char*>(padded.data() + 5);
    srows.out.shape = {static_cast<std::ptrdiff_t>(n), 6};
    srows.out.strides = {32, -4};
    query_rows(t, srows, 0, 255, scratch);

    for (std::size_t i = 0; i < n; ++i) {
        const auto q = ModelTree::query(t, {xs[i], ys[i], zs[i], ds[i]}, 0, 255);
        const float* row = &dense[6 * i];
        if (!q) {
            for (int k = 0; k < 6; ++k) EXPECT_EQ(row[k], fill) << i;
            for (int k = 0; k < 8; ++k) EXPECT_EQ(padded[8 * i + k], fill) << i;
            continue;
        }
        const float expect[6] = {q->rho, q->vp, q->vs, q->qp, q->qs, q->alpha};
        for (int k = 0; k < 6; ++k) {
            EXPECT_EQ(row[k], expect[k]) << i;
            EXPECT_EQ(padded[8 * i + 5 - k], expect[k]) << i;
        }
        EXPECT_EQ(padded[8 * i + 6], fill);
        EXPECT_EQ(padded[8 * i + 7], fill);
    }
}

TEST(QueryRows, MaskedRowsAndEmptyRangeAreUntouched) {
    const ModelTree t = three_models();
    const std::vector<float> xs = {1, 1, 101};
    const std::vector<float> ys = {1, 1, 1}, zs = {1, 1, 1}, ds = {0, 0, 0};
    const std::vector<std::uint8_t> mask = {1, 0, 1};
    std::vector<float> out(18, 3.0f);
    QueryRows rows{view_of(xs), view_of(ys), view_of(zs), view_of(ds), view_of(mask), {}};
    rows.out.data = reinterpret_cast<char*>(out.data());
    rows.out.shape = {3, 6};
    rows.out.strides = {24, 4};
    QueryScratch scratch(3);
    query_rows(t, rows, 0, 255, scratch);
    EXPECT_NE(out[0], 3.0f);
    for (int k = 6; k < 12; ++k) EXPECT_EQ(out[k], 3.0f);
    EXPECT_NE(out[12], 3.0f);

    std::vector<float> untouched(18, 3.0f);
    rows.out.data = reinterpret_cast<char*>(untouched.data());
    query_rows(t, rows, 5, 4, scratch);
    for (float v : untouched) EXPECT_EQ(v, 3.0f);
}

// A block of n^3 cubes of side `s` at `o`, six tetrahedra each, whose
// vertices carry qualities that vary with position: a small real mesh.
MeshModel block_model(std::array<float, 3> o, int n, float s, float alpha, std::uint8_t priority,
                      VerticalMode vertical = VerticalMode::Elevation) {
    MeshBuilderState b;
    std::vector<Quality> qualities;
    testing::cube_lattice(b, n, [&](int x, int y, int z) {
        const float t = float(x + 2 * y + 3 * z);
        qualities.push_back(
            Quality{1 + t, 2 + t, 3 + t, 50 + t, 20 + t, alpha * (0.5f + 0.5f * float(x % 2))});
        return std::array<float, 3>{o[0] + s * x, o[1] + s * y, o[2] + s * z};
    });
    b.bounds = {o[0], o[1], o[2], o[0] + s * n, o[1] + s * n, o[2] + s * n};
    b.priority = priority;
    b.vertical = vertical;
    auto r = MeshModel::build(b, Interpolated{std::move(qualities)});
    EXPECT_TRUE(r.ok());
    return std::move(r.value());
}

// Overlapping models of several priorities, transparent and opaque, one of
// them read by depth.
ModelTree layered_models() {
    std::vector<MeshModel> models;
    models.push_back(block_model({0, 0, 0}, 6, 2.0f, 0.4f, 3));
    models.push_back(block_model({3, 3, 3}, 4, 2.0f, 1.0f, 7));
    models.push_back(block_model({5, 0, 2}, 5, 1.5f, 0.6f, 3));
    models.push_back(block_model({0, 0, 0}, 3, 4.0f, 1.0f, 9, VerticalMode::Depth));
    models.push_back(block_model({20, 20, 0}, 2, 2.0f, 0.8f, 0));
    return ModelTree::build(std::move(models));
}

struct Batch {
    std::vector<float> x, y, z, d;
    std::vector<std::uint8_t> mask;
};

// Points in random order over the models, some with NaN coordinates.
Batch random_batch(std::size_t n, std::uint32_t seed) {
    Batch b;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> pos(-1.0f, 16.0f), coin(0.0f, 1.0f);
    for (std::size_t i = 0; i < n; ++i) {
        b.x.push_back(pos(rng));
        b.y.push_back(pos(rng));
        b.z.push_back(pos(rng));
        b.d.push_back(pos(rng));
        const float c = coin(rng);
        if (c < 0.01f)
            b.x.back() = std::nanf("");
        else if (c < 0.02f)
            b.d.back() = std::nanf("");
        else if (c < 0.03f)
            b.z.back() = INFINITY;
        b.mask.push_back(coin(rng) < 0.9f);
    }
    return b;
}

TEST(QueryPacket, EveryLaneHasTheBitsOfTheSingleQuery) {
    const ModelTree t = layered_models();
    const Batch b = random_batch(4000, 1);
    constexpr int kLanes = MeshModel::kPacketLanes;
    std::mt19937 rng(2);
    std::uniform_int_distribution<unsigned> mask(0, (1u << kLanes) - 1);
    int hits = 0;
    for (const auto& [lo, hi] : {std::pair<int, int>{0, 255}, {3, 3}, {4, 9}, {8, 2}}) {
        for (std::size_t i = 0; i + kLanes <= b.x.size(); i += kLanes) {
            QueryPoint p[kLanes];
            for (int k = 0; k < kLanes; ++k)
                p[k] = {b.x[i + k], b.y[i + k], b.z[i + k], b.d[i + k]};
            const unsigned live = mask(rng);
            Quality q[kLanes];
            const unsigned found = query_packet(t, p, live, lo, hi, q);
            EXPECT_EQ(found & ~live, 0u);
            for (int k = 0; k < kLanes; ++k) {
                if (!((live >> k) & 1u)) continue;
                const auto expect = ModelTree::query(t, p[k], lo, hi);
                ASSERT_EQ(((found >> k) & 1u) != 0, expect.has_value()) << i + k;
                if (expect) {
                    EXPECT_EQ(std::memcmp(&q[k], &*expect, sizeof(Quality)), 0) << i + k;
                    ++hits;
                }
            }
        }
    }
    EXPECT_GT(hits, 1500);
}

struct OrderedCase {
    bool strided;
    bool masked;
    std::ptrdiff_t chunk;
    int lo, hi;
};

class OrderedRows : public ::testing::TestWithParam<OrderedCase> {};

TEST_P(OrderedRows, GiveEveryRowTheBitsOfTheRowByRowLoop) {
    const OrderedCase c = GetParam();
    const ModelTree t = layered_models();
    const std::size_t n = 5003;
    const Batch b = random_batch(n, 11);
    // Strided: every coordinate interleaved with junk; out rows padded to
    // eight floats with the columns reversed.
    std::vector<float> x2, y2, z2, d2;
    for (std::size_t i = 0; i < n; ++i) {
        x2.insert(x2.end(), {b.x[i], 1e9f});
        y2.insert(y2.end(), {b.y[i], 1e9f});
        z2.insert(z2.end(), {b.z[i], 1e9f});
        d2.insert(d2.end(), {b.d[i], 1e9f});
    }
    auto rows_over = [&](std::vector<float>& out) {
        QueryRows rows{c.strided ? view_of(x2, 2) : view_of(b.x),
                       c.strided ? view_of(y2, 2) : view_of(b.y),
                       c.strided ? view_of(z2, 2) : view_of(b.z),
                       c.strided ? view_of(d2, 2) : view_of(b.d),
                       std::nullopt,
                       {}};
        if (c.masked) rows.mask = view_of(b.mask);
        rows.out.shape = {static_cast<std::ptrdiff_t>(n), 6};
        if (c.strided) {
            rows.out.data = reinterpret_cast<char*>(out.data() + 5);
            rows.out.strides = {32, -4};
        } else {
            rows.out.data = reinterpret_cast<char*>(out.data());
            rows.out.strides = {24, 4};
        }
        return rows;
    };
    const std::size_t floats = n * (c.strided ? 8 : 6);
    std::vector<float> expect(floats, -7.0f), got(floats, -7.0f);
    ASSERT_TRUE(query_rows_in_order(t, rows_over(expect), c.lo, c.hi));
    QueryScratch scratch(static_cast<std::ptrdiff_t>(n), kOrderedMinRows, c.chunk);
    ASSERT_NE(scratch.order(), nullptr);
    ASSERT_TRUE(query_rows(t, rows_over(got), c.lo, c.hi, scratch));
    EXPECT_EQ(std::memcmp(expect.data(), got.data(), floats * sizeof(float)), 0);
    const auto untouched = std::count(got.begin(), got.end(), -7.0f);
    EXPECT_GT(untouched, 0);
    if (c.lo > c.hi)
        EXPECT_EQ(untouched, static_cast<std::ptrdiff_t>(floats));
    else
        EXPECT_LT(untouched, static_cast<std::ptrdiff_t>(floats) - 6000);
}

INSTANTIATE_TEST_SUITE_P(Layouts, OrderedRows,
                         ::testing::Values(OrderedCase{false, false, MortonOrder::kChunk, 0, 255},
                                           OrderedCase{true, false, MortonOrder::kChunk, 0, 255},
                                           OrderedCase{false, true, MortonOrder::kChunk, 0, 255},
                                           OrderedCase{true, true, 1000, 0,
                                                       255},  // six chunks, the last short
                                           OrderedCase{false, true, 4096, 3, 7},
                                           OrderedCase{true, false, MortonOrder::kChunk, 5, 4}));

TEST(OrderedRows, SmallBatchesKeepRowOrderAndNeedNoScratch) {
    EXPECT_EQ(QueryScratch(kOrderedMinRows - 1).order(), nullptr);
    EXPECT_EQ(QueryScratch(0, 0).order(), nullptr);
    QueryScratch big(kOrderedMinRows);
    ASSERT_NE(big.order(), nullptr);
    EXPECT_EQ(big.order()->capacity(), kOrderedMinRows);
    EXPECT_EQ(QueryScratch(50'000'000).order()->capacity(), MortonOrder::kChunk);
}

TEST(OrderedRows, StopBetweenBlocksLeavesEveryRowWholeOrUntouched) {
    const ModelTree t = layered_models();
    const std::size_t n = 30000;
    Batch b = random_batch(n, 5);
    std::vector<float> out(n * 6, -7.0f);
    QueryRows rows{view_of(b.x), view_of(b.y), view_of(b.z), view_of(b.d), std::nullopt, {}};
    rows.out.data = reinterpret_cast<char*>(out.data());
    rows.out.shape = {static_cast<std::ptrdiff_t>(n), 6};
    rows.out.strides = {24, 4};
    int polls = 0;
    const Interrupt stop_third([](void* p) { return ++*static_cast<int*>(p) == 3; }, &polls);
    QueryScratch scratch(static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(query_rows(t, rows, 0, 255, scratch, stop_third));
    std::size_t whole = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto touched = std::count_if(out.begin() + 6 * i, out.begin() + 6 * i + 6,
                                           [](float v) { return v != -7.0f; });
        EXPECT_TRUE(touched == 0 || touched == 6) << i;
        whole += touched == 6;
    }
    EXPECT_GT(whole, 0u);
    // Two blocks of rows at most were located before the third poll.
    EXPECT_LE(whole, 2u * 4096u);
}

TEST(Diagnostics, CountsBoxTestsLeavesAndHits) {
    const ModelTree t = three_models();
    // inside models 0 and 1 (and inside the root's boxes), not model 2
    const QueryStats s = query_stats(t, {1, 1, 1, 0});
    EXPECT_EQ(s.hit_count, 2u);
    ASSERT_TRUE(s.output.has_value());
    EXPECT_EQ(s.output->alpha, 0.75f);
    EXPECT_EQ(s.simplex_tests, 2u);
    EXPECT_GE(s.aabb_tests, 2u);
    EXPECT_EQ(s.aabb_tests % 2, 0u);

    const QueryStats none = query_stats(t, {50, 50, 50, 0});
    EXPECT_EQ(none.hit_count, 0u);
    EXPECT_FALSE(none.output.has_value());

    const QueryStats empty = query_stats(ModelTree::build(std::vector<Model>{}), {0, 0, 0, 0});
    EXPECT_EQ(empty.aabb_tests, 0u);
    EXPECT_EQ(empty.simplex_tests, 0u);
}

TEST(Diagnostics, PointInsideAllBoundsVisitsEveryNode) {
    std::vector<MeshModel> models;
    for (int k = 0; k < 6; ++k) models.push_back(corner_model({0, 0, 0}, 8, quality(1, 0.1f), k));
    const ModelTree t = ModelTree::build(std::move(models));
    const QueryStats s = query_stats(t, {1, 1, 1, 0});
    EXPECT_EQ(s.aabb_tests, 2u * 5u);
    EXPECT_EQ(s.simplex_tests, 6u);
    EXPECT_EQ(s.hit_count, 6u);
}

TEST(Diagnostics, ExplainRecordsEveryHitAndTheTermination) {
    std::vector<MeshModel> models;
    models.push_back(corner_model({0, 0, 0}, 8, quality(1, 1.0f), 1));
    models.push_back(corner_model({0, 0, 0}, 8, quality(2, 1.0f), 2));
    models.push_back(corner_model({0, 0, 0}, 8, quality(3, 0.5f), 3));
    const ModelTree t = ModelTree::build(std::move(models));
    const Explanation ex = explain(t, {1, 1, 1, 0});
    ASSERT_EQ(ex.contributions.size(), 3u);
    EXPECT_EQ(ex.contributions[0].priority, 1);
    EXPECT_EQ(ex.contributions[2].priority, 3);
    ASSERT_TRUE(ex.termination.has_value());
    EXPECT_EQ(*ex.termination, 1u);
    const Quality all =
        Quality::blend(Quality::blend(ex.contributions[0].quality, ex.contributions[1].quality),
                       ex.contributions[2].quality);
    EXPECT_EQ(std::memcmp(&*ex.output, &all, sizeof(Quality)), 0);

    std::vector<MeshModel> one;
    one.push_back(corner_model({0, 0, 0}, 8, quality(1, 1.0f), 1));
    const Explanation single = explain(ModelTree::build(std::move(one)), {1, 1, 1, 0});
    EXPECT_EQ(single.contributions.size(), 1u);
    EXPECT_FALSE(single.termination.has_value());
}

}  // namespace
}  // namespace orvik
