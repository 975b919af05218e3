#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fixtures.hpp"
#include "grid/structured_grid.hpp"

namespace orvik {
namespace {

struct Arrays {
    std::ptrdiff_t m, n;
    std::vector<double> x, y, v;
};

using orvik::testing::view_of;

// x = j, y = i; value = f(i, j).
template <class F>
Arrays lattice(std::ptrdiff_t m, std::ptrdiff_t n, F f) {
    Arrays a{m, n, {}, {}, {}};
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            a.x.push_back(static_cast<double>(j));
            a.y.push_back(static_cast<double>(i));
            a.v.push_back(f(static_cast<double>(i), static_cast<double>(j)));
        }
    }
    return a;
}

Result<StructuredGrid> build(const Arrays& a) {
    return StructuredGrid::build(view_of(a.x, a.m, a.n), view_of(a.y, a.m, a.n),
                                 view_of(a.v, a.m, a.n));
}

TEST(StructuredGrid, TextbookBilinearOnAxisAlignedLattice) {
    // Node values that are not bilinear overall, so every cell differs.
    auto f = [](double i, double j) { return i * i * 3.0 + j * 7.0 - i * j * j; };
    const Arrays a = lattice(5, 7, f);
    auto g = build(a);
    ASSERT_TRUE(g.ok());
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 6; ++j) {
            const double fa = 0.25, fb = 0.625;  // exact binary fractions
            const auto q = StructuredGrid::query(*g, j + fb, i + fa, true);
            const double expect = (1 - fa) * (1 - fb) * f(i, j) + (1 - fa) * fb * f(i, j + 1) +
                                  fa * (1 - fb) * f(i + 1, j) + fa * fb * f(i + 1, j + 1);
            EXPECT_FALSE(q.outside);
            EXPECT_NEAR(q.value, expect, 1e-12 * (1 + std::abs(expect)));
        }
    }
}

TEST(StructuredGrid, OutsideClampAndNaN) {
    const Arrays a = lattice(3, 4, [](double i, double j) { return 10 * i + j; });
    auto g = build(a);
    ASSERT_TRUE(g.ok());
    auto q = StructuredGrid::query(*g, 5.0, 1.5, true);  // beyond the last column
    EXPECT_TRUE(q.outside);
    EXPECT_DOUBLE_EQ(q.value, 15.0 + 3.0);
    q = StructuredGrid::query(*g, 5.0, 1.5, false);
    EXPECT_TRUE(q.outside);
    EXPECT_TRUE(std::isnan(q.value));
    q = StructuredGrid::query(*g, -3.0, -8.0, true);  // beyond the (0, 0) corner
    EXPECT_TRUE(q.outside);
    EXPECT_DOUBLE_EQ(q.value, 0.0);
    q = StructuredGrid::query(*g, 3.0, 2.0, true);  // the far corner node itself
    EXPECT_FALSE(q.outside);
    EXPECT_DOUBLE_EQ(q.value, 23.0);
}

TEST(StructuredGrid, BuildErrors) {
    Arrays a = lattice(3, 4, [](double, double) { return 0.0; });
    std::vector<double> wide(15, 0.0);
    auto bad = StructuredGrid::build(view_of(a.x, 3, 4), view_of(a.y, 3, 4), view_of(wide, 3, 5));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message,
              "x, y and values must have the same shape; got (3, 4), (3, 4) and (3, 5)");

    std::vector<double> row(5, 1.0);
    bad = StructuredGrid::build(view_of(row, 1, 5), view_of(row, 1, 5), view_of(row, 1, 5));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message, "grid must have at least two rows and columns; got 1x5");

    // All nodes on the line y = 2x.
    Arrays line = lattice(3, 3, [](double, double) { return 0.0; });
    for (std::size_t k = 0; k < line.x.size(); ++k) {
        line.x[k] = static_cast<double>(k);
        line.y[k] = 2.0 * static_cast<double>(k);
    }
    bad = build(line);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message, "grid nodes are collinear");
}

TEST(StructuredGrid, DegenerateCellGivesNaNEvenWithClamp) {
    // 2 x 2 grid whose four nodes coincide: the grid is rejected as collinear.
    // A 2 x 3 grid whose second cell collapses to a point is accepted.
    Arrays a = lattice(2, 3, [](double i, double j) { return i + j; });
    a.x = {0, 1, 1, 0, 1, 1};
    a.y = {0, 0, 0, 1, 0, 0};
    auto g = build(a);
    ASSERT_TRUE(g.ok());
    const auto q = StructuredGrid::query(*g, 5.0, 0.0, true);
    EXPECT_TRUE(q.outside);
    EXPECT_TRUE(std::isnan(q.value));
}

// The affine guess only picks the cell where the walk starts. Guesses on a row
// index, a rounding error below one, on the last row, beyond it, huge or NaN
// must still end with the value of the cell that holds the point, or with the
// value clamped onto the grid.
TEST(StructuredGrid, StartCellAtIndexBoundaries) {
    auto f = [](double i, double j) { return i * i * 10.0 + j * 3.0 - i * j; };
    const Arrays a = lattice(6, 5, f);
    auto g = build(a);
    ASSERT_TRUE(g.ok());
    const double x = 1.25;
    const auto bilinear = [&](double y) {
        const double yc = std::min(std::max(y, 0.0), 5.0);
        const double i0 = std::min(std::floor(yc), 4.0), fa = yc - i0, fb = 0.25;
        return (1 - fa) * (1 - fb) * f(i0, 1) + (1 - fa) * fb * f(i0, 2) +
               fa * (1 - fb) * f(i0 + 1, 1) + fa * fb * f(i0 + 1, 2);
    };
    const double below_1 = std::nextafter(1.0, 0.0), below_4 = std::nextafter(4.0, 0.0);
    for (double y : {0.0, 0.5, below_1, 1.0, 2.0, below_4, 4.0, 4.5, 5.0}) {
        const auto q = StructuredGrid::query(*g, x, y, true);
        EXPECT_FALSE(q.outside) << y;
        EXPECT_NEAR(q.value, bilinear(y), 1e-12 * (1 + std::abs(bilinear(y)))) << y;
    }
    for (double y : {5.5, 1e300, -0.5, -1e300}) {
        const auto q = StructuredGrid::query(*g, x, y, true);
        EXPECT_TRUE(q.outside) << y;
        EXPECT_NEAR(q.value, bilinear(y), 1e-12 * (1 + std::abs(bilinear(y)))) << y;
    }
    const auto q = StructuredGrid::query(*g, x, std::nan(""), true);
    EXPECT_TRUE(q.outside);
    EXPECT_TRUE(std::isnan(q.value));
}

// The batched query gives the values of one query after another, to the
// bit: inside and outside cells, on nodes and cell edges, in the band around
// the grid's edge, at non-finite coordinates, next to NaN nodes and in a
// collapsed cell, with either clamp setting, for any count (the tail after
// the last full batch included) and through strided views. The mirrored grid
// turns its cells the other way and holds signed zeros and infinities, whose
// neighbours on nodes must keep the signs and NaNs that one query gives.
struct QueryValuesCase {
    const char* name;
    bool curved;    // rotated, sheared and bent instead of axis-aligned
    bool mirrored;  // x and y run backwards, values of zero and infinity
};

class QueryValues : public ::testing::TestWithParam<QueryValuesCase> {};

TEST_P(QueryValues, MatchOneQueryAfterAnother) {
    const std::ptrdiff_t m = 9, n = 12;
    Arrays a = lattice(m, n, [](double i, double j) { return std::sin(i * 0.7) * 40.0 + j * j; });
    if (GetParam().curved) {
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                const std::size_t k = static_cast<std::size_t>(i * n + j);
                const double u = static_cast<double>(j), v = static_cast<double>(i);
                a.x[k] = 0.8 * u - 0.6 * v + 0.3 * v + 0.05 * v * v;
                a.y[k] = 0.6 * u + 0.8 * v + 0.02 * u * u;
            }
        }
    }
    if (GetParam().mirrored) {
        for (std::size_t k = 0; k < a.x.size(); ++k) {
            a.x[k] = -a.x[k];
            a.y[k] = -2.0 * a.y[k];
            // Cells of negative zeros alone show how every zero weight is signed.
            const bool low_rows = k < static_cast<std::size_t>(4 * n);
            a.v[k] = low_rows ? -0.0 : (k % 3 == 0 ? -0.0 : (k % 3 == 1 ? 0.0 : -a.v[k]));
        }
        a.v[static_cast<std::size_t>(5 * n + 2)] = std::numeric_limits<double>::infinity();
        a.v[static_cast<std::size_t>(2 * n + 7)] = -std::numeric_limits<double>::infinity();
    }
    a.v[static_cast<std::size_t>(3 * n + 4)] = std::nan("");
    // Cell (6, 8) collapses to a point.
    for (std::ptrdiff_t i : {6, 7}) {
        for (std::ptrdiff_t j : {8, 9}) {
            const std::size_t k = static_cast<std::size_t>(i * n + j);
            a.x[k] = a.x[static_cast<std::size_t>(6 * n + 8)];
            a.y[k] = a.y[static_cast<std::size_t>(6 * n + 8)];
        }
    }
    auto g = build(a);
    ASSERT_TRUE(g.ok());

    // Interleaved (x, y, value) rows, as the TIN keeps its samples.
    std::vector<double> rows;
    const auto add = [&rows](double x, double y) { rows.insert(rows.end(), {x, y, -1.0}); };
    unsigned state = 99;
    const auto uniform = [&state](double lo, double hi) {
        state = state * 1103515245u + 12345u;
        return lo + (hi - lo) * static_cast<double>((state >> 8) & 0xFFFFFF) / 16777216.0;
    };
    for (std::size_t k = 0; k < a.x.size(); ++k) add(a.x[k], a.y[k]);  // nodes
    for (int k = 0; k < 600; ++k) add(uniform(-4.0, 16.0), uniform(-4.0, 14.0));
    for (int k = 0; k < 50; ++k) add(uniform(0.0, 11.0), std::floor(uniform(0.0, 8.0)));  // edges
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {std::nan(""), inf, -inf, 1e300}) {
        add(bad, 2.0);
        add(3.0, bad);
    }
    const std::size_t total = rows.size() / 3;

    for (bool clamp : {true, false}) {
        for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{4},
                                  std::size_t{7}, total}) {
            std::vector<double> out = rows;
            StridedView<double, 1> x, y;
            MutableStridedView<double, 1> values;
            x.data = reinterpret_cast<const char*>(out.data());
            y.data = x.data + sizeof(double);
            values.data = reinterpret_cast<char*>(out.data()) + 2 * sizeof(double);
            x.shape = y.shape = values.shape = {static_cast<std::ptrdiff_t>(count)};
            x.strides = y.strides = values.strides = {3 * sizeof(double)};
            StructuredGrid::query_values(*g, x, y, clamp, values);
            for (std::size_t k = 0; k < total; ++k) {
                const double px = rows[3 * k], py = rows[3 * k + 1];
                const double expect =
                    k < count ? StructuredGrid::query(*g, px, py, clamp).value : -1.0;
                const double got = out[3 * k + 2];
                EXPECT_EQ(std::memcmp(&got, &expect, sizeof(double)), 0)
                    << "point " << k << " (" << px << ", " << py << ") clamp " << clamp << ": "
                    << got << " vs " << expect;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Grids, QueryValues,
                         ::testing::Values(QueryValuesCase{"axis_aligned", false, false},
                                           QueryValuesCase{"curved", true, false},
                                           QueryValuesCase{"mirrored", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvik
