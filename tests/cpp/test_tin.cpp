#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "fixtures.hpp"
#include "tin/adaptive_tin.hpp"
#include "tin/chunked_vector.hpp"
#include "tin/measured_face.hpp"
#include "tin/refine_options.hpp"

namespace orvik {
namespace {

using orvik::testing::view_of;

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

double polygon_area(const std::vector<TinPoint>& poly) {
    double a = 0;
    for (std::size_t k = 0; k < poly.size(); ++k) {
        const TinPoint& p = poly[k];
        const TinPoint& q = poly[(k + 1) % poly.size()];
        a += p.x * q.y - p.y * q.x;
    }
    return 0.5 * a;
}

// A reproducible draw, uniform in [0, 1).
struct Uniform {
    unsigned state;
    double operator()() {
        state = state * 1103515245u + 12345u;
        return static_cast<double>((state >> 8) & 0xFFFF) / 65536.0;
    }
};

// A rough surface over [0, 40]^2, and samples of it on a lattice `step`
// apart.
StructuredGrid rough_grid() {
    return make_grid(40, [](double x, double y) {
        return std::sin(x * 0.9) * 3.0 + std::cos(y * 0.7) * 2.0 + 0.01 * x * y;
    });
}

std::vector<TinSample> lattice_samples(const StructuredGrid& g, double step) {
    std::vector<TinSample> samples;
    for (double y = 0; y <= 40; y += step) {
        for (double x = 0; x <= 40; x += step) {
            samples.push_back({x, y, StructuredGrid::query(g, x, y, true).value});
        }
    }
    return samples;
}

// Concave star-shaped outlines (either orientation), two surfaces, samples on
// a lattice that also hits outline points exactly, with and without max_edge.
TEST(AdaptiveTin, RandomStarPolygonsTileAndRefine) {
    StructuredGrid rough = rough_grid();
    StructuredGrid holes = make_grid(40, [](double x, double y) {
        return (x > 25 && y < 10) ? std::nan("") : 0.3 * x - 0.2 * y;
    });
    Uniform uniform{12345};
    for (int round = 0; round < 12; ++round) {
        const int n = 5 + round % 7;
        std::vector<TinPoint> poly;
        for (int k = 0; k < n; ++k) {
            const double angle = 2 * M_PI * k / n;
            const double radius = 6 + 12 * uniform();
            // Rounded to quarter units so that lattice samples fall on the outline.
            poly.push_back({std::round((20 + radius * std::cos(angle)) * 4) / 4,
                            std::round((20 + radius * std::sin(angle)) * 4) / 4});
        }
        if (round % 2) std::reverse(poly.begin(), poly.end());
        const std::vector<TinSample> a = lattice_samples(rough, 0.5);
        std::vector<TinSample> b;
        for (const TinSample& p : lattice_samples(holes, 0.5)) {
            if (static_cast<int>(p.x * 2 + p.y * 2) % 3 == 0) b.push_back(p);
        }
        std::vector<TinSurface> surfaces = {{&rough, a, 0.75, 0.2}, {&holes, b, 1.5, 0.05}};
        const std::optional<double> max_edge =
            round % 3 == 0 ? std::optional<double>(2.5) : std::nullopt;
        auto r = adaptive_tin(poly, surfaces, max_edge);
        ASSERT_TRUE(r.ok()) << r.error().message;
        const std::size_t nv = r->vertices.size() / 2;
        for (std::size_t k = 0; k < poly.size(); ++k) {
            EXPECT_EQ(r->vertices[2 * k], poly[k].x);
            EXPECT_EQ(r->vertices[2 * k + 1], poly[k].y);
        }
        double area = 0;
        for (std::size_t t = 0; t < r->triangles.size() / 3; ++t) {
            for (int k = 0; k < 3; ++k) {
                ASSERT_GE(r->triangles[3 * t + k], 0);
                ASSERT_LT(static_cast<std::size_t>(r->triangles[3 * t + k]), nv);
            }
            const double s = signed_area(*r, t);
            EXPECT_GT(s, 0.0);
            area += s;
            if (max_edge) {
                const auto* tri = &r->triangles[3 * t];
                for (int k = 0; k < 3; ++k) {
                    const double dx = r->vertices[2 * tri[k]] - r->vertices[2 * tri[(k + 1) % 3]];
                    const double dy =
                        r->vertices[2 * tri[k] + 1] - r->vertices[2 * tri[(k + 1) % 3] + 1];
                    EXPECT_LE(dx * dx + dy * dy, 2.5 * 2.5 * (1 + 1e-12));
                }
            }
        }
        EXPECT_NEAR(area, std::fabs(polygon_area(poly)), 1e-9 * std::fabs(polygon_area(poly)));
        EXPECT_GT(nv, poly.size());
    }
}

// Each shortcut of the refinement (refreshing only the faces CGAL touched,
// trusting the filtered test against recently measured triangles, skipping
// constraint edges that needed no boundary point before, taking every face
// as inside when the constraints are the hull, measuring in AVX2 lanes where
// the processor has them) must give
// exactly the result of the refinement without it: the same vertices in the
// same order and the same triangles. Concave outlines make CGAL delete faces
// while it inserts the constraints, lattice samples fall on edges and
// vertices, scattered samples do not, and max_edge splits constraint edges.
TEST(AdaptiveTin, ShortcutsLeaveTheResultUnchanged) {
    StructuredGrid rough = rough_grid();
    StructuredGrid steep = make_grid(40, [](double x, double y) {
        return (x > 25 && y < 10) ? std::nan("") : 4.0 * std::sin(x * y * 0.05);
    });
    Uniform uniform{2024};
    const RefineOptions variants[] = {
        {true, false, false, false, false}, {false, true, false, false, false},
        {false, false, true, false, false}, {false, false, false, true, false},
        {false, false, false, false, true}, {true, true, true, true, true}};
    for (int round = 0; round < 10; ++round) {
        const int n = 4 + round % 6;
        std::vector<TinPoint> poly;
        for (int k = 0; k < n; ++k) {
            const double angle = 2 * M_PI * (k + 0.3 * uniform()) / n;
            // Round 0's outline lies on a circle: convex, so its constraints
            // are the hull.
            const double spread = 5 + 14 * uniform();
            const double radius = round == 0 ? 14.0 : spread;
            poly.push_back({std::round((20 + radius * std::cos(angle)) * 2) / 2,
                            std::round((20 + radius * std::sin(angle)) * 2) / 2});
        }
        if (round % 2) std::reverse(poly.begin(), poly.end());
        const std::vector<TinSample> lattice = lattice_samples(rough, 0.5);
        std::vector<TinSample> scattered;
        for (int k = 0; k < 1500; ++k) {
            const double x = 40 * uniform(), y = 40 * uniform();
            scattered.push_back({x, y, StructuredGrid::query(steep, x, y, true).value});
        }
        const double tolerance = round % 3 == 0 ? 0.02 : 0.3;
        std::vector<TinSurface> surfaces = {{&rough, lattice, 0.5, tolerance},
                                            {&steep, scattered, 1.25, 2 * tolerance}};
        const std::optional<double> max_edge =
            round % 4 == 1 ? std::optional<double>(1.5) : std::nullopt;
        auto plain = adaptive_tin(poly, surfaces, max_edge);
        ASSERT_TRUE(plain.ok()) << plain.error().message;
        EXPECT_GT(plain->vertices.size(), 2 * poly.size() + 200);
        for (const RefineOptions& options : variants) {
            auto checked = adaptive_tin(poly, surfaces, max_edge, options);
            ASSERT_TRUE(checked.ok()) << checked.error().message;
            EXPECT_EQ(plain->vertices, checked->vertices) << "round " << round;
            EXPECT_EQ(plain->triangles, checked->triangles) << "round " << round;
        }
    }
}

// Every edge of the outline fits the surface within the tolerance at its
// test points, spaced boundary_spacing apart: here an edge 600 long with a
// narrow ridge crossing it far past its first few hundred test points, which
// the interior samples, far from it, do not see.
TEST(AdaptiveTin, OutlineFitsAtEveryTestPoint) {
    const auto ridge = [](double x, double y) {
        return 40.0 * std::exp(-(x - 450.5) * (x - 450.5) / 2.0) * std::exp(-y / 5.0);
    };
    StructuredGrid g = make_grid(600, ridge);
    const double spacing = 1.0, tolerance = 0.5;
    TinSurface surface{&g, {}, spacing, tolerance};
    for (double x = 100.0; x <= 500.0; x += 100.0) {
        surface.samples.push_back({x, 300.0, StructuredGrid::query(g, x, 300.0, true).value});
    }
    const std::vector<TinPoint> square = {{0, 0}, {600, 0}, {600, 600}, {0, 600}};
    auto r = adaptive_tin(square, {surface}, std::nullopt);
    ASSERT_TRUE(r.ok());
    const auto on_bottom = [&](std::int64_t v) { return r->vertices[2 * v + 1] == 0.0; };
    std::size_t bottom_edges = 0;
    for (std::size_t t = 0; t < r->triangles.size() / 3; ++t) {
        for (int e = 0; e < 3; ++e) {
            const std::int64_t a = r->triangles[3 * t + e], b = r->triangles[3 * t + (e + 1) % 3];
            if (!on_bottom(a) || !on_bottom(b)) continue;
            ++bottom_edges;
            const double xa = r->vertices[2 * a], xb = r->vertices[2 * b];
            const double za = StructuredGrid::query(g, xa, 0.0, true).value;
            const double zb = StructuredGrid::query(g, xb, 0.0, true).value;
            const auto n = static_cast<int>(std::ceil(std::fabs(xb - xa) / spacing));
            for (int k = 1; k < n; ++k) {
                const double u = static_cast<double>(k) / n;
                const double z = StructuredGrid::query(g, u * (xb - xa) + xa, 0.0, true).value;
                EXPECT_LE(std::fabs(u * (zb - za) + za - z), tolerance * (1 + 1e-9))
                    << "edge " << xa << " to " << xb << ", point " << k;
            }
        }
    }
    // The ridge split the bottom edge.
    EXPECT_GT(bottom_edges, 1u);
}

// The tolerance test of blocks of four samples gives in SSE2 pairs what it
// gives one sample at a time, and what it settles is certain: strictly
// inside the triangle beyond the filter's bounds (corners and samples on
// fine lattices, so that the edge functions are exact and an independent
// computation in long double decides), and fitting within the tolerance, of
// NaN value, or below the limit. One measured triangle and one test are
// reused for every triangle, as in a pass: the test must not keep the
// figures of the face it saw before.
TEST(MeasuredFace, BlockTestAgreesWithOneSampleAndIsCertain) {
    std::mt19937 rng(21);
    std::uniform_int_distribution<int> corner(0, 512), point(-64, 1088), coin(0, 7);
    std::normal_distribution<double> noise(0.0, 1.0);
    tin::FaceWorst worst;
    tin::MeasuredFace m;
    tin::BlockTest<double> one;
    tin::BlockTest<lanes::D2> pairs;
    std::size_t settled = 0;
    for (int round = 0; round < 300; ++round) {
        long double c[3][2];
        for (auto& v : c) v[0] = corner(rng) / 8.0L, v[1] = corner(rng) / 8.0L;
        const long double det =
            (c[1][0] - c[0][0]) * (c[2][1] - c[0][1]) - (c[1][1] - c[0][1]) * (c[2][0] - c[0][0]);
        if (det <= 0) continue;  // counter-clockwise triangles, as CGAL's
        tin::TriangleLanes<double>& t = m.t;
        t.xa = double(c[0][0]), t.ya = double(c[0][1]), t.xb = double(c[1][0]);
        t.yb = double(c[1][1]);
        t.cax = double(c[2][0] - c[0][0]), t.cay = double(c[2][1] - c[0][1]);
        t.bax = double(c[1][0] - c[0][0]), t.bay = double(c[1][1] - c[0][1]);
        t.cbx = double(c[2][0] - c[1][0]), t.cby = double(c[2][1] - c[1][1]);
        t.det = double(det);
        t.za = noise(rng) * 10, t.zb = noise(rng) * 10, t.zc = noise(rng) * 10;
        for (double& b : t.bound) b = coin(rng) < 4 ? 0.0 : 2.0;
        // Each triangle is a face of its own (CGAL's face address).
        m.face = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(64 * (round + 1)));
        m.worst = &worst;
        const double tolerance = 0.05 * (1 + coin(rng)), limit = coin(rng) < 4 ? 0.0 : 0.3;
        std::vector<TinSample> samples(32);
        for (TinSample& p : samples) {
            p.x = point(rng) / 16.0, p.y = point(rng) / 16.0;
            const double u = (p.x - t.xa) * t.cay - (p.y - t.ya) * t.cax;
            const double v = (p.y - t.ya) * t.bax - (p.x - t.xa) * t.bay;
            p.z = ((1 - u / t.det - v / t.det) * t.za + u / t.det * t.zb + v / t.det * t.zc) +
                  noise(rng) * 0.1;
            if (coin(rng) == 0) p.z = std::nan("");
        }
        for (std::size_t k = 0; k < samples.size(); k += 4) {
            const unsigned got = pairs.settled(m, &samples[k], tolerance, limit);
            EXPECT_EQ(got, one.settled(m, &samples[k], tolerance, limit)) << "round " << round;
            for (unsigned l = 0; l < 4; ++l) {
                const TinSample& p = samples[k + l];
                const long double px = p.x, py = p.y;
                const long double e0 =
                    (c[2][0] - c[1][0]) * (py - c[1][1]) - (c[2][1] - c[1][1]) * (px - c[1][0]);
                const long double nu =
                    (px - c[0][0]) * (c[2][1] - c[0][1]) - (py - c[0][1]) * (c[2][0] - c[0][0]);
                const long double nv =
                    (py - c[0][1]) * (c[1][0] - c[0][0]) - (px - c[0][0]) * (c[1][1] - c[0][1]);
                const bool inside = e0 > t.bound[0] && nu > t.bound[1] && nv > t.bound[2];
                const long double z_tin = ((det - nu - nv) * t.za + nu * t.zb + nv * t.zc) / det;
                const long double diff = std::fabs(z_tin - p.z);
                const bool near =
                    std::fabs(diff - tolerance) < 1e-9 || std::fabs(diff - limit) < 1e-9;
                if (!inside) {
                    EXPECT_FALSE((got >> l) & 1u) << "round " << round << " sample " << k + l;
                } else if (!near) {
                    const bool fits = std::isnan(p.z) || diff <= tolerance || diff < limit;
                    EXPECT_EQ(((got >> l) & 1u) != 0, fits)
                        << "round " << round << " sample " << k + l;
                }
                settled += (got >> l) & 1u;
            }
        }
    }
    EXPECT_GT(settled, 150u);
}

// Elements keep their values, their addresses and their alignment (the
// face records are cache-line aligned) while the array grows across chunk
// boundaries.
TEST(ChunkedVector, GrowsWithoutMovingElements) {
    struct alignas(64) Slot {
        std::size_t value;
    };
    ChunkedVector<Slot, 2> v;  // chunks of four
    std::vector<const Slot*> where;
    for (std::size_t k = 0; k < 23; ++k) {
        v.push_back({k * k});
        where.push_back(&v[k]);
        ASSERT_EQ(v.size(), k + 1);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&v[k]) % 64, 0u);
    }
    for (std::size_t k = 0; k < 23; ++k) {
        EXPECT_EQ(v[k].value, k * k);
        EXPECT_EQ(&v[k], where[k]);
    }
    v[9].value = 7;
    EXPECT_EQ(where[9]->value, 7u);
}

}  // namespace
}  // namespace orvik
