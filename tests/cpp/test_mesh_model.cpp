#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <random>

#include "fixtures.hpp"
#include "model/mesh_builder.hpp"
#include "model/mesh_model.hpp"

namespace {

using orvik::DepthAlpha;
using orvik::DepthProfile;
using orvik::Interpolated;
using orvik::MeshBuilderState;
using orvik::MeshModel;
using orvik::Quality;

Quality q_of(float base) {
    return Quality{base, base + 1, base + 2, base + 3, base + 4, 1.0f};
}

MeshBuilderState unit_tet() {
    MeshBuilderState b;
    b.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    b.faces = {{1, 2, 3, 0}};
    b.bounds = {0, 0, 0, 1, 1, 1};
    return b;
}

Interpolated four_qualities() {
    return Interpolated{{Quality{1, 10, 5, 100, 50, 1}, Quality{2, 20, 6, 200, 60, 1},
                         Quality{3, 30, 7, 400, 70, 1}, Quality{4, 40, 8, 800, 80, 1}}};
}

// An n x n x n block of unit cubes, inner vertices moved by up to `jitter`.
MeshBuilderState cube_mesh(int n, float jitter, std::uint32_t seed) {
    MeshBuilderState b;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> j(-jitter, jitter);
    orvik::testing::cube_lattice(b, n, [&](int x, int y, int z) {
        const bool inner = x > 0 && y > 0 && z > 0 && x < n && y < n && z < n;
        return std::array<float, 3>{x + (inner ? j(rng) : 0.f), y + (inner ? j(rng) : 0.f),
                                    z + (inner ? j(rng) : 0.f)};
    });
    b.bounds = {0, 0, 0, float(n), float(n), float(n)};
    return b;
}

bool contains(const orvik::SimplexRecord& s, float x, float y, float z) {
    const float dx = x - s.origin[0], dy = y - s.origin[1], dz = z - s.origin[2];
    const float* m = s.inverse;
    const float w0 = (m[0] * dx + m[3] * dy) + m[6] * dz;
    const float w1 = (m[1] * dx + m[4] * dy) + m[7] * dz;
    const float w2 = (m[2] * dx + m[5] * dy) + m[8] * dz;
    return w2 >= -0.0001f && w0 >= -0.0001f && w1 >= -0.0001f && (w1 + w0) + w2 <= 1.0001f;
}

TEST(MeshBuild, SingleSimplexVertexAndCentroid) {
    MeshBuilderState b = unit_tet();
    auto r = MeshModel::build(b, four_qualities());
    ASSERT_TRUE(r.ok()) << r.error().message;
    const MeshModel& m = r.value();
    EXPECT_TRUE(b.built);
    EXPECT_TRUE(b.vertices.empty());
    EXPECT_EQ(m.vertex_count, 4u);
    EXPECT_EQ(*m.root, 0x80000000u);
    EXPECT_TRUE(m.nodes.empty());
    EXPECT_EQ(MeshModel::tree_depth(m), 0u);

    const auto at_b = MeshModel::query(m, 1, 0, 0);  // vertex 1
    ASSERT_TRUE(at_b);
    EXPECT_FLOAT_EQ(at_b->rho, 2);
    EXPECT_FLOAT_EQ(at_b->qp, 200);

    const auto centre = MeshModel::query(m, 0.25f, 0.25f, 0.25f);
    ASSERT_TRUE(centre);
    EXPECT_NEAR(centre->rho, 2.5, 1e-5);
    EXPECT_NEAR(centre->vp, 25, 1e-4);
    EXPECT_NEAR(centre->qp, 4.0 / (1 / 100.0 + 1 / 200.0 + 1 / 400.0 + 1 / 800.0), 1e-3);
    EXPECT_NEAR(centre->alpha, 1.0, 1e-6);
}

TEST(MeshBuild, ToleranceBand) {
    MeshBuilderState b = unit_tet();
    auto r = MeshModel::build(b, four_qualities());
    ASSERT_TRUE(r.ok());
    // The face x = 0 is where the weight of vertex 1 vanishes; the weight is x.
    EXPECT_TRUE(MeshModel::query(r.value(), -0.00005f, 0.2f, 0.2f));
    EXPECT_FALSE(MeshModel::query(r.value(), -0.001f, 0.2f, 0.2f));
    // The opposite face x + y + z = 1.
    EXPECT_TRUE(MeshModel::query(r.value(), 0.4f, 0.3f, 0.30005f));
    EXPECT_FALSE(MeshModel::query(r.value(), 0.4f, 0.3f, 0.301f));
    EXPECT_FALSE(MeshModel::query(r.value(), std::nanf(""), 0.2f, 0.2f));
}

TEST(MeshBuild, TransformMovesTheModel) {
    MeshBuilderState b = unit_tet();
    b.transform = std::array<float, 16>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 10, 20, 30, 1};
    auto r = MeshModel::build(b, four_qualities());
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(MeshModel::query(r.value(), 0.25f - 10, 0.25f - 20, 0.25f - 30));
    EXPECT_FALSE(MeshModel::query(r.value(), 0.25f, 0.25f, 0.25f));
    const auto& box = r->vertex_aabb;
    EXPECT_FLOAT_EQ(box[0], -10.0f - 0.01f);
    EXPECT_FLOAT_EQ(box[2], -30.0f - 0.01f);
    EXPECT_FLOAT_EQ(box[3], -9.0f + 0.01f);
    EXPECT_FLOAT_EQ(box[5], -29.0f + 0.01f);
}

TEST(MeshBuild, VertexBoxWithoutTransformAndEmptyMesh) {
    MeshBuilderState b = unit_tet();
    auto r = MeshModel::build(b, four_qualities());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->vertex_aabb[0], 0.0f - 0.01f);
    EXPECT_EQ(r->vertex_aabb[4], 1.0f + 0.01f);

    MeshBuilderState empty;
    auto e = MeshModel::build(empty, Interpolated{});
    ASSERT_TRUE(e.ok());
    EXPECT_FALSE(e->root);
    EXPECT_TRUE(e->nodes.empty());
    EXPECT_EQ(e->vertex_aabb[0], std::numeric_limits<float>::max());
    EXPECT_EQ(e->vertex_aabb[3], -std::numeric_limits<float>::max());
    EXPECT_FALSE(MeshModel::query(e.value(), 0, 0, 0));
    EXPECT_EQ(MeshModel::tree_depth(e.value()), 0u);
}

TEST(MeshBuild, InverseOfTheTransform) {
    const std::array<float, 16> a{2, 0, 0, 0, 0, 4, 0, 0, 1, 0, 8, 0, 3, 5, 7, 1};
    std::array<float, 16> inv{};
    ASSERT_TRUE(orvik::invert4(a, inv));
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            float s = 0;
            for (int k = 0; k < 4; ++k) s += a[r * 4 + k] * inv[k * 4 + c];
            EXPECT_NEAR(s, r == c ? 1.0f : 0.0f, 1e-6) << r << c;
        }
    const std::array<float, 16> singular{1, 2, 3, 4, 2, 4, 6, 8, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_FALSE(orvik::invert4(singular, inv));
}

struct Failure {
    const char* what;
    std::function<void(MeshBuilderState&)> edit;
    std::string message;
};

TEST(MeshBuild, Failures) {
    const std::vector<Failure> cases = {
        {"index equal to vertex count", [](MeshBuilderState& b) { b.faces[0][2] = 4; },
         "Model \"\": degenerate or out-of-range simplex"},
        {"index 2^32-1", [](MeshBuilderState& b) { b.faces[0][0] = 0xFFFFFFFFu; },
         "Model \"\": degenerate or out-of-range simplex"},
        {"repeated vertex", [](MeshBuilderState& b) { b.faces[0][3] = b.faces[0][0]; },
         "Model \"\": degenerate or out-of-range simplex"},
        {"flat",
         [](MeshBuilderState& b) {
             b.vertices[0] = {0.5f, 0.5f, 0.0f};
             b.faces[0] = {0, 1, 2, 3};
             b.vertices[3] = {0.2f, 0.7f, 0.0f};
         },
         "Model \"\": degenerate or out-of-range simplex"},
        {"named",
         [](MeshBuilderState& b) {
             b.name = "a\"b";
             b.faces[0][1] = 9;
         },
         "Model \"a\\\"b\": degenerate or out-of-range simplex"},
        {"coverage",
         [](MeshBuilderState& b) {
             b.vertices.push_back({5, 5, 5});
         },
         "Model \"\": the field doesn't cover every vertex or simplex of the mesh"},
        {"singular", [](MeshBuilderState& b) { b.transform = std::array<float, 16>{}; },
         "transform is not invertible (its determinant is zero)"},
    };
    for (const auto& c : cases) {
        MeshBuilderState b = unit_tet();
        c.edit(b);
        auto r = MeshModel::build(b, four_qualities());
        ASSERT_FALSE(r.ok()) << c.what;
        EXPECT_EQ(r.error().kind, orvik::ErrorKind::Value) << c.what;
        EXPECT_EQ(r.error().message, c.message) << c.what;
        EXPECT_TRUE(b.built) << c.what;
        EXPECT_TRUE(b.name.empty()) << c.what;
        auto again = MeshModel::build(b, four_qualities());
        ASSERT_FALSE(again.ok());
        EXPECT_EQ(again.error().message, "MeshModelBuilder has already built a model");
    }
}

TEST(MeshBuild, NanDeterminantPasses) {
    MeshBuilderState b = unit_tet();
    b.vertices[0] = {std::nanf(""), 0, 0};
    auto r = MeshModel::build(b, four_qualities());
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(MeshModel::query(r.value(), 0.25f, 0.25f, 0.25f));
}

class RandomMesh : public ::testing::TestWithParam<int> {};

TEST_P(RandomMesh, QueryAgreesWithBruteForce) {
    const int n = GetParam();
    MeshBuilderState b = cube_mesh(n, 0.2f, 5u + n);
    const std::size_t nv = b.vertices.size();
    const auto faces = b.faces;
    const auto vertices = b.vertices;
    std::vector<Quality> qualities;
    for (std::size_t i = 0; i < nv; ++i) qualities.push_back(q_of(float(i)));
    const Interpolated interp{std::move(qualities)};
    auto r = MeshModel::build(b, interp);
    ASSERT_TRUE(r.ok()) << r.error().message;
    const MeshModel& m = r.value();
    ASSERT_EQ(m.simplices.size(), faces.size());
    EXPECT_EQ(m.nodes.size() > 0, faces.size() > 4);

    // Every face appears once in leaf order, with its own record.
    std::vector<int> seen(faces.size(), 0);
    for (std::size_t i = 0; i < m.faces.size(); ++i) {
        for (std::size_t f = 0; f < faces.size(); ++f) {
            if (faces[f] == m.faces[i]) ++seen[f];
        }
        EXPECT_EQ(m.simplices[i].origin[0], vertices[m.faces[i][3]][0]);
    }
    for (int s : seen) EXPECT_EQ(s, 1);

    std::mt19937 rng(99);
    std::uniform_real_distribution<float> pos(-0.5f, n + 0.5f);
    int found = 0;
    for (int q = 0; q < 2000; ++q) {
        const float x = pos(rng), y = pos(rng), z = pos(rng);
        std::vector<std::size_t> holders;
        for (std::size_t i = 0; i < m.simplices.size(); ++i) {
            if (contains(m.simplices[i], x, y, z)) holders.push_back(i);
        }
        const auto got = MeshModel::query(m, x, y, z);
        ASSERT_EQ(got.has_value(), !holders.empty()) << x << " " << y << " " << z;
        if (!got) continue;
        ++found;
        if (holders.size() == 1) {
            // Interpolated rho of q_of(i) is the weighted vertex index.
            // Independent weights in double by Cramer's rule; rho of q_of(i)
            // is i, so the interpolated rho is the weighted vertex index.
            const auto& f = m.faces[holders[0]];
            double e[3][3], d[3];
            for (int k = 0; k < 3; ++k) {
                for (int c = 0; c < 3; ++c) e[k][c] = double(vertices[f[c]][k]) - vertices[f[3]][k];
                d[k] = double(k == 0 ? x : k == 1 ? y : z) - vertices[f[3]][k];
            }
            auto det3 = [](double a[3][3]) {
                return a[0][0] * (a[1][1] * a[2][2] - a[2][1] * a[1][2]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[2][0] * a[1][2]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[2][0] * a[1][1]);
            };
            const double det = det3(e);
            double w[4], sum = 0;
            for (int c = 0; c < 3; ++c) {
                double t[3][3];
                for (int k = 0; k < 3; ++k)
                    for (int cc = 0; cc < 3; ++cc) t[k][cc] = (cc == c) ? d[k] : e[k][cc];
                w[c] = det3(t) / det;
                sum += w[c];
            }
            w[3] = 1 - sum;
            double rho = 0;
            for (int c = 0; c < 4; ++c) rho += w[c] * f[c];
            EXPECT_NEAR(got->rho, rho, 1e-3 * (1 + std::abs(rho)));
        }
    }
    // The sample box is (n + 1)^3, the mesh n^3.
    EXPECT_GT(found, 2000 * 0.8 * n * n * n / ((n + 1.0) * (n + 1) * (n + 1)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, RandomMesh, ::testing::Values(1, 2, 5));

// The query written out step by step from the scalar rules: the local point,
// the generic traversal with the four comparisons in their order, the fourth
// weight and the finisher's sums. The model's own query must give its bits.
std::optional<Quality> reference_query(const MeshModel& m, float x, float y, float v) {
    float lx = x, ly = y, lz = v;
    if (m.transform) {
        const auto& t = *m.transform;
        lx = ((x * t[0] + y * t[4]) + v * t[8]) + t[12];
        ly = ((x * t[1] + y * t[5]) + v * t[9]) + t[13];
        lz = ((x * t[2] + y * t[6]) + v * t[10]) + t[14];
    }
    float w0 = 0, w1 = 0, w2 = 0;
    const auto found = orvik::traverse(m.nodes.data(), m.root, lx, ly, lz, [&](std::uint32_t i) {
        const auto& s = m.simplices[i];
        const float dx = lx - s.origin[0], dy = ly - s.origin[1], dz = lz - s.origin[2];
        const float* q = s.inverse;
        const float a = (q[0] * dx + q[3] * dy) + q[6] * dz;
        const float b = (q[1] * dx + q[4] * dy) + q[7] * dz;
        const float c = (q[2] * dx + q[5] * dy) + q[8] * dz;
        if (!(c >= -0.0001f) || !(a >= -0.0001f) || !(b >= -0.0001f) || !((b + a) + c <= 1.0001f))
            return false;
        w0 = a, w1 = b, w2 = c;
        return true;
    });
    if (!found) return std::nullopt;
    const float w3 = 1.0f - ((w1 + w0) + w2);
    const auto& f = m.faces[*found];
    auto sum = [&](auto field) {
        return (((0.0f + w0 * field(f[0])) + w1 * field(f[1])) + w2 * field(f[2])) +
               w3 * field(f[3]);
    };
    if (const auto* in = std::get_if<Interpolated>(&m.finisher)) {
        const auto& q = in->qualities;
        Quality r;
        r.rho = sum([&](std::uint32_t k) { return q[k].rho; });
        r.vp = sum([&](std::uint32_t k) { return q[k].vp; });
        r.vs = sum([&](std::uint32_t k) { return q[k].vs; });
        r.qp = 1.0f / sum([&](std::uint32_t k) { return 1.0f / q[k].qp; });
        r.qs = 1.0f / sum([&](std::uint32_t k) { return 1.0f / q[k].qs; });
        r.alpha = sum([&](std::uint32_t k) { return q[k].alpha; });
        return r;
    }
    const auto& d = std::get<DepthProfile>(m.finisher);
    Quality r = d.layers[DepthProfile::layer_index(
        d.tops, sum([&](std::uint32_t k) { return d.pairs[k].depth; }))];
    r.alpha = sum([&](std::uint32_t k) { return d.pairs[k].alpha; });
    return r;
}

bool same_bits(const std::optional<Quality>& a, const std::optional<Quality>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || std::memcmp(&*a, &*b, sizeof(Quality)) == 0;
}

struct PacketCase {
    bool transform;
    bool depth_profile;
};

class PacketQuery : public ::testing::TestWithParam<PacketCase> {};

TEST_P(PacketQuery, EveryLaneHasTheBitsOfTheSingleQueryAndOfTheStepByStepOne) {
    MeshBuilderState b = cube_mesh(6, 0.3f, 17);
    const std::size_t nv = b.vertices.size();
    const auto vertices = b.vertices;  // the build takes the mesh over
    const auto faces = b.faces;
    std::mt19937 rng(23);
    std::uniform_real_distribution<float> value(0.5f, 9.0f), coin(0.0f, 1.0f);
    if (GetParam().transform) {
        // World to local: a shear and scale plus a translation.
        b.transform = std::array<float, 16>{0.9f, 0.1f, 0.0f, 0, -0.2f, 1.1f, 0.05f, 0,
                                            0.0f, 0.3f, 0.8f, 0, -3.0f, 1.5f, 2.0f,  1};
    }
    std::optional<orvik::Result<MeshModel>> built;
    if (GetParam().depth_profile) {
        DepthProfile p;
        std::vector<DepthAlpha> pairs;
        for (std::size_t i = 0; i < nv; ++i)
            pairs.push_back({vertices[i][2] * 10.0f + value(rng), value(rng) / 9});
        p.pairs = std::move(pairs);
        p.tops = {15.0f, 30.0f, 45.0f};
        for (int l = 0; l < 4; ++l) p.layers.push_back(q_of(float(l)));
        built.emplace(MeshModel::build(b, p));
    } else {
        std::vector<Quality> qualities;
        for (std::size_t i = 0; i < nv; ++i)
            qualities.push_back(Quality{value(rng), value(rng), value(rng), 10 * value(rng),
                                        value(rng), value(rng) / 9});
        built.emplace(MeshModel::build(b, Interpolated{std::move(qualities)}));
    }
    ASSERT_TRUE(built->ok());
    const MeshModel& m = built->value();

    constexpr int kLanes = MeshModel::kPacketLanes;
    std::uniform_real_distribution<float> pos(-1.5f, 8.0f), near(-0.3f, 0.3f);
    std::uniform_int_distribution<std::size_t> vertex(0, nv - 1), face(0, faces.size() - 1);
    int found = 0;
    for (int packet = 0; packet < 400; ++packet) {
        float x[kLanes], y[kLanes], v[kLanes];
        const float cx = pos(rng), cy = pos(rng), cz = pos(rng);
        unsigned live = 0;
        for (int k = 0; k < kLanes; ++k) {
            x[k] = cx + near(rng), y[k] = cy + near(rng), v[k] = cz + near(rng);
            const float c = coin(rng);
            if (c < 0.1f) {
                // A grid corner (a mesh vertex on the boundary, near one
                // inside): on faces and edges of several simplices.
                const std::size_t i = vertex(rng);
                x[k] = float(i % 7), y[k] = float((i / 7) % 7), v[k] = float(i / 49);
            } else if (c < 0.15f) {
                v[k] = std::nanf("");
            } else if (c < 0.2f) {
                x[k] = pos(rng);
            }
            if (!GetParam().transform && coin(rng) < 0.3f) {
                // On the edge of the tolerance band of some simplex, where
                // the order of every rounding decides the answer.
                const auto& f = faces[face(rng)];
                const auto& pd = vertices[f[3]];
                float w[3] = {value(rng), value(rng), value(rng)};
                const float total = w[0] + w[1] + w[2];
                const float target = coin(rng) < 0.5f ? 1.0001f : 0.0f;
                for (float& wi : w) wi = wi / total * target;
                if (target == 0.0f) w[face(rng) % 3] = -0.0001f;
                for (int a = 0; a < 3; ++a) {
                    float c = pd[a];
                    for (int e = 0; e < 3; ++e) c += (vertices[f[e]][a] - pd[a]) * w[e];
                    (a == 0 ? x[k] : a == 1 ? y[k] : v[k]) = c + near(rng) * 1e-5f;
                }
            }
            if (coin(rng) < 0.85f) live |= 1u << k;
        }
        // Both ways of testing node boxes: eight lanes per comparison where
        // the processor has AVX, four otherwise.
        for (auto boxes : {MeshModel::PacketBoxes::Widest, MeshModel::PacketBoxes::Baseline}) {
            Quality out[kLanes];
            for (auto& q : out) q = Quality{-1, -1, -1, -1, -1, -1};
            const unsigned hits = MeshModel::query_packet(m, x, y, v, live, out, boxes);
            EXPECT_EQ(hits & ~live, 0u);
            for (int k = 0; k < kLanes; ++k) {
                if (!((live >> k) & 1u)) continue;
                const auto single = MeshModel::query(m, x[k], y[k], v[k]);
                const auto reference = reference_query(m, x[k], y[k], v[k]);
                EXPECT_TRUE(same_bits(single, reference)) << x[k] << " " << y[k] << " " << v[k];
                const std::optional<Quality> lane =
                    ((hits >> k) & 1u) ? std::optional<Quality>(out[k]) : std::nullopt;
                EXPECT_TRUE(same_bits(lane, single)) << "packet " << packet << " lane " << k;
                found += single.has_value();
            }
        }
    }
    EXPECT_GT(found, 500);
}

INSTANTIATE_TEST_SUITE_P(Finishers, PacketQuery,
                         ::testing::Values(PacketCase{false, false}, PacketCase{true, false},
                                           PacketCase{false, true}, PacketCase{true, true}));

TEST(DepthProfile, LayerIndex) {
    const std::vector<float> tops{100, 200};  // caller's tops [0, 100, 200]
    EXPECT_EQ(DepthProfile::layer_index(tops, 50), 0u);
    EXPECT_EQ(DepthProfile::layer_index(tops, 100), 1u);
    EXPECT_EQ(DepthProfile::layer_index(tops, 199.9f), 1u);
    EXPECT_EQ(DepthProfile::layer_index(tops, 200), 2u);
    EXPECT_EQ(DepthProfile::layer_index(tops, 1e6f), 2u);
    EXPECT_EQ(DepthProfile::layer_index(tops, -1e6f), 0u);
    EXPECT_EQ(DepthProfile::layer_index(tops, -INFINITY), 0u);
    EXPECT_EQ(DepthProfile::layer_index(tops, std::nanf("")), 0u);
    EXPECT_EQ(DepthProfile::layer_index({}, 5.0f), 0u);
    std::vector<float> many;
    for (int i = 0; i < 37; ++i) many.push_back(float(i * 10));
    for (int d = -15; d < 400; d += 3) {
        std::size_t expect = 0;
        for (float t : many) expect += (t <= float(d)) ? 1 : 0;
        EXPECT_EQ(DepthProfile::layer_index(many, float(d)), expect) << d;
    }
}

TEST(DepthProfile, EvaluatesLayerAndInterpolatedAlpha) {
    MeshBuilderState b = unit_tet();
    DepthProfile p;
    // Depth 0 at every vertex but vertex 1 (x = 1) at 300: depth = 300 x.
    p.pairs = {{0.f, 0.2f}, {300.f, 1.0f}, {0.f, 0.2f}, {0.f, 0.2f}};
    p.tops = {100, 200};
    p.layers = {Quality{1, 1, 1, 1, 1, 1}, Quality{2, 2, 2, 2, 2, 1}, Quality{3, 3, 3, 3, 3, 1}};
    auto r = MeshModel::build(b, p);
    ASSERT_TRUE(r.ok());
    const auto a = MeshModel::query(r.value(), 0.1f, 0.1f, 0.1f);  // depth 30
    ASSERT_TRUE(a);
    EXPECT_EQ(a->rho, 1.0f);
    EXPECT_NEAR(a->alpha, 0.2f + 0.8f * 0.1f, 1e-6);
    const auto c = MeshModel::query(r.value(), 0.5f, 0.1f, 0.1f);  // depth 150
    ASSERT_TRUE(c);
    EXPECT_EQ(c->vp, 2.0f);
    const auto d = MeshModel::query(r.value(), 0.9f, 0.05f, 0.0f);  // depth 270
    ASSERT_TRUE(d);
    EXPECT_EQ(d->qs, 3.0f);
}

TEST(MeshModel, SizeEstimate) {
    MeshBuilderState b = cube_mesh(2, 0.0f, 1);
    b.name = "ab";
    const std::size_t nv = b.vertices.size();
    const Interpolated interp{std::vector<Quality>(nv, q_of(1))};
    auto r = MeshModel::build(b, interp);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(MeshModel::size_estimate(r.value()),
              328 + 56 * r->nodes.size() + 48 * 48 + 16 * 48 + 24 * nv + 2);

    MeshBuilderState t = unit_tet();
    DepthProfile p;
    p.pairs = std::vector<DepthAlpha>(4, {0.f, 1.f});
    p.tops = {1, 2};
    p.layers.assign(3, Quality{});
    auto dp = MeshModel::build(t, p);
    ASSERT_TRUE(dp.ok());
    EXPECT_EQ(MeshModel::size_estimate(dp.value()), 328u + 48 + 16 + 8 * 4 + 4 * 2 + 24 * 3);
}

}  // namespace
