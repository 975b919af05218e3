#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "common/morton_order.hpp"

namespace {

using orvik::MortonOrder;

template <class T>
orvik::StridedView<T, 1> view_of(const std::vector<T>& v, std::ptrdiff_t step = 1) {
    orvik::StridedView<T, 1> s;
    s.data = reinterpret_cast<const char*>(v.data());
    s.shape[0] = static_cast<std::ptrdiff_t>(v.size()) / step;
    s.strides[0] = static_cast<std::ptrdiff_t>(sizeof(T)) * step;
    return s;
}

std::uint32_t key_of(std::uint64_t entry) {
    return static_cast<std::uint32_t>(entry >> 32);
}
std::uint32_t row_of(std::uint64_t entry) {
    return static_cast<std::uint32_t>(entry);
}

TEST(MortonOrder, KeyInterleavesTheCellsXLowest) {
    const double lo[3] = {0, 0, 0}, scale[3] = {1, 1, 1};  // one cell per unit
    EXPECT_EQ(MortonOrder::key(0, 0, 0, lo, scale), 0u);
    EXPECT_EQ(MortonOrder::key(1, 0, 0, lo, scale), 1u);
    EXPECT_EQ(MortonOrder::key(0, 1, 0, lo, scale), 2u);
    EXPECT_EQ(MortonOrder::key(0, 0, 1, lo, scale), 4u);
    EXPECT_EQ(MortonOrder::key(3, 0, 0, lo, scale), 9u);  // cells 0b11 -> bits 0 and 3
    EXPECT_EQ(MortonOrder::key(1023, 1023, 1023, lo, scale), (1u << 30) - 1);
    EXPECT_EQ(MortonOrder::key(5000, 0, 0, lo, scale), MortonOrder::key(1023, 0, 0, lo, scale));
    EXPECT_LT(MortonOrder::key(1023, 1023, 1023, lo, scale), MortonOrder::kLastKey);
}

TEST(MortonOrder, EveryKeptRowOnceInKeyOrderNonFiniteLast) {
    const std::size_t n = 5000;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> pos(-50.0f, 250.0f);
    std::vector<float> x(n), y(n), z(n);
    std::vector<std::uint8_t> mask(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = pos(rng);
        y[i] = pos(rng);
        z[i] = pos(rng);
        mask[i] = (i % 7) != 3;
    }
    const float nan = std::numeric_limits<float>::quiet_NaN(),
                inf = std::numeric_limits<float>::infinity();
    x[11] = nan;  // rows 11 to 14 are kept
    y[12] = inf;
    z[13] = -inf;
    y[14] = nan;
    z[17] = nan;  // masked out
    MortonOrder order(n);
    const auto sorted = order.sort(view_of(x), view_of(y), view_of(z), view_of(mask), 0, n);

    std::set<std::uint32_t> rows;
    for (auto e : sorted) rows.insert(row_of(e));
    EXPECT_EQ(rows.size(), sorted.size());
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_EQ(rows.count(static_cast<std::uint32_t>(i)), mask[i] ? 1u : 0u) << i;

    for (std::size_t k = 1; k < sorted.size(); ++k) {
        ASSERT_LE(key_of(sorted[k - 1]), key_of(sorted[k]));
        if (key_of(sorted[k - 1]) == key_of(sorted[k])) {
            EXPECT_LT(row_of(sorted[k - 1]), row_of(sorted[k]));  // stable
        }
    }
    // The four rows with a coordinate that is not a number come last.
    ASSERT_GE(sorted.size(), 4u);
    for (std::size_t k = sorted.size() - 4; k < sorted.size(); ++k) {
        EXPECT_EQ(key_of(sorted[k]), MortonOrder::kLastKey);
        EXPECT_GE(row_of(sorted[k]), 11u);
        EXPECT_LE(row_of(sorted[k]), 14u);
    }
    EXPECT_LT(key_of(sorted[sorted.size() - 5]), MortonOrder::kLastKey);
}

TEST(MortonOrder, NearbyPointsGetNearbyPlaces) {
    // A point and its tiny offset are neighbours in the order, far points not.
    std::vector<float> x, y, z;
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> pos(0.0f, 1000.0f);
    for (int i = 0; i < 500; ++i) {
        const float a = pos(rng), b = pos(rng), c = pos(rng);
        x.insert(x.end(), {a, a + 0.01f});
        y.insert(y.end(), {b, b});
        z.insert(z.end(), {c, c});
    }
    MortonOrder order(static_cast<std::ptrdiff_t>(x.size()));
    const auto sorted = order.sort(view_of(x), view_of(y), view_of(z), std::nullopt, 0, x.size());
    ASSERT_EQ(sorted.size(), x.size());
    std::vector<std::size_t> place(x.size());
    for (std::size_t k = 0; k < sorted.size(); ++k) place[row_of(sorted[k])] = k;
    int adjacent = 0;
    for (std::size_t i = 0; i < x.size(); i += 2)
        adjacent +=
            (place[i] > place[i + 1] ? place[i] - place[i + 1] : place[i + 1] - place[i]) == 1;
    EXPECT_GT(adjacent, 450);
}

TEST(MortonOrder, ChunksAreBoundedAndRowsCountFromTheirStart) {
    std::vector<float> x(40), y(40, 1.0f), z(40, 2.0f);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(39 - i);  // descending
    MortonOrder order(40, 16);
    EXPECT_EQ(order.capacity(), 16);
    // Every other element of x: a strided view of 20 points.
    const auto xs = view_of(x, 2), ys = view_of(y, 2), zs = view_of(z, 2);
    const auto sorted = order.sort(xs, ys, zs, std::nullopt, 4, 20);
    ASSERT_EQ(sorted.size(), 16u);
    // Within the chunk, x decreases with the row, so the order is reversed.
    for (std::size_t k = 0; k < sorted.size(); ++k) EXPECT_EQ(row_of(sorted[k]), 15 - k);
    EXPECT_EQ(MortonOrder(3).capacity(), 3);
}

TEST(MortonOrder, AllPointsEqualOrNoneFinite) {
    std::vector<float> same(8, 5.0f), nan(8, std::nanf(""));
    MortonOrder order(8);
    auto sorted = order.sort(view_of(same), view_of(same), view_of(same), std::nullopt, 0, 8);
    ASSERT_EQ(sorted.size(), 8u);
    for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(row_of(sorted[k]), k);
    sorted = order.sort(view_of(nan), view_of(same), view_of(same), std::nullopt, 0, 8);
    ASSERT_EQ(sorted.size(), 8u);
    for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(key_of(sorted[k]), MortonOrder::kLastKey);
}

}  // namespace
