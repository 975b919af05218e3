#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "coastline/coastline.hpp"

namespace {

using orvik::Coastline;
using orvik::Segment;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

orvik::StridedView<float, 3> view_of(const std::vector<Segment>& segs) {
    orvik::StridedView<float, 3> v;
    v.data = reinterpret_cast<const char*>(segs.data());
    v.shape = {static_cast<std::ptrdiff_t>(segs.size()), 2, 2};
    v.strides = {16, 8, 4};
    return v;
}

Coastline make_from(const orvik::StridedView<float, 3>& v) {
    auto r = Coastline::build(v);
    EXPECT_TRUE(r.ok());
    return std::move(r).value();
}

Coastline make(const std::vector<Segment>& segs) {
    return make_from(view_of(segs));
}

// The rules, written out plainly over every segment.
float reference_d2(const Segment& s, float px, float py) {
    const float dx = s.bx - s.ax, dy = s.by - s.ay;
    const float len2 = dy * dy + dx * dx;
    float qx = s.ax, qy = s.ay;
    if (len2 > 0) {
        float t = ((py - s.ay) * dy + (px - s.ax) * dx) / len2;
        t = t < 0 ? 0 : (t > 1 ? 1 : t);
        qx = s.ax + dx * t;
        qy = s.ay + t * dy;
    }
    return (py - qy) * (py - qy) + (px - qx) * (px - qx);
}

float reference(const std::vector<Segment>& segs, float px, float py) {
    if (segs.empty()) return kInf;
    if (std::isnan(px) || std::isnan(py)) return kNaN;
    float far = -kInf;
    for (const auto& s : segs) {
        if (!std::isnan(s.ax)) far = std::max(far, s.ax);
        if (!std::isnan(s.bx)) far = std::max(far, s.bx);
    }
    far = far + 10.0f;
    float best = kInf;
    bool number = false;
    for (const auto& s : segs) {
        const float d2 = reference_d2(s, px, py);
        if (!std::isnan(d2)) {
            number = true;
            best = std::min(best, d2);
        }
    }
    const float d = number ? std::sqrt(best) : kNaN;
    const float rx0 = std::fmin(px, far), rx1 = std::fmax(px, far);
    bool in = false;
    for (const auto& s : segs) {
        const float bx0 = std::fmin(s.ax, s.bx), bx1 = std::fmax(s.ax, s.bx);
        const float by0 = std::fmin(s.ay, s.by), by1 = std::fmax(s.ay, s.by);
        if (!(bx0 <= rx1 && bx1 >= rx0 && by0 <= py && by1 >= py)) continue;
        if (std::min(s.ay, s.by) <= py && py < std::max(s.ay, s.by)) {
            const float xc = ((s.bx - s.ax) * (py - s.ay)) / (s.by - s.ay) + s.ax;
            if (xc > px) in = !in;
        }
    }
    return in ? -d : d;
}

bool same_bits(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<Segment> ring(const std::vector<std::pair<float, float>>& pts) {
    std::vector<Segment> out;
    for (std::size_t i = 0; i < pts.size(); ++i) {
        const auto& p = pts[i];
        const auto& q = pts[(i + 1) % pts.size()];
        out.push_back({p.first, p.second, q.first, q.second});
    }
    return out;
}

std::vector<Segment> square(float x0, float y0, float x1, float y1) {
    return ring({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}});
}

// A star-shaped ring of n vertices with random radii.
std::vector<Segment> star(std::mt19937& rng, int n, float cx, float cy, float r) {
    std::uniform_real_distribution<float> radius(0.3f * r, r);
    std::vector<std::pair<float, float>> pts;
    for (int i = 0; i < n; ++i) {
        const double a = 2.0 * std::numbers::pi * i / n;
        const float rr = radius(rng);
        pts.push_back(
            {cx + rr * static_cast<float>(std::cos(a)), cy + rr * static_cast<float>(std::sin(a))});
    }
    return ring(pts);
}

// Points that hit the awkward cases: vertex heights, endpoints, midpoints.
std::vector<std::pair<float, float>> probe_points(const std::vector<Segment>& segs,
                                                  std::mt19937& rng, int random_count, float lo,
                                                  float hi) {
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<std::pair<float, float>> pts;
    for (int i = 0; i < random_count; ++i) pts.push_back({u(rng), u(rng)});
    for (std::size_t i = 0; i < segs.size(); i += 3) {
        const auto& s = segs[i];
        pts.push_back({u(rng), s.ay});
        pts.push_back({s.ax, s.ay});
        pts.push_back({s.ax * 0.5f + s.bx * 0.5f, s.ay * 0.5f + s.by * 0.5f});
    }
    return pts;
}

void expect_matches_reference(const std::vector<Segment>& segs,
                              const std::vector<std::pair<float, float>>& pts) {
    const Coastline c = make(segs);
    std::vector<float> xs, ys;
    for (const auto& p : pts) {
        xs.push_back(p.first);
        ys.push_back(p.second);
    }
    std::vector<float> out(pts.size());
    orvik::StridedView<float, 1> xv{
        reinterpret_cast<const char*>(xs.data()), {(std::ptrdiff_t)xs.size()}, {4}};
    orvik::StridedView<float, 1> yv{
        reinterpret_cast<const char*>(ys.data()), {(std::ptrdiff_t)ys.size()}, {4}};
    Coastline::signed_distance_many(c, xv, yv, out.data());
    int mismatches = 0;
    for (std::size_t k = 0; k < pts.size(); ++k) {
        const float want = reference(segs, xs[k], ys[k]);
        if (!same_bits(out[k], want)) {
            if (++mismatches <= 5) {
                ADD_FAILURE() << "point (" << xs[k] << ", " << ys[k] << "): got " << out[k]
                              << ", want " << want;
            }
        }
        if (k % 7 == 0) {
            EXPECT_TRUE(same_bits(Coastline::signed_distance(c, xs[k], ys[k]), out[k]));
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(Coastline, UnitSquare) {
    const Coastline c = make(square(0, 0, 1, 1));
    EXPECT_EQ(Coastline::signed_distance(c, 0.5f, 0.5f), -0.5f);
    EXPECT_EQ(Coastline::signed_distance(c, 2.0f, 0.5f), 1.0f);
    EXPECT_EQ(Coastline::signed_distance(c, 0.5f, -3.0f), 3.0f);
    EXPECT_EQ(c.far_x, 11.0f);
    EXPECT_EQ(c.segments.size(), 4u);
}

TEST(Coastline, PointOnSegmentIsZero) {
    const Coastline c = make(square(0, 0, 1, 1));
    // On the left edge, half-way up: the left edge's crossing is not right of
    // the point, the right edge's is, so the point counts as inside.
    const float d = Coastline::signed_distance(c, 0.0f, 0.5f);
    EXPECT_EQ(d, 0.0f);
    EXPECT_TRUE(std::signbit(d));
    const float e = Coastline::signed_distance(c, 1.0f, 0.5f);
    EXPECT_EQ(e, 0.0f);
    EXPECT_FALSE(std::signbit(e));
}

TEST(Coastline, NestedRings) {
    auto segs = square(0, 0, 10, 10);
    const auto lake = square(3, 3, 7, 7);
    segs.insert(segs.end(), lake.begin(), lake.end());
    const auto islet = square(4.5f, 4.5f, 5.5f, 5.5f);
    segs.insert(segs.end(), islet.begin(), islet.end());
    const Coastline c = make(segs);
    EXPECT_EQ(Coastline::signed_distance(c, 1.0f, 5.0f), -1.0f);  // on the island
    EXPECT_EQ(Coastline::signed_distance(c, 4.0f, 5.0f), 0.5f);   // in the lake
    EXPECT_EQ(Coastline::signed_distance(c, 5.0f, 5.0f), -0.5f);  // on the islet
    EXPECT_EQ(Coastline::signed_distance(c, -2.0f, 5.0f), 2.0f);  // at sea
}

TEST(Coastline, PointLevelWithVertex) {
    // A diamond: the ray through the left and right vertices, and a ray that
    // only touches the top vertex.
    const auto segs = ring({{0, -1}, {1, 0}, {0, 1}, {-1, 0}});
    const Coastline c = make(segs);
    EXPECT_LT(Coastline::signed_distance(c, 0.0f, 0.0f), 0.0f);
    EXPECT_GT(Coastline::signed_distance(c, -2.0f, 0.0f), 0.0f);
    EXPECT_GT(Coastline::signed_distance(c, 0.0f, 1.5f), 0.0f);
    EXPECT_GT(Coastline::signed_distance(c, -0.5f, 1.0f), 0.0f);  // touches the top vertex only
    expect_matches_reference(
        segs, {{0, 0}, {-2, 0}, {-0.5f, 1}, {-0.5f, -1}, {0.25f, 0}, {0, 1}, {0, -1}});
}

TEST(Coastline, FarRightIsOutside) {
    const Coastline c = make(square(0, 0, 1, 1));
    EXPECT_EQ(Coastline::signed_distance(c, 100.0f, 0.5f), 99.0f);
    EXPECT_EQ(Coastline::signed_distance(c, 11.5f, 0.5f), 10.5f);
}

TEST(Coastline, EmptyIsPlusInfinity) {
    const Coastline c = make({});
    EXPECT_EQ(c.far_x, -kInf);
    EXPECT_EQ(Coastline::signed_distance(c, 0.0f, 0.0f), kInf);
    EXPECT_EQ(Coastline::signed_distance(c, kNaN, 0.0f), kInf);
}

TEST(Coastline, ShapeMessage) {
    std::vector<float> data(18);
    orvik::StridedView<float, 3> v{
        reinterpret_cast<const char*>(data.data()), {3, 2, 3}, {24, 12, 4}};
    auto r = Coastline::build(v);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, orvik::ErrorKind::Value);
    EXPECT_EQ(r.error().message, "segments must have shape (S, 2, 2), got (3, 2, 3)");
    orvik::StridedView<float, 3> w{
        reinterpret_cast<const char*>(data.data()), {1, 3, 2}, {24, 8, 4}};
    EXPECT_EQ(Coastline::build(w).error().message,
              "segments must have shape (S, 2, 2), got (1, 3, 2)");
}

TEST(Coastline, StridedInputIsCopiedInOrder) {
    // Segment k of a reversed, every-other-row view.
    std::vector<float> data;
    for (int k = 0; k < 6; ++k) {
        for (float v : {float(k), float(10 * k), float(k + 100), float(10 * k + 1)})
            data.push_back(v);
    }
    orvik::StridedView<float, 3> v{
        reinterpret_cast<const char*>(data.data() + 20), {3, 2, 2}, {-32, 8, 4}};
    const Coastline c = make_from(v);
    ASSERT_EQ(c.segments.size(), 3u);
    EXPECT_EQ(c.segments[0].ax, 5.0f);
    EXPECT_EQ(c.segments[1].ay, 30.0f);
    EXPECT_EQ(c.segments[2].bx, 101.0f);
    EXPECT_EQ(c.far_x, 115.0f);
}

TEST(Coastline, MatchesReferenceOnRandomIslands) {
    std::mt19937 rng(5);
    std::vector<Segment> segs;
    for (int i = 0; i < 6; ++i) {
        auto s = star(rng, 200 + 150 * i, float(i % 3) * 30.0f, float(i / 3) * 30.0f, 12.0f);
        segs.insert(segs.end(), s.begin(), s.end());
    }
    auto lake = star(rng, 100, 0.0f, 0.0f, 2.0f);  // a lake inside the first island
    segs.insert(segs.end(), lake.begin(), lake.end());
    expect_matches_reference(segs, probe_points(segs, rng, 3000, -20.0f, 80.0f));
}

TEST(Coastline, OrderAndOrientationDoNotMatter) {
    std::mt19937 rng(9);
    auto segs = star(rng, 500, 0.0f, 0.0f, 10.0f);
    auto inner = star(rng, 300, 0.0f, 0.0f, 2.5f);
    segs.insert(segs.end(), inner.begin(), inner.end());
    auto shuffled = segs;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    auto flipped = shuffled;
    for (std::size_t i = 0; i < flipped.size(); i += 2) {
        auto& s = flipped[i];
        s = {s.bx, s.by, s.ax, s.ay};
    }
    const Coastline a = make(segs), b = make(shuffled), c = make(flipped);
    for (const auto& p : probe_points(segs, rng, 2000, -12.0f, 12.0f)) {
        const float da = Coastline::signed_distance(a, p.first, p.second);
        // The order of segments cannot change a minimum or a parity.
        EXPECT_TRUE(same_bits(da, Coastline::signed_distance(b, p.first, p.second)))
            << p.first << ", " << p.second;
        // Reversing a segment only changes how its closest point is rounded.
        const float dc = Coastline::signed_distance(c, p.first, p.second);
        EXPECT_NEAR(da, dc, 1e-5f) << p.first << ", " << p.second;
        if (std::fabs(da) > 1e-5f) {
            EXPECT_EQ(std::signbit(da), std::signbit(dc)) << p.first << ", " << p.second;
        }
    }
}

TEST(Coastline, MatchesReferenceOnSegmentSoup) {
    // Unjoined segments of every length, degenerate and axis-parallel ones,
    // and coordinates far from the origin.
    std::mt19937 rng(13);
    std::uniform_real_distribution<float> pos(-1000.0f, 1000.0f);
    std::uniform_real_distribution<float> len(-50.0f, 50.0f);
    std::vector<Segment> segs;
    for (int i = 0; i < 3000; ++i) {
        const float x = pos(rng), y = pos(rng);
        switch (i % 5) {
            case 0:
                segs.push_back({x, y, x, y});
                break;
            case 1:
                segs.push_back({x, y, x + len(rng), y});
                break;
            case 2:
                segs.push_back({x, y, x, y + len(rng)});
                break;
            default:
                segs.push_back({x, y, x + len(rng), y + len(rng)});
                break;
        }
    }
    expect_matches_reference(segs, probe_points(segs, rng, 3000, -1200.0f, 1200.0f));

    std::vector<Segment> far;
    std::uniform_real_distribution<float> tiny(-1.0f, 1.0f);
    for (int i = 0; i < 2000; ++i) {
        const float x = 3.0e6f + tiny(rng) * 100.0f, y = -7.0e6f + tiny(rng) * 100.0f;
        far.push_back({x, y, x + tiny(rng) * 0.01f, y + tiny(rng) * 0.01f});
    }
    std::vector<std::pair<float, float>> pts;
    for (const auto& s : far) {
        pts.push_back({s.ax + tiny(rng) * 0.001f, s.ay + tiny(rng) * 0.001f});
        pts.push_back({s.bx, s.by});
    }
    expect_matches_reference(far, pts);
}

TEST(Coastline, NonFiniteCoordinates) {
    std::mt19937 rng(17);
    auto segs = star(rng, 400, 0.0f, 0.0f, 10.0f);
    segs[3].bx = kNaN;
    segs[10].ay = kNaN;
    segs[20] = {kNaN, kNaN, kNaN, kNaN};
    segs[30].by = kInf;
    segs[40].ax = -kInf;
    segs.push_back({0.0f, -kInf, 0.0f, kInf});
    auto pts = probe_points(segs, rng, 2000, -15.0f, 15.0f);
    pts.push_back({kNaN, 0.0f});
    pts.push_back({0.0f, kNaN});
    pts.push_back({kInf, 0.0f});
    pts.push_back({0.0f, -kInf});
    expect_matches_reference(segs, pts);

    const Coastline c = make({{kNaN, kNaN, kNaN, kNaN}, {kNaN, 1.0f, 2.0f, kNaN}});
    EXPECT_TRUE(std::isnan(Coastline::signed_distance(c, 0.0f, 0.0f)));
    EXPECT_EQ(c.far_x, 12.0f);
}

TEST(Coastline, LongSegmentsStayCorrect) {
    // Segments spanning the whole height force coarse buckets.
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> u(-100.0f, 100.0f);
    std::vector<Segment> segs;
    for (int i = 0; i < 500; ++i) segs.push_back({u(rng), -100.0f, u(rng), 100.0f});
    for (int i = 0; i < 500; ++i) segs.push_back({u(rng), u(rng), u(rng), u(rng)});
    expect_matches_reference(segs, probe_points(segs, rng, 2000, -120.0f, 120.0f));
}

TEST(Coastline, SmallCoastlines) {
    std::mt19937 rng(23);
    for (int n = 1; n <= 9; ++n) {
        std::vector<Segment> segs;
        std::uniform_real_distribution<float> u(-5.0f, 5.0f);
        for (int i = 0; i < n; ++i) segs.push_back({u(rng), u(rng), u(rng), u(rng)});
        expect_matches_reference(segs, probe_points(segs, rng, 300, -7.0f, 7.0f));
    }
}

}  // namespace

namespace {

TEST(Coastline, DeepIndexUsesALargerStack) {
    // Geometrically spaced segments give a lopsided hierarchy.
    std::vector<Segment> segs;
    for (int i = -149; i < 60; ++i) {
        const float x = std::ldexp(1.0f, i);
        segs.push_back({x, 0.0f, x, x});
        segs.push_back({x, x, x * 1.25f, x});
    }
    const Coastline c = make(segs);
    std::vector<std::pair<float, float>> pts;
    for (int i = -149; i < 60; i += 2) {
        const float x = std::ldexp(1.0f, i);
        pts.push_back({x * 1.5f, x * 0.5f});
        pts.push_back({-x, x});
    }
    expect_matches_reference(segs, pts);
    EXPECT_GT(c.index.depth, 20u);
}

}  // namespace
