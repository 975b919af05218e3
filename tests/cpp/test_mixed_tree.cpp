// A tree of every model kind: its point query against the fold written out
// over each model's own answer, and its row loops against the point query.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "fixtures.hpp"
#include "model_tree/tree_query.hpp"

namespace orvik {
namespace {

StridedView<double, 1> view1(const std::vector<double>& a) {
    return {reinterpret_cast<const char*>(a.data()), {static_cast<std::ptrdiff_t>(a.size())}, {8}};
}

GridModel grid(std::uint8_t priority, VerticalMode vertical) {
    static const std::vector<double> x{0, 3, 6, 10}, y{0, 5, 10}, v{-10, -4, 0, 2};
    std::vector<float> q(4 * 3 * 4 * 6);
    std::mt19937 rng(priority);
    std::uniform_real_distribution<float> u(1, 4), a(0.2f, 1.0f);
    for (std::size_t n = 0; n < q.size(); n += 6) {
        const float row[6] = {u(rng), u(rng), u(rng), 100 * u(rng), 50 * u(rng), a(rng)};
        std::copy(row, row + 6, q.begin() + n);
    }
    StridedView<float, 4> values;
    values.data = reinterpret_cast<const char*>(q.data());
    values.shape = {4, 3, 4, 6};
    values.strides = {3 * 4 * 24, 4 * 24, 24, 4};
    return GridModel::build({view1(x), view1(y), view1(v), values},
                            {"grid", {}, vertical, priority})
        .value();
}

ColumnsModel columns(std::uint8_t priority) {
    static const std::vector<double> x{-INFINITY, 5, INFINITY}, y{-INFINITY, INFINITY};
    static const std::vector<std::uint64_t> offsets{0, 3, 5};
    static const std::vector<double> v{0, 3, 3, 0, 12};
    const std::vector<float> q = {2,  4,    2,    90,   40,   0.7f, 2.2f, 4.4f, 2.2f, 95,
                                  45, 0.8f, 2.5f, 5,    2.5f, 200,  100,  1,    3,    6,
                                  3,  300,  150,  0.6f, 3.3f, 6.6f, 3.3f, 330,  160,  0.9f};
    const StridedView<std::uint64_t, 1> o{reinterpret_cast<const char*>(offsets.data()), {3}, {8}};
    return ColumnsModel::build(
               {view1(x), view1(y), o, view1(v), StridedView<float, 2>::dense(q.data(), 5, 6)},
               {"columns", {}, VerticalMode::Depth, priority})
        .value();
}

// Mesh, grid and columns models, overlapping, in scrambled priority order.
ModelTree mixed() {
    std::vector<Model> models;
    models.emplace_back(testing::corner_model({1, 1, -9}, 12, testing::quality(5, 0.5f), 4));
    models.emplace_back(grid(2, VerticalMode::Elevation));
    models.emplace_back(columns(9));
    models.emplace_back(grid(6, VerticalMode::Depth));
    models.emplace_back(testing::corner_model({0, 0, -12}, 20, testing::quality(7, 1.0f), 200));
    return ModelTree::build(std::move(models));
}

// The fold written out: every model that contains the point (its bounds on
// x, y and the elevation, and its vertical range on its own coordinate), in
// priority order, the first as it is and each further one blended behind
// until the composite is opaque.
std::optional<Quality> folded(const ModelTree& t, const QueryPoint& p) {
    std::vector<std::pair<std::uint8_t, Quality>> hits;
    for (const Model& m : t.models) {
        const auto& b = bounds_of(m);
        if (!(b[0] <= p.x && p.x <= b[3] && b[1] <= p.y && p.y <= b[4] && b[2] <= p.z &&
              p.z <= b[5]))
            continue;
        const ModelGate g = gate_of(m);
        const float v = g.vertical == VerticalMode::Depth ? p.depth : p.z;
        if (!(g.v_range[0] <= v && v <= g.v_range[1])) continue;
        if (auto q = query_model(m, p.x, p.y, v)) hits.emplace_back(priority_of(m), *q);
    }
    std::stable_sort(hits.begin(), hits.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::optional<Quality> acc;
    for (const auto& [priority, q] : hits) {
        if (acc && std::fabs(acc->alpha - 1.0f) <= 1e-4f) break;
        acc = acc ? Quality::blend(*acc, q) : q;
    }
    return acc;
}

bool same(const std::optional<Quality>& a, const std::optional<Quality>& b) {
    return a.has_value() == b.has_value() && (!a || std::memcmp(&*a, &*b, sizeof(Quality)) == 0);
}

TEST(MixedTree, CompositesEveryKindInPriorityOrder) {
    const ModelTree t = mixed();
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> ux(-1, 12), uz(-13, 3), ud(-1, 14);
    int blended = 0;
    for (int k = 0; k < 20000; ++k) {
        const QueryPoint p{ux(rng), ux(rng), uz(rng), ud(rng)};
        const auto want = folded(t, p);
        ASSERT_TRUE(same(ModelTree::query(t, p, 0, 255), want)) << p.x << " " << p.y << " " << p.z;
        blended += explain(t, p).contributions.size() > 2;
    }
    EXPECT_GT(blended, 1000);
}

class MixedRows : public ::testing::TestWithParam<int> {};

// Batches large enough to be ordered, through a tree of every kind and
// through trees of one grid or one columns model (their own row loop).
TEST_P(MixedRows, GiveEveryRowTheBitsOfThePointQuery) {
    std::vector<Model> one;
    if (GetParam() == 1) one.emplace_back(grid(3, VerticalMode::Depth));
    if (GetParam() == 2) one.emplace_back(columns(3));
    const ModelTree t = GetParam() == 0 ? mixed() : ModelTree::build(std::move(one));
    const std::ptrdiff_t n = 5000;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> ux(-1, 12), uz(-13, 3), ud(-1, 14);
    std::vector<float> x(n), y(n), z(n), d(n), out(6 * n, -7.0f);
    std::vector<std::uint8_t> mask(n);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        x[i] = ux(rng), y[i] = ux(rng), z[i] = uz(rng), d[i] = ud(rng), mask[i] = i % 5 != 0;
    }
    x[3] = NAN;
    const auto v = [](const std::vector<float>& a) {
        return StridedView<float, 1>{
            reinterpret_cast<const char*>(a.data()), {static_cast<std::ptrdiff_t>(a.size())}, {4}};
    };
    QueryRows rows{
        v(x),
        v(y),
        v(z),
        v(d),
        StridedView<std::uint8_t, 1>{reinterpret_cast<const char*>(mask.data()), {n}, {1}},
        {reinterpret_cast<char*>(out.data()), {n, 6}, {24, 4}}};
    for (std::uint8_t lo : {0, 4}) {
        std::fill(out.begin(), out.end(), -7.0f);
        QueryScratch scratch(n);
        ASSERT_TRUE(query_rows(t, rows, lo, 255, scratch));
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            const auto want =
                mask[i] ? ModelTree::query(t, {x[i], y[i], z[i], d[i]}, lo, 255) : std::nullopt;
            if (want) {
                ASSERT_EQ(std::memcmp(&*want, &out[6 * i], sizeof(Quality)), 0) << i;
            } else {
                ASSERT_EQ(out[6 * i], -7.0f) << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Trees, MixedRows, ::testing::Values(0, 1, 2));

TEST(MixedTree, StructureNamesEachKind) {
    const std::string text = ModelTree::structure_text(mixed());
    EXPECT_EQ(text.substr(0, text.find('\n')), "ModelTree with 5 models:");
    EXPECT_NE(text.find("Grid model \"grid\" with 4 x 3 x 4 nodes, priority = 2.\n"),
              std::string::npos);
    EXPECT_NE(
        text.find(
            "Columns model \"columns\" with 2 x 1 tiles and 4 profile nodes, priority = 9.\n"),
        std::string::npos);
    EXPECT_NE(text.find("Mesh model (id=0) with 4 vertices"), std::string::npos);
}

}  // namespace
}  // namespace orvik
