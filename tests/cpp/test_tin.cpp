#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tin/adaptive_tin.hpp"

namespace orvik {
namespace {

StridedView<double, 2> view_of(const std::vector<double>& a, std::ptrdiff_t m, std::ptrdiff_t n) {
    StridedView<double, 2> view;
    view.data = reinterpret_cast<const char*>(a.data());
    view.shape = {m, n};
    view.strides = {static_cast<std::ptrdiff_t>(n * sizeof(double)), sizeof(double)};
    return view;
}

// Nodes at integer (x, y) over [0, size]^2 with value f(x, y).
template <class F>
StructuredGrid make_grid(int size, F f) {
    std::vector<double> x, y, v;
    for (int i = 0; i <= size; ++i) {
        for (int j = 0; j <= size; ++j) {
            x.push_back(j);
            y.push_back(i);
            v.push_back(f(double(j), double(i)));
        }
    }
    auto g = StructuredGrid::build(view_of(x, size + 1, size + 1), view_of(y, size + 1, size + 1),
                                   view_of(v, size + 1, size + 1));
    EXPECT_TRUE(g.ok());
    return std::move(g).value();
}

double signed_area(const TinResult& r, std::size_t t) {
    const auto* tri = &r.triangles[3 * t];
    const double ax = r.vertices[2 * tri[0]], ay = r.vertices[2 * tri[0] + 1];
    const double bx = r.vertices[2 * tri[1]], by = r.vertices[2 * tri[1] + 1];
    const double cx = r.vertices[2 * tri[2]], cy = r.vertices[2 * tri[2] + 1];
    return 0.5 * ((bx - ax) * (cy - ay) - (by - ay) * (cx - ax));
}

// Linear interpolation of per-vertex values at (px, py), NaN when no triangle holds it.
double interpolate(const TinResult& r, const std::vector<double>& z, double px, double py) {
    for (std::size_t t = 0; t < r.triangles.size() / 3; ++t) {
        const auto* tri = &r.triangles[3 * t];
        const double ax = r.vertices[2 * tri[0]], ay = r.vertices[2 * tri[0] + 1];
        const double bx = r.vertices[2 * tri[1]], by = r.vertices[2 * tri[1] + 1];
        const double cx = r.vertices[2 * tri[2]], cy = r.vertices[2 * tri[2] + 1];
        const double det = (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
        const double u = ((px - ax) * (cy - ay) - (py - ay) * (cx - ax)) / det;
        const double v = ((py - ay) * (bx - ax) - (px - ax) * (by - ay)) / det;
        if (u >= -1e-12 && v >= -1e-12 && u + v <= 1 + 1e-12) {
            return (1 - u - v) * z[tri[0]] + u * z[tri[1]] + v * z[tri[2]];
        }
    }
    return std::nan("");
}

const std::vector<TinPoint> kSquare = {{0, 0}, {16, 0}, {16, 16}, {0, 16}};

TEST(AdaptiveTin, PlainPolygonIsItsConstrainedTriangulation) {
    auto r = adaptive_tin(kSquare, {}, std::nullopt);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->vertices, (std::vector<double>{0, 0, 16, 0, 16, 16, 0, 16}));
    ASSERT_EQ(r->triangles.size(), 6u);
    for (std::size_t t = 0; t < 2; ++t) EXPECT_DOUBLE_EQ(signed_area(*r, t), 128.0);
}

TEST(AdaptiveTin, InvalidBoundaries) {
    const std::vector<std::vector<TinPoint>> bad = {
        {},
        {{0, 0}, {1, 1}},
        {{0, 0}, {1, 1}, {2, 2}, {3, 3}},
        {{0, 0}, {1, 1}, {1, 0}, {0, 1}},  // bow-tie
        {{0, 0}, {1, 0}, {std::nan(""), 1}},
        {{0, 0}, {1e61, 0}, {0, 1}},
        {{0, 0}, {1, 0}, {1e-44, 1}},
    };
    for (const auto& b : bad) {
        auto r = adaptive_tin(b, {}, std::nullopt);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message, kTinInvalidBoundary);
    }
}

TEST(AdaptiveTin, ParametersAreCheckedFirst) {
    StructuredGrid g = make_grid(2, [](double, double) { return 0.0; });
    for (double bad : {0.0, -1.0, std::nan("")}) {
        std::vector<TinSurface> s = {{&g, {}, 1.0, bad}};
        auto r = adaptive_tin({}, s, std::nullopt);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message, kTinNonPositiveParameter);
        s[0] = {&g, {}, bad, 1.0};
        r = adaptive_tin({}, s, std::nullopt);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message, kTinNonPositiveParameter);
        r = adaptive_tin({}, {}, bad);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message, kTinNonPositiveParameter);
    }
}

TEST(AdaptiveTin, RefinedSurfaceFitsEverySample) {
    auto f = [](double x, double y) { return std::sin(x * 0.7) * 5.0 + 0.05 * y * y; };
    StructuredGrid g = make_grid(16, f);
    TinSurface surface{&g, {}, 0.5, 0.1};
    for (int i = 1; i < 32; ++i) {
        for (int j = 1; j < 32; ++j) {
            const double x = j * 0.5, y = i * 0.5;
            surface.samples.push_back({x, y, StructuredGrid::query(g, x, y, true).value});
        }
    }
    auto r = adaptive_tin(kSquare, {surface}, std::nullopt);
    ASSERT_TRUE(r.ok());
    const std::size_t nv = r->vertices.size() / 2;
    EXPECT_GT(nv, 4u);
    std::vector<double> z(nv);
    for (std::size_t k = 0; k < nv; ++k) {
        z[k] = StructuredGrid::query(g, r->vertices[2 * k], r->vertices[2 * k + 1], true).value;
    }
    double area = 0;
    for (std::size_t t = 0; t < r->triangles.size() / 3; ++t) {
        const double a = signed_area(*r, t);
        EXPECT_GT(a, 0.0);
        area += a;
    }
    EXPECT_NEAR(area, 256.0, 1e-9);
    for (const TinSample& s : surface.samples) {
        EXPECT_LE(std::fabs(interpolate(*r, z, s.x, s.y) - s.z), 0.1 * (1 + 1e-9));
    }
}

TEST(AdaptiveTin, MaxEdgeAloneRefines) {
    auto r = adaptive_tin(kSquare, {}, 3.0);
    ASSERT_TRUE(r.ok());
    for (std::size_t t = 0; t < r->triangles.size() / 3; ++t) {
        const auto* tri = &r->triangles[3 * t];
        for (int k = 0; k < 3; ++k) {
            const auto a = tri[k], b = tri[(k + 1) % 3];
            const double dx = r->vertices[2 * a] - r->vertices[2 * b];
            const double dy = r->vertices[2 * a + 1] - r->vertices[2 * b + 1];
            EXPECT_LE(dx * dx + dy * dy, 9.0);
        }
    }
}

TEST(AdaptiveTin, NaNSampleCoordinatesAreExcluded) {
    StructuredGrid g = make_grid(16, [](double x, double) { return x * x; });
    const double nan = std::nan("");
    TinSurface surface{&g, {{nan, 3.0, 1.0}, {3.0, nan, 1.0}, {INFINITY, 2.0, 1.0}}, 1e9, 0.01};
    auto r = adaptive_tin(kSquare, {surface}, std::nullopt);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->vertices.size(), 8u);
}

}  // namespace
}  // namespace orvik
