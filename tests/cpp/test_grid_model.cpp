// The axis lookup against a linear search, and grid models against a
// trilinear interpolation in float64 written out corner by corner.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "model/grid_model.hpp"
#include "model/node_values.hpp"

namespace orvik {
namespace {

StridedView<double, 1> view1(const std::vector<double>& a) {
    return {reinterpret_cast<const char*>(a.data()), {static_cast<std::ptrdiff_t>(a.size())}, {8}};
}

// The cell a linear search finds: the largest i with n[i] <= c (Upper) or
// the smallest i with c <= n[i + 1] (Lower), both over the non-empty cells.
std::optional<std::uint64_t> linear_cell(const std::vector<double>& n, double c, CellSide side) {
    if (!(n.front() <= c && c <= n.back())) return std::nullopt;
    const std::size_t cells = n.size() - 1;
    if (side == CellSide::Upper) {
        for (std::size_t i = cells; i-- > 0;) {
            if (n[i] <= c && n[i + 1] > n[i]) return i;
        }
        return cells - 1;
    }
    for (std::size_t i = 0; i < cells; ++i) {
        if (c <= n[i + 1] && n[i + 1] > n[i]) return i;
    }
    return std::nullopt;
}

// Axes with even, random and widely varying spacing, some with repeats, one
// with a cell far narrower than the others (its bins are capped: the lookup
// walks).
std::vector<std::vector<double>> sample_axes() {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> gap(0.1, 3.0);
    std::vector<std::vector<double>> axes = {{0, 1}, {-5, -2, 0, 7.5}, {0, 1, 1, 2, 3, 3, 4}};
    std::vector<double> random{-10};
    for (int i = 0; i < 60; ++i) random.push_back(random.back() + gap(rng));
    axes.push_back(random);
    std::vector<double> graded{0};
    for (int i = 1; i < 40; ++i) graded.push_back(graded.back() + std::pow(1.2, i));
    axes.push_back(graded);
    axes.push_back({0, 1e-9, 1, 2, 2, 5});
    return axes;
}

TEST(Axis, LocatesTheCellALinearSearchFinds) {
    std::mt19937 rng(3);
    for (const auto& nodes : sample_axes()) {
        Result<Axis> axis = Axis::make(nodes, "v", AxisRules{.repeats = true});
        ASSERT_TRUE(axis.ok()) << axis.error().message;
        std::vector<double> probes = nodes;  // every node, then points around and between
        std::uniform_real_distribution<double> u(nodes.front() - 1, nodes.back() + 1);
        for (int k = 0; k < 2000; ++k) probes.push_back(u(rng));
        for (std::size_t i = 0; i + 1 < nodes.size(); ++i) {
            probes.push_back(std::nextafter(nodes[i], INFINITY));
            probes.push_back(std::nextafter(nodes[i + 1], -INFINITY));
        }
        probes.push_back(NAN);
        for (double c : probes) {
            for (CellSide side : {CellSide::Upper, CellSide::Lower}) {
                const auto want = linear_cell(nodes, c, side);
                const auto got = axis->locate(c, side);
                ASSERT_EQ(want.has_value(), got.has_value()) << c;
                if (!want) continue;
                ASSERT_EQ(*want, got->index) << c << " side " << int(side);
                const double t = (c - nodes[*want]) / (nodes[*want + 1] - nodes[*want]);
                ASSERT_NEAR(got->weight, t, 1e-6) << c;
                if (c == nodes[*want]) {
                    ASSERT_EQ(got->weight, 0.0f);
                }
                if (c == nodes[*want + 1]) {
                    ASSERT_EQ(got->weight, 1.0f);
                }
            }
        }
    }
}

TEST(Axis, RefusesWhatItCannotHoldNamingTheAxis) {
    const struct {
        std::vector<double> nodes;
        AxisRules rules;
        const char* message;
    } cases[] = {
        {{1}, {}, "x must hold at least two nodes; got 1"},
        {{0, NAN, 2}, {}, "x must not hold NaN; node 1 is NaN"},
        {{0, INFINITY}, {}, "x must hold finite numbers; node 1 (inf) is not"},
        {{0, 2, 1}, {}, "x must be strictly increasing; node 2 (1) is not above node 1 (2)"},
        {{0, 1, 1, 2}, {}, "x must be strictly increasing; node 2 (1) is not above node 1 (1)"},
        {{0, 0, 1}, {.repeats = true}, "x must not repeat its first or last node"},
        {{0, 1, 2, 2}, {.repeats = true}, "x must not repeat its first or last node"},
        {{0, 1, 1, 1, 2}, {.repeats = true}, "x may repeat a value only once"},
        {{INFINITY, 1}, {.infinite_ends = true}, "only the first may be -inf and the last +inf"},
    };
    for (const auto& c : cases) {
        Result<Axis> axis = Axis::make(c.nodes, "x", c.rules);
        ASSERT_FALSE(axis.ok()) << c.message;
        EXPECT_NE(axis.error().message.find(c.message), std::string::npos) << axis.error().message;
    }
}

struct GridCase {
    std::vector<double> x, y, v;
    std::vector<float> q;  // (nx, ny, nv, 6), as given
    VerticalMode vertical;

    Result<GridModel> build(std::optional<Transform> t = std::nullopt) const {
        StridedView<float, 4> values;
        values.data = reinterpret_cast<const char*>(q.data());
        const auto nx = static_cast<std::ptrdiff_t>(x.size()),
                   ny = static_cast<std::ptrdiff_t>(y.size()),
                   nv = static_cast<std::ptrdiff_t>(v.size());
        values.shape = {nx, ny, nv, 6};
        values.strides = {ny * nv * 24, nv * 24, 24, 4};
        return GridModel::build({view1(x), view1(y), view1(v), values}, {"g", t, vertical, 7});
    }
    const float* node(std::size_t i, std::size_t j, std::size_t k) const {
        return &q[6 * ((i * y.size() + j) * v.size() + k)];
    }
};

GridCase random_grid(VerticalMode vertical, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> val(1, 9), qv(20, 900);
    GridCase g{{0, 1.5, 2, 4.5}, {-3, -1, 0}, {0, 10, 20, 20, 35, 50}, {}, vertical};
    g.q.resize(g.x.size() * g.y.size() * g.v.size() * 6);
    for (std::size_t n = 0; n < g.q.size() / 6; ++n) {
        float* r = &g.q[6 * n];
        r[0] = val(rng), r[1] = val(rng), r[2] = val(rng), r[3] = qv(rng), r[4] = qv(rng);
        r[5] = val(rng) / 9;
    }
    return g;
}

// Trilinear in float64 with the cell chosen as the model documents it; Q as
// the reciprocal of the interpolated 1/Q.
std::optional<std::array<double, 6>> reference(const GridCase& g, double x, double y, double v) {
    const auto cx = linear_cell(g.x, x, CellSide::Upper), cy = linear_cell(g.y, y, CellSide::Upper);
    const auto cv =
        linear_cell(g.v, v, g.vertical == VerticalMode::Depth ? CellSide::Upper : CellSide::Lower);
    if (!cx || !cy || !cv) return std::nullopt;
    const double tx = (x - g.x[*cx]) / (g.x[*cx + 1] - g.x[*cx]);
    const double ty = (y - g.y[*cy]) / (g.y[*cy + 1] - g.y[*cy]);
    const double tv = (v - g.v[*cv]) / (g.v[*cv + 1] - g.v[*cv]);
    std::array<double, 6> r{};
    for (int c = 0; c < 8; ++c) {
        const int a = c >> 2, b = (c >> 1) & 1, d = c & 1;
        const double w = (a ? tx : 1 - tx) * (b ? ty : 1 - ty) * (d ? tv : 1 - tv);
        const float* n = g.node(*cx + a, *cy + b, *cv + d);
        for (int k = 0; k < 6; ++k) {
            if (std::isnan(n[k])) return std::nullopt;
            r[k] += w * ((k == 3 || k == 4) ? 1.0 / n[k] : n[k]);
        }
    }
    r[3] = 1 / r[3];
    r[4] = 1 / r[4];
    return r;
}

void expect_close(const Quality& q, const std::array<double, 6>& r) {
    const float got[6] = {q.rho, q.vp, q.vs, q.qp, q.qs, q.alpha};
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(got[k], r[k], 2e-6 * std::fabs(r[k]) + 1e-6) << k;
}

class GridQuery : public ::testing::TestWithParam<VerticalMode> {};

TEST_P(GridQuery, MatchesTrilinearInFloat64AndItsNodesExactly) {
    const GridCase g = random_grid(GetParam(), 5);
    Result<GridModel> m = g.build();
    ASSERT_TRUE(m.ok()) << m.error().message;
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> ux(-0.5f, 5), uy(-3.5f, 0.5f), uv(-5, 55);
    int inside = 0;
    for (int k = 0; k < 20000; ++k) {
        const float x = ux(rng), y = uy(rng), v = uv(rng);
        const auto want = reference(g, x, y, v);
        const auto got = GridModel::query(*m, x, y, v);
        ASSERT_EQ(want.has_value(), got.has_value()) << x << " " << y << " " << v;
        if (want) expect_close(*got, *want), ++inside;
    }
    EXPECT_GT(inside, 8000);
    // On a node the model gives the node's own values (qp and qs through
    // their reciprocals); on the repeated v, those of the layer below.
    const bool depth = GetParam() == VerticalMode::Depth;
    for (std::size_t i = 0; i < g.x.size(); ++i) {
        for (std::size_t j = 0; j < g.y.size(); ++j) {
            for (std::size_t k = 0; k < g.v.size(); ++k) {
                const float* n = g.node(i, j, k);
                const auto q = GridModel::query(*m, float(g.x[i]), float(g.y[j]), float(g.v[k]));
                ASSERT_TRUE(q.has_value());
                const bool repeat_below = k + 1 < g.v.size() && g.v[k + 1] == g.v[k];
                const bool repeat_above = k > 0 && g.v[k - 1] == g.v[k];
                // The layer below the repeat: the deeper node in depth mode,
                // the lower one in elevation mode.
                if ((depth && repeat_below) || (!depth && repeat_above)) continue;
                EXPECT_EQ(q->rho, n[0]);
                EXPECT_EQ(q->vp, n[1]);
                EXPECT_EQ(q->alpha, n[5]);
                EXPECT_EQ(q->qp, 1.0f / (1.0f / n[3]));
            }
        }
    }
    const float* deeper = g.node(1, 1, 3);
    const float* shallower = g.node(1, 1, 2);
    const auto on = GridModel::query(*m, 1.5f, -1.0f, 20.0f);
    EXPECT_EQ(on->vs, depth ? deeper[2] : shallower[2]);
}

TEST_P(GridQuery, PacketsAndRowsGiveTheBitsOfSinglePoints) {
    const GridCase g = random_grid(GetParam(), 8);
    const GridModel m = g.build().value();
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> ux(-0.5f, 5), uy(-3.5f, 0.5f), uv(-5, 55);
    const std::ptrdiff_t n = 1000;
    std::vector<float> x(n), y(n), v(n), out(2 * 6 * n, -1.0f);
    std::vector<std::uint8_t> mask(n);
    for (std::ptrdiff_t i = 0; i < n; ++i)
        x[i] = ux(rng), y[i] = uy(rng), v[i] = uv(rng), mask[i] = i % 7 != 0;
    for (std::ptrdiff_t i = 0; i + 16 <= n; i += 16) {
        Quality q[16];
        const unsigned found = GridModel::query_packet(m, &x[i], &y[i], &v[i], 0xFFFFu, q);
        for (int k = 0; k < 16; ++k) {
            const auto one = GridModel::query(m, x[i + k], y[i + k], v[i + k]);
            ASSERT_EQ(one.has_value(), ((found >> k) & 1u) != 0);
            if (one) {
                ASSERT_EQ(std::memcmp(&*one, &q[k], sizeof(Quality)), 0);
            }
        }
    }
    // Strided output (every other row), a mask and a vertical range.
    PointRows rows{
        {reinterpret_cast<const char*>(x.data()), {n}, {4}},
        {reinterpret_cast<const char*>(y.data()), {n}, {4}},
        {reinterpret_cast<const char*>(v.data()), {n}, {4}},
        StridedView<std::uint8_t, 1>{reinterpret_cast<const char*>(mask.data()), {n}, {1}},
        {reinterpret_cast<char*>(out.data()), {n, 6}, {48, 4}},
        {0.0f, 40.0f}};
    GridModel::query_rows(m, rows, 0, n);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const float* row = &out[12 * i];
        const bool asked = mask[i] && v[i] >= 0 && v[i] <= 40;
        const auto one = asked ? GridModel::query(m, x[i], y[i], v[i]) : std::nullopt;
        if (!one) {
            ASSERT_EQ(row[0], -1.0f) << i;
        } else {
            ASSERT_EQ(std::memcmp(&*one, row, sizeof(Quality)), 0) << i;
        }
        ASSERT_EQ(out[12 * i + 6], -1.0f);  // the rows between are never written
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, GridQuery,
                         ::testing::Values(VerticalMode::Elevation, VerticalMode::Depth));

TEST(GridModel, ACellWithAHoleAnswersNothingItsNeighboursDo) {
    GridCase g = random_grid(VerticalMode::Elevation, 4);
    const_cast<float*>(g.node(2, 1, 4))[1] = NAN;
    const GridModel m = g.build().value();
    // The eight cells around node (2, 1, 4) share it; one cell further is clear.
    EXPECT_FALSE(GridModel::query(m, 1.9f, -0.5f, 30.0f));
    EXPECT_FALSE(GridModel::query(m, 2.1f, -1.5f, 40.0f));
    EXPECT_TRUE(GridModel::query(m, 0.5f, -0.5f, 30.0f));
    EXPECT_TRUE(GridModel::query(m, 3.0f, -2.0f, 5.0f));
}

TEST(GridModel, ATransformPlacesItAndItsBoundsHoldEveryPointItAnswers) {
    const GridCase g = random_grid(VerticalMode::Elevation, 6);
    // World to local: a rotation by 30 degrees about z and a shift.
    const float c = std::cos(0.5235988f), s = std::sin(0.5235988f);
    const Transform t{c, -s, 0, 0, s, c, 0, 0, 0, 0, 1, 0, 10, -4, 2, 1};
    const GridModel m = g.build(t).value();
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> u(-16, 4), uz(-5, 55);
    int answered = 0;
    for (int k = 0; k < 50000; ++k) {
        const float x = u(rng), y = u(rng), z = uz(rng);
        const auto q = GridModel::query(m, x, y, z);
        const float lx = (x * t[0] + y * t[4]) + t[12], ly = (x * t[1] + y * t[5]) + t[13];
        const auto want = reference(g, lx, ly, z + 2);
        ASSERT_EQ(q.has_value(), want.has_value()) << x << " " << y << " " << z;
        if (!q) continue;
        ++answered;
        expect_close(*q, *want);
        EXPECT_TRUE(m.bounds[0] <= x && x <= m.bounds[3] && m.bounds[1] <= y && y <= m.bounds[4]);
        EXPECT_TRUE(m.bounds[2] <= z && z <= m.bounds[5] && m.v_range[0] <= z && z <= m.v_range[1]);
    }
    EXPECT_GT(answered, 1000);
}

TEST(GridModel, DepthModeBoundsSpanEveryElevation) {
    const GridModel m = random_grid(VerticalMode::Depth, 1).build().value();
    EXPECT_EQ(m.bounds[2], -INFINITY);
    EXPECT_EQ(m.bounds[5], INFINITY);
    EXPECT_EQ(m.v_range[0], 0.0f);
    EXPECT_EQ(m.v_range[1], 50.0f);
}

TEST(GridModel, RefusesValuesOfTheWrongShapeAndASingularTransform) {
    const GridCase g = random_grid(VerticalMode::Depth, 1);
    std::vector<double> v = g.v;
    v.pop_back();
    StridedView<float, 4> values;
    values.data = reinterpret_cast<const char*>(g.q.data());
    values.shape = {4, 3, 6, 6};
    values.strides = {3 * 6 * 24, 6 * 24, 24, 4};
    Result<GridModel> m = GridModel::build({view1(g.x), view1(g.y), view1(v), values},
                                           {"", {}, VerticalMode::Depth, 0});
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(
        m.error().message,
        "values must have shape (len(x), len(y), len(v), 6) = (4, 3, 5, 6); got (4, 3, 6, 6)");
    m = random_grid(VerticalMode::Depth, 1).build(Transform{});
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().message, "transform is not invertible (its determinant is zero)");
}

}  // namespace
}  // namespace orvik
