#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
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

template <class T>
void expect_bits(const T* got, const T* want, int n, const char* what, const std::string& build) {
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(std::memcmp(&got[i], &want[i], sizeof(T)), 0)
            << build << " " << what << "[" << i << "]: " << got[i] << " vs " << want[i];
    }
}

// Every operation of each build's widest lanes gives, lane by lane, the bits
// of the plain scalar operation: the builds' lane types are what the
// kernels' results to the last bit rest on.
TEST(Lanes, EveryBuildComputesEachLaneAsScalarCode) {
    using Kernel = void (*)(const LaneInputs&, LaneOutputs&);
    const isa::Builds<Kernel> builds{&testing::baseline::lane_outputs ORVIK_WIDER_BUILDS(
        , &testing::avx::lane_outputs, &testing::avx2::lane_outputs)};
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
        const Kernel kernel = builds.choose(level);
        const std::string build = "ceiling " + std::to_string(static_cast<int>(level));
        LaneOutputs got{};
        kernel(in, got);
        const int n = kLaneValues;
        expect_bits(got.add, want.add, n, "add", build);
        expect_bits(got.sub, want.sub, n, "sub", build);
        expect_bits(got.mul, want.mul, n, "mul", build);
        expect_bits(got.div, want.div, n, "div", build);
        for (int m = 0; m < 6; ++m) expect_bits(got.masks[m], want.masks[m], n, "mask", build);
        expect_bits(got.select, want.select, n, "select", build);
        expect_bits(got.abs, want.abs, n, "abs", build);
        expect_bits(got.sqrt, want.sqrt, n, "sqrt", build);
        expect_bits(got.xor_sign, want.xor_sign, n, "xor_sign", build);
        expect_bits(got.gather, want.gather, n, "gather", build);
        for (int c = 0; c < 3; ++c) expect_bits(got.xyz[c], want.xyz[c], n / 3, "xyz", build);
        expect_bits(got.fadd, want.fadd, n, "fadd", build);
        expect_bits(got.fsub, want.fsub, n, "fsub", build);
        expect_bits(got.fmul, want.fmul, n, "fmul", build);
        expect_bits(got.fdiv, want.fdiv, n, "fdiv", build);
        for (int m = 0; m < 2; ++m) expect_bits(got.fmasks[m], want.fmasks[m], n, "fmask", build);
        expect_bits(got.fselect, want.fselect, n, "fselect", build);
        // The build the processor runs at this ceiling has its own widths.
        const isa::Level runs = std::min(level, isa::detected());
#if defined(ORVIK_ISA_KERNELS)
        EXPECT_EQ(got.double_width, runs >= isa::Level::Avx ? 4 : 2) << build;
        EXPECT_EQ(got.float_width, runs >= isa::Level::Avx ? 8 : 4) << build;
#else
        (void)runs;
#endif
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
            float px = x[k], py = y[k], pz = z[k];
            to_local(t, px, py, pz);
            EXPECT_EQ(std::bit_cast<std::uint32_t>(lanes::lane(lx, k)),
                      std::bit_cast<std::uint32_t>(px));
            EXPECT_EQ(std::bit_cast<std::uint32_t>(lanes::lane(ly, k)),
                      std::bit_cast<std::uint32_t>(py));
            EXPECT_EQ(std::bit_cast<std::uint32_t>(lanes::lane(lz, k)),
                      std::bit_cast<std::uint32_t>(pz));
            const double in[3] = {x[k], y[k], z[k]};
            const float got[3] = {px, py, pz};
            for (int c = 0; c < 3; ++c) {
                const double exact = in[0] * t[c] + in[1] * t[4 + c] + in[2] * t[8 + c] + t[12 + c];
                EXPECT_NEAR(got[c], exact, 1e-6 * 3000.0) << "round " << round << " axis " << c;
            }
        }
    }
}

}  // namespace
}  // namespace orvik
