#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "common/isa.hpp"
#include "common/lanes.hpp"
#include "common/transform.hpp"
#include "lanes_kernel.hpp"

namespace orvik {
namespace {

using testing::kLaneValues;
using testing::LaneInputs;
using testing::LaneOutputs;

// Values whose operations round, overflow, underflow, vanish or turn NaN,
// with signed zeros and a NaN of its own payload; paired with a shifted copy
// of themselves so that every pair of kinds meets.
LaneInputs awkward_inputs() {
    const double inf = std::numeric_limits<double>::infinity();
    const double kinds[] = {
        0.0,     -0.0,    1.0,       -1.0, 0.1,   -3.75,
        1e-310,  -5e-324, inf,       -inf, 1e308, -1e300,
        2.5e-8,  7.0,     1.0 / 3.0, 4.0,  -2.0,  1e-300,
        65504.0, 1e-40,   -1e-45,    3e38, -0.5,  std::bit_cast<double>(0x7FF8000000000123u)};
    constexpr int kKinds = sizeof(kinds) / sizeof(kinds[0]);
    LaneInputs in{};
    for (int i = 0; i < kLaneValues; ++i) {
        in.a[i] = kinds[i % kKinds];
        in.b[i] = kinds[(i / kKinds + 5 * i) % kKinds];
        in.fa[i] = static_cast<float>(in.a[i]);
        in.fb[i] = static_cast<float>(in.b[i]);
    }
    return in;
}

// Every operation of each build's widest lanes gives, lane by lane, the bits
// of the plain scalar operation: the builds' lane types are what the
// kernels' results to the last bit rest on.
TEST(Lanes, EveryBuildComputesEachLaneAsScalarCode) {
    const isa::Builds<void (*)(const LaneInputs&, LaneOutputs&)> builds ORVIK_BUILDS(orvik::testing,
                                                                                     lane_outputs);
    const LaneInputs in = awkward_inputs();
    LaneOutputs want{};
    for (int i = 0; i < kLaneValues; ++i) {
        const double a = in.a[i], b = in.b[i];
        want.add[i] = a + b;
        want.sub[i] = a - b;
        want.mul[i] = a * b;
        want.div[i] = a / b;
        const bool masks[6] = {a<b, a <= b, a> b, a >= b, a == b, std::isnan(a)};
        for (int m = 0; m < 6; ++m) want.masks[m][i] = masks[m] ? 1u : 0u;
        want.select[i] = a < b ? a : b;
        want.abs[i] = std::fabs(a);
        want.sqrt[i] = std::sqrt(a);
        want.xor_sign[i] = std::signbit(b) ? -a : a;
        want.gather[i] = in.b[kLaneValues - 1 - i];
        const float fa = in.fa[i], fb = in.fb[i];
        want.fadd[i] = fa + fb;
        want.fsub[i] = fa - fb;
        want.fmul[i] = fa * fb;
        want.fdiv[i] = fa / fb;
        want.fmasks[0][i] = fa < fb ? 1u : 0u;
        want.fmasks[1][i] = fa <= fb ? 1u : 0u;
        want.fselect[i] = fa < fb ? fa : fb;
    }
    for (int p = 0; p < kLaneValues / 3; ++p) {
        for (int c = 0; c < 3; ++c) want.xyz[c][p] = in.a[3 * p + c];
    }
    for (const isa::Level level : {isa::Level::Baseline, isa::Level::Avx, isa::Level::Avx2}) {
        const std::string build = "ceiling " + std::to_string(static_cast<int>(level));
        LaneOutputs got{};
        builds.choose(level)(in, got);
        // The outputs up to the widths, field by field: doubles, then masks,
        // then floats (whose masks follow them).
        const auto* g = reinterpret_cast<const unsigned char*>(&got);
        const auto* w = reinterpret_cast<const unsigned char*>(&want);
        for (std::size_t at = 0; at < offsetof(LaneOutputs, double_width); at += 4) {
            EXPECT_EQ(std::memcmp(g + at, w + at, 4), 0) << build << ", byte " << at;
        }
        // The build chosen at this ceiling is the widest one built that the
        // processor runs, and it has lanes of its own width.
        const isa::Level runs = std::min(level, isa::detected());
        isa::Level chosen = isa::Level::Baseline;
#if defined(ORVIK_ISA_BUILT_avx)
        if (runs >= isa::Level::Avx) chosen = isa::Level::Avx;
#endif
#if defined(ORVIK_ISA_BUILT_avx2)
        if (runs >= isa::Level::Avx2) chosen = isa::Level::Avx2;
#endif
        EXPECT_EQ(got.built_for, chosen) << build;
        const bool wide = chosen >= isa::Level::Avx;
        EXPECT_EQ(got.double_width, wide ? 4 : 2) << build;
        EXPECT_EQ(got.float_width, wide ? 8 : 4) << build;
    }
}

// The choice among a kernel's builds: the widest that the processor, the
// ceiling and what was built allow.
TEST(Isa, BuildsChooseTheWidestAllowed) {
    using Fn = int (*)();
    const Fn base = [] { return 0; }, avx = [] { return 1; }, avx2 = [] { return 2; };
    const isa::Level have = isa::detected();
    const isa::Builds<Fn> all{base, avx, avx2}, only_avx2{base, nullptr, avx2}, none{base};
    for (const isa::Level ceiling : {isa::Level::Baseline, isa::Level::Avx, isa::Level::Avx2}) {
        const int level = static_cast<int>(std::min(ceiling, have));
        EXPECT_EQ(all.choose(ceiling)(), level);
        EXPECT_EQ(only_avx2.choose(ceiling)(), level == 2 ? 2 : 0);
        EXPECT_EQ(none.choose(ceiling)(), 0);
    }
#if defined(__x86_64__) || defined(__i386__)
    const bool avx2_cpu = __builtin_cpu_supports("avx2"), avx_cpu = __builtin_cpu_supports("avx");
    EXPECT_EQ(have,
              avx2_cpu ? isa::Level::Avx2 : (avx_cpu ? isa::Level::Avx : isa::Level::Baseline));
#else
    EXPECT_EQ(have, isa::Level::Baseline);
#endif
}

// The world-to-local transform gives each lane the bits of one point, and
// one point the affine map within float rounding.
TEST(Transform, LanesAgreeWithOnePointAndWithTheMap) {
    const std::array<float, 16> t = {0.9f, 0.1f,  0.0f,  0.0f, -0.2f, 1.1f,   0.05f, 0.0f,
                                     0.3f, -0.7f, 0.95f, 0.0f, 12.5f, -3.25f, 7.0f,  1.0f};
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> u(-1000.0f, 1000.0f);
    for (int round = 0; round < 50; ++round) {
        float x[4], y[4], z[4];
        for (int k = 0; k < 4; ++k) x[k] = u(rng), y[k] = u(rng), z[k] = u(rng);
        lanes::F4 lx = lanes::load(x), ly = lanes::load(y), lz = lanes::load(z);
        to_local(t, lx, ly, lz);
        for (int k = 0; k < 4; ++k) {
            float p[3] = {x[k], y[k], z[k]};
            to_local(t, p[0], p[1], p[2]);
            const float lane[3] = {lanes::lane(lx, k), lanes::lane(ly, k), lanes::lane(lz, k)};
            EXPECT_EQ(std::memcmp(lane, p, sizeof p), 0) << "round " << round << " lane " << k;
            for (int c = 0; c < 3; ++c) {
                const double exact = double(x[k]) * t[c] + double(y[k]) * t[4 + c] +
                                     double(z[k]) * t[8 + c] + t[12 + c];
                EXPECT_NEAR(p[c], exact, 3e-3) << "round " << round << " axis " << c;
            }
        }
    }
}

}  // namespace
}  // namespace orvik
