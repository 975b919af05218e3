#include "tree_query/tree_query.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tree_fixtures.hpp"

namespace orvik {
namespace {

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
    QueryRows srows{view_of(x2, 2), view_of(y2, 2), view_of(z2, 2), view_of(d2, 2), std::nullopt, {}};
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

    const QueryStats empty = query_stats(ModelTree::build({}), {0, 0, 0, 0});
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
    const Quality all = Quality::blend(
        Quality::blend(ex.contributions[0].quality, ex.contributions[1].quality),
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
