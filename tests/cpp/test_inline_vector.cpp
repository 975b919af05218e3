#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "common/inline_vector.hpp"

namespace {

using Stack = orvik::InlineVector<std::uint32_t, 4>;

void fill(Stack& s, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) s.push_back(100 + i);
}

TEST(InlineVector, KeepsNEntriesInPlaceAndSpillsTheNextForGood) {
    Stack s;
    fill(s, 4);
    EXPECT_FALSE(s.spilled());
    s.push_back(104);
    EXPECT_TRUE(s.spilled());
    for (std::uint32_t i = 0; i < 5; ++i) EXPECT_EQ(s[i], 100 + i);
    s.clear();
    EXPECT_TRUE(s.empty());
    EXPECT_TRUE(s.spilled());  // storage kept for the next use
    EXPECT_GE(s.capacity(), 5u);
}

TEST(InlineVector, PushIfWritesButKeepsOnlyWhenAsked) {
    Stack s;
    s.push_if(7, false);
    EXPECT_TRUE(s.empty());
    s.push_if(8, true);
    s.push_if(9, false);
    s.push_if(10, true);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s.pop_back(), 10u);
    EXPECT_EQ(s.pop_back(), 8u);
    // A full stack still has room for the slot that a dropped push writes.
    fill(s, 4);
    s.push_if(11, false);
    EXPECT_EQ(s.size(), 4u);
    EXPECT_EQ(s.back(), 103u);
}

TEST(InlineVector, GrowKeepsTheUsedEntriesAndReturnsTheNewStorage) {
    Stack s;
    std::uint32_t* d = s.data();
    for (std::uint32_t i = 0; i < 4; ++i) d[i] = 50 + i;
    d = s.grow(3);  // a loop that kept three entries in its own size
    EXPECT_EQ(d, s.data());
    EXPECT_EQ(s.size(), 3u);
    EXPECT_GT(s.capacity(), 4u);
    for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(d[i], 50 + i);
}

class Moved : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(Moved, MoveTakesTheEntriesInPlaceOrOnTheHeap) {
    Stack a;
    fill(a, GetParam());
    const bool spilled = a.spilled();
    Stack b(std::move(a));
    EXPECT_TRUE(a.empty());
    EXPECT_FALSE(a.spilled());
    EXPECT_EQ(b.spilled(), spilled);
    ASSERT_EQ(b.size(), GetParam());
    for (std::uint32_t i = 0; i < GetParam(); ++i) EXPECT_EQ(b[i], 100 + i);
    b.push_back(1);  // still usable after the move
    a.push_back(2);
    EXPECT_EQ(a.back(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Moved, ::testing::Values(0u, 3u, 4u, 9u));

}  // namespace
