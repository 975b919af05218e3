// Columns models against a brute-force reading of their input: the tile by
// a linear search of the edges, the layer by a walk down the tile's profile
// as given (zero-thickness layers included), linear in float64 between its
// nodes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "model/columns_model.hpp"

namespace orvik {
namespace {

StridedView<double, 1> view1(const std::vector<double>& a) {
    return {reinterpret_cast<const char*>(a.data()), {static_cast<std::ptrdiff_t>(a.size())}, {8}};
}

struct ColumnsCase {
    std::vector<double> x, y;
    std::vector<std::uint64_t> offsets;
    std::vector<double> v;
    std::vector<float> q;  // (K, 6) as given
    VerticalMode vertical;

    Result<ColumnsModel> build() const {
        const StridedView<std::uint64_t, 1> o{reinterpret_cast<const char*>(offsets.data()),
                                              {static_cast<std::ptrdiff_t>(offsets.size())},
                                              {8}};
        return ColumnsModel::build(
            {view1(x), view1(y), o, view1(v),
             StridedView<float, 2>::dense(q.data(), static_cast<std::ptrdiff_t>(v.size()), 6)},
            {"c", std::nullopt, vertical, 3});
    }
};

// 3 x 2 tiles; every profile a stack of layers of random thickness, some of
// them zero, with discontinuities (each layer has values of its own at its
// top and its bottom), and one empty tile.
ColumnsCase random_columns(VerticalMode vertical, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> thick(0, 8);
    std::uniform_real_distribution<float> val(1, 9), qv(20, 900);
    ColumnsCase c{{-INFINITY, 0, 2.5, 4}, {-1, 0, 1}, {0}, {}, {}, vertical};
    for (int t = 0; t < 6; ++t) {
        const int layers = t == 4 ? 0 : 1 + static_cast<int>(rng() % 6);
        double top = -static_cast<double>(rng() % 5);
        for (int l = 0; l < layers; ++l) {
            const double bottom = top + (rng() % 4 == 0 ? 0.0 : thick(rng));
            for (double z : {top, bottom}) {
                c.v.push_back(z);
                for (float f : {val(rng), val(rng), val(rng), qv(rng), qv(rng), val(rng) / 9})
                    c.q.push_back(f);
            }
            top = bottom;
        }
        c.offsets.push_back(c.v.size());
    }
    return c;
}

std::optional<std::uint64_t> tile_of(const std::vector<double>& edges, double c) {
    if (!(edges.front() <= c && c <= edges.back())) return std::nullopt;
    for (std::size_t i = edges.size() - 1; i-- > 0;) {
        if (edges[i] <= c) return i;
    }
    return std::nullopt;
}

// The layer below a node: walk the profile down (increasing v) and keep the
// last layer of positive thickness that holds v at its upper end (depth:
// v in [a, b)) or the first holding it at its lower end (elevation: (a, b]).
std::optional<std::array<double, 6>> reference(const ColumnsCase& c, double x, double y, double v) {
    const auto i = tile_of(c.x, x), j = tile_of(c.y, y);
    if (!i || !j) return std::nullopt;
    const std::uint64_t t = *i * (c.y.size() - 1) + *j;
    std::optional<std::uint64_t> layer;
    for (std::uint64_t k = c.offsets[t]; k + 1 < c.offsets[t + 1]; ++k) {
        const double a = c.v[k], b = c.v[k + 1];
        if (!(b > a)) continue;
        const bool holds =
            c.vertical == VerticalMode::Depth ? (a <= v && v < b) : (a < v && v <= b);
        const bool closes = c.vertical == VerticalMode::Depth ? v == b : v == a;
        if (holds || (closes && !layer)) layer = k;
        if (holds && c.vertical == VerticalMode::Elevation) break;
    }
    if (!layer) return std::nullopt;
    const double a = c.v[*layer], b = c.v[*layer + 1], tt = (v - a) / (b - a);
    std::array<double, 6> r{};
    for (int k = 0; k < 6; ++k) {
        const double qa = c.q[6 * *layer + k], qb = c.q[6 * (*layer + 1) + k];
        r[k] = (k == 3 || k == 4) ? 1 / ((1 - tt) / qa + tt / qb) : (1 - tt) * qa + tt * qb;
    }
    return r;
}

class ColumnsQuery : public ::testing::TestWithParam<VerticalMode> {};

TEST_P(ColumnsQuery, MatchesABruteForceReadingOfTheProfiles) {
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        const ColumnsCase c = random_columns(GetParam(), seed);
        Result<ColumnsModel> m = c.build();
        ASSERT_TRUE(m.ok()) << m.error().message;
        EXPECT_LE(m->v.size(), c.v.size());
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> ux(-3, 5), uy(-1.5f, 1.5f), uv(-6, 40);
        std::vector<std::array<float, 3>> points;
        for (int k = 0; k < 3000; ++k) points.push_back({ux(rng), uy(rng), uv(rng)});
        for (float z : std::vector<float>(c.v.begin(), c.v.end()))
            points.push_back({1.0f, 0.5f, z});
        for (float z : std::vector<float>(c.v.begin(), c.v.end()))
            points.push_back({-9.0f, -0.5f, z});
        for (const auto& p : points) {
            const auto want = reference(c, p[0], p[1], p[2]);
            const auto got = ColumnsModel::query(*m, p[0], p[1], p[2]);
            ASSERT_EQ(want.has_value(), got.has_value())
                << seed << ": " << p[0] << " " << p[1] << " " << p[2];
            if (!want) continue;
            const float g[6] = {got->rho, got->vp, got->vs, got->qp, got->qs, got->alpha};
            for (int k = 0; k < 6; ++k) ASSERT_NEAR(g[k], (*want)[k], 2e-6 * std::fabs((*want)[k]));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ColumnsQuery,
                         ::testing::Values(VerticalMode::Elevation, VerticalMode::Depth));

TEST(ColumnsModel, DropsZeroThicknessLayersAndKeepsDiscontinuities) {
    // One tile: a top run of three nodes at 0, a discontinuity at 10, three
    // nodes at 20 (a zero-thickness layer inside), a bottom run at 30.
    ColumnsCase c{{0, 1},  {0, 1},
                  {0, 11}, {0, 0, 0, 10, 10, 20, 20, 20, 30, 30, 30},
                  {},      VerticalMode::Depth};
    for (std::size_t k = 0; k < c.v.size(); ++k) {
        for (int f = 0; f < 6; ++f) c.q.push_back(static_cast<float>(100 * k + f + 1));
    }
    const ColumnsModel m = c.build().value();
    EXPECT_EQ(m.v, (std::vector<double>{0, 10, 10, 20, 20, 30}));
    EXPECT_EQ(m.offsets, (std::vector<std::uint64_t>{0, 6}));
    // On the discontinuity, depth mode takes the deeper layer's top node.
    EXPECT_EQ(ColumnsModel::query(m, 0.5f, 0.5f, 10.0f)->rho, 401.0f);
    EXPECT_EQ(ColumnsModel::query(m, 0.5f, 0.5f, 0.0f)->rho, 201.0f);
    EXPECT_EQ(ColumnsModel::query(m, 0.5f, 0.5f, 30.0f)->rho, 801.0f);
    // A profile of no thickness at all is empty.
    ColumnsCase flat{
        {0, 1}, {0, 1}, {0, 3}, {5, 5, 5}, std::vector<float>(18, 1.0f), VerticalMode::Depth};
    const ColumnsModel f = flat.build().value();
    EXPECT_TRUE(f.v.empty());
    EXPECT_FALSE(ColumnsModel::query(f, 0.5f, 0.5f, 5.0f));
}

TEST(ColumnsModel, RefusesBrokenOffsetsAndProfilesNamingTheArgument) {
    const ColumnsCase good = random_columns(VerticalMode::Depth, 3);
    const struct {
        void (*edit)(ColumnsCase&);
        const char* message;
    } cases[] = {
        {[](ColumnsCase& c) { c.offsets.pop_back(); },
         "offsets must hold (len(x) - 1) * (len(y) - 1) + 1 = 7 entries; got 6"},
        {[](ColumnsCase& c) { c.offsets[0] = 1; }, "offsets must start at 0; got 1"},
        {[](ColumnsCase& c) { std::swap(c.offsets[2], c.offsets[3]); },
         "offsets must not decrease; entry 3"},
        {[](ColumnsCase& c) { c.offsets.back() -= 1; }, "offsets must end at len(v)"},
        {[](ColumnsCase& c) { c.v[1] = NAN; }, "v must not hold NaN; node 1 is NaN"},
        {[](ColumnsCase& c) {
             std::swap(c.v[0], c.v[1]);
             c.v[1] -= 1;
         },
         "v must not decrease within a profile; node 1 is below node 0 in tile (0, 0)"},
        {[](ColumnsCase& c) { c.x[2] = -1; }, "x must be strictly increasing"},
    };
    for (const auto& k : cases) {
        ColumnsCase c = good;
        k.edit(c);
        Result<ColumnsModel> m = c.build();
        ASSERT_FALSE(m.ok()) << k.message;
        EXPECT_NE(m.error().message.find(k.message), std::string::npos) << m.error().message;
    }
}

}  // namespace
}  // namespace orvik
