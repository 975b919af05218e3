#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "quality/blend_rows.hpp"
#include "quality/quality.hpp"

namespace {

using orvik::Quality;

std::uint32_t bits(float f) {
    return std::bit_cast<std::uint32_t>(f);
}

void expect_bits_equal(const Quality& a, const Quality& b) {
    EXPECT_EQ(bits(a.rho), bits(b.rho));
    EXPECT_EQ(bits(a.vp), bits(b.vp));
    EXPECT_EQ(bits(a.vs), bits(b.vs));
    EXPECT_EQ(bits(a.qp), bits(b.qp));
    EXPECT_EQ(bits(a.qs), bits(b.qs));
    EXPECT_EQ(bits(a.alpha), bits(b.alpha));
}

constexpr float kEps = 1.1920929e-7f;

TEST(QualityColumns, NamesAndRowFormFollowTheFields) {
    const Quality q{1, 2, 3, 4, 5, 6};
    const Quality::Columns c = q.columns();
    namespace column = orvik::column;
    EXPECT_EQ(c, (Quality::Columns{q.rho, q.vp, q.vs, q.qp, q.qs, q.alpha}));
    EXPECT_EQ(c[column::qs], q.qs);
    expect_bits_equal(Quality::from_columns(c.data()), q);
    EXPECT_EQ(orvik::quality_names_text(), "[rho, vp, vs, qp, qs, alpha]");
    EXPECT_EQ(orvik::quality_names_text(column::alpha), "[rho, vp, vs, qp, qs]");
}

TEST(QualityBlend, TransparentForegroundReturnsBackgroundBitForBit) {
    const Quality b{2.5f, 6.f, 3.5f, 600.f, 300.f, 0.25f};
    for (float a : {0.f, -1.f, std::nextafter(kEps, 0.f)}) {
        expect_bits_equal(Quality::blend({1, 2, 3, 4, 5, a}, b), b);
    }
}

TEST(QualityBlend, TransparentBackgroundReturnsForegroundBitForBit) {
    const Quality f{2.5f, 6.f, 3.5f, 600.f, 300.f, 0.25f};
    expect_bits_equal(Quality::blend(f, {1, 2, 3, 4, 5, 0.f}), f);
}

TEST(QualityBlend, AlphaExactlyEpsilonIsBlended) {
    const Quality f{1, 1, 1, 1, 1, kEps};
    const Quality b{3, 3, 3, 3, 3, 1};
    const Quality r = Quality::blend(f, b);
    EXPECT_NE(bits(r.alpha), bits(b.alpha) + 1);  // went through the weighted path
    EXPECT_FLOAT_EQ(r.alpha, kEps + (1 - kEps));
}

TEST(QualityBlend, HalfOverHalf) {
    const Quality r = Quality::blend({3, 6, 9, 100, 100, 0.5f}, {6, 3, 0, 50, 50, 0.5f});
    EXPECT_EQ(r.alpha, 0.75f);
    EXPECT_FLOAT_EQ(r.rho, 3 * 2.f / 3 + 6 * 1.f / 3);
    EXPECT_FLOAT_EQ(r.qp, 75.f);
    EXPECT_FLOAT_EQ(r.qs, 75.f);
}

TEST(QualityBlend, EverySpeedColumnBlendsItsOwnValues) {
    // Distinct values per column, so that a column read from or written to
    // the wrong place, or left out, changes some bits.
    const Quality f{2.f, 7.f, 4.f, 90.f, 40.f, 0.6f};
    const Quality b{3.f, 5.f, 1.5f, 60.f, 20.f, 0.7f};
    const float wb = (1.f - f.alpha) * b.alpha;
    const float a = f.alpha + wb;
    const float fw = f.alpha / a, bw = wb / a;
    const Quality r = Quality::blend(f, b);
    EXPECT_EQ(bits(r.rho), bits(b.rho * bw + f.rho * fw));
    EXPECT_EQ(bits(r.vp), bits(b.vp * bw + f.vp * fw));
    EXPECT_EQ(bits(r.vs), bits(b.vs * bw + f.vs * fw));
    EXPECT_EQ(bits(r.qp), bits(1.f / ((1.f / f.qp) * fw + (1.f / b.qp) * bw)));
    EXPECT_EQ(bits(r.qs), bits(1.f / ((1.f / f.qs) * fw + (1.f / b.qs) * bw)));
    EXPECT_EQ(bits(r.alpha), bits(a));
}

TEST(QualityBlend, OpaqueOverOpaqueKeepsForegroundSpeedsAndRoundTripsQ) {
    const Quality r = Quality::blend({2, 5, 3, 7, 7, 1}, {9, 9, 9, 9, 9, 1});
    EXPECT_EQ(r.alpha, 1.f);
    EXPECT_EQ(r.rho, 2.f);
    EXPECT_EQ(r.vp, 5.f);
    EXPECT_EQ(r.qp, 1.0f / (1.0f / 7.0f));  // 6.9999995 in float32
    EXPECT_EQ(r.qp, 6.9999995f);
}

TEST(QualityBlend, BackgroundNanOrZeroQPoisonsOpaqueComposite) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Quality r = Quality::blend({2, 5, 3, 7, 7, 1}, {nan, 9, 9, 0, 9, 1});
    EXPECT_TRUE(std::isnan(r.rho));  // 0 * NaN
    EXPECT_TRUE(std::isnan(r.qp));   // inf * 0
}

TEST(QualityBlend, NanAlphaSpreads) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Quality r = Quality::blend({1, 1, 1, 1, 1, nan}, {1, 1, 1, 1, 1, 1});
    EXPECT_TRUE(std::isnan(r.alpha));
}

// The blend written out with the early returns of its definition: a check on
// the one formula that the scalar blend and the lane loops share.
Quality stepwise_blend(const Quality& f, const Quality& b) {
    if (f.alpha < kEps) return b;
    if (b.alpha < kEps) return f;
    const float wb = (1.0f - f.alpha) * b.alpha;
    const float a = f.alpha + wb;
    const float fw = f.alpha / a, bw = wb / a;
    return Quality{b.rho * bw + f.rho * fw,
                   b.vp * bw + f.vp * fw,
                   b.vs * bw + f.vs * fw,
                   1.0f / ((1.0f / f.qp) * fw + (1.0f / b.qp) * bw),
                   1.0f / ((1.0f / f.qs) * fw + (1.0f / b.qs) * bw),
                   a};
}

// The same bits, or NaN in both: which of two NaN operands an operation
// passes on is the compiler's choice even in scalar code (it may swap the
// operands of an addition), so only NaN-ness is part of the blend.
void expect_same_values(const Quality& a, const Quality& b) {
    const Quality::Columns x = a.columns(), y = b.columns();
    for (std::size_t k = 0; k < orvik::kQualityColumns; ++k) {
        if (std::isnan(x[k]) && std::isnan(y[k])) continue;
        EXPECT_EQ(bits(x[k]), bits(y[k])) << "column " << k;
    }
}

// Rows with every kind of value a column can hold.
std::vector<float> awkward_rows(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const float nan = std::numeric_limits<float>::quiet_NaN(),
                inf = std::numeric_limits<float>::infinity();
    const float specials[] = {0.0f, -0.0f, 1e-40f, -3.5f, inf, -inf, nan, 7.0f, 1e30f};
    const float alphas[] = {0.0f,  1e-8f, kEps, std::nextafter(kEps, 0.f), 0.25f, 0.5f, 1.0f,
                            -1.0f, nan,   2.0f};
    std::uniform_real_distribution<float> value(0.5f, 900.0f);
    std::uniform_int_distribution<int> pick(0, 19);
    std::vector<float> rows(6 * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (int k = 0; k < 5; ++k) {
            const int c = pick(rng);
            rows[6 * i + k] = c < 9 ? specials[c] : value(rng);
        }
        rows[6 * i + 5] = alphas[pick(rng) % 10];
    }
    return rows;
}

Quality row_at(const std::vector<float>& v, std::size_t i) {
    return Quality::from_columns(v.data() + orvik::kQualityColumns * i);
}

struct LaneCase {
    std::size_t rows;
    orvik::BlendLanes lanes;
    bool stream;
};

class BlendDense : public ::testing::TestWithParam<LaneCase> {};

TEST_P(BlendDense, EveryLoopGivesTheScalarBlendBitForBit) {
    const LaneCase c = GetParam();
    const auto f = awkward_rows(c.rows, 3 + static_cast<std::uint32_t>(c.rows));
    const auto b = awkward_rows(c.rows, 1000 + static_cast<std::uint32_t>(c.rows));
    // One float of slack in front, so both an aligned and a misaligned start
    // of the result are tried.
    for (std::size_t shift : {0u, 1u}) {
        std::vector<float> store(6 * c.rows + 4, -5.0f);
        float* out = store.data() + shift;
        orvik::blend_dense(f.data(), b.data(), out, static_cast<std::ptrdiff_t>(c.rows), c.lanes,
                           c.stream);
        for (std::size_t i = 0; i < c.rows; ++i) {
            const Quality scalar = Quality::blend(row_at(f, i), row_at(b, i));
            expect_same_values(scalar, stepwise_blend(row_at(f, i), row_at(b, i)));
            expect_same_values(Quality::from_columns(out + 6 * i), scalar);
        }
        EXPECT_EQ(out[6 * c.rows], -5.0f);  // nothing written past the rows
        if (shift == 1) {
            EXPECT_EQ(store[0], -5.0f);
        }
    }
}

std::vector<LaneCase> lane_cases() {
    std::vector<LaneCase> cases;
    for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 8u, 13u, 16u, 17u, 1003u}) {
        for (auto lanes :
             {orvik::BlendLanes::Widest, orvik::BlendLanes::Four, orvik::BlendLanes::One}) {
            cases.push_back({n, lanes, false});
            cases.push_back({n, lanes, true});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(RowsAndLanes, BlendDense, ::testing::ValuesIn(lane_cases()));

TEST(BlendRows, LargeStridedAndDenseInputsGiveTheSameRows) {
    // More rows than one gathered block, read through a reversed, padded view.
    const std::size_t n = 1500;
    const auto f = awkward_rows(n, 8), b = awkward_rows(n, 9);
    std::vector<float> wide(8 * n, 99.0f);
    for (std::size_t i = 0; i < n; ++i)
        for (int k = 0; k < 6; ++k) wide[8 * (n - 1 - i) + k] = f[6 * i + k];
    orvik::StridedView<float, 2> dense_f{
        reinterpret_cast<const char*>(f.data()), {std::ptrdiff_t(n), 6}, {24, 4}};
    orvik::StridedView<float, 2> dense_b{
        reinterpret_cast<const char*>(b.data()), {std::ptrdiff_t(n), 6}, {24, 4}};
    orvik::StridedView<float, 2> rev_f{
        reinterpret_cast<const char*>(wide.data() + 8 * (n - 1)), {std::ptrdiff_t(n), 6}, {-32, 4}};
    std::vector<float> a(6 * n), c(6 * n);
    ASSERT_TRUE(orvik::blend_rows(dense_f, dense_b, a.data()));
    ASSERT_TRUE(orvik::blend_rows(rev_f, dense_b, c.data()));
    for (std::size_t i = 0; i < 6 * n; ++i) ASSERT_EQ(bits(a[i]), bits(c[i])) << i;
    for (std::size_t i = 0; i < n; ++i)
        expect_same_values(row_at(a, i), stepwise_blend(row_at(f, i), row_at(b, i)));
}

TEST(BlendRows, StridedRowsMatchContiguousRows) {
    // Rows stored with a stride of 8 floats and reversed.
    float wide[3][8];
    float lhs[3][6], rhs[3][6];
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 6; ++k) {
            lhs[i][k] = 1.f + i + 0.1f * k;
            rhs[i][k] = 2.f + i * 0.5f + 0.2f * k;
            wide[2 - i][k] = lhs[i][k];
        }
    lhs[1][5] = 0.5f;
    wide[1][5] = 0.5f;
    orvik::StridedView<float, 2> dense_l{reinterpret_cast<const char*>(lhs), {3, 6}, {24, 4}};
    orvik::StridedView<float, 2> dense_r{reinterpret_cast<const char*>(rhs), {3, 6}, {24, 4}};
    orvik::StridedView<float, 2> rev_l{reinterpret_cast<const char*>(wide[2]), {3, 6}, {-32, 4}};
    float a[18], b[18];
    orvik::blend_rows(dense_l, dense_r, a);
    orvik::blend_rows(rev_l, dense_r, b);
    for (int i = 0; i < 18; ++i) EXPECT_EQ(bits(a[i]), bits(b[i])) << i;
}

TEST(BlendRows, StopsBetweenBlocksWhenAsked) {
    // Enough rows for several blocks between two polls; the poll says stop
    // the second time it is asked, so exactly one block is written.
    const std::ptrdiff_t n = 3 << 16;
    std::vector<float> lhs(n * 6, 0.5f), rhs(n * 6, 0.25f), out(n * 6, -1.f);
    orvik::StridedView<float, 2> l{reinterpret_cast<const char*>(lhs.data()), {n, 6}, {24, 4}};
    orvik::StridedView<float, 2> r{reinterpret_cast<const char*>(rhs.data()), {n, 6}, {24, 4}};
    int polls = 0;
    const orvik::Interrupt stop_second([](void* c) { return ++*static_cast<int*>(c) == 2; },
                                       &polls);
    EXPECT_FALSE(orvik::blend_rows(l, r, out.data(), stop_second));
    const auto written = std::count_if(out.begin(), out.end(), [](float v) { return v != -1.f; });
    EXPECT_GT(written, 0);
    EXPECT_LT(written, n * 6);
    EXPECT_EQ(written % 6, 0);
    EXPECT_TRUE(orvik::blend_rows(l, r, out.data()));
    EXPECT_EQ(std::count(out.begin(), out.end(), -1.f), 0);
}

}  // namespace
